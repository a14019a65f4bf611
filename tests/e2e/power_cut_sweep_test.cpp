// bbuctl's flash load cut short by a power cut or a host crash at each of its
// messages and pauses, and whether the BBU can be brought back.
//
// A load without faults gives the load's messages and pauses. A second load
// without faults saves, at each of them, the world as a power cut or a crash
// there leaves it (bbusim's BBUSIM_SNAPSHOT_DIR): a cut is `fault power-cut
// any skip K` (before the K+1-th message) or `fault power-cut sleep skip K`
// (halfway through the K+1-th pause), or the same with `crash`. Each cut
// point then gets a root of its own, holding its saved world, where two
// bbusim runs follow one another:
//  1. `bbuctl status` on the devices as the cut left them (--keep; after a
//     power cut the BBU powers up first);
//  2. the same `bbuctl -y flash new.img` again (--keep).
// What the BBU truly holds is read from the world after runs 1 and 2. A case
// is "old image valid" or "new image valid" when the BBU runs that image
// after run 1; otherwise "recovered by the second load" when run 2 exits 0
// and the BBU runs the new image; otherwise "NOT RECOVERABLE". Whatever the
// class, status must show the image the BBU holds, and the second load must
// end with exit 0 and the new image running.
//
// Two cuts in a row: for a sample of first cut points, the recovery load
// (run 2, without run 1 before it) is itself cut at a sample of its points,
// by a power cut and a crash in turn, from the worlds it saved; then a third
// load must end with exit 0 and the new image running.
//
// By default the cut points outside the block hand-over and those of the
// first, the last and a spread of blocks run (for two cuts in a row, every
// eighth of them, first and second), and their outcomes are compared with
// the test's reviewed table, tests/data/golden/power_cut_sweep/TEST.txt. With
// BBU_FAULT_SWEEP=full every cut point runs (the bench targets; two cuts in
// a row: every one of the sample, first and second) and the count of each
// class, the cut points of the classes other than the first two and the time
// taken are printed. With BBU_FAULT_SWEEP=sparse (the sanitize preset) every
// fourth point of the sample runs (two cuts in a row: every sixteenth first
// cut), checked against the same rows of the table: the sanitizers look for
// memory faults on the same paths, and there the whole sample takes minutes.
// BBU_FAULT_SWEEP=count prints the sample's counts instead of comparing it.
// BBU_SWEEP_DEVICE, a scenario line such as `device strict`, chooses the BBU
// of the first load's fresh world (a kept world keeps it); its reviewed table
// is TEST.device-strict.txt.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bbusim.h"
#include "e2e_harness.h"
#include "transcript.h"

namespace {

namespace fs = std::filesystem;

constexpr int kOldVersion = 5;              // the default world's image
constexpr int kNewVersion = 6;              // the image the load brings
constexpr std::uint32_t kImageAt = 0x1000;  // where the BBU holds its image
// The blocks whose hand-over the sample cuts: the first, the last, a spread.
const std::set<int> kSampleBlocks{0, 1, 127, 200, 255, 382, 383};
const std::array<const char *, 4> kClasses{"old image valid", "new image valid",
                                           "recovered by the second load", "NOT RECOVERABLE"};

using e2e::sweep_mode;

constexpr std::size_t kSparseStride = 4;  // BBU_FAULT_SWEEP=sparse: every fourth sampled point
constexpr std::size_t kNestedStride = 8;  // two cuts in a row: every eighth point of each sample

// A place in the load where the power goes or the host dies.
struct CutPoint {
    std::string fault;     // the fault's words after its kind: "any skip 9"
    std::string where;     // what it cuts, in the load's terms
    bool sample;           // the suite runs it
    std::string snapshot;  // its saved world's name: "any.9", "sleep.3"
};

// The load's messages and pauses, from the transcript of a load without
// faults, each named by the command it carries or follows.
std::vector<CutPoint> cut_points(const std::vector<std::string> &transcript)
{
    std::vector<CutPoint> points;
    int messages = 0, pauses = 0, records = 0, block = -1, in_a_row = 0;
    bool loading = false;  // between Start_Flash_Load and End_Flash_Load
    std::string last = "the start";
    const auto sampled = [&] {
        return !loading || block < 0 || kSampleBlocks.count(block) != 0;
    };
    for (const std::string &line : transcript) {
        const std::vector<bbutest::Transfer> t = bbutest::transfers({line});
        if (t.empty() && line.find(" sleep ") != std::string::npos) {
            points.push_back({"sleep skip " + std::to_string(pauses),
                              "pause " + std::to_string(++in_a_row) + " (" +
                                  line.substr(line.rfind(' ') + 1) + " us) after " + last,
                              sampled(), "sleep." + std::to_string(pauses)});
            ++pauses;
            continue;
        }
        if (t.empty())
            continue;
        const bbutest::Transfer &m = t[0];
        const bbutest::Bytes &b = m.bytes;
        std::string what = m.read ? (m.addr == 0x40 ? "status read" : "response read")
                                  : m.shape().substr(0, m.shape().find(" : "));
        if (!m.read && m.addr == 0x60 && b.size() == 134) {
            block = b[3] * 256 + b[4];
            what = "record of block " + std::to_string(block);
            // The suite cuts it once more, named by its place among the writes at 0x60.
            if (records++ == 200 && !sweep_mode("full"))
                points.push_back({"60 write skip 200", what + " (after " + last + ")", true,
                                  "any." + std::to_string(messages)});
        } else if (!m.read && m.addr == 0x40 && !b.empty()) {
            const std::map<int, std::string> frames{
                {0x01, "terminate of block " + std::to_string(block)},
                {0x89, "Start_Flash_Load"},
                {0x8f, "Take_Flash_Block of block " + std::to_string(block)},
                {0x8a, loading ? "End_Flash_Load" : "soft reset"},
                {0x8c, "validate image"},
                {0xe0, "read memory"},
                {0xe9, "clear status"}};
            const auto named = frames.find(b[0]);
            what = named != frames.end() ? named->second : what;
        }
        points.push_back({"any skip " + std::to_string(messages), what + " (after " + last + ")",
                          sampled(), "any." + std::to_string(messages)});
        ++messages;
        if (!m.read && m.addr == 0x40 && !b.empty() && (b[0] == 0x89 || b[0] == 0x8a))
            loading = b[0] == 0x89;
        last = what;
        in_a_row = 0;
    }
    return points;
}

std::string hex(int version)
{
    char text[4];
    std::snprintf(text, sizeof text, "%02x", version & 0xff);
    return text;
}

// What the BBU truly holds, as the world says: whether its image passes its
// own check, and which image its memory holds whole (the old or the new, -1
// for neither). Never the status's version byte or valid_image, which some
// BBUs do not keep up to date.
struct Held : bbusim::ImageTruth {
    int image = -1;
};

std::string image_text(const Held &t)
{
    std::string text = !t.valid       ? "no valid image"
                       : t.image >= 0 ? "image " + hex(t.image) + " valid"
                                      : "another image valid";
    if (t.flash_mode)
        text += ", load half-finished";
    if (t.boot_code)
        text += ", boot code";
    if (t.powered_off)
        text += ", powered off";
    return text;
}

// Every `stride`-th line, from the first.
template <typename T>
std::vector<T> every(std::size_t stride, const std::vector<T> &lines)
{
    std::vector<T> kept;
    for (std::size_t i = 0; i < lines.size(); i += stride)
        kept.push_back(lines[i]);
    return kept;
}

bool runs(const Held &t, int version)
{
    return t.valid && t.image == version && !t.flash_mode && !t.boot_code && !t.powered_off;
}

// What bbuctl status says of the image: the firmware version, the flags that
// tell of it and its statement of an image that does not run.
std::string status_says(const std::string &out)
{
    std::string said;
    for (const std::string &line : e2e::lines(out)) {
        if (line.starts_with("firmware version: "))
            said += line.substr(18);
        if (line.starts_with("flags:"))
            for (const char *flag : {" operation_mode", " valid_image", " reprogram_req"})
                if ((line + " ").find(std::string(flag) + " ") != std::string::npos)
                    said += flag;
        if (line.starts_with("the BBU holds no valid image: "))
            said += " [no valid image]";
        if (line.starts_with("the BBU is in a half-finished firmware load: "))
            said += " [half-finished load]";
    }
    return said;
}

// Status names flash-program mode when a load is half-finished, and says
// "no valid image" only of a BBU without one. On the default BBU it also
// shows valid_image, and the version, exactly when the BBU runs an image (in
// flash-program mode valid_image still tells of the image the BBU last
// started from); other BBUs may keep those two as they were.
bool status_agrees(const std::string &said, const Held &t, bool default_device)
{
    const bool flash = said.find(" operation_mode") != std::string::npos;
    const bool valid = said.find(" valid_image") != std::string::npos;
    const bool half = said.find(" [half-finished load]") != std::string::npos;
    const bool none = said.find(" [no valid image]") != std::string::npos;
    if (!default_device)
        return flash == t.flash_mode && half == t.flash_mode && (!none || !t.valid);
    return flash == t.flash_mode && half == t.flash_mode && (!none || !t.valid) &&
           (t.flash_mode || (valid == t.valid && (!valid || said.starts_with(hex(t.image) + "."))));
}

// A run's messages and the virtual time it took: what a second load had to
// do to bring the BBU back (its retries, resets and pauses).
std::string effort(const e2e::Run &r)
{
    const double took =
        r.transcript.empty() ? 0 : std::stod(r.transcript.back()) - std::stod(r.transcript.front());
    // A message's line is "TIME read 0xAA ..." or "TIME write 0xAA ...".
    const auto messages = std::count_if(r.transcript.begin(), r.transcript.end(), [](auto &line) {
        const std::size_t word = line.find(' ') + 1;
        return line.compare(word, 7, "read 0x") == 0 || line.compare(word, 8, "write 0x") == 0;
    });
    char text[64];
    std::snprintf(text, sizeof text, "%td messages, %.6f s", messages, took);
    return text;
}

// The time a run started at: where the cut before it left the virtual clock.
std::string start_time(const e2e::Run &r)
{
    return r.transcript.empty() ? "?"
                                : r.transcript.front().substr(0, r.transcript.front().find(' '));
}

double seconds_since(std::chrono::steady_clock::time_point started)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

// The empty file that asks the snapshot run for a cut point's world, and
// that then holds it.
std::string snapshot_name(const std::string &kind, const CutPoint &p)
{
    return kind + "." + p.snapshot;
}

class PowerCutSweep : public ::testing::Test {
protected:
    // One bbusim run of bbuctl on the case's root: in a fresh world with the
    // scenario, or (keep) on the devices the root's last run left.
    e2e::Run bbuctl(const std::vector<std::string> &args, const std::string &scenario, bool keep,
                    const e2e::Options &options = {})
    {
        std::vector<std::string> argv{BBUSIM_PATH, "--root", root_};
        if (keep)
            argv.push_back("--keep");
        if (!scenario.empty()) {
            std::ofstream(dir_ + "/cut.scn") << scenario << "\n";
            argv.insert(argv.end(), {"--scenario", dir_ + "/cut.scn"});
        }
        argv.push_back("--");
        argv.push_back(BBUCTL_PATH);
        argv.insert(argv.end(), args.begin(), args.end());
        e2e::Run r = e2e::run_program(argv, options);
        r.transcript = e2e::lines(e2e::read_file(root_ + "/bbusim.transcript"));
        fs::remove_all(r.dir);  // the run directories are numbered anew for each case
        return r;
    }

    Held truth(const std::string &root)
    {
        EXPECT_EQ(bbusim::attach(root), "") << root;
        Held held;
        static_cast<bbusim::ImageTruth &>(held) = bbusim::peek_image();
        const bbutest::Bytes memory = bbusim::peek_memory(kImageAt, new_.size());
        held.image = memory == new_ ? kNewVersion : memory == old_ ? kOldVersion : -1;
        return held;
    }

    // A fresh root holding the world `saved` as its last run's.
    void place(const std::string &saved)
    {
        fs::remove_all(root_);
        fs::create_directories(root_);
        fs::copy_file(saved, root_ + "/bbusim.world");  // two faults may cut at one point
    }

    // The load without faults, run again from the world `from` (a fresh one
    // when empty), saving into `saves` the world as each cut (of `kinds`) at
    // each of `points` leaves it. Saving must change nothing on the bus.
    void take_snapshots(const std::string &saves, const std::vector<std::string> &kinds,
                        const std::vector<CutPoint> &points, const e2e::Run &clean,
                        const std::string &from = "")
    {
        fs::create_directories(saves);
        for (const CutPoint &p : points)
            for (const std::string &kind : kinds)
                std::ofstream(saves + "/" + snapshot_name(kind, p));
        if (from.empty())
            fs::remove_all(root_);
        else
            place(from);
        const e2e::Run saving =
            bbuctl({"-y", "flash", image_}, from.empty() ? device_ : "", !from.empty(),
                   {.env = {std::string("BBUSIM_SNAPSHOT_DIR=") + saves}});
        EXPECT_EQ(saving.status, clean.status) << saving.err;
        EXPECT_EQ(saving.transcript, clean.transcript) << "saving the cut points changed the load";
    }

    // The saved world of a cut point, placed in a fresh root; "" when the load
    // never reached the point (its file is still empty).
    std::string place_cut(const std::string &saves, const std::string &kind, const CutPoint &p)
    {
        const std::string saved = saves + "/" + snapshot_name(kind, p);
        place(saved);
        return fs::file_size(saved) == 0 ? "; the load never reached the cut point" : "";
    }

    // Runs one cut point; returns its class and adds what is wrong to wrong_.
    int run_case(const std::string &kind, const CutPoint &p)
    {
        const std::string fault = "fault " + kind + " " + p.fault;
        std::string why = place_cut(dir_ + "/snapshots", kind, p);
        const e2e::Run status = bbuctl({"status"}, "", true);
        const Held after = truth(root_);
        const e2e::Run again = bbuctl({"-y", "flash", image_}, "", true);
        const Held end = truth(root_);
        const bool recovered = again.status == 0 && runs(end, kNewVersion);
        const int cls = runs(after, kOldVersion)   ? 0
                        : runs(after, kNewVersion) ? 1
                        : recovered                ? 2
                                                   : 3;
        const std::string said = status_says(status.out);
        if (status.status != 0 || !status_agrees(said, after, device_.empty()))
            why += "; status says '" + said + "' of '" + image_text(after) + "'";
        if (!recovered)
            why += "; the second load ended with exit " + std::to_string(again.status);
        if (!why.empty())
            wrong_ += "\n" + fault + " (" + p.where + ")" + why + "\n  status: " + status.err +
                      "  again: " + again.err;
        table_.push_back(fault + " | " + p.where + " | from " + start_time(status) + " s | " +
                         image_text(after) + " | status exit " + std::to_string(status.status) +
                         ": " + said + " | again exit " + std::to_string(again.status) + " (" +
                         effort(again) + "): " + image_text(end) + " | " + kClasses[cls]);
        return cls;
    }

    // The image to load, and the load without faults that gives the cut points.
    e2e::Run prepare()
    {
        dir_ = e2e::test_dir();
        root_ = dir_ + "/root";
        image_ = dir_ + "/new.img";
        new_ = bbusim::make_image(kNewVersion);
        old_ = bbusim::make_image(kOldVersion);
        std::ofstream(image_, std::ios::binary)
            .write(reinterpret_cast<const char *>(new_.data()),
                   static_cast<std::streamsize>(new_.size()));
        device_ = e2e::sweep_device();
        e2e::Run clean = bbuctl({"-y", "flash", image_}, device_, false);
        EXPECT_EQ(clean.status, 0) << clean.err;
        return clean;
    }

    // Cuts the load at each of its points (in the suite, those of the sample).
    void sweep(const std::string &kind)
    {
        const e2e::Run clean = prepare();
        const std::size_t stride = sweep_mode("sparse") ? kSparseStride : 1;
        std::vector<CutPoint> points;
        for (const CutPoint &p : cut_points(clean.transcript))
            if (sweep_mode("full") || p.sample)
                points.push_back(p);
        points = every(sweep_mode("full") ? 1 : stride, points);
        const auto started = std::chrono::steady_clock::now();
        take_snapshots(dir_ + "/snapshots", {kind}, points, clean);
        std::array<int, 4> counts{};
        std::array<std::vector<std::pair<CutPoint, CutPoint>>, 4> spans;  // of one class in a row
        int previous = -1;
        for (const CutPoint &p : points) {
            const int cls = run_case(kind, p);
            ++counts[cls];
            if (cls != previous)
                spans[cls].push_back({p, p});
            spans[cls].back().second = p;
            previous = cls;
        }
        fs::remove_all(dir_ + "/snapshots");
        if (e2e::sweep_counting())
            print_summary(kind, counts, spans, seconds_since(started));
        else
            check_table(stride);
        EXPECT_EQ(wrong_, "") << "cut points with a wrong outcome";
    }

    // The table against the test's reviewed one; in a sparse run, against its
    // rows of that stride (stride 0: each row is one of the reviewed table's).
    void check_table(std::size_t stride)
    {
        const std::string name = e2e::sweep_table();
        if (stride == 1)
            return e2e::check_golden("power_cut_sweep", name, table_);
        const std::vector<std::string> reviewed = e2e::lines(e2e::read_file(
            std::string(BBU_TEST_DATA) + "/golden/power_cut_sweep/" + name + ".txt"));
        if (stride != 0) {
            EXPECT_EQ(table_, every(stride, reviewed))
                << "the sparse sample differs from the reviewed table's rows";
            return;
        }
        for (const std::string &row : table_)
            EXPECT_NE(std::find(reviewed.begin(), reviewed.end(), row), reviewed.end())
                << "not in the reviewed table: " << row;
    }

    // The recovery load after a first cut, itself cut at each of a sample of
    // its points (a power cut and a crash in turn), then a third load: it must
    // end with exit 0 and the new image running.
    void nested(const std::string &kind, const CutPoint &first, std::size_t stride)
    {
        const std::string saves = dir_ + "/recovery";
        const std::string why = place_cut(dir_ + "/snapshots", kind, first);
        const e2e::Run recovery = bbuctl({"-y", "flash", image_}, "", true);
        std::vector<CutPoint> points;
        for (const CutPoint &p : cut_points(recovery.transcript))
            if (p.sample && !p.fault.starts_with("60 "))
                points.push_back(p);
        points = every(stride, points);
        take_snapshots(saves, {"power-cut", "crash"}, points, recovery,
                       dir_ + "/snapshots/" + snapshot_name(kind, first));
        for (std::size_t i = 0; i < points.size(); ++i) {
            const std::string second = i % 2 == 0 ? "power-cut" : "crash";
            const std::string cut = kind + " " + first.fault + " (" + first.where + "), then " +
                                    second + " " + points[i].fault + " (" + points[i].where + ")";
            const std::string lost = place_cut(saves, second, points[i]);
            const e2e::Run third = bbuctl({"-y", "flash", image_}, "", true);
            const Held end = truth(root_);
            const bool recovered = third.status == 0 && runs(end, kNewVersion);
            if (!recovered || !why.empty() || !lost.empty())
                wrong_ += "\n" + cut + why + lost + ": " + third.err;
            table_.push_back(cut + " | third load exit " + std::to_string(third.status) + " (" +
                             effort(third) + "): " + image_text(end) + " | " +
                             (recovered ? "recovered by the third load" : "NOT RECOVERABLE"));
        }
        fs::remove_all(saves);
    }

    // Two cuts in a row: a sample of first cut points, each recovery load cut
    // again at a sample of its points.
    void sweep_twice(const std::string &kind)
    {
        const e2e::Run clean = prepare();
        const std::size_t stride = sweep_mode("full") ? 1 : kNestedStride;
        std::vector<CutPoint> firsts;
        for (const CutPoint &p : cut_points(clean.transcript))
            if (p.sample && !p.fault.starts_with("60 "))
                firsts.push_back(p);
        firsts = every(sweep_mode("sparse") ? 2 * stride : stride, firsts);
        const auto started = std::chrono::steady_clock::now();
        take_snapshots(dir_ + "/snapshots", {kind}, firsts, clean);
        for (const CutPoint &first : firsts)
            nested(kind, first, stride);
        fs::remove_all(dir_ + "/snapshots");
        if (e2e::sweep_counting()) {
            const auto lost = std::count_if(table_.begin(), table_.end(), [](auto &row) {
                return row.ends_with("NOT RECOVERABLE");
            });
            std::printf(
                "%s, then a power cut or a crash: %zu cut points of %zu first cuts in %.1f s: "
                "%td NOT RECOVERABLE\n",
                kind.c_str(), table_.size(), firsts.size(), seconds_since(started), lost);
        } else {
            check_table(sweep_mode("sparse") ? 0 : 1);
        }
        EXPECT_EQ(wrong_, "") << "cut points with a wrong outcome";
    }

    // The count of each class, and the cut points of the classes other than
    // the first two, as spans of cut points in a row that end in that class.
    void print_summary(const std::string &kind, const std::array<int, 4> &counts,
                       const std::array<std::vector<std::pair<CutPoint, CutPoint>>, 4> &spans,
                       double seconds)
    {
        std::printf("%s: %d cut points in %.1f s:", kind.c_str(),
                    counts[0] + counts[1] + counts[2] + counts[3], seconds);
        for (std::size_t c = 0; c < kClasses.size(); ++c)
            std::printf(" %d %s%s", counts[c], kClasses[c], c + 1 < kClasses.size() ? "," : "\n");
        for (std::size_t c = 2; c < kClasses.size(); ++c) {
            std::printf("%s:\n", kClasses[c]);
            for (const auto &[first, last] : spans[c])
                if (first.fault == last.fault)
                    std::printf("  %s (%s)\n", first.fault.c_str(), first.where.c_str());
                else
                    std::printf("  %s (%s) to %s (%s)\n", first.fault.c_str(), first.where.c_str(),
                                last.fault.c_str(), last.where.c_str());
        }
    }

    std::string dir_, root_, image_, wrong_;
    std::string device_;  // the scenario line choosing the BBU (BBU_SWEEP_DEVICE): "device strict"
    bbutest::Bytes new_, old_;
    std::vector<std::string> table_;  // "fault | where | run 1 | BBU | status | run 3 | class"
};

TEST_F(PowerCutSweep, PowerCutAtEachMessageAndPause)
{
    sweep("power-cut");
}

TEST_F(PowerCutSweep, HostCrashAtEachMessageAndPause)
{
    sweep("crash");
}

TEST_F(PowerCutSweep, PowerCutThenCutDuringTheRecoveryLoad)
{
    sweep_twice("power-cut");
}

TEST_F(PowerCutSweep, HostCrashThenCutDuringTheRecoveryLoad)
{
    sweep_twice("crash");
}

}  // namespace
