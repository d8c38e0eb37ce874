// Finding filter servers by Alpaca discovery; see remote_link.h.
//
// One UDP socket sends "alpacadiscovery1" once to each target and collects the answers
// ({"AlpacaPort": N}, from the server's address) until the wait ends; each server found is then
// asked once for its configured devices.
#include "link/remote_link.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* DISCOVERY_REQUEST = "alpacadiscovery1";
constexpr size_t SERVERS_MAX = 16;

struct Server {
    std::string host;
    int port = 0;
    bool operator==(const Server& other) const { return host == other.host && port == other.port; }
};

std::string trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Sends the request to "ADDRESS" or "ADDRESS:PORT" (IPv4 or a host name).
void send_request(int fd, const std::string& target)
{
    std::string host = target;
    std::string port = std::to_string(DISCOVERY_PORT);
    const size_t colon = target.rfind(':');
    if (colon != std::string::npos && target.find(':') == colon) {
        host = target.substr(0, colon);
        port = target.substr(colon + 1);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) return;
    ::sendto(fd, DISCOVERY_REQUEST, std::strlen(DISCOVERY_REQUEST), 0, found->ai_addr, found->ai_addrlen);
    ::freeaddrinfo(found);
}

// The servers that answer within wait_ms.
std::vector<Server> collect_answers(int fd, int wait_ms)
{
    std::vector<Server> servers;
    const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    while (servers.size() < SERVERS_MAX) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char data[512];
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t n = ::recvfrom(fd, data, sizeof data - 1, 0, reinterpret_cast<sockaddr*>(&from), &size);
        if (n <= 0) continue;
        std::vector<JsonMember> members;
        const JsonMember* port = nullptr;
        if (!read_flat_json(std::string(data, static_cast<size_t>(n)), members) ||
            (port = json_member(members, "AlpacaPort")) == nullptr)
            continue;
        char address[INET_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
        const Server server{address, std::atoi(port->value.c_str())};
        if (server.port > 0 && server.port < 65536 && std::find(servers.begin(), servers.end(), server) == servers.end())
            servers.push_back(server);
    }
    return servers;
}

void ask_devices(const Server& server, std::vector<ServedDevice>& devices)
{
    RemoteAddress to;
    if (server.host.size() >= sizeof to.host) return;
    std::memcpy(to.host, server.host.c_str(), server.host.size() + 1);
    to.port = server.port;
    HttpAnswer answer;
    std::vector<JsonMember> envelope;
    std::vector<std::vector<JsonMember>> listed;
    if (!http_request(to, "GET", "/management/v1/configureddevices", "", 3000, answer) || answer.status != 200 ||
        !read_flat_json(answer.body, envelope) || json_member(envelope, "Value") == nullptr ||
        !read_json_objects(json_member(envelope, "Value")->value, listed))
        return;
    const bool v6 = server.host.find(':') != std::string::npos;
    for (const std::vector<JsonMember>& device : listed) {
        const JsonMember* type = json_member(device, "DeviceType");
        const JsonMember* number = json_member(device, "DeviceNumber");
        const JsonMember* name = json_member(device, "DeviceName");
        if (type == nullptr || type->value != "Switch" || number == nullptr) continue;
        ServedDevice found;
        found.port_name = std::string(REMOTE_SCHEME) + (v6 ? "[" : "") + server.host + (v6 ? "]" : "") + ":" +
                          std::to_string(server.port) + "/" + number->value;
        found.name = name != nullptr ? name->value : "";
        RemoteAddress check;
        if (!parse_remote_name(found.port_name.c_str(), check)) continue;
        const bool known = std::any_of(devices.begin(), devices.end(),
                                       [&](const ServedDevice& d) { return d.port_name == found.port_name; });
        if (!known) devices.push_back(found);
    }
}

}  // namespace

std::vector<std::string> discovery_targets()
{
    const char* named = std::getenv("SOLVANE_DISCOVERY_TARGETS");
    const std::string text = named != nullptr && *named != '\0' ? named : "255.255.255.255";
    std::vector<std::string> targets;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        const std::string target = trimmed(text.substr(start, comma - start));
        if (!target.empty()) targets.push_back(target);
        start = comma + 1;
    }
    return targets;
}

std::vector<ServedDevice> discover_served_filters(const std::vector<std::string>& targets, int wait_ms,
                                                  const std::vector<std::string>& also_ask)
{
    std::vector<Server> servers;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        for (const std::string& target : targets) send_request(fd, target);
        if (!targets.empty()) servers = collect_answers(fd, wait_ms);
        ::close(fd);
    }
    for (const std::string& name : also_ask) {
        RemoteAddress a;
        if (!parse_remote_name(name.c_str(), a)) continue;
        const Server server{a.host, a.port};
        if (servers.size() < SERVERS_MAX && std::find(servers.begin(), servers.end(), server) == servers.end())
            servers.push_back(server);
    }
    std::vector<ServedDevice> devices;
    for (const Server& server : servers) ask_devices(server, devices);
    return devices;
}
