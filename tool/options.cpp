// options.cpp - battsnap's command line (options.h).
#include "options.h"

#include "capture_reads.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Field sizes, terminator included.
constexpr std::size_t OPTION_LEN = 20;
constexpr std::size_t TIME_LEN = 10;
constexpr std::size_t BATTERY_LEN = 3;

// Writes the usage text to standard error, after the build-date line when
// helpType is greater than 0.
void help(int helpType)
{
    if (helpType > 0)
        std::fprintf(stderr, "battsnap: Build date: %s  %s\n", __DATE__, __TIME__);
    std::fputs("Usage: battsnap <-h> <-v> <-t time> <-b Nbr> <-f fn> \n"
               "       -h       -- This help text\n"
               "       -v       -- Optional, activates verbose mode\n"
               "       -t time  -- Optional; sleep time between I/O operations\n"
               "                   time is in useconds (50,000 default)\n"
               "       -b nbr   -- Number of battery strings (1-3)\n"
               "       -f fn    -- File name where binary state save data will be stored\n",
               stderr);
}

// Copies the first whitespace-delimited word of src into field, cut to fit.
// Returns the word's full length, so the caller can tell that it was cut.
std::size_t firstWord(char *field, std::size_t size, const char *src)
{
    while (*src != '\0' && std::isspace(static_cast<unsigned char>(*src)))
        ++src;
    std::size_t len = 0;
    while (src[len] != '\0' && !std::isspace(static_cast<unsigned char>(src[len])))
        ++len;
    std::size_t kept = len < size ? len : size - 1;
    std::memcpy(field, src, kept);
    field[kept] = '\0';
    return len;
}

// A numeric option value: its first word, decimal digits only, that fits the
// field. A sign, a point, a letter or an overlong value is refused rather
// than cut; an empty word holds no wrong character and converts to 0.
bool numericValue(char *field, std::size_t size, const char *src)
{
    std::size_t len = firstWord(field, size, src);
    if (len >= size)
        return false;
    for (const char *c = field; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9')
            return false;
    }
    return true;
}

}  // namespace

Parsed parseOptions(int argc, char **argv, RunSettings &rs)
{
    // A long invocation path is cut to fit: it only prefixes messages.
    firstWord(rs.pgm, sizeof rs.pgm, argc > 0 && argv[0] != nullptr ? argv[0] : "battsnap");

    for (int i = 1; i < argc; ++i) {
        char option[OPTION_LEN];
        if (firstWord(option, sizeof option, argv[i]) >= sizeof option)
            continue;  // too long to be an option
        bool hasValue = i + 1 < argc;

        if (std::strcmp(option, "-h") == 0) {
            help(1);
            return Parsed::helped;
        }
        if (std::strcmp(option, "-v") == 0) {
            rs.local_verbose = 1;
        } else if (std::strcmp(option, "-t") == 0) {
            char timeValue[TIME_LEN];
            if (!hasValue || !numericValue(timeValue, sizeof timeValue, argv[i + 1])) {
                std::fprintf(stderr, "%s: Invalid time entered, must be integer\n", rs.pgm);
                help(0);
                return Parsed::failed;
            }
            sleepTime = static_cast<int>(std::strtol(timeValue, nullptr, 10));
            ++i;
            std::fprintf(stderr, "New sleep Time: %d\n", sleepTime);
        } else if (std::strcmp(option, "-b") == 0) {
            char batteryValue[BATTERY_LEN];
            if (!hasValue || !numericValue(batteryValue, sizeof batteryValue, argv[i + 1])) {
                std::fprintf(stderr, "%s: Invalid battery string entered, must be integer\n",
                             rs.pgm);
                help(0);
                return Parsed::failed;
            }
            rs.nbrBS = static_cast<int>(std::strtol(batteryValue, nullptr, 10));
            ++i;
            if (rs.nbrBS <= 0 || rs.nbrBS > MAX_STRINGS) {
                std::fprintf(stderr, "%s: Battery String number out of range\n", rs.pgm);
                help(0);
                return Parsed::failed;
            }
        } else if (std::strcmp(option, "-f") == 0) {
            // Without a name the report is printed instead.
            if (!hasValue)
                continue;
            ++i;
            if (firstWord(rs.fileName, sizeof rs.fileName, argv[i]) >= sizeof rs.fileName) {
                std::fprintf(stderr,
                             "%s: Invalid file name entered, must be at most %zu characters\n",
                             rs.pgm, sizeof rs.fileName - 1);
                help(0);
                return Parsed::failed;
            }
            rs.binary_out = 1;
        }
        // Anything else is skipped.
    }
    return Parsed::run;
}
