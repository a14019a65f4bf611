// record_redact.cpp - a recording made fit to leave a customer's site: the
// VPD EEPROM's serial number and part numbers replaced with placeholders of
// the same length in every read and write at 0x54, and every VPD check byte
// those reads and writes carry changed to fit the placeholders, so that the
// program that made the recording replays it unchanged.
//
// The EEPROM's address pointer is followed through the recording: a write
// sets it from its first byte and stores the rest from there, wrapping in
// the 8-byte page; a read delivers bytes from it on, wrapping at 256; both
// move it on. A read before any write that set the pointer cannot be placed
// and is left as it is.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "record.h"

namespace bbusim {
namespace {

constexpr int kVpdAddress = 0x54;
constexpr int kVpdLen = 256;
constexpr int kPageLen = 8;
constexpr int kCheckByte = 255;  // XOR of bytes 0..254
constexpr std::uint8_t kPlaceholder = 'X';

// The values of PN=, FN= and SN= in the VPD image: offset and length.
struct Field {
    int at;
    int len;
};
constexpr std::array<Field, 3> kHidden{{{5, 8}, {16, 8}, {27, 12}}};

bool is_hidden(int offset)
{
    for (const Field &f : kHidden)
        if (offset >= f.at && offset < f.at + f.len)
            return true;
    return false;
}

class Redactor {
public:
    // One body line; the line itself when it is not a transfer at 0x54.
    std::string line(const std::string &text)
    {
        std::vector<std::string> w;
        std::istringstream in(text);
        for (std::string word; in >> word;)
            w.push_back(word);
        if (w.size() < 6 || (w[1] != "read" && w[1] != "write") || w[2] != address_word())
            return text;
        const bool is_read = w[1] == "read";
        std::size_t first = 0;
        for (std::size_t i = 4; i < w.size(); ++i)
            if (w[i] == ":")
                first = i + 1;
        std::size_t arrow = 4;
        while (arrow < w.size() && w[arrow] != "->")
            ++arrow;
        if (first == 0 || arrow + 1 >= w.size())
            return text;
        const bool failed = w[arrow + 1][0] == 'E' || w[arrow + 1][0] == '-';
        const std::size_t end = is_read ? w.size() : arrow;
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = first; i < end; ++i) {
            char *stop = nullptr;
            const unsigned long v = std::strtoul(w[i].c_str(), &stop, 16);
            if (w[i].size() != 2 || *stop != '\0' || v > 0xff)
                return text;  // not a line as the recorder writes it: left alone
            bytes.push_back(static_cast<std::uint8_t>(v));
        }
        if (is_read)
            read(bytes);
        else
            write(bytes, failed);
        for (std::size_t i = first; i < end; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02x", bytes[i - first]);
            w[i] = hex;
        }
        std::string out;
        for (const std::string &word : w)
            out += (out.empty() ? "" : " ") + word;
        return out;
    }

private:
    static std::string address_word()
    {
        char a[8];
        std::snprintf(a, sizeof a, "0x%02x", kVpdAddress);
        return a;
    }

    // The byte at `offset` as the program replaying the recording sees it.
    void hide(int offset, std::uint8_t &b)
    {
        if (is_hidden(offset)) {
            diff_[offset] = b ^ kPlaceholder;
            b = kPlaceholder;
        } else if (offset == kCheckByte) {
            for (int i = 0; i < kCheckByte; ++i)
                b ^= diff_[i];
        }
    }

    void read(std::vector<std::uint8_t> &bytes)
    {
        if (pointer_ < 0)
            return;
        for (std::uint8_t &b : bytes) {
            hide(pointer_, b);
            pointer_ = (pointer_ + 1) % kVpdLen;
        }
    }

    void write(std::vector<std::uint8_t> &bytes, bool failed)
    {
        if (bytes.empty())
            return;
        const int start = bytes[0];
        const int page = start & ~(kPageLen - 1);
        int at = start;
        for (std::size_t i = 1; i < bytes.size(); ++i) {
            at = page | ((start + static_cast<int>(i) - 1) & (kPageLen - 1));
            hide(at, bytes[i]);
        }
        if (!failed)
            pointer_ = bytes.size() == 1 ? start : page | ((at + 1) & (kPageLen - 1));
    }

    int pointer_ = -1;                          // unknown until a write sets it
    std::array<std::uint8_t, kVpdLen> diff_{};  // true byte XOR placeholder, where hidden
};

}  // namespace

std::string redact_recording(const std::string &text)
{
    Redactor r;
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        const bool ended = end != std::string::npos;
        if (!ended)
            end = text.size();
        std::string line = text.substr(at, end - at);
        if (line == "# redacted: no")
            line = std::string("# redacted: ") + kRedactedWhat;
        else if (line.rfind("# ", 0) != 0)
            line = r.line(line);
        out += line + (ended ? "\n" : "");
        at = end + 1;
    }
    return out;
}

}  // namespace bbusim
