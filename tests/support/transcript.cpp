#include "transcript.h"

#include <cctype>
#include <sstream>

namespace bbutest {

std::string Transfer::shape() const
{
    return read ? text.substr(0, text.find(" : ")) : text;
}

std::vector<Event> events(const std::vector<std::string> &transcript)
{
    std::vector<Event> out;
    for (const std::string &line : transcript) {
        std::istringstream time(line);
        std::uint64_t seconds = 0, micros = 0;
        char dot = 0;
        time >> seconds >> dot >> micros;
        out.push_back({seconds * 1000000 + micros, line.substr(line.find(' ') + 1)});
    }
    return out;
}

std::vector<Transfer> transfers(const std::vector<std::string> &transcript, int addr, Dir dir)
{
    std::vector<Transfer> out;
    for (const Event &e : events(transcript)) {
        Transfer t;
        t.us = e.us;
        t.text = e.text;
        std::istringstream in(e.text);
        std::string word, address;
        in >> word >> address >> t.len;
        if ((word != "read" && word != "write") || !in)
            continue;
        t.read = word == "read";
        t.addr = static_cast<unsigned>(std::stoul(address, nullptr, 16));
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
