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
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "invocation.h"

using namespace bbuctl;

namespace {

void judge(bool fine, const char *what, const std::string &said)
{
    if (fine)
        return;
    // Standard error itself: the stream is the parse's while it runs.
    dprintf(STDERR_FILENO, "bbuctl's command line: %s; it said:\n%s\n", what, said.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static char *const defaultAdapter = I2C_Adapter;
    const std::string input(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> words{"bbuctl"};
    for (std::size_t at = 0, end = 0; at <= size && words.size() < 17; at = end + 1) {
        end = std::min(input.find('\0', at), size);
        words.push_back(input.substr(at, end - at));
    }
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());
    settings = Settings{};
    I2C_Adapter = defaultAdapter;

    char *said = nullptr;
    char *shown = nullptr;
    std::size_t saidLength = 0;
    std::size_t shownLength = 0;
    FILE *const err = stderr;
    FILE *const out = stdout;
    stderr = open_memstream(&said, &saidLength);
    stdout = open_memstream(&shown, &shownLength);  // help and version, not looked at
    const CommandLine line = parseCommandLine(argc, argv.data());
    std::vector<std::string> operands;
    const std::optional<int> status =
        line.command == nullptr ? line.status
                                : parseOptionsStep(*line.command, argc - line.first,
                                                   argv.data() + line.first, {}, {}, operands);
    std::fclose(stderr);
    std::fclose(stdout);
    stderr = err;
    stdout = out;
    const std::string text(said, saidLength);
    std::free(said);
    std::free(shown);

    judge(line.command == nullptr ||
              (line.first > 0 && line.first < argc && words[line.first] == line.command->name),
          "an accepted line does not name its command by its word", text);
    const std::string help =
        std::string("Try 'bbuctl ") +
        (line.command != nullptr ? line.command->name + std::string(" ") : "") + "--help'.\n";
    if (status == EXIT_USAGE)
        judge(text.starts_with("bbuctl: ") && text.ends_with(help) &&
                  std::count(text.begin(), text.end(), '\n') == 2,
              "a refusal is not one message and the help's pointer", text);
    else
        judge((!status || *status == EXIT_OK) && text.empty(),
              "help, version or accepted options with another status or a message", text);
    judge(settings.waitSeconds >= 0 && settings.waitSeconds <= static_cast<int>(MAX_WAIT_SECONDS) &&
              *I2C_Adapter != '\0',
          "a setting out of its range", text);
    return 0;
}
