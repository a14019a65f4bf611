// What the code load's tests share: a fresh simulated BBU with the adapter
// open, a call with its console output captured, a generated image in a file,
// and the story of the bus: one word per transfer, in order.
#ifndef BBU_TESTS_LOAD_FIXTURE_H
#define BBU_TESTS_LOAD_FIXTURE_H

#include <bbu/bbu.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim_world.h"

class LoadTest : public SimWorldTest {
protected:
    void SetUp() override
    {
        SimWorldTest::SetUp();
        checksumError = TFB_delay = TFB_delaytime = 0;
        fd_ = open_I2C_device(0);
    }
    void TearDown() override
    {
        close_I2C_device(fd_);
    }

    struct Run {
        int rc;
        std::string out, err;
    };
    template <typename Call>
    static Run captured(Call call)
    {
        int rc = 0;
        bbutest::Output o = bbutest::capture([&] { rc = call(); });
        return {rc, o.out, o.err};
    }

    std::string image_file(std::uint8_t version, std::size_t size = bbusim::kImageLen,
                           bbusim::ImageFault fault = bbusim::ImageFault::none)
    {
        image_ = bbusim::make_image(version, size, fault);
        std::string path = root_ + "/image.bin";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(image_.data()),
                   static_cast<std::streamsize>(image_.size()));
        return path;
    }

    // Writes as words: Mnn read-memory of nn (hex) bytes, V validate, X 8a 8a (soft reset,
    // End_Flash_Load), S Start_Flash_Load, R a flash block record, t the
    // terminate byte, T Take_Flash_Block, E clear status, C a clock write; "!"
    // marks one that did not carry its whole length; d a TFB pause of 20 ms.
    // With reads: s a 33-byte status read, p a 32-byte poll, r a read at 0x60,
    // and . a pause of 100 microseconds.
    static std::string bus_story(bool with_reads = false)
    {
        std::string story;
        for (const std::string &line : bbusim::transcript()) {
            const std::string event = line.substr(line.find(' ') + 1);
            unsigned addr = 0, len = 0;
            std::sscanf(event.c_str(), "%*s 0x%x %u", &addr, &len);
            const std::string bytes = event.substr(event.find(" : ") + 3);
            std::string word = event == "sleep 20000" ? "d" : "";
            if (with_reads && event == "sleep 100")
                word = ".";
            if (event.rfind("write ", 0) == 0) {
                word = addr == 0x68 ? "C" : addr == 0x60 ? "R" : "?";
                for (const char *w :
                     {"Me0 90", "V8c 8c", "X8a 8a", "S89 89", "T8f 8f", "t01 ", "Ee9 e9"})
                    if (addr == 0x40 && bytes.rfind(w + 1, 0) == 0)
                        word = w[0] + (w[0] == 'M' ? bytes.substr(6, 2) : "");
                if (event.substr(event.rfind("-> ") + 3) != std::to_string(len))
                    word += "!";
            } else if (with_reads && event.rfind("read ", 0) == 0) {
                word = addr == 0x60 ? "r" : len == 33 ? "s" : len == 32 ? "p" : "";
            }
            if (!word.empty())
                story += (story.empty() ? "" : " ") + word;
        }
        return story;
    }

    // Files this process has open: a call that closes what it opens leaves
    // the number as it found it.
    static long open_files()
    {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    }

    int fd_ = -1;
    std::vector<std::uint8_t> image_;
};

#endif
