// The device side of a serial line on a pseudo-terminal.
//
// A PtyDevice owns the master side of a pseudo-terminal and a link (such as PORTS/COM1) to its
// slave device, which the programs open through their ordinary serial code. A thread of its own
// reads the commands the host writes, line by line, asks a responder what to answer and writes
// the reply, optionally paced like a 9600-baud line. The simulated filters and the scripted fake
// devices of the tests are both responders on top of this.
//
// Threads: the responder runs on the device's thread; everything else is called from the
// owner's thread. A device is neither copied nor moved: keep it where it was opened.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One piece of a reply: wait delay_ms, then write bytes (each byte byte_gap_us after the last
// when pacing is on, else all at once).
struct ReplyChunk {
    std::string bytes;
    int delay_ms = 0;
};

// Given the exact bytes of one command, its line feed included, returns what to send back. An
// empty list sends nothing (a silent device).
using DeviceResponder = std::function<std::vector<ReplyChunk>(const std::string& command)>;

// 9600 baud, 8N1: ten bits a byte.
constexpr int BYTE_TIME_9600_US = 1042;

struct PtyDevice {
    int master = -1;
    int slave_keep = -1;       // keeps the slave open so the master never sees a hang-up
    std::string slave_path;    // /dev/pts/N
    std::string link_path;     // the name the programs open
    DeviceResponder respond;
    int byte_gap_us = 0;       // 0 = write replies at once
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<int> request{0};  // hang-up or re-plug asked of the device thread
    std::atomic<int> request_done{0};
    std::mutex mutex;          // guards received and pending_output
    std::vector<std::string> received;
    std::string pending_output;
    std::string partial;       // bytes of a command still without its line feed
};

// Creates the pseudo-terminal and the link link_path (replaced if present) and starts the
// device thread. Returns 1 on success, 0 with nothing left behind otherwise.
int device_open(PtyDevice& device, const std::string& link_path, DeviceResponder respond,
                int byte_gap_us = 0);

// Stops the thread, closes the pseudo-terminal and removes the link.
void device_close(PtyDevice& device);

// Every command received so far, exactly as received, oldest first.
std::vector<std::string> device_received(PtyDevice& device);
void device_clear_received(PtyDevice& device);

// Writes bytes to the host at once, outside any command (a late or unsolicited reply).
void device_send(PtyDevice& device, const std::string& bytes);

// Unplugs the device: the pseudo-terminal hangs up, so the host's reads end and its writes fail.
// Returns after the hang-up happened.
void device_hangup(PtyDevice& device);

// Plugs it in again under the same link name, on a fresh pseudo-terminal. Returns 1 on success.
int device_replug(PtyDevice& device);
