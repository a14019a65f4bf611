// bbuctl.cpp - the BBU service library's operations at the shell, and the
// offline decoding of battsnap's record files.
//
//   bbuctl [-a PATH] [-v] [-y] [-w SECONDS] [--json] COMMAND [ARG]...
//   bbuctl --help | --version
//
// The options before the command are the ones every command also takes
// after its word; each command parses its own (see invocation.h). The
// program's main is in main.cpp.
#include "invocation.h"

#include <cstdio>
#include <cstring>

namespace bbuctl {

namespace {

const Command *const kCommands[] = {&statusCommand, &vpdCommand,   &lightCommand,
                                    &resetCommand,  &flashCommand, &validateCommand,
                                    &dumpCommand,   &imageCommand, &decodeCommand};

void printHelp(FILE *out)
{
    std::fprintf(out, "Usage: bbuctl [OPTION]... COMMAND [ARG]...\n"
                      "       bbuctl --help | --version\n"
                      "Run the BBU service library's operations on a battery backup unit (BBU) on\n"
                      "Linux I2C, and decode battsnap's record files without one.\n"
                      "\n"
                      "Commands:\n");
    for (const Command *command : kCommands)
        for (const Form &form : command->forms)
            if (form.synopsis != nullptr)
                std::fprintf(out, "  %-31s %s\n", form.synopsis, form.summary);
    std::fprintf(out, "\n"
                      "Options (also after the command):\n");
    printCommonOptions(out);
    std::fprintf(
        out, "  -h, --help               show this help and exit ('bbuctl COMMAND --help': the\n"
             "                           command's)\n"
             "  -V, --version            show the version and exit\n"
             "\n"
             "Commands that touch the bus hold the adapter's lock while they work. Commands\n"
             "that change the BBU ask on a terminal, and without one need -y.\n"
             "Exit status: 0 success, 1 the operation failed or was declined, 2 usage error.\n");
}

void putVersion()
{
    if (jsonOutput())
        document()["version"] = BBU_VERSION;
    else
        std::printf("bbuctl (bbu) %s\n", BBU_VERSION);
}

// The command named by the word at argv[first], if any.
CommandLine commandNamed(int argc, char **argv, int first)
{
    if (first >= argc)
        return {nullptr, 0, usageFailure(nullptr, "no command given")};
    for (const Command *command : kCommands) {
        if (std::strcmp(argv[first], command->name) == 0)
            return {command, first, EXIT_OK};
    }
    return {nullptr, 0, usageFailure(nullptr, "unknown command '%s'", argv[first])};
}

}  // namespace

CommandLine parseCommandLine(int argc, char **argv)
{
    const option options[] = {{"adapter", required_argument, nullptr, 'a'},
                              {"verbose", no_argument, nullptr, 'v'},
                              {"yes", no_argument, nullptr, 'y'},
                              {"lock-wait", required_argument, nullptr, 'w'},
                              {"json", no_argument, nullptr, JSON_OPTION},
                              {"help", no_argument, nullptr, 'h'},
                              {"version", no_argument, nullptr, 'V'},
                              {nullptr, 0, nullptr, 0}};
    opterr = 0;
    optind = 0;  // from the first argument, whatever was parsed before
    // '+': the options end at the command word, which parses its own.
    for (int key = 0, index = -1;
         (key = getopt_long(argc, argv, "+:a:vyw:hV", options, &index)) != -1; index = -1) {
        if (index >= 0 && refuseAbbreviation(nullptr, lastOptionWord(argv), options[index]) != 0)
            return {nullptr, 0, EXIT_USAGE};
        switch (key) {
        case 'h':
            putHelp(printHelp);
            return {};
        case 'V':
            putVersion();
            return {};
        case 'a':
        case 'v':
        case 'y':
        case 'w':
        case JSON_OPTION:
            if (applyCommonOption(nullptr, key, optarg) != 0)
                return {nullptr, 0, EXIT_USAGE};
            break;
        default:
            return {nullptr, 0, refuseOption(nullptr, key, argv)};
        }
    }
    return commandNamed(argc, argv, optind);
}

}  // namespace bbuctl
