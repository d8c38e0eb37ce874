#include "tests/support/fake_device.h"

#include <atomic>
#include <cstdlib>

DeviceResponder table_responder(std::map<std::string, std::string> replies)
{
    return [replies = std::move(replies)](const std::string& command) {
        auto found = replies.find(command);
        if (found == replies.end()) return std::vector<ReplyChunk>{};
        return std::vector<ReplyChunk>{{found->second, 0}};
    };
}

DeviceResponder late_responder(int silent_attempts, const std::string& reply)
{
    auto seen = std::make_shared<std::atomic<int>>(0);
    return [=](const std::string&) {
        if (++*seen <= silent_attempts) return std::vector<ReplyChunk>{};
        return std::vector<ReplyChunk>{{reply, 0}};
    };
}

DeviceResponder filter_responder(SimFilter filter, std::map<std::string, std::string> overrides)
{
    auto state = std::make_shared<SimFilter>(std::move(filter));
    return [state, overrides = std::move(overrides)](const std::string& command) {
        auto found = overrides.find(command);
        std::string reply = found != overrides.end() ? found->second : sim_reply(*state, command);
        if (reply.empty()) return std::vector<ReplyChunk>{};
        return std::vector<ReplyChunk>{{reply, 0}};
    };
}

std::unique_ptr<FakePort> open_fake_port(const std::string& dir, const std::string& name,
                                         DeviceResponder respond, int byte_gap_us)
{
    auto port = std::make_unique<FakePort>();
    port->path = dir + "/" + name;
    if (!device_open(port->device, port->path, std::move(respond), byte_gap_us)) std::abort();
    return port;
}
