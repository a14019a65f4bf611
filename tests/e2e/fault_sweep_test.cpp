// bbuctl against the simulator's faults, one at a time, judged by what the
// simulated device truly holds afterwards.
//
// For each command that talks to the BBU, a run without faults gives the
// command's transfers; each fault kind is then placed at those transfers
// (`skip K` for the K-th event of its kind: `count 1` or `count 2` for a
// transient fault, `count always` from K on for a lasting one) and bbuctl is
// run, preloaded with the interposer on this test's world. Every run must end
// in one of:
//  - exit 0 and the device in the state the command reported (a read prints
//    what the run without faults printed; after a change the device holds
//    the new value);
//  - a non-zero exit whose message says what the device holds, and that
//    statement true of the device; a read that fails prints no value.
// A transient fault that the transfers' retries absorb must end as the run
// without faults ends. Anything else is a silent wrong outcome.
//
// A change that bbuctl made but could not verify (exit 3) is a class of its
// own, neither a success nor a failure; so it may end without a fault.
//
// By default each command runs a spread sample of its cases, and the outcomes
// (exit status and what the message says the device holds) are compared with
// the test's reviewed table, tests/data/golden/sweep/TEST.txt. With
// BBU_FAULT_SWEEP=full every case runs (the bench target) and each command's
// counts of outcomes are printed with the time taken; BBU_FAULT_SWEEP=count
// prints them for the sample. BBU_SWEEP_DEVICE, a scenario line such as
// `device strict`, chooses the BBU, placed before each world; its reviewed
// table is TEST.device-strict.txt.
#include <bbu/bbu.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "launcher_preload.h"
#include "sim_world.h"
#include "world_truths.h"

namespace {

using bbutest::Bytes;
using world_truths::holds_named;
using world_truths::Truths;

constexpr int kDefaultVersion = 5;  // the default world's image
constexpr int kNewVersion = 6;      // the image the sweep loads
// bbuctl's exit status for a change it made but no evidence can confirm: its
// own class of outcome, neither a success nor a failure.
constexpr int kNotVerifiable = 3;

struct Case {
    std::string scenario;
    bool must_absorb = false;  // it must end as the run without faults ends
    bool at_transfer = false;  // placed at one transfer: the suite runs a spread of these
};

// A command of the sweep. A change names what is true of the device now, in
// the texts a failure uses for it, and the one that must be true after exit 0.
struct Command {
    std::string name;
    std::string world;  // scenario text before the faults
    std::vector<std::string> args;
    std::size_t sample;
    std::string success = "";  // none for a read
    std::vector<Case> more = {};
    std::map<std::string, std::string> known = {};  // wrong outcomes not yet mended: why
};
using Sample = std::function<std::set<std::size_t>(const std::vector<bbutest::Transfer> &)>;

// A read's output with the BBU's elapsed seconds, and the status bytes that
// carry them and their check byte, taken out: they count on with the time a
// run's retries take.
std::string steady(const std::string &out)
{
    static const std::regex elapsed(
        "(elapsed_time_seconds\"?:? ?)[0-9]+|(\"bytes\": ?\\[(\\s*[0-9]+,){8})(\\s*[0-9]+,){4}"
        "((\\s*[0-9]+,){20})\\s*[0-9]+");
    return std::regex_replace(out, elapsed, "$1$2$5N");
}

// The faults that apply to the transfers of a run without faults, placed at
// each of them (or at those in `sample`, by their index in the run).
std::vector<Case> transfer_cases(const std::vector<bbutest::Transfer> &all,
                                 const std::set<std::size_t> *sample)
{
    std::vector<Case> cases;
    std::map<std::string, int> seen;  // events of one kind so far
    std::set<std::string> done;
    const auto add = [&](const std::string &fault, bool absorb = false) {
        if (done.insert(fault).second)
            cases.push_back({"fault " + fault, absorb, true});
    };
    const auto once_and_lasting = [&](const std::string &fault, bool absorb = false) {
        add(fault, absorb);
        add(fault + " count always");
    };
    for (std::size_t i = 0; i < all.size(); ++i) {
        const bbutest::Transfer &t = all[i];
        char kind[16];
        std::snprintf(kind, sizeof kind, "%02x %s", t.addr, t.read ? "read" : "write");
        const std::string skip = " skip " + std::to_string(seen[kind]++);
        // The K-th status read, command frame, flash block read or VPD read.
        const bool status = t.read && t.addr == 0x40 && t.len >= 33;
        const bool frame = !t.read && t.addr == 0x40 && t.len >= 2;
        const bool block = t.read && t.addr == 0x60;
        const bool vpd = t.read && t.addr == 0x54 && t.len > 71;
        const char *special = status ? "gss" : frame ? "frame" : block ? "block" : "vpd";
        const std::string k =
            " skip " + std::to_string(status || frame || block || vpd ? seen[special]++ : 0);
        if (sample != nullptr && sample->count(i) == 0)
            continue;
        const std::string fail = "fail " + (kind + skip);
        add(fail, true);
        add(fail + " count 2", true);
        add(fail + " count always");
        if (t.len >= 2)  // a short transfer is a result above 0: the retries take it as done
            once_and_lasting("short " + (kind + (" " + std::to_string(t.len / 2))) + skip);
        if (status)
            once_and_lasting("gss-check" + k, true);
        if (frame) {
            add("busy 40" + k);
            add("error-bits 6 20" + k);
        }
        if (block)
            once_and_lasting("block-check" + k);
        if (vpd) {
            add("vpd-flip 71 04" + k, true);
            add("vpd-flip 255 01" + k + " count 2");
        }
    }
    return cases;
}

class FaultSweep : public SimWorldTest {
protected:
    // The sample's outcomes against the test's reviewed table.
    // Each BBU has its table: TEST.device-strict.txt under `device strict`.
    void TearDown() override
    {
        if (!e2e::sweep_counting())
            e2e::check_golden("sweep", e2e::sweep_table(), table_);
    }
    // Runs bbuctl with `args` on the current world; the transcript is the world's.
    e2e::Run run(const std::vector<std::string> &args)
    {
        static const std::string preload =
            bbusim::compose_preload(bbusim::sanitizer_runtimes(bbusim::elf_needed(BBUCTL_PATH)),
                                    BBUSIM_LIBRARY_PATH, std::getenv("LD_PRELOAD"));
        bbusim::clear_transcript();
        std::vector<std::string> argv{BBUCTL_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        e2e::Options options;
        options.env = {"LD_PRELOAD=" + preload, "BBUSIM_WORLD=" + root_ + "/bbusim.world"};
        e2e::Run r = e2e::run_program(argv, options);
        r.transcript = bbusim::transcript();
        return r;
    }

    // What is wrong with an outcome ("" when nothing, "unverifiable" for a
    // failure that says the device could not be read).
    static std::string judge(const Command &c, const std::function<Truths()> &truths,
                             const e2e::Run &o, const e2e::Run &clean)
    {
        const std::string holds = holds_named(o.err);
        if (truths == nullptr) {  // a read: it changes nothing on the device
            if (o.status == clean.status && steady(o.out) == steady(clean.out) &&
                o.err == clean.err)
                return "";
            if (o.status == 0)
                return "exit 0, not what the device holds:\n" + clean.out;
            if (o.err.find("bbuctl: " + c.args[0]) == std::string::npos)
                return "failed without naming the command";
            // With --json, the one document of the failure, saying the same.
            if (std::find(c.args.begin(), c.args.end(), "--json") != c.args.end()) {
                if (!o.out.starts_with("{\n") || o.out.find("\n  \"ok\": false,\n") == o.out.npos ||
                    (!holds.empty() &&
                     o.out.find("\"holds_text\": \"" + holds + "\"") == o.out.npos))
                    return "a failed read's document does not say it: " + o.out;
            } else {
                for (const std::string &line : e2e::lines(o.out))
                    if (!line.starts_with("# ") && line != "bbu_status_read_success 0")
                        return "a failed read printed '" + line + "'";
            }
            return world_truths::unread(holds) ? "unverifiable"
                                               : "the failure does not say the device was unread";
        }
        return world_truths::judge(o.status == 0, holds, truths(), c.success);
    }

    // Runs the command's cases (in the suite a spread sample of them) and
    // fails the test listing the wrong outcomes.
    void sweep(const Command &c, const std::function<Truths()> &truths = nullptr,
               const Sample &at = nullptr, int clean_exit = 0)
    {
        start_world(true);
        apply(e2e::sweep_device() + "\n" + c.world);
        const e2e::Run clean = run(c.args);
        // Without a fault the command succeeds, or says it could not verify.
        table_.push_back(c.name + " | no fault | exit " + std::to_string(clean.status));
        ASSERT_TRUE(clean.status == clean_exit || clean.status == kNotVerifiable) << clean.err;
        const std::vector<bbutest::Transfer> all = bbutest::transfers(clean.transcript);
        const std::set<std::size_t> picked = at ? at(all) : std::set<std::size_t>{};
        std::vector<Case> cases = transfer_cases(all, at ? &picked : nullptr);
        cases.insert(cases.end(), c.more.begin(), c.more.end());
        // In the suite, a spread of the faults at transfers.
        if (!e2e::sweep_mode("full") && cases.size() > c.sample) {
            std::vector<Case> picked;
            for (std::size_t i = 0, n = cases.size(); i < n; ++i)
                if (!cases[i].at_transfer || i * c.sample / n != (i + 1) * c.sample / n)
                    picked.push_back(cases[i]);
            cases = picked;
        }
        std::string wrong;
        // exit 0, failures saying what the device holds, failures saying it
        // cannot be told, wrong, not verifiable (exit 3)
        std::array<int, 5> tally{};
        const auto started = std::chrono::steady_clock::now();
        for (const Case &k : cases) {
            start_world(true);
            apply(e2e::sweep_device() + "\n" + c.world + "\n" + k.scenario);
            const e2e::Run o = run(c.args);
            std::string why = judge(c, truths, o, clean);
            if (why.empty() && k.must_absorb && o.status != clean_exit)
                why = "a transient fault the retries absorb did not end as without it";
            const int v = o.status == kNotVerifiable ? 4
                          : why.empty()              ? (o.status == 0 ? 0 : 1)
                          : why == "unverifiable"    ? 2
                                                     : 3;
            ++tally[v];
            const auto known = c.known.find(k.scenario);
            table_.push_back(c.name + " | " + k.scenario + " | exit " + std::to_string(o.status) +
                             (holds_named(o.err).empty() ? "" : ": " + holds_named(o.err)) +
                             (known != c.known.end() ? " | known wrong: " + known->second : ""));
            if (known != c.known.end() && v != 3)  // the test fails only once it is mended
                wrong += "\n" + c.name + " [" + k.scenario + "] is right now: drop its mark";
            else if (known == c.known.end() && v == 3)
                wrong += "\n" + c.name + " [" + k.scenario + "]: exit " + std::to_string(o.status) +
                         ", " + why + "\n  stdout: " + o.out + "  stderr: " + o.err;
        }
        if (e2e::sweep_counting())
            std::printf(
                "%s: %zu runs in %.1f s: %d exit 0, %d failed, %d failed with the state untold, %d "
                "not verifiable (exit 3), "
                "%d WRONG\n",
                c.name.c_str(), cases.size(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                tally[0], tally[1], tally[2], tally[4], tally[3]);
        EXPECT_EQ(wrong, "") << "silent wrong outcomes of " << c.name;
    }

    std::vector<std::string> table_;  // "command | fault | exit N: what the BBU holds"
};

TEST_F(FaultSweep, ReadsPrintWhatTheDeviceHoldsOrNothing)
{
    const std::string vpd_flip = "fault vpd-flip 255 01 skip 0 count 2";
    const std::string vpd_why = "the first two reads carry the same wrong check byte; agreeing, "
                                "they are taken for the EEPROM's content: 'check byte: bad'";
    for (const Command &c : {
             Command{"status --json", "", {"status", "--json"}, 40},
             Command{"status --prometheus", "", {"status", "--prometheus"}, 40},
             Command{"light", "", {"light"}, 40},
             Command{"vpd", "", {"vpd"}, 40, "", {}, {{vpd_flip, vpd_why}}},
             Command{"vpd check", "", {"vpd", "check"}, 40, "", {}, {{vpd_flip, vpd_why}}},
             Command{"validate", "", {"validate"}, 40},
             Command{"dump 0x1000", "", {"dump", "0x1000", "256"}, 40},
             Command{"dump 0x10f80", "", {"dump", "0x10f80", "256"}, 40},  // the flash's end
         })
        sweep(c);
    sweep({"validate (spoilt image)", "memory 0x1000 00", {"validate"}, 40}, nullptr, nullptr, 1);
}

TEST_F(FaultSweep, LightSetEndsInTheLightTheBbuShows)
{
    const int before = bbusim::peek_status()[14] & 0x0f, wanted = (before + 5) & 0x0f;
    const Command c{"light set",
                    "",
                    {"-y", "light", "set", std::to_string(wanted)},
                    40,
                    "the new value is in place"};
    sweep(c, [&] { return world_truths::light(before, wanted); });
}

TEST_F(FaultSweep, CodeLevelUpdateLeavesTheVpdItReports)
{
    const auto old = bbusim::peek_vpd();
    const auto meant = world_truths::with_codelevel(old, "Q7");
    std::vector<Case> cycles;
    for (const char *cycle : {"5000", "1500", "1000"})
        cycles.push_back({std::string("vpd-write-cycle ") + cycle, true});
    const Command c{"vpd set-codelevel",
                    "",
                    {"-y", "vpd", "set-codelevel", "Q7"},
                    80,
                    "the new value is in place",
                    cycles,
                    {{"fault vpd-flip 255 01 skip 2 count 2",
                      "the two reads back carry the same wrong check byte: 'neither the old nor "
                      "the new value is in place' although the new one is"}}};
    sweep(c, [&] { return world_truths::vpd(old, meant); });
}

// The BBU starts with power_up clear, so that a restart shows as power_up set
// or still to show: the only kind a program can see.
TEST_F(FaultSweep, ResetsEndWithTheRestartTheBbuShowed)
{
    char world[32];
    std::snprintf(world, sizeof world, "status 2 %02x", bbusim::peek_status()[2] & ~0x04);
    const std::vector<Case> polls{{"reset-polls 5", true}, {"reset-polls never"}};
    for (const char *kind : {"soft", "hard"})
        sweep({std::string("reset ") + kind,
               world,
               {"-y", "reset", kind},
               60,
               "the BBU restarted",
               polls},
              world_truths::restart);
}

// The flash has thousands of transfers: faults go at the first and the last
// ones, around each command of the load (all but the block hand-over), and
// at the blocks of a spread.
TEST_F(FaultSweep, FlashEndsWithTheImageItReports)
{
    const std::string file = std::string(BBU_TEST_SCRATCH) + "/fault_sweep_new.img";
    const Bytes image = bbusim::make_image(kNewVersion), old = bbusim::make_image(kDefaultVersion);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char *>(image.data()),
               static_cast<std::streamsize>(image.size()));
    const std::set<int> spread{0, 1, 127, 255, 382, 383};
    std::vector<Case> more;
    for (const int block : spread)
        for (const std::string kind : {"tfb-lost ", "block-checksum "}) {
            const std::string fault = "fault " + kind + std::to_string(block);
            more.push_back({fault + " count 2", true});
            if (kind == "tfb-lost ")
                more.push_back({fault + " count 3"});
            more.push_back({fault + " count always"});
        }
    for (const char *count : {"count 1", "count 3", "count always"})
        more.push_back({std::string("fault first-image ") + count});
    const auto at = [&](const std::vector<bbutest::Transfer> &all) {
        std::set<std::size_t> sample;
        const auto around = [&](std::size_t i, std::size_t reach) {
            for (std::size_t j = i > reach ? i - reach : 0; j <= i + reach && j < all.size(); ++j)
                sample.insert(j);
        };
        around(0, 8);
        around(all.size() - 1, 12);
        for (std::size_t i = 0; i < all.size(); ++i) {
            const bbutest::Transfer &t = all[i];
            if (!t.read && t.addr == 0x40 && t.len >= 2 && t.bytes[0] != 0x8f)
                around(i, 3);
            if (!t.read && t.addr == 0x60 && t.len == 134 &&
                spread.count(t.bytes[3] * 256 + t.bytes[4]))
                around(i, 5);
        }
        return sample;
    };
    sweep(
        {"flash", "", {"-y", "flash", file}, 60, bbu_checked_holds_text(BBU_HOLDS_NEW_IMAGE), more},
        [&] { return world_truths::image(image, old); }, at);
}

}  // namespace
