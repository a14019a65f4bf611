// options.h - battsnap's command line: its options checked and applied in
// order, its usage text and messages.
#ifndef BATTSNAP_OPTIONS_H
#define BATTSNAP_OPTIONS_H

#include <cstddef>

// Field sizes, terminator included.
constexpr std::size_t PGM_LEN = 32;
constexpr std::size_t FILE_NAME_LEN = 50;

constexpr int MAX_STRINGS = 3;

// What the options ask of the run (the pause before every transfer attempt,
// -t, is the process-wide sleepTime of the capture reads).
struct RunSettings {
    char pgm[PGM_LEN] = {};
    int local_verbose = 0;
    int nbrBS = MAX_STRINGS;
    char fileName[FILE_NAME_LEN] = {};
    int binary_out = 0;
};

enum class Parsed { run, helped, failed };

// Applies the options in order. -h ends the parse at once with the usage
// text; a bad value ends it with its message and the usage text (on
// standard error); "New sleep Time" is said for every -t.
Parsed parseOptions(int argc, char **argv, RunSettings &rs);

#endif  // BATTSNAP_OPTIONS_H
