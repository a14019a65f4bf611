// A fixture per test that starts a fresh simulated world in a directory of its
// own, plus the readers the library's tests share: the trace log and the
// transfers on the bus.
#ifndef BBU_TESTS_SIM_WORLD_FIXTURE_H
#define BBU_TESTS_SIM_WORLD_FIXTURE_H

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bbusim.h"
#include "stream_capture.h"

class SimWorldTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        start_world(true);
    }

    // Restart the world; without the trace log's directory when asked.
    void start_world(bool with_log_dir)
    {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        for (char &c : name)
            if (c == '/')
                c = '_';
        root_ = std::string(BBU_TEST_SCRATCH) + "/" + name;
        bbusim::reset(root_, with_log_dir);
    }

    // Apply scenario text and fail the test at once if the simulator refuses it.
    void apply(const std::string &scenario)
    {
        std::string error = bbusim::apply(scenario);
        ASSERT_EQ(error, "") << scenario;
    }

    static std::string read_file(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

    // The whole trace log as written, or "" when it does not exist.
    static std::string trace_log_text()
    {
        return read_file(bbusim::mapped_path("/opt/Logs/bbu/logs/BBU.log"));
    }

    // The trace log's lines with the timestamp ("YYYY-MM-DD HH:MM:SS.us ") cut off.
    // An empty line (left by a message ending in a newline) stays an empty line.
    static std::vector<std::string> trace_messages()
    {
        std::vector<std::string> out;
        std::istringstream in(trace_log_text());
        std::string line;
        while (std::getline(in, line)) {
            auto blank = line.find(' ', line.find(' ') + 1);
            out.push_back(line.empty() ? line : line.substr(blank + 1));
        }
        return out;
    }

    // Transcript lines of transfers (read/write), without their time stamps.
    static std::vector<std::string> bus_transfers()
    {
        std::vector<std::string> out;
        for (const auto &line : bbusim::transcript()) {
            auto space = line.find(' ');
            std::string event = line.substr(space + 1);
            if (event.rfind("read ", 0) == 0 || event.rfind("write ", 0) == 0)
                out.push_back(event);
        }
        return out;
    }

    // The bytes a transcript transfer line carried ("read 0x40 33 -> 33 : 31 ce ..."):
    // those after " : ", none for a failed transfer.
    static std::vector<unsigned char> delivered(const std::string &line)
    {
        std::vector<unsigned char> bytes;
        auto colon = line.find(" : ");
        if (colon == std::string::npos)
            return bytes;
        for (size_t i = colon + 3; i + 2 <= line.size(); i += 3)
            bytes.push_back(static_cast<unsigned char>(std::stoul(line.substr(i, 2), nullptr, 16)));
        return bytes;
    }

    std::string root_;
};

#endif
