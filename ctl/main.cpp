// main.cpp - bbuctl's entry point: its command line parsed (bbuctl.cpp), then
// the command run, each ending the program with its exit status.
#include "invocation.h"
#include "signals.h"

int main(int argc, char **argv)
{
    using namespace bbuctl;
    writeWholeLines();
    scanForJson(argc, argv);
    signals::install();
    const CommandLine line = parseCommandLine(argc, argv);
    if (line.command == nullptr)
        finish(line.status);
    setForm(line.command->name, line.command->changes);
    finish(line.command->run(argc - line.first, argv + line.first));
}
