// bbuctl against the simulator's faults, one at a time, judged by what the
// simulated device truly holds afterwards.
//
// For each command that talks to the BBU, a run without faults gives the
// command's transfers; each fault kind is then placed at those transfers
// (`skip K` for the K-th event of its kind: `count 1` or `count 2` for a
// transient fault, `count always` from K on for a lasting one) and bbuctl is
// run, preloaded with the interposer on this test's world. Afterwards the
// device is read through the in-process API and the outcome must be one of:
//  - exit 0 and the device in the state the command reported;
//  - a non-zero exit whose message says what the device holds, and that
//    statement true of the device.
// A transient fault that the transfers' retries absorb must end in exit 0.
// Anything else is a silent wrong outcome; each is listed with its command,
// scenario, exit, output and the device's true state.
//
// By default each command runs a spread sample of its cases (part of the
// suite). With BBU_FAULT_SWEEP=full every case runs (the bench target) and
// the counts per command and per fault class are printed with the time taken.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "launcher_preload.h"
#include "sim_world.h"

namespace {

using bbutest::Bytes;

constexpr std::uint32_t kImageAt = 0x1000;
constexpr std::size_t kImageLen = 49152;
constexpr int kDefaultVersion = 5;  // the default world's image
constexpr int kNewVersion = 6;      // the image the sweep loads

// Where a fault is placed and whether the retries must absorb it.
struct Case {
    std::string fault_class;  // e.g. "fail 40 write transient"
    std::string scenario;
    bool must_absorb = false;  // it must end as the run without faults ends
    std::string known = "";    // a wrong outcome reported and not yet mended: why it is wrong
    bool at_transfer = false;  // placed at one transfer: the suite runs a spread of these
};

struct Outcome {
    int status = -1;
    std::string out, err;
    std::vector<std::string> transcript;
};

// What the judge decided about one run.
enum class Verdict { verified_ok, verified_failure, unverifiable_failure, wrong };

struct Tally {
    int runs = 0, ok = 0, failures = 0, unverifiable = 0, wrong = 0;
    void add(Verdict v)
    {
        ++runs;
        ok += v == Verdict::verified_ok;
        failures += v == Verdict::verified_failure;
        unverifiable += v == Verdict::unverifiable_failure;
        wrong += v == Verdict::wrong;
    }
};

bool full_sweep()
{
    const char *mode = std::getenv("BBU_FAULT_SWEEP");
    return mode != nullptr && std::string(mode) == "full";
}

std::string hex(const std::uint8_t *bytes, std::size_t n)
{
    std::string text;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += b;
    }
    return text;
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// The state texts a failure uses for what the device holds; "neither ..."
// before "the new value is in place", which it contains.
const char *const kHoldsTexts[] = {
    "nothing was changed",
    "the old value is still in place",
    "neither the old nor the new value is in place",
    "the new value is in place",
    "the old image still runs",
    "the new image runs",
    "the BBU has no valid image",
    "the BBU restarted",
    "no restart of the BBU was seen",
    "the device does not answer",
    "the value could not be read",
};

std::string holds_named(const std::string &err)
{
    for (const char *h : kHoldsTexts)
        if (contains(err, h))
            return h;
    return "";
}

class FaultSweep : public SimWorldTest {
protected:
    static void TearDownTestSuite()
    {
        if (!full_sweep())
            return;
        std::printf("\n%-26s %6s %6s %8s %8s %6s\n", "command / class", "runs", "exit0", "failed",
                    "unknown", "WRONG");
        for (const auto &[name, t] : tallies())
            std::printf("%-26s %6d %6d %8d %8d %6d\n", name.c_str(), t.runs, t.ok, t.failures,
                        t.unverifiable, t.wrong);
    }

    static std::map<std::string, Tally> &tallies()
    {
        static std::map<std::string, Tally> t;
        return t;
    }

    // Runs bbuctl with `args` on the current world; both streams and the
    // transcript of the run are returned.
    Outcome run(const std::vector<std::string> &args)
    {
        static const std::string preload =
            bbusim::compose_preload(bbusim::sanitizer_runtimes(bbusim::elf_needed(BBUCTL_PATH)),
                                    BBUSIM_LIBRARY_PATH, std::getenv("LD_PRELOAD"));
        bbusim::clear_transcript();
        const std::string out_path = root_ + "/bbuctl.out", err_path = root_ + "/bbuctl.err";
        std::vector<char *> argv{const_cast<char *>(BBUCTL_PATH)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {  // the test has no other thread: setenv is safe here
            setenv("LD_PRELOAD", preload.c_str(), 1);
            setenv("BBUSIM_WORLD", (root_ + "/bbusim.world").c_str(), 1);
            const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int null = ::open("/dev/null", O_RDONLY);
            if (out < 0 || err < 0 || null < 0)
                _exit(126);
            dup2(null, 0);
            dup2(out, 1);
            dup2(err, 2);
            execv(BBUCTL_PATH, argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        Outcome o;
        o.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        o.out = read_file(out_path);
        o.err = read_file(err_path);
        o.transcript = bbusim::transcript();
        return o;
    }

    // The faults that apply to the transfers of a fault-free run, placed at
    // each of them (or at `sample` of them, by their index in the run).
    static std::vector<Case> transfer_cases(const std::vector<std::string> &clean,
                                            const std::set<std::size_t> *sample = nullptr)
    {
        std::vector<Case> cases;
        std::map<std::string, int> seen;  // events of one kind so far
        std::set<std::string> done;
        const auto add = [&](const std::string &cls, const std::string &fault, bool absorb) {
            if (done.insert(fault).second)
                cases.push_back({cls, "fault " + fault, absorb, "", true});
        };
        const std::vector<bbutest::Transfer> all = bbutest::transfers(clean);
        for (std::size_t i = 0; i < all.size(); ++i) {
            const bbutest::Transfer &t = all[i];
            char addr[8];
            std::snprintf(addr, sizeof addr, "%02x", t.addr);
            const std::string dir = t.read ? "read" : "write";
            const std::string kind = std::string(addr) + " " + dir;
            const int k = seen[kind]++;
            const bool status_read = t.read && t.addr == 0x40 && t.len >= 33;
            const int status_k = status_read ? seen["gss"]++ : 0;
            const bool frame = !t.read && t.addr == 0x40 && t.len >= 2;
            const int frame_k = frame ? seen["frame"]++ : 0;
            const bool block_read = t.read && t.addr == 0x60;
            const int block_k = block_read ? seen["block"]++ : 0;
            const bool vpd_read = t.read && t.addr == 0x54 && t.len > 71;
            const int vpd_k = vpd_read ? seen["vpd"]++ : 0;
            if (sample != nullptr && sample->count(i) == 0)
                continue;
            const std::string skip = " skip " + std::to_string(k);
            add("fail " + kind + " transient", "fail " + kind + skip, true);
            add("fail " + kind + " twice", "fail " + kind + skip + " count 2", true);
            add("fail " + kind + " lasting", "fail " + kind + skip + " count always", false);
            if (t.len >= 2) {
                const std::string shorter =
                    "short " + kind + " " + std::to_string(t.len / 2) + skip;
                // A short transfer is a result above 0: the retries take it as done.
                add("short " + kind + " transient", shorter, false);
                add("short " + kind + " lasting", shorter + " count always", false);
            }
            if (status_read) {
                const std::string s = "gss-check skip " + std::to_string(status_k);
                add("gss-check transient", s, true);
                add("gss-check lasting", s + " count always", false);
            }
            if (frame) {
                const std::string s = " skip " + std::to_string(frame_k);
                add("busy", "busy 40" + s, false);
                add("error-bits", "error-bits 6 20" + s, false);
            }
            if (block_read) {
                const std::string s = "block-check skip " + std::to_string(block_k);
                add("block-check transient", s, false);
                add("block-check lasting", s + " count always", false);
            }
            if (vpd_read) {
                const std::string s = " skip " + std::to_string(vpd_k);
                add("vpd-flip transient", "vpd-flip 71 04" + s, true);
                add("vpd-flip twice", "vpd-flip 255 01" + s + " count 2", false);
            }
        }
        return cases;
    }

    // Runs every case (or a spread sample of `sample_size` of them in the
    // suite), judging each with `judge`; fails the test listing the wrong ones.
    template <typename Judge>
    void sweep(const std::string &command, const std::string &world,
               const std::vector<std::string> &args, std::vector<Case> cases,
               std::size_t sample_size, Judge judge, int clean_exit = 0)
    {
        if (!full_sweep() && cases.size() > sample_size) {
            // A spread of the faults at transfers, and every other case.
            std::vector<Case> picked;
            for (std::size_t i = 0; i < cases.size(); ++i)
                if (!cases[i].at_transfer ||
                    i * sample_size / cases.size() != (i + 1) * sample_size / cases.size())
                    picked.push_back(cases[i]);
            cases = picked;
        }
        std::string wrong;
        const auto started = std::chrono::steady_clock::now();
        for (const Case &c : cases) {
            start_world(true);
            apply(world + "\n" + c.scenario);
            const Outcome o = run(args);
            std::string why = judge(o);
            if (why.empty() && c.must_absorb && o.status != clean_exit)
                why = "a transient fault the retries absorb did not end in exit " +
                      std::to_string(clean_exit);
            Verdict v = Verdict::wrong;
            if (why.empty())
                v = o.status == 0 ? Verdict::verified_ok : Verdict::verified_failure;
            else if (why == "unverifiable")
                v = Verdict::unverifiable_failure;
            tallies()[command].add(v);
            const std::string &cls = c.fault_class;
            const std::string kind = cls.substr(0, cls.find(' '));
            const std::string how = cls.substr(cls.rfind(' ') + 1);
            tallies()["  " + (kind == how ? kind : kind + " " + how)].add(v);
            if (!c.known.empty()) {
                // Still counted as wrong above; the test fails only once it is mended.
                if (v != Verdict::wrong)
                    wrong += "\n" + command + " [" + c.scenario + "] is right now: drop its mark";
                else if (full_sweep())
                    std::printf("known wrong: %s [%s]: %s\n", command.c_str(), c.scenario.c_str(),
                                c.known.c_str());
            } else if (v == Verdict::wrong) {
                wrong += "\n" + command + " [" + c.scenario + "]: exit " +
                         std::to_string(o.status) + ", " + why + "\n  stdout: " + o.out +
                         "  stderr: " + o.err;
            }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (full_sweep())
            std::printf("%s: %zu runs in %.1f s\n", command.c_str(), cases.size(), seconds);
        EXPECT_EQ(wrong, "") << "silent wrong outcomes of " << command;
    }

    // The transcript of a fault-free run, which must succeed.
    std::vector<std::string> clean_run(const std::string &world,
                                       const std::vector<std::string> &args)
    {
        start_world(true);
        apply(world);
        const Outcome o = run(args);
        EXPECT_EQ(o.status, 0) << o.err;
        return o.transcript;
    }

    // A read failed: it must say so on standard error; the device is
    // unchanged by a read, so nothing more is claimed.
    static std::string read_failure(const Outcome &o, const std::string &what)
    {
        if (!contains(o.err, "bbuctl: " + what + ":"))
            return "failed without naming the command";
        return "";
    }

    // A change failed: its message must name what the device holds, and
    // `truth` says whether that is so ("" when it is, else what is seen).
    template <typename Truth>
    static std::string change_failure(const Outcome &o, Truth truth)
    {
        const std::string holds = holds_named(o.err);
        if (holds.empty())
            return "the failure does not say what the device holds";
        if (holds == "the device does not answer" || holds == "the value could not be read")
            return "unverifiable";
        return truth(holds);
    }
};

std::uint8_t light_of(const std::array<std::uint8_t, 33> &status)
{
    return status[14] & 0x0f;
}

TEST_F(FaultSweep, StatusPrintsWhatTheBbuHoldsOrFails)
{
    const std::vector<std::string> args{"status", "--json"};
    const auto clean = clean_run("", args);
    sweep("status --json", "", args, transfer_cases(clean), 40, [](const Outcome &o) {
        if (o.status != 0)
            return read_failure(o, "status");
        const auto doc = nlohmann::json::parse(o.out, nullptr, false);
        if (doc.is_discarded() || !doc.contains("bytes"))
            return std::string("exit 0 without the status bytes");
        const std::vector<std::uint8_t> printed = doc["bytes"];
        auto truth = bbusim::peek_status();
        for (int i = 8; i < 12; ++i)  // the elapsed seconds count on
            truth[i] = printed.size() > 11 ? printed[i] : truth[i];
        if (printed.size() < 32 || !std::equal(truth.begin(), truth.begin() + 32, printed.begin()))
            return "printed " + hex(printed.data(), printed.size()) + ", the BBU holds " +
                   hex(truth.data(), 32);
        return std::string();
    });
}

TEST_F(FaultSweep, PrometheusStatusReportsSuccessOnlyForAStatusRead)
{
    const std::vector<std::string> args{"status", "--prometheus"};
    const auto clean = clean_run("", args);
    sweep("status --prometheus", "", args, transfer_cases(clean), 40, [](const Outcome &o) {
        const bool success = contains(o.out, "bbu_status_read_success 1\n");
        if ((o.status == 0) != success)
            return std::string("exit status and bbu_status_read_success disagree");
        if (!success)
            return read_failure(o, "status");
        const auto truth = bbusim::peek_status();
        char info[64];
        std::snprintf(info, sizeof info,
                      "bbu_firmware_info{version=\"%02x\",sub_version=\"%02x\"} 1", truth[30],
                      truth[31]);
        return contains(o.out, info) ? std::string()
                                     : "the BBU holds firmware " + std::string(info);
    });
}

TEST_F(FaultSweep, LightReadAndSetEndInTheLightTheBbuShows)
{
    const auto before = light_of(bbusim::peek_status());
    const std::vector<std::string> read{"light"};
    sweep("light", "", read, transfer_cases(clean_run("", read)), 40, [](const Outcome &o) {
        if (o.status != 0)
            return read_failure(o, "light");
        const std::string truth =
            "service fault light: " + std::to_string(light_of(bbusim::peek_status())) + "\n";
        return o.out == truth ? std::string() : "the BBU shows " + truth;
    });

    const int wanted = (before + 5) & 0x0f;
    const std::vector<std::string> set{"-y", "light", "set", std::to_string(wanted)};
    sweep("light set", "", set, transfer_cases(clean_run("", set)), 40, [&](const Outcome &o) {
        const int now = light_of(bbusim::peek_status());
        const std::string seen = "the BBU shows " + std::to_string(now);
        if (o.status == 0)
            return now == wanted ? std::string() : "exit 0, " + seen;
        return change_failure(o, [&](const std::string &holds) {
            const bool right = (holds == "the old value is still in place" && now == before) ||
                               (holds == "the new value is in place" && now == wanted) ||
                               (holds == "neither the old nor the new value is in place" &&
                                now != before && now != wanted);
            return right ? std::string() : "says '" + holds + "', " + seen;
        });
    });
}

// The VPD is read twice where it is checked: both verdict lines and the
// fields must equal those of a run without faults.
TEST_F(FaultSweep, VpdReadsPrintTheEepromOrFail)
{
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"vpd"}, std::vector<std::string>{"vpd", "check"}}) {
        start_world(true);
        const Outcome clean = run(args);
        ASSERT_EQ(clean.status, 0) << clean.err;
        const std::string name = args.size() == 1 ? "vpd" : "vpd check";
        std::vector<Case> cases = transfer_cases(clean.transcript);
        for (Case &c : cases)
            if (c.scenario == "fault vpd-flip 255 01 skip 0 count 2")
                c.known = "the first two reads carry the same wrong check byte; agreeing, they "
                          "are taken for the EEPROM's content: 'check byte: bad'";
        sweep(name, "", args, cases, 40, [&](const Outcome &o) {
            if (o.status != 0)
                return contains(o.err, "not valid") ? std::string("a valid VPD called not valid")
                                                    : read_failure(o, name);
            return o.out == clean.out ? std::string() : "the EEPROM holds:\n" + clean.out;
        });
    }
}

TEST_F(FaultSweep, CodeLevelUpdateLeavesTheVpdItReports)
{
    start_world(true);
    const auto old = bbusim::peek_vpd();
    auto meant = old;
    meant[1] = 0xfd;
    meant[71] = 'Q';
    meant[72] = '7';
    meant[255] = 0;
    for (int i = 0; i < 255; ++i)
        meant[255] ^= meant[i];
    const std::vector<std::string> args{"-y", "vpd", "set-codelevel", "Q7"};
    std::vector<Case> cases = transfer_cases(clean_run("", args));
    for (Case &c : cases)
        if (c.scenario == "fault vpd-flip 255 01 skip 2 count 2")
            c.known = "the two reads back carry the same wrong check byte: 'neither the old nor "
                      "the new value is in place' although the new one is";
    for (const char *cycle : {"5000", "1500", "1000"})
        cases.push_back({"vpd-write-cycle", std::string("vpd-write-cycle ") + cycle, true});
    sweep("vpd set-codelevel", "", args, cases, 80, [&](const Outcome &o) {
        const auto now = bbusim::peek_vpd();
        const std::string seen = "the EEPROM holds code level " +
                                 std::string(now.begin() + 71, now.begin() + 73) + ", check byte " +
                                 hex(&now[255], 1) + ", byte 1 " + hex(&now[1], 1);
        if (o.status == 0)
            return now == meant ? std::string() : "exit 0, " + seen;
        return change_failure(o, [&](const std::string &holds) {
            const bool right =
                ((holds == "nothing was changed" || holds == "the old value is still in place") &&
                 now == old) ||
                (holds == "the new value is in place" && now == meant) ||
                (holds == "neither the old nor the new value is in place" && now != old &&
                 now != meant);
            return right ? std::string() : "says '" + holds + "', " + seen;
        });
    });
}

// The BBU starts with power_up clear, so that a restart shows as power_up set
// or still to show.
std::string power_up_cleared()
{
    bbusim::reset(std::string(BBU_TEST_SCRATCH) + "/fault_sweep_power_up");
    char line[32];
    std::snprintf(line, sizeof line, "status 2 %02x", bbusim::peek_status()[2] & ~0x04);
    return line;
}

TEST_F(FaultSweep, ResetsEndWithTheRestartTheBbuShowed)
{
    const std::string world = power_up_cleared();
    for (const bool hard : {false, true}) {
        const std::vector<std::string> args{"-y", "reset", hard ? "hard" : "soft"};
        std::vector<Case> cases = transfer_cases(clean_run(world, args));
        cases.push_back({"reset-polls", "reset-polls 5", true});
        cases.push_back({"reset-polls", "reset-polls never", false});
        sweep(hard ? "reset hard" : "reset soft", world, args, cases, 60, [&](const Outcome &o) {
            // A restart the BBU made; and one its status shows, the only
            // kind a program can see.
            const bool shows = (bbusim::peek_status()[2] & 0x04) != 0;
            const bool seen = shows || bbusim::peek_restart_pending();
            if (o.status == 0)
                return seen ? std::string() : std::string("exit 0, the BBU did not restart");
            return change_failure(o, [&](const std::string &holds) {
                const bool right = (holds == "the BBU restarted" && seen) ||
                                   (holds == "no restart of the BBU was seen" && !shows);
                return right ? std::string()
                             : "says '" + holds + "', the BBU restarted: " + (seen ? "yes" : "no");
            });
        });
    }
}

// Whether the image at 0x1000 passes the BBU's own check: the default world's
// image, byte for byte, is the valid one here.
bool image_valid()
{
    return bbusim::peek_memory(kImageAt, kImageLen) == bbusim::make_image(kDefaultVersion);
}

TEST_F(FaultSweep, ValidationVerdictIsTheImagesOwn)
{
    const std::vector<std::string> args{"validate"};
    const std::vector<Case> cases = transfer_cases(clean_run("", args));
    for (const std::string world : {"", "memory 0x1000 00"}) {
        sweep(
            world.empty() ? "validate (valid image)" : "validate (spoilt image)", world, args,
            cases, 40,
            [](const Outcome &o) {
                const bool valid = image_valid();
                if (o.status == 0)
                    return valid && o.out == "image: valid\n"
                               ? std::string()
                               : "exit 0 (" + o.out + "), image valid: " + (valid ? "yes" : "no");
                if (contains(o.out, "image: not valid") || contains(o.err, "no valid image"))
                    return valid ? std::string("a valid image called not valid") : std::string();
                return read_failure(o, "validate");
            },
            world.empty() ? 0 : 1);
    }
}

TEST_F(FaultSweep, DumpPrintsTheBbusMemoryOrNothing)
{
    for (const std::uint32_t at : {0x1000u, 0x10f80u}) {  // the image's head; the flash's end
        char address[16];
        std::snprintf(address, sizeof address, "0x%x", at);
        const std::vector<std::string> args{"dump", address, "256"};
        std::vector<Case> cases = transfer_cases(clean_run("", args));
        sweep(std::string("dump ") + address, "", args, cases, 40, [&](const Outcome &o) {
            if (o.status != 0)
                return o.out.empty() ? read_failure(o, "dump")
                                     : std::string("a failed dump printed bytes");
            const Bytes truth = bbusim::peek_memory(at, 256);
            std::string want;
            for (std::size_t i = 0; i < truth.size(); i += 16) {
                char line[16];
                std::snprintf(line, sizeof line, "%08zx: ", at + i);
                want += line + hex(&truth[i], 16) + "\n";
            }
            return o.out == want ? std::string() : "the BBU's memory is\n" + want;
        });
    }
}

// The flash has thousands of transfers: faults go at the first and the last
// ones, around each command of the load (all but the block hand-over), and
// at the blocks of a spread.
TEST_F(FaultSweep, FlashEndsWithTheImageItReports)
{
    start_world(true);
    const std::string file = root_ + "/new.img";
    const Bytes image = bbusim::make_image(kNewVersion);
    {
        std::FILE *f = std::fopen(file.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(image.data(), 1, image.size(), f), image.size());
        std::fclose(f);
    }
    const std::vector<std::string> args{"-y", "flash", file};
    const Outcome clean = [&] {
        const Outcome o = run(args);
        EXPECT_EQ(o.status, 0) << o.err;
        return o;
    }();
    const std::vector<bbutest::Transfer> all = bbutest::transfers(clean.transcript);
    std::set<std::size_t> sample;
    const auto around = [&](std::size_t i, std::size_t reach) {
        for (std::size_t j = i > reach ? i - reach : 0; j <= i + reach && j < all.size(); ++j)
            sample.insert(j);
    };
    around(0, 8);
    around(all.size() - 1, 12);
    const std::set<int> spread{0, 1, 127, 255, 382, 383};
    for (std::size_t i = 0; i < all.size(); ++i) {
        const bbutest::Transfer &t = all[i];
        if (!t.read && t.addr == 0x40 && t.len >= 2 && t.bytes[0] != 0x8f)
            around(i, 3);
        if (!t.read && t.addr == 0x60 && t.len == 134 &&
            spread.count(t.bytes[3] * 256 + t.bytes[4]))
            around(i, 5);
    }
    std::vector<Case> cases = transfer_cases(clean.transcript, &sample);
    for (const int block : spread) {
        const std::string b = std::to_string(block);
        cases.push_back({"tfb-lost transient", "fault tfb-lost " + b + " count 2", true});
        cases.push_back({"tfb-lost thrice", "fault tfb-lost " + b + " count 3", false});
        cases.push_back({"tfb-lost lasting", "fault tfb-lost " + b + " count always", false});
        cases.push_back(
            {"block-checksum transient", "fault block-checksum " + b + " count 2", true});
        cases.push_back(
            {"block-checksum lasting", "fault block-checksum " + b + " count always", false});
    }
    for (const char *count : {"count 1", "count 3"})
        cases.push_back({"first-image", std::string("fault first-image ") + count, false});
    cases.push_back({"first-image", "fault first-image count always", false});

    const Bytes old = bbusim::make_image(kDefaultVersion);
    sweep("flash", "", args, cases, 60, [&](const Outcome &o) {
        const auto status = bbusim::peek_status();
        const Bytes memory = bbusim::peek_memory(kImageAt, kImageLen);
        const bool flash_mode = (status[4] & 0x02) != 0;
        const bool is_new = memory == image && status[30] == kNewVersion && !flash_mode;
        const bool is_old = memory == old && status[30] == kDefaultVersion && !flash_mode;
        const std::string seen = std::string("the BBU holds ") +
                                 (is_new   ? "the new image"
                                  : is_old ? "the old image"
                                           : "neither") +
                                 ", status version " + hex(&status[30], 1) +
                                 (flash_mode ? ", in flash-program mode" : "");
        if (o.status == 0)
            return is_new ? std::string() : "exit 0, " + seen;
        return change_failure(o, [&](const std::string &holds) {
            const bool right = (holds == "the old image still runs" && is_old) ||
                               (holds == "the new image runs" && is_new) ||
                               // In flash-program mode the BBU runs no image.
                               (holds == "the BBU has no valid image" &&
                                ((memory != image && memory != old) || flash_mode));
            return right ? std::string() : "says '" + holds + "', " + seen;
        });
    });
}

}  // namespace
