#include "transcript.h"

#include <cctype>
#include <sstream>

namespace bbutest {

std::vector<std::string> events(const std::vector<std::string> &transcript)
{
    std::vector<std::string> out;
    for (const std::string &line : transcript)
        out.push_back(line.substr(line.find(' ') + 1));
    return out;
}

std::vector<Transfer> transfers(const std::vector<std::string> &transcript, int addr, Dir dir)
{
    std::vector<Transfer> out;
    for (const std::string &line : transcript) {
        Transfer t;
        std::istringstream in(line);
        std::uint64_t seconds = 0;
        char dot = 0;
        std::string word, address;
        in >> seconds >> dot >> t.us >> word >> address >> t.len;
        if ((word != "read" && word != "write") || !in)
            continue;
        t.us += seconds * 1000000;
        t.read = word == "read";
        t.addr = static_cast<unsigned>(std::stoul(address, nullptr, 16));
        t.text = line.substr(line.find(' ') + 1);
        while (in >> word) {
            if (word == "->" && in >> word) {
                if (std::isdigit(static_cast<unsigned char>(word[0])))
                    t.result = std::stoi(word);
                else
                    t.error = word;
            } else if (word != ":") {
                t.bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
            }
        }
        if ((addr < 0 || t.addr == static_cast<unsigned>(addr)) &&
            (dir == Dir::any || t.read == (dir == Dir::read)))
            out.push_back(t);
    }
    return out;
}

}  // namespace bbutest
