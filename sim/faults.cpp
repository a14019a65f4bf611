// faults.cpp - the fault table: arming, skipping and counting.
#include "devices.h"

namespace bbusim {
namespace {

bool matches(const Fault &f, FaultKind kind, std::uint8_t addr, Direction dir)
{
    if (f.kind != kind || f.armed == 0 || f.count == 0)
        return false;
    if (kind == FaultKind::fail || kind == FaultKind::shorten) {
        if (f.addr != addr)
            return false;
        if (f.dir != Direction::any && f.dir != dir)
            return false;
    }
    return true;
}

// The first fault that applies to an event (`applies`) takes it.
template <typename Applies>
bool take_first(World &w, Applies applies, Fault *taken)
{
    for (Fault &f : w.faults) {
        if (!applies(f))
            continue;
        if (f.skip > 0) {
            --f.skip;
            continue;
        }
        if (taken != nullptr)
            *taken = f;
        if (f.count != kCountForever && --f.count == 0)
            f = Fault{};
        return true;
    }
    return false;
}

}  // namespace

bool take_fault(World &w, FaultKind kind, std::uint8_t addr, Direction dir, Fault *taken)
{
    return take_first(
        w, [&](const Fault &f) { return matches(f, kind, addr, dir); }, taken);
}

bool take_stop_fault(World &w, Strike strike, std::uint8_t addr, Direction dir, FaultKind *kind)
{
    Fault f{};
    const bool taken = take_first(
        w,
        [&](const Fault &c) {
            return (c.kind == FaultKind::power_cut || c.kind == FaultKind::crash) && c.armed != 0 &&
                   c.count != 0 && c.strike == strike &&
                   (strike != Strike::address || c.addr == addr) &&
                   (c.dir == Direction::any || c.dir == dir);
        },
        &f);
    if (taken)
        *kind = f.kind;
    return taken;
}

bool take_block_fault(World &w, FaultKind kind, std::uint32_t block)
{
    return take_first(
        w, [&](const Fault &f) { return matches(f, kind, 0, Direction::any) && f.arg == block; },
        nullptr);
}

int take_each_fault(World &w, FaultKind kind, Fault *taken, int max)
{
    int n = 0;
    for (Fault &f : w.faults) {
        if (n == max)
            break;
        if (!matches(f, kind, 0, Direction::any))
            continue;
        if (f.skip > 0) {
            --f.skip;
            continue;
        }
        taken[n++] = f;
        if (f.count != kCountForever && --f.count == 0)
            f = Fault{};
    }
    return n;
}

void arm_faults(World &w, std::uint8_t code, int param)
{
    for (Fault &f : w.faults) {
        if (f.kind == FaultKind::none || f.armed != 0 || f.on_code != code)
            continue;
        if (f.on_param >= 0 && f.on_param != param)
            continue;
        f.armed = 1;
    }
}

bool add_fault(World &w, const Fault &f)
{
    for (Fault &slot : w.faults) {
        if (slot.kind == FaultKind::none) {
            slot = f;
            slot.armed = f.on_code < 0 ? 1 : 0;
            return true;
        }
    }
    return false;
}

}  // namespace bbusim
