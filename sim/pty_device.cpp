// The device side of a pseudo-terminal serial line; see pty_device.h.
#include "sim/pty_device.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

enum DeviceRequest { REQUEST_NONE = 0, REQUEST_HANGUP = 1, REQUEST_REPLUG = 2, REQUEST_STOP = 3 };

// A command longer than this without a line feed is garbage; it is logged and dropped.
constexpr size_t MAX_COMMAND_BYTES = 256;
constexpr int POLL_INTERVAL_MS = 10;

int create_pty(std::string& slave_path, int& slave_keep)
{
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return -1;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        ::close(master);
        return -1;
    }
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) {
        ::close(master);
        return -1;
    }
    int keep = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (keep < 0) {
        ::close(master);
        return -1;
    }
    // Raw from the start: a host that writes before configuring the line sees no echo or
    // newline translation.
    termios tio{};
    if (::tcgetattr(keep, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(keep, TCSANOW, &tio);
    }
    int flags = ::fcntl(master, F_GETFL);
    ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
    slave_path = name;
    slave_keep = keep;
    return master;
}

// Points the link at the slave; replaced in one step, so an opener never finds it missing.
int place_link(const std::string& link_path, const std::string& slave_path)
{
    std::string temporary = link_path + ".new";
    ::unlink(temporary.c_str());
    if (::symlink(slave_path.c_str(), temporary.c_str()) != 0) return 0;
    if (::rename(temporary.c_str(), link_path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return 0;
    }
    return 1;
}

void close_pty(PtyDevice& d)
{
    if (d.master >= 0) ::close(d.master);
    if (d.slave_keep >= 0) ::close(d.slave_keep);
    d.master = -1;
    d.slave_keep = -1;
}

void write_all(PtyDevice& d, const std::string& bytes)
{
    size_t sent = 0;
    Clock::time_point next = Clock::now();
    while (sent < bytes.size() && d.master >= 0) {
        size_t piece = d.byte_gap_us > 0 ? 1 : bytes.size() - sent;
        if (d.byte_gap_us > 0) {
            std::this_thread::sleep_until(next);
            next += std::chrono::microseconds(d.byte_gap_us);
        }
        ssize_t k = ::write(d.master, bytes.data() + sent, piece);
        if (k < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{d.master, POLLOUT, 0};
            ::poll(&p, 1, POLL_INTERVAL_MS);
            continue;
        }
        if (k <= 0) return;
        sent += static_cast<size_t>(k);
    }
}

void handle_command(PtyDevice& d, const std::string& command)
{
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.received.push_back(command);
    }
    std::vector<ReplyChunk> reply = d.respond ? d.respond(command) : std::vector<ReplyChunk>{};
    for (const ReplyChunk& chunk : reply) {
        if (chunk.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(chunk.delay_ms));
        write_all(d, chunk.bytes);
    }
}

void device_loop(PtyDevice& d)
{
    char buffer[512];
    while (true) {
        int request = d.request.load();
        if (request == REQUEST_STOP) return;
        if (request == REQUEST_HANGUP) {
            close_pty(d);
            d.partial.clear();
            d.request = REQUEST_NONE;
            d.request_done = REQUEST_HANGUP;
        } else if (request == REQUEST_REPLUG) {
            close_pty(d);
            d.partial.clear();
            d.master = create_pty(d.slave_path, d.slave_keep);
            if (d.master >= 0 && !place_link(d.link_path, d.slave_path)) close_pty(d);
            d.request = REQUEST_NONE;
            d.request_done = d.master >= 0 ? REQUEST_REPLUG : -1;
        }
        if (d.master < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(POLL_INTERVAL_MS));
            continue;
        }
        std::string out;
        {
            std::lock_guard<std::mutex> lock(d.mutex);
            out.swap(d.pending_output);
        }
        if (!out.empty()) write_all(d, out);

        pollfd p{d.master, POLLIN, 0};
        if (::poll(&p, 1, POLL_INTERVAL_MS) <= 0 || (p.revents & POLLIN) == 0) continue;
        ssize_t k = ::read(d.master, buffer, sizeof buffer);
        if (k <= 0) continue;
        for (ssize_t i = 0; i < k; ++i) {
            d.partial.push_back(buffer[i]);
            if (buffer[i] == '\n' || d.partial.size() >= MAX_COMMAND_BYTES) {
                std::string command;
                command.swap(d.partial);
                if (command.back() == '\n') {
                    handle_command(d, command);
                } else {
                    std::lock_guard<std::mutex> lock(d.mutex);
                    d.received.push_back(command);
                }
            }
        }
    }
}

void wait_for_request(PtyDevice& d, int request)
{
    d.request_done = REQUEST_NONE;
    d.request = request;
    while (d.request_done.load() == REQUEST_NONE && d.running)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

int device_open(PtyDevice& d, const std::string& link_path, DeviceResponder respond,
                int byte_gap_us)
{
    if (d.running) return 0;
    d.master = create_pty(d.slave_path, d.slave_keep);
    if (d.master < 0) return 0;
    if (!place_link(link_path, d.slave_path)) {
        close_pty(d);
        return 0;
    }
    d.link_path = link_path;
    d.respond = std::move(respond);
    d.byte_gap_us = byte_gap_us;
    d.request = REQUEST_NONE;
    d.running = true;
    d.thread = std::thread(device_loop, std::ref(d));
    return 1;
}

void device_close(PtyDevice& d)
{
    if (!d.running) return;
    d.request = REQUEST_STOP;
    if (d.thread.joinable()) d.thread.join();
    d.running = false;
    // Remove the link only while it still leads to this device: another device may have taken
    // the name over since.
    char target[512];
    ssize_t n = ::readlink(d.link_path.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == d.slave_path) ::unlink(d.link_path.c_str());
    close_pty(d);
}

std::vector<std::string> device_received(PtyDevice& d)
{
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.received;
}

void device_clear_received(PtyDevice& d)
{
    std::lock_guard<std::mutex> lock(d.mutex);
    d.received.clear();
}

void device_send(PtyDevice& d, const std::string& bytes)
{
    std::lock_guard<std::mutex> lock(d.mutex);
    d.pending_output += bytes;
}

void device_hangup(PtyDevice& d)
{
    if (d.running) wait_for_request(d, REQUEST_HANGUP);
}

int device_replug(PtyDevice& d)
{
    if (!d.running) return 0;
    wait_for_request(d, REQUEST_REPLUG);
    return d.request_done.load() == REQUEST_REPLUG;
}
