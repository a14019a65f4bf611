// bbuctl's command line from any bytes: the input split at NUL bytes into up
// to 16 arguments after "bbuctl", through bbuctl's own options and the choice
// of its command (parseCommandLine), then the options every command shares
// (parseOptionsStep, without a command's own), up to where bbuctl would open
// the adapter or a file.
//
// The oracle: a refused line ends with the usage status 2 after exactly one
// "bbuctl: " line (an argument's control bytes shown escaped) and the pointer
// to the help (the command's once a command is named); help and version end
// with 0 and say nothing on standard error; an accepted line names a known
// command by the very word the line gave, with the settings in their ranges,
// and says nothing on standard error.
#include "harness.h"
#include "invocation.h"

using namespace bbuctl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static char *const defaultAdapter = I2C_Adapter;
    Arguments args("bbuctl", data, size);
    settings = Settings{};
    I2C_Adapter = defaultAdapter;
    CommandLine line;
    std::optional<int> status;
    const std::string said =
        said_by([&] {
            line = parseCommandLine(args.argc(), args.argv.data());
            std::vector<std::string> operands;
            status = line.command == nullptr
                         ? line.status
                         : parseOptionsStep(*line.command, args.argc() - line.first,
                                            args.argv.data() + line.first, {}, {}, operands);
        }).err;

    expect(line.command == nullptr || (line.first > 0 && line.first < args.argc() &&
                                       args.words[line.first] == line.command->name),
           "an accepted line does not name its command by its word", said);
    const std::string help =
        std::string("Try 'bbuctl ") +
        (line.command != nullptr ? line.command->name + std::string(" ") : "") + "--help'.\n";
    if (status == EXIT_USAGE)
        expect(said.starts_with("bbuctl: ") && said.ends_with(help) &&
                   std::count(said.begin(), said.end(), '\n') == 2,
               "a refusal is not one message and the help's pointer", said);
    else
        expect((!status || *status == EXIT_OK) && said.empty(),
               "help, version or accepted options with another status or a message", said);
    expect(settings.waitSeconds >= 0 &&
               settings.waitSeconds <= static_cast<int>(MAX_WAIT_SECONDS) && *I2C_Adapter != '\0',
           "a setting out of its range", said);
    return 0;
}
