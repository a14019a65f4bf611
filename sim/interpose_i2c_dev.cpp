// interpose_i2c_dev.cpp - ioctl, read and write on claimed descriptors,
// answered the way the kernel's i2c-dev driver answers them.
//
// I2C_RDWR runs its messages in order as one combined transfer; when a
// message finds no device or fails, the whole request fails with that errno
// and no read buffer is written, as the kernel copies read data back only
// after a successful transfer. I2C_SMBUS is emulated with I2C messages, as
// the kernel does for a plain I2C adapter. Every message becomes one
// transcript line.
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

#include "bbusim.h"
#include "devices.h"
#include "i2c_requests.h"
#include "interposer.h"
#include "libc_calls.h"
#include "replay.h"
#include "transcript.h"
#include "world.h"

namespace bbusim {
namespace {

constexpr std::size_t kMaxMessageLen = 8192;
constexpr std::uint32_t kMaxMessages = I2C_RDWR_IOCTL_MAX_MSGS;
constexpr int kMaxErrno = 4096;

constexpr unsigned long kFunctionality = I2C_FUNC_I2C | I2C_FUNC_SMBUS_QUICK | I2C_FUNC_SMBUS_BYTE |
                                         I2C_FUNC_SMBUS_BYTE_DATA | I2C_FUNC_SMBUS_WORD_DATA |
                                         I2C_FUNC_SMBUS_I2C_BLOCK;

// Read data waits here until the whole transfer has succeeded. Guarded by
// the world's lock.
std::uint8_t g_read_scratch[kMaxMessages][kMaxMessageLen];

// The program's own answers to messages (answer_messages()): process-local,
// never part of the shared world.
std::atomic<MessageAnswerer> g_answerer{nullptr};
std::atomic<void *> g_answerer_context{nullptr};

// A request refused as a whole: one transcript line, errno set. A replay
// gives it the errno the recording holds.
int refuse(World &w, unsigned long request, int err)
{
    {
        WorldLock lock(w);
        char name[32];
        if (const char *known = i2c_request_name(request))
            std::snprintf(name, sizeof name, "%s", known);
        else
            std::snprintf(name, sizeof name, "0x%lx", request);
        if (w.replay.active != 0)
            err = replay_refusal(w, name);
        TranscriptLine(w.now_us).text(" ioctl %s -> %s", name, errno_name(err).c_str()).emit(w);
    }
    errno = err;
    return -1;
}

void record_message(World &w, std::uint64_t t, const i2c_msg &m, int result,
                    const std::uint8_t *delivered)
{
    TranscriptLine line(t);
    const bool is_read = (m.flags & I2C_M_RD) != 0;
    line.text(" %s 0x%02x %u", is_read ? "read" : "write", static_cast<unsigned>(m.addr),
              static_cast<unsigned>(m.len));
    if (!is_read) {
        if (m.len > 0)
            line.text(" :").bytes(m.buf, m.len);
    }
    if (result < 0) {
        line.text(" -> %s", errno_name(-result).c_str());
    } else {
        line.text(" -> %d", result);
        if (is_read && result > 0)
            line.text(" :").bytes(delivered, static_cast<std::size_t>(result));
    }
    line.emit(w);
}

// One message: the program's answerer first, the devices when it passes the
// message on. Its answer is held to what a message can carry: at most the
// message's length, or an errno.
int transfer(World &w, const i2c_msg &m, bool is_read, std::uint8_t *buf)
{
    MessageAnswer answer{};
    const MessageAnswerer answerer = g_answerer.load();
    if (answerer == nullptr ||
        !answerer(m.addr, is_read, buf, m.len, answer, g_answerer_context.load()))
        return bus_transfer(w, m.addr, is_read, buf, m.len);
    advance_clock(w, answer.delay_us);
    if (answer.result < 0)
        return answer.result > -kMaxErrno ? answer.result : -EIO;
    return std::min<int>(answer.result, m.len);
}

// Run checked messages as one combined transfer. Returns the number of
// messages or a negative errno. A replay answers every message from the
// recording, which shows each message of a failed request.
int run_messages(World &w, i2c_msg *msgs, std::uint32_t n)
{
    int failure = 0;
    {
        WorldLock lock(w);
        const std::uint64_t t = w.now_us;
        const bool replaying = w.replay.active != 0;
        int results[kMaxMessages];
        std::uint32_t done = 0;
        for (; done < n && (failure == 0 || replaying); ++done) {
            i2c_msg &m = msgs[done];
            const bool is_read = (m.flags & I2C_M_RD) != 0;
            std::uint8_t *buf = is_read ? g_read_scratch[done] : m.buf;
            results[done] = replaying ? replay_transfer(w, m.addr, is_read, buf, m.len)
                                      : transfer(w, m, is_read, buf);
            if (results[done] < 0 && failure == 0)
                failure = results[done];
        }
        // A message that a power cut or crash kept from its device never
        // happened, nor did those after it.
        const std::uint32_t happened = w.stop != Stop::none ? done - 1 : n;
        world_commit(w);  // the devices' part is done: the transcript tells it
        for (std::uint32_t i = 0; i < happened; ++i)
            record_message(w, t, msgs[i], failure < 0 ? failure : results[i], g_read_scratch[i]);
        if (failure == 0) {
            for (std::uint32_t i = 0; i < n; ++i) {
                if ((msgs[i].flags & I2C_M_RD) != 0 && results[i] > 0 && msgs[i].buf != nullptr)
                    std::memcpy(msgs[i].buf, g_read_scratch[i],
                                static_cast<std::size_t>(results[i]));
                // A message that carried fewer bytes than asked says so in its length.
                msgs[i].len = static_cast<__u16>(results[i]);
            }
        }
    }
    end_if_stopped(w);
    return failure < 0 ? failure : static_cast<int>(n);
}

int rdwr(World &w, void *arg)
{
    auto *data = static_cast<i2c_rdwr_ioctl_data *>(arg);
    if (data == nullptr)
        return refuse(w, I2C_RDWR, EFAULT);
    if (data->msgs == nullptr || data->nmsgs == 0 || data->nmsgs > kMaxMessages)
        return refuse(w, I2C_RDWR, EINVAL);
    for (std::uint32_t i = 0; i < data->nmsgs; ++i) {
        const i2c_msg &m = data->msgs[i];
        if (m.len > kMaxMessageLen)
            return refuse(w, I2C_RDWR, EINVAL);
        if (m.buf == nullptr && m.len > 0)
            return refuse(w, I2C_RDWR, EFAULT);
        // Block reads whose length comes from the device: not offered.
        if ((m.flags & I2C_M_RECV_LEN) != 0)
            return refuse(w, I2C_RDWR, EOPNOTSUPP);
    }
    int r = run_messages(w, data->msgs, data->nmsgs);
    if (r < 0) {
        errno = -r;
        return -1;
    }
    return r;
}

// An SMBus transaction as the kernel's emulation for an adapter that speaks
// only I2C builds it: the command byte and any data written in one message;
// for reads, the command byte written and then the data read.
struct SmbusTransfer {
    std::uint8_t out[I2C_SMBUS_BLOCK_MAX + 2] = {};
    std::uint8_t in[I2C_SMBUS_BLOCK_MAX] = {};
    i2c_msg msgs[2] = {};
    std::uint32_t n = 0;
    std::size_t len = 0;  // data bytes written or read
};

// The data bytes of a transaction, after i2c-dev's checks in its order: 0,
// or the errno that refuses the request. The sizes beyond I2C_FUNCS are not
// offered (EOPNOTSUPP).
int smbus_data_len(const i2c_smbus_ioctl_data &req, std::size_t &len)
{
    const bool is_read = req.read_write == I2C_SMBUS_READ;
    if (req.size > I2C_SMBUS_I2C_BLOCK_DATA || (!is_read && req.read_write != I2C_SMBUS_WRITE))
        return EINVAL;
    const bool uses_data = req.size != I2C_SMBUS_QUICK && !(req.size == I2C_SMBUS_BYTE && !is_read);
    if (uses_data && req.data == nullptr)
        return EINVAL;
    switch (req.size) {
    case I2C_SMBUS_QUICK:
    case I2C_SMBUS_BYTE:
        len = 0;
        return 0;
    case I2C_SMBUS_BYTE_DATA:
        len = 1;
        return 0;
    case I2C_SMBUS_WORD_DATA:
        len = 2;
        return 0;
    case I2C_SMBUS_I2C_BLOCK_BROKEN:  // the old form: reads are always of 32 bytes
    case I2C_SMBUS_I2C_BLOCK_DATA:
        len = req.size == I2C_SMBUS_I2C_BLOCK_BROKEN && is_read ? I2C_SMBUS_BLOCK_MAX
                                                                : req.data->block[0];
        return len == 0 || len > I2C_SMBUS_BLOCK_MAX ? EINVAL : 0;
    default:
        return EOPNOTSUPP;
    }
}

// Checks the request and builds its messages: 0, or the errno that refuses it.
int smbus_build(const i2c_smbus_ioctl_data &req, const I2cClient &client, SmbusTransfer &t)
{
    if (int err = smbus_data_len(req, t.len))
        return err;
    const bool is_read = req.read_write == I2C_SMBUS_READ;
    const __u16 flags = client.tenbit ? I2C_M_TEN : 0;
    const auto read_flags = static_cast<__u16>(flags | I2C_M_RD);
    t.out[0] = req.command;
    if (req.size == I2C_SMBUS_QUICK) {  // the read/write bit alone
        t.msgs[0] = {client.addr, is_read ? read_flags : flags, 0, t.out};
        t.n = 1;
    } else if (req.size == I2C_SMBUS_BYTE && is_read) {  // one byte, no command
        t.msgs[0] = {client.addr, read_flags, 1, t.in};
        t.n = 1;
    } else if (is_read) {
        t.msgs[0] = {client.addr, flags, 1, t.out};
        t.msgs[1] = {client.addr, read_flags, static_cast<__u16>(t.len), t.in};
        t.n = 2;
    } else {
        const i2c_smbus_data *d = req.data;
        if (req.size == I2C_SMBUS_BYTE_DATA)
            t.out[1] = d->byte;
        if (req.size == I2C_SMBUS_WORD_DATA) {
            t.out[1] = static_cast<std::uint8_t>(d->word);  // low byte first
            t.out[2] = static_cast<std::uint8_t>(d->word >> 8);
        }
        if (req.size == I2C_SMBUS_I2C_BLOCK_BROKEN || req.size == I2C_SMBUS_I2C_BLOCK_DATA)
            std::memcpy(t.out + 1, d->block + 1, t.len);
        t.msgs[0] = {client.addr, flags, static_cast<__u16>(1 + t.len), t.out};
        t.n = 1;
    }
    return 0;
}

// A read transaction's data into the caller's i2c_smbus_data.
void smbus_deliver(const i2c_smbus_ioctl_data &req, const SmbusTransfer &t)
{
    if (req.read_write != I2C_SMBUS_READ)
        return;
    i2c_smbus_data *d = req.data;
    switch (req.size) {
    case I2C_SMBUS_BYTE:
    case I2C_SMBUS_BYTE_DATA:
        d->byte = t.in[0];
        break;
    case I2C_SMBUS_WORD_DATA:
        d->word = static_cast<__u16>(t.in[0] | (t.in[1] << 8));
        break;
    case I2C_SMBUS_I2C_BLOCK_BROKEN:
    case I2C_SMBUS_I2C_BLOCK_DATA:
        d->block[0] = static_cast<__u8>(t.len);
        std::memcpy(d->block + 1, t.in, t.len);
        break;
    default:
        break;
    }
}

int smbus(World &w, const I2cClient &client, void *arg)
{
    if (arg == nullptr)
        return refuse(w, I2C_SMBUS, EFAULT);
    const auto &req = *static_cast<const i2c_smbus_ioctl_data *>(arg);
    SmbusTransfer t;
    if (int err = smbus_build(req, client, t))
        return refuse(w, I2C_SMBUS, err);
    if (int r = run_messages(w, t.msgs, t.n); r < 0) {
        errno = -r;
        return -1;
    }
    smbus_deliver(req, t);
    return 0;
}

int i2c_ioctl(World &w, int fd, unsigned long request, void *arg)
{
    const auto value = reinterpret_cast<unsigned long>(arg);
    I2cClient client = load_client(fd);
    switch (request) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
        if ((!client.tenbit && value > 0x7f) || value > 0x3ff)
            return refuse(w, request, EINVAL);
        client.addr = static_cast<std::uint16_t>(value);
        store_client(fd, client);
        return 0;
    case I2C_TENBIT:
        client.tenbit = value != 0;
        store_client(fd, client);
        return 0;
    case I2C_FUNCS:
        if (arg == nullptr)
            return refuse(w, request, EFAULT);
        *static_cast<unsigned long *>(arg) = kFunctionality;
        return 0;
    case I2C_PEC:  // accepted; the emulated transactions carry no PEC byte
    case I2C_RETRIES:
        return 0;
    case I2C_TIMEOUT:
        if (value > INT_MAX)
            return refuse(w, request, EINVAL);
        return 0;
    case I2C_RDWR:
        return rdwr(w, arg);
    case I2C_SMBUS:
        return smbus(w, client, arg);
    default:
        return refuse(w, request, ENOTTY);
    }
}

// i2c-dev's plain read and write: one message at the client's address.
ssize_t plain_transfer(World &w, int fd, bool is_read, void *buf, std::size_t count)
{
    if (buf == nullptr && count > 0) {
        errno = EFAULT;
        return -1;
    }
    if (count > kMaxMessageLen)
        count = kMaxMessageLen;
    const I2cClient client = load_client(fd);
    i2c_msg m{client.addr,
              static_cast<__u16>((is_read ? I2C_M_RD : 0) | (client.tenbit ? I2C_M_TEN : 0)),
              static_cast<__u16>(count), static_cast<__u8 *>(buf)};
    int r = run_messages(w, &m, 1);
    if (r < 0) {
        errno = -r;
        return -1;
    }
    return m.len;
}

// Every call on a claimed descriptor: `serve` answers it as i2c-dev would.
// Empty for a descriptor that is not claimed, which the caller passes to the
// C library with no lock taken. A call from a signal handler that interrupted
// this thread inside the simulator fails with EAGAIN, the adapter being busy
// with the interrupted call: it would otherwise wait for itself.
template <typename Serve>
std::optional<ssize_t> on_claimed(int fd, Serve serve)
{
    if (!is_claimed(fd))
        return std::nullopt;
    InSimulator inside;
    if (inside.nested()) {
        errno = EAGAIN;
        return -1;
    }
    World *w = world();
    if (w == nullptr) {  // a claimed descriptor that outlived its world
        errno = ENODEV;
        return -1;
    }
    const int saved = errno;
    const ssize_t r = serve(*w);
    if (r >= 0)
        errno = saved;
    return r;
}

}  // namespace

void set_message_answerer(MessageAnswerer answerer, void *context)
{
    g_answerer_context.store(context);
    g_answerer.store(answerer);
}

void end_if_stopped(World &w)
{
    Stop stop = Stop::none;
    pid_t command = 0;
    {
        SimLock lock(w);
        stop = w.stop;
        command = w.command_pid;
        if (stop == Stop::crash)
            w.stop = Stop::none;
    }
    if (stop == Stop::none || !world_is_commands())
        return;
    if (stop == Stop::power_cut && command > 0 && command != getpid())
        kill(command, SIGKILL);
    raise(SIGKILL);
    _exit(128 + SIGKILL);  // not reached: SIGKILL cannot be caught
}

}  // namespace bbusim

using bbusim::libc;
using bbusim::World;

extern "C" {

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (auto r = bbusim::on_claimed(
            fd, [&](World &w) { return bbusim::i2c_ioctl(w, fd, request, arg); }))
        return static_cast<int>(*r);
    return libc().ioctl(fd, request, arg);
}

ssize_t read(int fd, void *buf, size_t count)
{
    if (auto r = bbusim::on_claimed(
            fd, [&](World &w) { return bbusim::plain_transfer(w, fd, true, buf, count); }))
        return *r;
    return libc().read(fd, buf, count);
}

ssize_t __read_chk(int fd, void *buf, size_t count, size_t buflen)
{
    if (count > buflen)
        __builtin_trap();  // what the fortified libc does: abort
    return read(fd, buf, count);
}

ssize_t write(int fd, const void *buf, size_t count)
{
    if (auto r = bbusim::on_claimed(fd, [&](World &w) {
            return bbusim::plain_transfer(w, fd, false, const_cast<void *>(buf), count);
        }))
        return *r;
    return libc().write(fd, buf, count);
}

}  // extern "C"
