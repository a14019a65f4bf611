// The verbose flag of the library's status reads: they take 2 as well as 0 and
// 1, the transfers only off and on, so every status read hands its flag down
// to the transfers through this (2 becomes 1).
#ifndef BBU_STATUS_VERBOSE_H
#define BBU_STATUS_VERBOSE_H

constexpr int bbu_status_verbose(int verbose)
{
    return verbose == 2 ? 1 : verbose;
}

#endif  // BBU_STATUS_VERBOSE_H
