// battsnap's command line from any bytes: the input split at NUL bytes into
// up to 16 arguments after "battsnap", through battsnap's option parse
// (parseOptions), up to where it would open the adapter.
//
// The oracle, battsnap's documented behaviour: accepted options are within
// their ranges (1 to 3 battery strings, a pause of at most 9 digits, a file
// name of one word of at most 49 characters and only with -f), and the only
// lines said are -t's "New sleep Time", the last with the pause kept; -h says
// the build date and the usage text and nothing after; a refusal ends with
// one of its four messages, prefixed with the invocation name, and the usage
// text. Nothing goes to standard output.
#include <regex>
#include <string_view>

#include "capture_reads.h"
#include "harness.h"
#include "options.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: battsnap <-h> <-v> <-t time> <-b Nbr> <-f fn> \n"
    "       -h       -- This help text\n"
    "       -v       -- Optional, activates verbose mode\n"
    "       -t time  -- Optional; sleep time between I/O operations\n"
    "                   time is in useconds (50,000 default)\n"
    "       -b nbr   -- Number of battery strings (1-3)\n"
    "       -f fn    -- File name where binary state save data will be stored\n";
const char *const kRefusals[] = {": Invalid time entered, must be integer\n",
                                 ": Invalid battery string entered, must be integer\n",
                                 ": Battery String number out of range\n",
                                 ": Invalid file name entered, must be at most 49 characters\n"};
const char *const kBlanks = " \t\n\v\f\r";  // isspace in the C locale

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Arguments args("battsnap", data, size);
    sleepTime = 50000;
    RunSettings rs;
    Parsed parsed{};
    const Said said = said_by([&] { parsed = parseOptions(args.argc(), args.argv.data(), rs); });
    const std::string &text = said.err;
    expect(!said.out, "something on standard output", text);

    // The pauses said, then what the outcome says.
    static const std::regex kSaid("((?:New sleep Time: [0-9]+\n)*)([^]*)");
    std::smatch m;
    std::regex_match(text, m, kSaid);
    const std::string rest = m[2];
    const std::size_t last = m[1].str().rfind("Time: ");
    const std::string name = rs.fileName;
    if (parsed == Parsed::run)
        expect(rs.nbrBS >= 1 && rs.nbrBS <= 3 && sleepTime >= 0 && sleepTime <= 999999999 &&
                   rs.local_verbose >= 0 && rs.local_verbose <= 1 && name.size() <= 49 &&
                   name.find_first_of(kBlanks) == std::string::npos &&
                   (rs.binary_out == 1 || (rs.binary_out == 0 && name.empty())) && rest.empty() &&
                   (last == std::string::npos
                        ? sleepTime == 50000
                        : std::strtol(m[1].str().c_str() + last + 6, nullptr, 10) == sleepTime),
               "accepted options out of their ranges, or saying more than their pauses", text);
    else if (parsed == Parsed::helped)
        expect(rest.starts_with("battsnap: Build date: ") && rest.ends_with(kUsage) &&
                   rest.find('\n') + 1 == rest.size() - kUsage.size(),
               "help without the build date and the usage text, or with more", text);
    else
        expect(std::any_of(std::begin(kRefusals), std::end(kRefusals),
                           [&](const char *r) {
                               return rest == std::string("battsnap").append(r).append(kUsage);
                           }),
               "a refusal not as documented", text);
    return 0;
}
