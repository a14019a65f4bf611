// A fresh simulated world for each in-process test, in a directory of its own
// below the build tree, and what the tests read back from it: the trace log
// and the transfers on the bus. Only for programs that link the simulator.
#ifndef BBU_TESTS_SUPPORT_SIM_WORLD_H
#define BBU_TESTS_SUPPORT_SIM_WORLD_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bbusim.h"
#include "bytes.h"
#include "capture.h"
#include "test_names.h"
#include "transcript.h"

class SimWorldTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        start_world(true);
    }

    // Restart the world; without the trace log's directory when asked.
    void start_world(bool with_log_dir)
    {
        root_ = std::string(BBU_TEST_SCRATCH) + "/" + bbutest::current_test_name();
        bbusim::reset(root_, with_log_dir);
    }

    // Apply scenario text and fail the test at once if the simulator refuses it.
    void apply(const std::string &scenario)
    {
        ASSERT_EQ(bbusim::apply(scenario), "") << scenario;
    }

    static std::string read_file(const std::string &path)
    {
        return bbutest::read_file(path);
    }

    static std::string trace_log_path()
    {
        return bbusim::mapped_path("/opt/Logs/bbu/logs/BBU.log");
    }
    // Empty the trace log and the transcript, as between the cases of one test.
    static void clear_records()
    {
        std::ofstream(trace_log_path(), std::ios::trunc).close();
        bbusim::clear_transcript();
    }
    static std::string trace_log_text()
    {
        return read_file(trace_log_path());
    }

    // The trace log with each line's time stamp ("YYYY-MM-DD HH:MM:SS.us ") cut off.
    static std::string trace_messages()
    {
        std::string out;
        for (const std::string &line : bbutest::lines(trace_log_text())) {
            const auto stamp_end = line.find(' ', line.find(' ') + 1);
            out += (stamp_end == std::string::npos ? "" : line.substr(stamp_end + 1)) + "\n";
        }
        return out;
    }

    static std::vector<bbutest::Transfer> transfers()
    {
        return bbutest::transfers(bbusim::transcript());
    }

    // Transcript events without their time stamps, and those of the transfers alone.
    static std::vector<std::string> events()
    {
        return bbutest::events(bbusim::transcript());
    }
    static std::vector<std::string> bus_transfers()
    {
        std::vector<std::string> out;
        for (const bbutest::Transfer &t : transfers())
            out.push_back(t.text);
        return out;
    }

    std::string root_;
};

// A world with the default adapter open.
class SimAdapterTest : public SimWorldTest {
protected:
    void SetUp() override
    {
        SimWorldTest::SetUp();
        fd_ = ::open("/dev/i2c-0b", O_RDWR);
        ASSERT_GE(fd_, 0) << std::strerror(errno);
    }
    void TearDown() override
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    int fd_ = -1;
};

#endif  // BBU_TESTS_SUPPORT_SIM_WORLD_H
