// virtual_clock.cpp - the virtual wall clock: a start value plus the virtual
// time that the run's sleeps have added.
#include "devices.h"

namespace bbusim {

std::int64_t wall_clock_us(const World &w)
{
    return w.wall_offset_us + static_cast<std::int64_t>(w.now_us);
}

void set_wall_clock_us(World &w, std::int64_t wall_us)
{
    w.wall_offset_us = wall_us - static_cast<std::int64_t>(w.now_us);
}

}  // namespace bbusim
