// capture_record.cpp - the two outputs of a capture: the raw record file and
// the console report. Both run only after every read has succeeded.
#include "capture_record.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

// One record part written as one item. The stream is unbuffered, so a full
// or failing device is seen by the write of the part that did not fit, not
// later at close.
bool writeItem(const void *data, std::size_t size, std::FILE *f)
{
    return std::fwrite(data, size, 1, f) == 1;
}

void printOneStatePerString(const char *title, const ui8 (&values)[3])
{
    std::printf("%s", title);
    for (int j = 0; j < 3; ++j)
        std::printf("                         %d      %d\n", j, values[j]);
}

void printNineStatesPerString(const char *title, const ui8 (&rows)[3][9])
{
    std::printf("%s", title);
    for (int j = 0; j < 3; ++j) {
        std::printf("                         %d      ", j);
        for (ui8 state : rows[j])
            std::printf("%d  ", state);
        std::printf("\n");
    }
}

}  // namespace

void printWords(const char *lead, const ui8 *bytes)
{
    std::array<bbu_be32, 4> words;
    std::memcpy(words.data(), bytes, sizeof words);
    std::printf("%s0x%8.8x %8.8x %8.8x %8.8x\n", lead, bbu_be32_value(words[0]),
                bbu_be32_value(words[1]), bbu_be32_value(words[2]), bbu_be32_value(words[3]));
}

int writeBBUstatesaveFile(const bbuStateSave &ss, int nbrBS, const char *fileName, const char *pgm)
{
    std::FILE *f = std::fopen(fileName, "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "%s: Error opening output file\n", pgm);
        return -1;
    }
    std::setvbuf(f, nullptr, _IONBF, 0);

    // After a failed write the file keeps what was written before it; the
    // stream is left to the process exit.
    if (!writeItem(&ss.stateSaveInfo, sizeof ss.stateSaveInfo, f)) {
        std::fprintf(stderr, "%s: Error writing the BBU state save information\n", pgm);
        return -1;
    }
    if (!writeItem(&ss.generalStatus, sizeof ss.generalStatus, f)) {
        std::fprintf(stderr, "%s: Error writing the BBU GSS\n", pgm);
        return -1;
    }
    for (int i = 0; i < nbrBS; ++i) {
        if (!writeItem(&ss.batteryStringStatus[i], sizeof ss.batteryStringStatus[i], f)) {
            std::fprintf(stderr, "%s: Error writing the BBU BSS\n", pgm);
            return -1;
        }
    }
    if (std::fclose(f) != 0) {
        std::fprintf(stderr, "%s: Error closing file with the BBU history\n", pgm);
        return -1;
    }
    return 0;
}

void printBBUstatesave(const bbuStateSave &ss, int nbrBS)
{
    const bbuSS &saved = ss.stateSaveInfo;
    const StateInfo &state = saved.state;

    std::printf("BBU Battery Number: %d\n", state.battNbr);
    printWords("    Stack Data: ", saved.stack);

    // The state tables always show all three strings, numbered from 0.
    printOneStatePerString("    Current State:       StrNbr  State\n", state.current);
    printNineStatesPerString("    Previous State:      StrNbr  State\n", state.previous);
    printNineStatesPerString("    History State:       StrNbr  State\n", state.history);
    printOneStatePerString("    State Change Reason: StrNbr  State\n", state.changeReason);
    printOneStatePerString("    Error Code:          StrNbr  State\n", state.bbuErrorCode);

    const ui8 *gss = reinterpret_cast<const ui8 *>(&ss.generalStatus);
    std::printf("    General Status:\n");
    printWords("      ", gss);
    printWords("      ", gss + 16);
    std::printf("      0x%2.2x\n", ss.generalStatus.GenStatChkSum);

    // Entry j holds battery string j + 1 but prints as "Str Nbr:j".
    for (int j = 0; j < nbrBS; ++j) {
        const ui8 *bss = reinterpret_cast<const ui8 *>(&ss.batteryStringStatus[j]);
        std::printf("    Battery String Status: Str Nbr:%d\n", j);
        printWords("      ", bss);
        printWords("      ", bss + 16);
    }
}
