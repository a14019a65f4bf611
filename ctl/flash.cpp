// flash.cpp - bbuctl's firmware code load family: the flash load of an image
// file, the BBU's validation of the image it holds, the dump of its memory,
// and the offline check of an image file. The image file is read once, into
// a fixed buffer; what is checked is what is loaded.
#include "invocation.h"

#include <bbu/bbu.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace bbuctl {

namespace {

constexpr unsigned long MAX_TFB_DELAY_MS = 10000;
constexpr unsigned long MAX_DUMP_LEN = 1UL << 20;
constexpr unsigned long MAX_ADDRESS = 0xffffffffUL;

// The one copy of the image file a command works on (64 KiB: kept off the stack).
bbu_checked_image theImage;

std::string shown(const std::string &text)
{
    return printable(reinterpret_cast<const unsigned char *>(text.c_str()), text.size());
}

// The firmware as the checked results carry it (version * 256 + sub-version).
std::string firmwareText(int firmware)
{
    if (firmware < 0)
        return "??.??";
    char text[8];
    std::snprintf(text, sizeof text, "%02x.%02x", (firmware >> 8) & 0xff, firmware & 0xff);
    return text;
}

// Reads the image file once into theImage. False after a message.
bool readImage(const char *what, const std::string &file)
{
    bbu_checked_result r{};
    if (bbu_checked_read_image(file.c_str(), &theImage, &r) == BBU_CHECKED_OK)
        return true;
    struct stat st {};
    switch (r.why) {
    case BBU_WHY_NOT_REGULAR_FILE:
        if (lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            fail(ErrorKind::file,
                 "%s: %s is a symbolic link, which is not followed: give the file itself", what,
                 file.c_str());
        else
            fail(ErrorKind::file, "%s: %s is not a regular file", what, file.c_str());
        break;
    case BBU_WHY_FILE_TOO_LONG:
        fail(ErrorKind::image, "%s: %s is no image: it is longer than %d bytes", what, file.c_str(),
             BBU_IMAGE_BUFFER_LEN);
        break;
    case BBU_WHY_FILE_CHANGED:
        fail(ErrorKind::file, "%s: %s changed while it was read: run the command again", what,
             file.c_str());
        break;
    default:
        fail(ErrorKind::file, "%s: cannot read %s: %s", what, file.c_str(), std::strerror(r.err));
        setErrno(r.err);
        break;
    }
    return false;
}

// What is wrong with the image's bytes: the last check that failed, in the
// order magic, CRC, header check, as the load judges them; null when none.
const char *imageProblem(const FIRMWARE_IMAGE_CHECK &found)
{
    if (found.read_ok == 0)
        return "it holds no data";
    if (found.checksum_ok == 0)
        return "its header check does not match";
    if (found.crc_ok == 0)
        return "its CRC does not match its header";
    if (found.magic_ok == 0)
        return "its magic number is wrong";
    return nullptr;
}

// The refusal of an image longer than the image format's blocks.
void tooLong(const char *what, const std::string &file)
{
    fail(ErrorKind::image,
         "%s: %s is not loadable: it is longer than %d blocks (%u bytes), where the BBU's "
         "memory may end; give --long-image to load it all the same",
         what, file.c_str(), BBU_IMAGE_BLOCKS, theImage.length);
}

// The advice after a load or a validation that leaves the BBU without a valid image.
std::string keepPoweredAndFlashAgain()
{
    return std::string("keep the machine powered and ") + kFlashAgain;
}

// What to do after a load that did not end with the new image seen running;
// empty when nothing is to be done.
std::string flashAdvice(const bbu_checked_result &r)
{
    switch (r.holds) {
    case BBU_HOLDS_NO_VALID_IMAGE:
    case BBU_HOLDS_FLASH_MODE:
        return keepPoweredAndFlashAgain();
    case BBU_HOLDS_NEW_IMAGE:
        // Found after the failure: the verdicts disagreed, and each is said.
        return "its header read back and a later validation found it valid; 'bbuctl validate' "
               "asks the BBU again";
    case BBU_HOLDS_NO_ANSWER:
    case BBU_HOLDS_UNREADABLE:
        return r.changed != 0 ? "keep the machine powered; when the BBU answers again, run the "
                                "flash again"
                              : "check the BBU's connection, then run the flash again";
    default:
        return {};
    }
}

// A bad image is refused before anything is asked or sent.
bool loadableImage(const std::string &file, unsigned flags, FIRMWARE_IMAGE_CHECK &found)
{
    if (!readImage("flash", file))
        return false;
    const int rc = bbu_checked_check_image(theImage.bytes, theImage.length, flags, &found);
    if (const char *problem = imageProblem(found)) {
        fail(ErrorKind::image, "flash: %s is no image to load: %s", file.c_str(), problem);
        return false;
    }
    if (rc == BBU_IMAGE_TOO_LONG) {
        tooLong("flash", file);
        return false;
    }
    return true;
}

// The load's progress reports, handed on to the terminal's line. The first
// comes after the load's first status read, which the result record holds
// by then: a BBU found without a valid image or in a half-finished load is
// said to be so, and the load goes on, for it is the way back.
struct FlashWatch {
    Progress &progress;
    const bbu_checked_result &result;
    bool looked = false;
};

void watchFlash(const bbu_checked_progress *progress, void *context)
{
    auto &watch = *static_cast<FlashWatch *>(context);
    if (!watch.looked && watch.result.has_status != 0) {
        if (const char *state = imageStateText(imageState(watch.result.status))) {
            watch.progress.clear();
            message("flash: %s: loading the image brings it back", state);
        }
    }
    watch.looked = true;
    Progress::report(progress, &watch.progress);
}

// A load that failed: where in the image and why, in the user's terms.
int flashFailure(const bbu_checked_result &result)
{
    const int blocks =
        static_cast<int>((theImage.length + BBU_FLASH_DATA_LEN - 1) / BBU_FLASH_DATA_LEN);
    std::string where, cause;
    if (result.block >= 0)
        where = "block " + std::to_string(result.block + 1) + " of " + std::to_string(blocks);
    if (result.why == BBU_WHY_MISMATCH)
        cause = "its header differs first at byte " + std::to_string(result.rc);
    const std::string advice = flashAdvice(result);
    return reportFailure("flash", result, true, where, cause,
                         advice.empty() ? nullptr : advice.c_str());
}

struct FlashOptions {
    unsigned flags = 0;
    long delayMs = -1;
    bool check = false;
    bool allowDowngrade = false;
};

// The options and the one operand of flash, or a usage error.
std::string parseFlash(int argc, char **argv, FlashOptions &o)
{
    enum { FORCE = LONG_ONLY, TFB_DELAY, LONG_IMAGE, CHECK, ALLOW_DOWNGRADE };
    const option extra[] = {{"force", no_argument, nullptr, FORCE},
                            {"tfb-delay", required_argument, nullptr, TFB_DELAY},
                            {"long-image", no_argument, nullptr, LONG_IMAGE},
                            {"check", no_argument, nullptr, CHECK},
                            {"allow-downgrade", no_argument, nullptr, ALLOW_DOWNGRADE}};
    std::vector<std::string> operands =
        parseOptions(flashCommand, argc, argv, extra, [&](int key, const char *arg) {
            unsigned long ms = 0;
            if (key == FORCE)
                o.flags |= BBU_CHECKED_FLASH_FORCE;
            else if (key == LONG_IMAGE)
                o.flags |= BBU_CHECKED_IMAGE_LONG;
            else if (key == CHECK)
                o.check = true;
            else if (key == ALLOW_DOWNGRADE)
                o.allowDowngrade = true;
            else if (parseNumber(arg, MAX_TFB_DELAY_MS, ms))
                o.delayMs = static_cast<long>(ms);
            else
                usageError(&flashCommand, "the TFB delay must be 0 to %lu ms, not '%s'",
                           MAX_TFB_DELAY_MS, arg);
        });
    if (operands.size() != 1)
        usageError(&flashCommand, "flash takes one image file");
    if (operands[0].empty())
        usageError(&flashCommand, "an empty image file name");
    return operands[0];
}

std::string versionText(int version)
{
    char text[4];
    std::snprintf(text, sizeof text, "%02x", version & 0xff);
    return text;
}

// What the load would do, with the options: a forced load of the running
// version loads; an allowed downgrade loads.
int actionOf(const bbu_checked_flash_plan &plan, const FlashOptions &o)
{
    if (plan.action == BBU_FLASH_NONE && (o.flags & BBU_CHECKED_FLASH_FORCE) != 0)
        return BBU_FLASH_LOAD;
    if (plan.action == BBU_FLASH_DOWNGRADE && o.allowDowngrade)
        return BBU_FLASH_LOAD;
    return plan.action;
}

const char *actionName(int action)
{
    switch (action) {
    case BBU_FLASH_NONE:
        return "none";
    case BBU_FLASH_DOWNGRADE:
        return "refuse-downgrade";
    case BBU_FLASH_UNKNOWN:
        return "unknown";
    default:
        return "load";
    }
}

// The members every flash document has once the BBU was read.
void planMembers(const std::string &file, const bbu_checked_flash_plan &plan,
                 const bbu_checked_result &read)
{
    nlohmann::ordered_json &doc = document();
    doc["file"] = shown(file);
    doc["image_version"] = versionText(plan.image_version);
    doc["before"] = read.before >= 0 ? nlohmann::ordered_json(firmwareText(read.before)) : nullptr;
    doc["running_version"] = plan.running_version >= 0
                                 ? nlohmann::ordered_json(versionText(plan.running_version))
                                 : nullptr;
    doc["image"] = imageStateName(imageState(read.status));
}

// The BBU's state as the check shows it: "firmware 05.12, header version 05".
std::string bbuState(const bbu_checked_flash_plan &plan, const bbu_checked_result &read)
{
    std::string text = "firmware " + firmwareText(read.before);
    if (const char *state = imageStateText(imageState(read.status)))
        text += std::string(", ") + state;
    text += plan.running_version >= 0 ? ", header version " + versionText(plan.running_version)
                                      : ", header unreadable";
    return text;
}

// The header the BBU holds carries the image's version, its status another:
// said, for the load goes ahead rather than take either for the truth.
void sayVersionsDisagree(const bbu_checked_flash_plan &plan, const bbu_checked_result &read)
{
    const int statusVersion = read.before >> 8;
    if (plan.running_version == plan.image_version && read.before >= 0 &&
        statusVersion != plan.running_version)
        message("flash: the image header the BBU holds says version %s, its status %s: they "
                "disagree, so the image is loaded",
                versionText(plan.running_version).c_str(), versionText(statusVersion).c_str());
}

void printCheck(const std::string &file, const bbu_checked_flash_plan &plan,
                const bbu_checked_result &read, int action)
{
    const std::string version = versionText(plan.image_version);
    std::printf("image: %s, version %s, %d blocks\n", shown(file).c_str(), version.c_str(),
                plan.blocks);
    std::printf("BBU: %s\n", bbuState(plan, read).c_str());
    switch (action) {
    case BBU_FLASH_NONE:
        std::printf("nothing to load if the BBU validates it: it reports this image's header; "
                    "--force loads it anyway");
        break;
    case BBU_FLASH_DOWNGRADE:
        std::printf("would refuse: version %s is older than the header's version %s; "
                    "--allow-downgrade loads it",
                    version.c_str(), versionText(plan.running_version).c_str());
        break;
    case BBU_FLASH_UNKNOWN:
        std::printf("cannot tell: the image header the BBU holds does not start FE ED");
        break;
    default:
        std::printf("would load: firmware %s -> version %s, about %d s",
                    firmwareText(read.before).c_str(), version.c_str(), plan.expected_seconds);
        break;
    }
    std::printf(" (check: nothing sent)\n");
}

// flash --check: the image checked, the BBU read, nothing sent.
int checkFlash(const std::string &file, const FlashOptions &o)
{
    bbu_checked_flash_plan plan{};
    bbu_checked_result read{};
    {
        BusSession bus("flash");
        bbu_checked_plan_flash(bus.fd(), &theImage, o.flags, &plan, &read, settings.verbose);
    }
    if (read.ok == 0)
        return reportFailure("flash", read, false);
    const int action = actionOf(plan, o);
    setCheck(action == BBU_FLASH_LOAD      ? nlohmann::ordered_json(true)
             : action == BBU_FLASH_UNKNOWN ? nlohmann::ordered_json(nullptr)
                                           : nlohmann::ordered_json(false));
    if (!jsonOutput()) {
        printCheck(file, plan, read, action);
        return EXIT_OK;
    }
    planMembers(file, plan, read);
    document()["action"] = actionName(action);
    if (action == BBU_FLASH_LOAD)
        document()["expected_seconds"] = plan.expected_seconds;
    return EXIT_OK;
}

double monotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The load's outcome, the plan's reads first: a BBU that runs the version
// already, or runs a newer one, is left alone.
struct FlashRun {
    bbu_checked_flash_plan plan{};
    bbu_checked_result read{};    // the plan's
    bbu_checked_result result{};  // the load's
    int action = 0;
    double seconds = 0;
};

void runLoad(FlashRun &run, const FlashOptions &o)
{
    const double start = monotonicSeconds();
    {
        BusSession bus("flash");
        bbu_checked_plan_flash(bus.fd(), &theImage, o.flags, &run.plan, &run.read,
                               settings.verbose);
        run.action = actionOf(run.plan, o);
        // An unreadable header says nothing against the load: it goes on,
        // and the load's own reads of the header decide. The image found in
        // place is left only when the load's own reads and the BBU's
        // validation say so.
        if (run.read.ok != 0 && run.action != BBU_FLASH_DOWNGRADE) {
            sayVersionsDisagree(run.plan, run.read);
            bus.progress().planLoad(run.plan.blocks, run.plan.expected_seconds);
            FlashWatch watch{bus.progress(), run.result};
            bbu_checked_flash(bus.fd(), &theImage, o.flags, watchFlash, &watch, &run.result,
                              settings.verbose);
        }
    }
    run.seconds = monotonicSeconds() - start;
    if (run.read.ok != 0 && run.action != BBU_FLASH_DOWNGRADE)
        run.action = run.result.ok != 0 && run.result.changed == 0 ? BBU_FLASH_NONE : BBU_FLASH_LOAD;
}

int runFlash(int argc, char **argv)
{
    FlashOptions o;
    const std::string file = parseFlash(argc, argv, o);
    FIRMWARE_IMAGE_CHECK found{};
    if (!loadableImage(file, o.flags, found))
        return EXIT_FAILED;
    if (o.check)
        return checkFlash(file, o);
    confirm(flashCommand, "load firmware version " + versionText(found.version) + " from " +
                              shown(file) + " into the BBU");
    if (o.delayMs >= 0) {
        TFB_delay = 1;
        TFB_delaytime = static_cast<int>(o.delayMs);
    }
    FlashRun run;
    runLoad(run, o);
    if (run.read.ok == 0)
        return reportFailure("flash", run.read, false);
    planMembers(file, run.plan, run.read);
    nlohmann::ordered_json &doc = document();
    doc["action"] = actionName(run.action);
    if (run.action == BBU_FLASH_DOWNGRADE) {
        fail(ErrorKind::downgrade,
             "flash: %s holds version %s, older than version %s in the image header the BBU "
             "holds: give --allow-downgrade to load it",
             file.c_str(), versionText(run.plan.image_version).c_str(),
             versionText(run.plan.running_version).c_str());
        setDeviceHolds(run.read);
        return EXIT_FAILED;
    }
    const bbu_checked_result &result = run.result;
    setChanged(result.changed != 0);
    doc["after"] = result.after >= 0 ? nlohmann::ordered_json(firmwareText(result.after)) : nullptr;
    doc["duration_seconds"] = std::round(run.seconds * 1000) / 1000;
    if (result.ok == 0)
        return flashFailure(result);
    const std::string evidence = verified(result);
    if (jsonOutput())
        return EXIT_OK;
    // The status's firmware bytes are shown as the BBU gives them: nothing
    // ties them to the image, so they are no part of the outcome.
    if (result.changed == 0)
        std::printf("the BBU reports this image's header and a valid image: nothing loaded "
                    "(verified: %s; --force loads it anyway)\n",
                    evidence.c_str());
    else
        std::printf("version %s loaded (verified: %s); the status shows firmware %s -> %s\n",
                    versionText(run.plan.image_version).c_str(), evidence.c_str(),
                    firmwareText(result.before).c_str(), firmwareText(result.after).c_str());
    return EXIT_OK;
}

int runValidate(int argc, char **argv)
{
    if (!parseOptions(validateCommand, argc, argv).empty())
        usageError(&validateCommand, "validate takes no argument");
    const char *const what = "validate";
    bbu_checked_result result{};
    {
        BusSession bus(what);
        bbu_checked_validate(bus.fd(), Progress::report, &bus.progress(), &result,
                             settings.verbose);
    }
    // A verdict of not valid says the same, with the way back, in its failure line.
    if (result.why != BBU_WHY_IMAGE_INVALID)
        sayImageState(what, result);
    const bool invalid = result.why == BBU_WHY_IMAGE_INVALID;
    document()["verdict"] = result.ok != 0 ? nlohmann::ordered_json("valid")
                            : invalid      ? nlohmann::ordered_json("not-valid")
                                           : nlohmann::ordered_json(nullptr);
    if (result.ok != 0) {
        if (!jsonOutput())
            std::printf("image: valid\n");
        return EXIT_OK;
    }
    // The BBU's own verdict is the result; any other failure gave none.
    if (invalid) {
        if (!jsonOutput())
            std::printf("image: not valid\n");
        reportFailure(what, result, false, "", "", keepPoweredAndFlashAgain().c_str());
        setErrorKind(ErrorKind::verdict);
        return EXIT_FAILED;
    }
    return reportFailure(what, result, false);
}

// The file the bytes of a dump go to, opened before the bus is touched: made
// new (and removed again when the dump fails), or an existing file that is
// replaced only when the dump succeeds. Never through a symbolic link.
struct DumpFile {
    int fd = -1;
    bool made = false;
};

DumpFile openDumpFile(const char *path)
{
    DumpFile f;
    f.fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    f.made = f.fd >= 0;
    if (f.fd < 0 && errno == EEXIST)
        f.fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    return f;
}

bool writeAll(int fd, const unsigned char *bytes, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The address and length operands of a dump, or a usage error.
void parseDumpRange(const std::vector<std::string> &operands, unsigned long &address,
                    unsigned long &length)
{
    if (operands.size() != 2)
        usageError(&dumpCommand, "dump takes an address and a length");
    if (!parseNumber(operands[0].c_str(), MAX_ADDRESS, address))
        usageError(&dumpCommand, "the address must be 0 to 0xffffffff, not '%s'",
                   operands[0].c_str());
    if (!parseNumber(operands[1].c_str(), MAX_DUMP_LEN, length) || length == 0)
        usageError(&dumpCommand, "the length must be 1 to %lu bytes, not '%s'", MAX_DUMP_LEN,
                   operands[1].c_str());
    // The BBU's addresses are 32 bits wide: a range past the last one would
    // read bytes of a wrapped address under a name that does not exist.
    if (length - 1 > MAX_ADDRESS - address)
        usageError(&dumpCommand, "%lu bytes from 0x%lx run past the last address, 0xffffffff",
                   length, address);
}

// The dumped bytes into the output file, which is closed: a regular file is
// replaced; a device or pipe named by the user just gets the bytes.
int writeDumpFile(const DumpFile &out, const char *output, const std::vector<unsigned char> &bytes,
                  unsigned long address)
{
    struct stat st {};
    const bool written = fstat(out.fd, &st) == 0 &&
                         (!S_ISREG(st.st_mode) || ftruncate(out.fd, 0) == 0) &&
                         writeAll(out.fd, bytes.data(), bytes.size());
    const int err = errno;
    if (close(out.fd) != 0 || !written) {
        const int why = written ? errno : err;
        fail(ErrorKind::file, "dump: cannot write %s: %s", output, std::strerror(why));
        setErrno(why);
        return EXIT_FAILED;
    }
    if (jsonOutput())
        document()["file"] = shown(output);
    else
        std::printf("%lu bytes from 0x%08lx written to %s\n",
                    static_cast<unsigned long>(bytes.size()), address, shown(output).c_str());
    return EXIT_OK;
}

int runDump(int argc, char **argv)
{
    const char *output = nullptr;
    const option extra[] = {{"output", required_argument, nullptr, 'o'}};
    std::vector<std::string> operands =
        parseOptions(dumpCommand, argc, argv, extra, [&](int, const char *arg) { output = arg; });
    unsigned long address = 0, length = 0;
    parseDumpRange(operands, address, length);

    DumpFile out;
    if (output != nullptr) {
        if (*output == '\0')
            usageError(&dumpCommand, "an empty output file name");
        out = openDumpFile(output);
        if (out.fd < 0) {
            const int err = errno;
            fail(ErrorKind::file, "dump: cannot write %s: %s", output, std::strerror(err));
            setErrno(err);
            return EXIT_FAILED;
        }
    }
    std::vector<unsigned char> bytes(length);
    bbu_checked_result result{};
    {
        BusSession bus("dump");
        bbu_checked_dump(bus.fd(), static_cast<std::uint32_t>(address),
                         static_cast<std::uint32_t>(length), bytes.data(), &result,
                         settings.verbose);
    }
    if (result.ok == 0) {
        // Nothing of a dump that did not end is given as its result.
        if (out.fd >= 0) {
            close(out.fd);
            if (out.made)
                unlink(output);
        }
        const unsigned long read = result.after > 0 ? static_cast<unsigned long>(result.after) : 0;
        char where[64];
        std::snprintf(where, sizeof where, "at 0x%08lx, %lu of %lu bytes read", address + read,
                      read, length);
        return reportFailure("dump", result, false, where);
    }
    document()["address"] = address;
    document()["length"] = length;
    if (output == nullptr && jsonOutput()) {
        document()["bytes"] = bytes;
        return EXIT_OK;
    }
    if (output == nullptr) {
        for (unsigned long i = 0; i < length; ++i) {
            if (i % 16 == 0)
                std::printf("%08lx:", address + i);
            std::printf(" %02x", bytes[i]);
            if (i % 16 == 15 || i + 1 == length)
                std::printf("\n");
        }
        return EXIT_OK;
    }
    return writeDumpFile(out, output, bytes, address);
}

int runImage(int argc, char **argv)
{
    unsigned flags = 0;
    const option extra[] = {{"long-image", no_argument, nullptr, LONG_ONLY}};
    std::vector<std::string> operands =
        parseOptions(imageCommand, argc, argv, extra,
                     [&](int, const char *) { flags |= BBU_CHECKED_IMAGE_LONG; });
    if (operands.size() != 2 || operands[0] != "check")
        usageError(&imageCommand, "expected 'image check FILE'");
    if (operands[1].empty())
        usageError(&imageCommand, "an empty image file name");
    setForm("image check", false);
    const std::string &file = operands[1];
    if (!readImage("image check", file))
        return EXIT_FAILED;
    FIRMWARE_IMAGE_CHECK found{};
    const int rc = bbu_checked_check_image(theImage.bytes, theImage.length, flags, &found);
    // Checks of bytes that were never read say nothing: only the failure is shown.
    if (found.read_ok == 0)
        return fail(ErrorKind::image, "image check: %s: it holds no data", file.c_str());
    const unsigned blocks = (theImage.length + BBU_FLASH_DATA_LEN - 1) / BBU_FLASH_DATA_LEN;
    if (jsonOutput()) {
        auto check = [](std::uint32_t value, const std::uint32_t *header, int ok) {
            nlohmann::ordered_json member{{"value", value}};
            if (header != nullptr)
                member["header"] = *header;
            member["ok"] = ok != 0;
            return member;
        };
        nlohmann::ordered_json &doc = document();
        doc["file"] = shown(file);
        doc["size"] = theImage.length;
        doc["blocks"] = blocks;
        doc["version"] = versionText(found.version);
        doc["magic"] = check(found.magic, nullptr, found.magic_ok);
        doc["crc"] = check(found.crc, &found.file_crc, found.crc_ok);
        doc["header_check"] = check(found.checksum, &found.file_checksum, found.checksum_ok);
        const char *problem = imageProblem(found);
        doc["problem"] = problem != nullptr ? nlohmann::ordered_json(problem) : nullptr;
    } else {
        auto verdict = [](bool ok) {
            return ok ? "ok" : "BAD";
        };
        std::printf("size: %u bytes, %u blocks\n", theImage.length, blocks);
        std::printf("magic: 0x%08x %s\n", found.magic, verdict(found.magic_ok != 0));
        std::printf("crc: 0x%08x, header 0x%08x %s\n", found.crc, found.file_crc,
                    verdict(found.crc_ok != 0));
        std::printf("header check: 0x%08x, header 0x%08x %s\n", found.checksum, found.file_checksum,
                    verdict(found.checksum_ok != 0));
        std::printf("version: %02x\n", found.version);
    }
    if (const char *problem = imageProblem(found))
        return fail(ErrorKind::image, "image check: %s is not a valid image: %s", file.c_str(),
                    problem);
    if (rc == BBU_IMAGE_TOO_LONG) {
        tooLong("image check", file);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

}  // namespace

const Command flashCommand = {
    "flash",
    runFlash,
    {{"flash FILE [--check] [--force] [--allow-downgrade] [--tfb-delay MS] [--long-image]",
      "load a firmware image file into the BBU"}},
    "Load the firmware image FILE into the BBU's flash. The file is read once; that\n"
    "copy is checked (magic, CRC, header check, length) and loaded, so a file that\n"
    "changes meanwhile changes nothing. A bad image is refused before anything is\n"
    "asked or sent. The BBU's status and the image header it holds (at 0x1000) are\n"
    "read first: when that header equals this image's, the status's version agrees\n"
    "and the BBU validates the image, nothing is loaded (exit 0); an image older\n"
    "than the header's version is refused. A BBU in a half-finished load is always\n"
    "loaded: that is its way back. Every write and status read of the load is\n"
    "checked, and at the end the BBU's header must read back as the image's and\n"
    "the BBU must validate it. Prints the version loaded and what that rests on\n"
    "(\"verified: header read back, validation\"); on a failure, what the BBU\n"
    "holds now. On a terminal it shows the phase, the block and the time left.\n"
    "Asks first.\n"
    "\n"
    "  --check            read the BBU and say what a load would do, and how long it\n"
    "                     would take; send nothing\n"
    "  --force            load even when the BBU already holds this image\n"
    "  --allow-downgrade  load an image older than the header's version\n"
    "  --tfb-delay MS     pause MS milliseconds (0 to 10000) after each\n"
    "                     Take_Flash_Block\n"
    "  --long-image       load an image longer than 384 blocks (49152 bytes), where\n"
    "                     the BBU's memory may end\n",
    true,
};

const Command validateCommand = {
    "validate",
    runValidate,
    {{"validate", "ask the BBU to validate its image (exit 1 when not valid)"}},
    "Ask the BBU to validate the firmware image it holds, see it take the command,\n"
    "and show its verdict from the status 10 seconds later (counted down on a\n"
    "terminal); exit 1 when it is not valid or when no verdict could be read.\n",
    false,
};

const Command dumpCommand = {
    "dump",
    runDump,
    {{"dump ADDR LEN [-o FILE]", "read LEN bytes of BBU memory from ADDR"}},
    "Read LEN bytes (1 to 1048576) of the BBU's memory from address ADDR (decimal\n"
    "or 0x hex) to at most 0xffffffff, 128 bytes per read-memory command, each\n"
    "response checked, and print them in hex, 16 to a line after their address, or\n"
    "write them to FILE. A dump that fails gives no bytes.\n"
    "\n"
    "  -o, --output FILE  write the bytes to FILE (replaced only when the dump\n"
    "                     succeeds; not through a symbolic link)\n",
    false,
};

const Command imageCommand = {
    "image",
    runImage,
    {{"image check FILE [--long-image]", "check a firmware image file, without a BBU"}},
    "Check a firmware image file as the flash load does, without a BBU and\n"
    "without a trace: its size and blocks, magic number, CRC, header check and\n"
    "version. Exit 1 when a check fails, when the file is not a regular file or\n"
    "gives no bytes, and when the image is longer than 384 blocks (49152 bytes):\n"
    "the BBU's memory may end there.\n"
    "\n"
    "  --long-image  accept an image longer than 384 blocks, as flash --long-image\n",
    false,
};

}  // namespace bbuctl
