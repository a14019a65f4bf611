// The flash load: an image file checked, the BBU's version compared, the BBU
// reset, and the image sent block by block with the handshake's checks and
// re-sends after every step.
#include <bbu/bbu.h>

#include "library_internal.h"

#include <array>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int SAR_LEN = 256;
constexpr std::array<char, 2> Start_Flash_Load_CMD{'\x89', '\x89'};
constexpr int SFL_CMD_LEN = 2;
constexpr std::array<char, 2> Take_Flash_Block_CMD{'\x8F', '\x8F'};
constexpr std::array<char, 2> End_Flash_Load_CMD{'\x8A', '\x8A'};
constexpr int EFL_CMD_LEN = 2;
constexpr char TERMINATE_BYTE = 0x01;

constexpr int FIRST_IMAGE_LEN = 32;
constexpr int VERSION_BYTE = 7;  // of the image file and of the BBU's first image
constexpr int MAX_RETRY = 3;     // re-reads of the BBU's first image
constexpr unsigned REREAD_SECONDS = 2;
constexpr unsigned AFTER_START_SECONDS = 2;
constexpr unsigned AFTER_REOPEN_SECONDS = 2;
constexpr unsigned AFTER_END_SECONDS = 10;
constexpr useconds_t BLOCK_PAUSE_US = 10;
constexpr int PROGRESS_EVERY = 32;  // blocks between progress lines when not verbose

using Buffer = std::array<char, SAR_LEN>;

// The findings of the image check, as the load reports them.
void report_image(const FIRMWARE_IMAGE_CHECK &image, int verbose)
{
    const bool show = verbose != 0;
    if (image.read_ok == 0)
        trace_and_show(stderr, show, "problem reading the file\n");
    if (image.magic_ok == 0)
        trace_and_show(stderr, show, "magic number does not match\n");
    if (image.crc_ok == 0)
        trace_and_show(stderr, show, "crc does not match\n");
    if (image.checksum_ok == 0)
        trace_and_show(stderr, show, "checksum does not match\n");
    trace_and_show(
        stderr, show, "file read debug: bytes=%d magic=%4lx crc=%4x chksum=%4x numblocks=%d\n",
        image.bytes_read, static_cast<unsigned long>(image.magic), static_cast<unsigned>(image.crc),
        static_cast<unsigned>(image.checksum), image.numblocks);
    trace_and_show(stderr, show, "exp magic=%4x filecrc=%4lx filechk=%4lx\n", BBU_IMAGE_MAGIC,
                   static_cast<unsigned long>(image.file_crc),
                   static_cast<unsigned long>(image.file_checksum));
}

bool first_image_readable(const unsigned char *bbu_memory)
{
    return bbu_memory[0] == 0xFE && bbu_memory[1] == 0xED;
}

// The first image's header at 0x1000 read into bbu_memory.
void read_first_image(int i2c_fd, std::array<unsigned char, FIRST_IMAGE_LEN> &bbu_memory,
                      int verbose)
{
    dump_memory(i2c_fd, BBU_FIRST_IMAGE_ADDR, FIRST_IMAGE_LEN, nullptr, bbu_memory.data(), verbose);
}

// The first image read again while it does not start FE ED: up to three
// times, 2 seconds apart, with a soft reset after the second re-read and a
// hard reset after the third. The version byte of the last read stands.
void reread_first_image(int i2c_fd, std::array<unsigned char, FIRST_IMAGE_LEN> &bbu_memory,
                        unsigned char file_version, int verbose)
{
    for (int retryCount = 0; retryCount < MAX_RETRY && !first_image_readable(bbu_memory.data());
         ++retryCount) {
        sleep(REREAD_SECONDS);
        LogTrace("Expected: feed Received: %02x%02x \n", bbu_memory[0], bbu_memory[1]);
        show_line(stdout, true, "File FW Version: %02x BBU FW Version: %02x \n", file_version,
                  bbu_memory[VERSION_BYTE]);
        LogTrace("Corrupted first image read, retry number %d \n", retryCount + 1);
        read_first_image(i2c_fd, bbu_memory, verbose);
        print_buffer("BBU First Image (0x1000)", bbu_memory.data(), FIRST_IMAGE_LEN);
        if (first_image_readable(bbu_memory.data()))
            break;
        if (retryCount == 1) {
            reset_bbu(i2c_fd, verbose);
        } else if (retryCount == 2) {
            const int hard_reset_rc = processor_reset_bbu(i2c_fd, verbose);
            if (hard_reset_rc != 0)
                trace_and_show(stdout, verbose != 0, "Hard reset failed with return code = %d",
                               hard_reset_rc);
        }
    }
}

// The BBU's firmware version: byte 7 of the header of its first image.
unsigned char bbu_firmware_version(int i2c_fd, unsigned char file_version, int verbose)
{
    std::array<unsigned char, FIRST_IMAGE_LEN> bbu_memory{};
    // The console and the trace have their own texts for this line.
    show_line(stdout, verbose != 0, "before BBU version check\n");
    LogTrace("Before BBU version check\n");
    read_first_image(i2c_fd, bbu_memory, verbose);
    // With verbose the dump has shown the bytes already.
    if (verbose == 0)
        print_buffer("BBU First Image (0x1000)", bbu_memory.data(), FIRST_IMAGE_LEN);
    trace_and_show(stdout, true, "File FW Version: %02x BBU FW Version: %02x \n", file_version,
                   bbu_memory[VERSION_BYTE]);
    reread_first_image(i2c_fd, bbu_memory, file_version, verbose);
    return bbu_memory[VERSION_BYTE];
}

// The image file read and checked, its findings reported. 0 when it may be
// sent; otherwise the load's result: an image that failed a check is never
// sent.
int check_image(const char *filename, FIRMWARE_IMAGE_CHECK &image, int verbose)
{
    const int file_error = check_firmware_image(filename, &image);
    if (image.open_errno != 0) {
        trace_and_show(stderr, verbose != 0, " Could not open the code file: %s rc=%i\n", filename,
                       image.open_errno);
        return BBU_IMAGE_UNREADABLE;
    }
    if (file_error == BBU_IMAGE_NO_MEMORY)
        return BBU_IMAGE_NO_MEMORY;
    report_image(image, verbose);
    return file_error;
}

// The image's version compared with the BBU's. 0 to load; BBU_LOAD_SAME_VERSION
// when the BBU holds this version and validates it.
int check_version(int i2c_fd, unsigned char file_version, int verbose)
{
    if (file_version != bbu_firmware_version(i2c_fd, file_version, verbose))
        return 0;
    trace_and_show(stderr, true, "BBU already has this version of code\n");
    if (validate_img(i2c_fd, verbose) != 0)
        return BBU_LOAD_SAME_VERSION;
    trace_and_show(stdout, true, "BBU secondary image is bad, loading anyway\n");
    return 0;
}

// The BBU soft-reset, its status read, and Start_Flash_Load sent once the BBU
// is ready. 0 when the BBU took the start; otherwise the load's result.
int start_load(int i2c_fd, Buffer &sar_buf, int verbose)
{
    const bool show = verbose != 0;
    LogTrace("Perform soft reset");
    reset_bbu(i2c_fd, verbose);
    LogTrace("Wait for 5 seconds after soft reset");
    sleep(SOFT_RESET_SETTLE_SECONDS);

    trace_and_show(stdout, show, "checking BBU status\n");
    const int read_rc = do_i2c_read(i2c_fd, BBU_SAR_ADDR, SAR_LEN, sar_buf.data(), verbose);
    if (read_rc < 0) {
        trace_and_show(stdout, show, "i2c read returned error %d\n", read_rc);
        return read_rc;
    }
    if (show)
        print_general_status("initial SAR read", sar_buf.data());

    std::memcpy(sar_buf.data(), Start_Flash_Load_CMD.data(), SFL_CMD_LEN);
    trace_and_show(stdout, show, "waiting for cmd ready\n");
    if (wait_for_cmd_ready(i2c_fd, verbose) == 0)
        trace_and_show(stderr, show, "command ready not seen\n");
    trace_and_show(stdout, show, "sending start load cmd\n");
    const int rc = I2C_command_with_retry(I2C_RETRY_WRITE, i2c_fd, BBU_SAR_ADDR, SFL_CMD_LEN,
                                          sar_buf.data(), verbose);
    if (rc < 0)
        return rc;
    if (rc < SFL_CMD_LEN) {
        trace_and_show(stderr, show,
                       "SFL: the amount of data written %d is less than requested %d\n", rc,
                       SFL_CMD_LEN);
        return BBU_LOAD_SHORT_START;
    }
    sleep(AFTER_START_SECONDS);
    trace_and_show(stdout, show, "waiting for cmd accept\n");
    wait_for_cmd_accept(i2c_fd, verbose);
    return 0;
}

// Sends one block record and its terminate byte and TFB, with their checks
// and re-sends. Returns 0 to go on with the next block, or BBU_LOAD_FAILED.
int send_block(int i2c_fd, codebuffer &record, Buffer &sar_buf, int verbose)
{
    const bool show = verbose != 0;
    auto *bytes = reinterpret_cast<char *>(&record);
    trace_and_show(stdout, show, "code block write\n");
    if (I2C_command_with_retry(I2C_RETRY_WRITE, i2c_fd, BBU_SARX_ADDR, sizeof record, bytes,
                               verbose) < 0)
        LogTrace("SARX WRITE FAILED");

    trace_and_show(stdout, show, "read and print status\n");
    int rc = read_and_print_status_with_checks(i2c_fd, "sarx write", nullptr, verbose);
    // A block the BBU received with a bad checksum is sent again first.
    if (checksumError == 1)
        rc = rewriteToSARX(i2c_fd, sizeof record, bytes, verbose);
    if (rc == BBU_STATUS_ERROR_BITS) {
        LogTrace("GSS check failed after SARX_WRITE, exit processCodeLoad");
        return BBU_LOAD_FAILED;
    }

    do_i2c_write(i2c_fd, BBU_SAR_ADDR, 1, &TERMINATE_BYTE, verbose);
    usleep(BLOCK_PAUSE_US);
    if (read_and_print_status_with_checks(i2c_fd, "terminate command", nullptr, verbose) ==
        BBU_STATUS_ERROR_BITS) {
        LogTrace("GSS check failed after Terminate, exit processCodeLoad");
        return BBU_LOAD_FAILED;
    }
    note_status_before_tfb();

    std::memcpy(sar_buf.data(), Take_Flash_Block_CMD.data(), Take_Flash_Block_CMD.size());
    trace_and_show(stdout, show, "tfb command\n");
    if (I2C_command_with_retry(I2C_RETRY_WRITE, i2c_fd, BBU_SAR_ADDR, Take_Flash_Block_CMD.size(),
                               sar_buf.data(), verbose) < 0) {
        LogTrace("TFB WRITE failed, exit processCodeLoad");
        return BBU_LOAD_FAILED;
    }
    tfb_delay();
    trace_and_show(stdout, show, "tfb command read status\n");
    if (read_and_print_status_with_checks(i2c_fd, "sar write", nullptr, verbose) ==
        BBU_STATUS_ERROR_BITS) {
        LogTrace("GSS check failed after TFB WRITE, exit processCodeLoad");
        return BBU_LOAD_FAILED;
    }
    // Records bytes 12 and 13 after the TFB; an unaccepted TFB does not end
    // the transfer: the comparison below decides.
    wait_for_cmd_accept(i2c_fd, verbose);
    rc = check_and_retryTFB(i2c_fd, sar_buf.data(), verbose);
    if (rc == BBU_TFB_RESENT)
        LogTrace("*** TFB retry occured ***");
    return rc == BBU_TFB_FAILED ? BBU_LOAD_FAILED : 0;
}

// The image sent block by block from a fresh open of the file, once the BBU
// shows a clean status after the start. 0 at end of file (or on a read
// error: the end steps run either way); otherwise BBU_LOAD_FAILED.
//
// The file is read a second time here, as the documented load does: the
// check's 64 KiB buffer is released before the BBU is touched, and the
// blocks are streamed from the file as it stands now. The checked load reads
// the file once and sends the very bytes it checked.
int send_blocks(int i2c_fd, const char *filename, Buffer &sar_buf, int verbose)
{
    const bool show = verbose != 0;
    // A failed open ends the transfer at once, like a failed read.
    const FileGuard file(open(filename, O_RDONLY | O_CLOEXEC));
    sleep(AFTER_REOPEN_SECONDS);
    if (read_and_print_status_with_checks(i2c_fd, "After Start_Flash_Load", nullptr, verbose) ==
        BBU_STATUS_ERROR_BITS) {
        LogTrace("GSS check failed after Start_Flash_Load, exit processCodeLoad");
        return BBU_LOAD_FAILED;
    }

    LogTrace("Entering while loop");
    for (int block = 0;; ++block) {
        usleep(BLOCK_PAUSE_US);
        codebuffer record{};
        const ssize_t got = read(file.fd, record.data, sizeof record.data);
        if (got <= 0)
            return 0;

        trace_and_show(stdout, show, "\n\ndata block %d\n", block);
        if (!show && block % PROGRESS_EVERY == 0)
            trace_and_show(stdout, true, "data block %04d of 383\n", block);
        make_flash_block(&record, static_cast<unsigned int>(block), static_cast<unsigned int>(got));
        if (send_block(i2c_fd, record, sar_buf, verbose) != 0)
            return BBU_LOAD_FAILED;
    }
}

// End_Flash_Load, then 10 seconds for the BBU to program its flash.
void end_load(int i2c_fd, Buffer &sar_buf, int verbose)
{
    std::memcpy(sar_buf.data(), End_Flash_Load_CMD.data(), EFL_CMD_LEN);
    if (I2C_command_with_retry(I2C_RETRY_WRITE, i2c_fd, BBU_SAR_ADDR, EFL_CMD_LEN, sar_buf.data(),
                               verbose) < 0)
        LogTrace("End_Flash_Load WRITE failed");
    LogTrace("*** Sleep for 10 seconds after End_Flash_Load command ***\n");
    sleep(AFTER_END_SECONDS);
    wait_for_cmd_accept(i2c_fd, verbose);
}

}  // namespace

int processCodeLoad(int i2c_fd, const char *filename, int verbose, int force)
{
    FIRMWARE_IMAGE_CHECK image;
    int rc = check_image(filename, image, verbose);
    if (rc == 0 && force == 0)
        rc = check_version(i2c_fd, image.version, verbose);
    Buffer sar_buf{};
    if (rc == 0)
        rc = start_load(i2c_fd, sar_buf, verbose);
    if (rc == 0)
        rc = send_blocks(i2c_fd, filename, sar_buf, verbose);
    if (rc != 0)
        return rc;
    end_load(i2c_fd, sar_buf, verbose);
    return BBU_LOAD_DONE;
}
