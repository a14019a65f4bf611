// What the flash load shares with its handshake: the status seen before each
// Take_Flash_Block, and the optional pause after every Take_Flash_Block
// write, in the load and in each re-send: TFB_delaytime milliseconds when
// TFB_delay is set.
#ifndef BBU_TFB_DELAY_H
#define BBU_TFB_DELAY_H

#include <bbu/bbu.h>

#include <ctime>

// byte12_beforeTFB and byte13_beforeTFB taken from the last status read.
void note_status_before_tfb();

inline void tfb_delay()
{
    if (TFB_delay == 0)
        return;
    LogTrace("Delay here for %d millisecond\n", TFB_delaytime);
    // A caller's setting: a negative one pauses not at all, a large one is
    // not cut short by an overflow.
    const int ms = TFB_delaytime > 0 ? TFB_delaytime : 0;
    const timespec pause{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

#endif  // BBU_TFB_DELAY_H
