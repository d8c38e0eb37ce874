// Scripted fake devices for the link tests: a pseudo-terminal device whose answers come from a
// small script instead of the filter model.
#pragma once

#include "sim/pty_device.h"
#include "sim/simulator.h"

#include <map>
#include <memory>
#include <string>

// A device that answers each command from a table (exact command bytes -> reply bytes) and is
// silent for anything else.
DeviceResponder table_responder(std::map<std::string, std::string> replies);

// A device that stays silent for the first silent_attempts commands, then answers reply.
DeviceResponder late_responder(int silent_attempts, const std::string& reply);

// A filter that answers as the simulated filter does, except for the commands in overrides,
// which get the bytes given there (an empty string: no reply).
DeviceResponder filter_responder(SimFilter filter, std::map<std::string, std::string> overrides = {});

// A device with one responder at dir/name, closed when the owner goes away.
struct FakePort {
    PtyDevice device;
    std::string path;
    ~FakePort() { device_close(device); }
};

std::unique_ptr<FakePort> open_fake_port(const std::string& dir, const std::string& name,
                                         DeviceResponder respond, int byte_gap_us = 0);
