// bbuctl.cpp - the BBU service library's operations at the shell, and the
// offline decoding of battsnap's record files.
//
//   bbuctl [-a PATH] [-v] [-y] [-w SECONDS] [--json] COMMAND [ARG]...
//   bbuctl --help | --version
//
// The options before the command are the ones every command also takes
// after its word; each command parses its own (see invocation.h).
#include "invocation.h"
#include "signals.h"

#include <cstdio>
#include <cstring>

namespace {

using namespace bbuctl;

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

}  // namespace

int main(int argc, char **argv)
{
    writeWholeLines();
    scanForJson(argc, argv);
    signals::install();
    const option options[] = {{"adapter", required_argument, nullptr, 'a'},
                              {"verbose", no_argument, nullptr, 'v'},
                              {"yes", no_argument, nullptr, 'y'},
                              {"lock-wait", required_argument, nullptr, 'w'},
                              {"json", no_argument, nullptr, JSON_OPTION},
                              {"help", no_argument, nullptr, 'h'},
                              {"version", no_argument, nullptr, 'V'},
                              {nullptr, 0, nullptr, 0}};
    opterr = 0;
    // '+': the options end at the command word, which parses its own.
    for (int key = 0, index = -1;
         (key = getopt_long(argc, argv, "+:a:vyw:hV", options, &index)) != -1; index = -1) {
        if (index >= 0)
            refuseAbbreviation(nullptr, lastOptionWord(argv), options[index]);
        switch (key) {
        case 'a':
        case 'v':
        case 'y':
        case 'w':
        case JSON_OPTION:
            applyCommonOption(nullptr, key, optarg);
            break;
        case 'h':
            showHelp(printHelp);
        case 'V':
            if (jsonOutput())
                document()["version"] = BBU_VERSION;
            else
                std::printf("bbuctl (bbu) %s\n", BBU_VERSION);
            finish(EXIT_OK);
        case ':':
            usageError(nullptr, "option '%s' needs a value", argv[optind - 1]);
        default:
            if (optopt != 0)
                usageError(nullptr, "unknown option '-%c'", optopt);
            usageError(nullptr, "unknown option '%s'", argv[optind - 1]);
        }
    }
    if (optind >= argc)
        usageError(nullptr, "no command given");
    for (const Command *command : kCommands) {
        if (std::strcmp(argv[optind], command->name) == 0) {
            setForm(command->name, command->changes);
            finish(command->run(argc - optind, argv + optind));
        }
    }
    usageError(nullptr, "unknown command '%s'", argv[optind]);
}
