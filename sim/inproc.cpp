// inproc.cpp - in-process control of the simulated platform (bbusim.h).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "bbusim.h"
#include "devices.h"
#include "interposer.h"
#include "libc_calls.h"
#include "scenario.h"
#include "transcript.h"
#include "world.h"

namespace bbusim {
namespace {

World &current()
{
    World *w = world();
    if (w == nullptr)
        throw std::logic_error("bbusim: no simulated world; call bbusim::reset(root) first");
    return *w;
}

}  // namespace

void reset(const std::string &root, bool create_log_dir)
{
    // A fresh world has fresh machine files: what an earlier world of this
    // root left in its mapped /opt and /tmp goes.
    if (!root.empty() && root != "/") {
        std::error_code ignored;
        std::filesystem::remove_all(root + "/opt", ignored);
        std::filesystem::remove_all(root + "/tmp", ignored);
    }
    std::string err = world_create(root, "");
    if (!err.empty())
        throw std::runtime_error("bbusim: " + err);
    World &w = current();
    std::string failed =
        scenario_apply(w, create_log_dir ? "log-dir present" : "log-dir absent", "");
    if (!failed.empty())
        throw std::runtime_error("bbusim: " + failed);
}

std::string apply(const std::string &scenario_text)
{
    return scenario_apply(current(), scenario_text, "");
}

void claim_adapter(const std::string &path)
{
    World &w = current();
    WorldLock lock(w);
    if (!claim_adapter_path(w, path))
        throw std::runtime_error("bbusim: cannot claim adapter " + path);
}

std::vector<std::string> transcript()
{
    World &w = current();
    std::string path;
    {
        WorldLock lock(w);
        path = w.transcript;
    }
    std::vector<std::string> lines;
    int fd = libc().open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return lines;
    std::string text;
    char buf[4096];
    ssize_t n = 0;
    while ((n = libc().read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    libc().close(fd);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void observe_transcript(LineObserver observer, void *context)
{
    set_line_observer(observer, context);
}

void answer_messages(MessageAnswerer answerer, void *context)
{
    set_message_answerer(answerer, context);
}

void clear_transcript()
{
    World &w = current();
    WorldLock lock(w);
    int fd = libc().open(w.transcript, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd >= 0)
        libc().close(fd);
}

std::uint64_t now_us()
{
    World &w = current();
    WorldLock lock(w);
    return w.now_us;
}

void set_wall_clock(std::int64_t epoch_seconds, std::int64_t micros)
{
    World &w = current();
    WorldLock lock(w);
    set_wall_clock_us(w, epoch_seconds * 1000000 + micros);
}

std::array<std::uint8_t, 33> peek_status()
{
    World &w = current();
    WorldLock lock(w);
    std::array<std::uint8_t, 33> out{};
    devices_catch_up(w);  // what virtual time has brought about shows, as on a read
    bbu_compose_status(w, out.data());
    return out;
}

bool peek_restart_pending()
{
    World &w = current();
    WorldLock lock(w);
    devices_catch_up(w);  // a restart that virtual time has brought about counts
    return w.bbu.restarting != 0;
}

ImageTruth peek_image()
{
    World &w = current();
    WorldLock lock(w);
    devices_catch_up(w);
    const Bbu &b = w.bbu;
    return {b.image_broken == 0 && check_image(b.flash, b.image_len).valid(), b.status[30],
            flash_mode(w), b.boot_code != 0, w.powered_off != 0};
}

void power_up()
{
    World &w = current();
    WorldLock lock(w);
    if (w.powered_off != 0)
        bbusim::power_up(w);
}

std::string attach(const std::string &root)
{
    return world_attach(root);
}

std::array<std::uint8_t, 256> peek_vpd()
{
    World &w = current();
    WorldLock lock(w);
    std::array<std::uint8_t, 256> out{};
    std::memcpy(out.data(), w.eeprom.mem, out.size());
    return out;
}

std::vector<std::uint8_t> peek_memory(std::uint32_t address, std::size_t length)
{
    World &w = current();
    WorldLock lock(w);
    devices_catch_up(w);
    std::vector<std::uint8_t> out(length);
    memory_read(w, address, out.data(), length);
    return out;
}

std::string mapped_path(const std::string &machine_path)
{
    World &w = current();
    WorldLock lock(w);
    return std::string(w.root) + machine_path;
}

}  // namespace bbusim
