// Alpaca discovery; see discovery.h.
#include "alpaca/discovery.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char DISCOVERY_TEXT[] = "alpacadiscovery";
constexpr size_t DISCOVERY_TEXT_SIZE = sizeof DISCOVERY_TEXT - 1;  // 15
constexpr size_t DISCOVERY_MAX = 64;                                // bytes 16..63 are reserved
// At most this many answers a second, all senders together: plenty for clients that ask a few
// times each, too few to amplify anything.
constexpr double ANSWERS_PER_SECOND = 20;

// Owned by the responder thread once it runs; discovery_start and discovery_stop set them up and
// tear them down around it.
struct Discovery {
    int socket4 = -1;
    int socket6 = -1;
    int stop_pipe[2] = {-1, -1};
    std::thread thread;
    DiscoveryOptions options;
};

Discovery discovery;

int open_shared_udp(int family, int port)
{
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    int bound = -1;
    if (family == AF_INET) {
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(static_cast<uint16_t>(port));
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (bound != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int bound_port(int fd)
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
}

// Joins the discovery group on every interface that takes multicast.
void join_group(int fd)
{
    in6_addr group{};
    ::inet_pton(AF_INET6, ALPACA_DISCOVERY_GROUP, &group);
    struct if_nameindex* interfaces = ::if_nameindex();
    if (interfaces == nullptr) return;
    for (struct if_nameindex* i = interfaces; i->if_index != 0; ++i) {
        ipv6_mreq request{};
        request.ipv6mr_multiaddr = group;
        request.ipv6mr_interface = i->if_index;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof request);  // lo and the like refuse: fine
    }
    ::if_freenameindex(interfaces);
}

bool same_address(const sockaddr_storage& a, const sockaddr* b)
{
    if (b == nullptr || a.ss_family != b->sa_family) return false;
    if (a.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in*>(b)->sin_addr.s_addr;
    return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                       &reinterpret_cast<const sockaddr_in6*>(b)->sin6_addr, sizeof(in6_addr)) == 0;
}

// 1 when a sender is this computer: a loopback address or one of its interfaces' addresses.
bool sender_is_local(const sockaddr_storage& sender)
{
    if (sender.ss_family == AF_INET &&
        (ntohl(reinterpret_cast<const sockaddr_in&>(sender).sin_addr.s_addr) >> 24) == 127)
        return true;
    if (sender.ss_family == AF_INET6 && IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6&>(sender).sin6_addr))
        return true;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    bool local = false;
    for (ifaddrs* a = list; a != nullptr && !local; a = a->ifa_next) local = same_address(sender, a->ifa_addr);
    ::freeifaddrs(list);
    return local;
}

void answer_requests(int fd, const std::string& response, double& tokens, Clock::time_point& last)
{
    while (true) {
        char data[DISCOVERY_MAX + 1];
        sockaddr_storage sender{};
        socklen_t sender_size = sizeof sender;
        const ssize_t n = ::recvfrom(fd, data, sizeof data, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sender),
                                     &sender_size);
        if (n < 0) return;
        if (!discovery_request_valid(data, static_cast<size_t>(n))) continue;
        if (discovery.options.local_only && !sender_is_local(sender)) continue;
        const auto now = Clock::now();
        tokens = std::min(ANSWERS_PER_SECOND, tokens + ANSWERS_PER_SECOND * std::chrono::duration<double>(now - last).count());
        last = now;
        if (tokens < 1) continue;
        tokens -= 1;
        ::sendto(fd, response.data(), response.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sender), sender_size);
    }
}

void run_responder()
{
    const std::string response = discovery_response(discovery.options.alpaca_port);
    double tokens = ANSWERS_PER_SECOND;
    Clock::time_point last = Clock::now();
    while (true) {
        pollfd fds[3] = {{discovery.stop_pipe[0], POLLIN, 0}, {discovery.socket4, POLLIN, 0}, {discovery.socket6, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents) return;
        for (int k = 1; k < 3; ++k)
            if (fds[k].fd >= 0 && (fds[k].revents & POLLIN)) answer_requests(fds[k].fd, response, tokens, last);
    }
}

void close_all()
{
    for (int* fd : {&discovery.socket4, &discovery.socket6, &discovery.stop_pipe[0], &discovery.stop_pipe[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

}  // namespace

int discovery_request_valid(const char* data, std::size_t size)
{
    if (size < DISCOVERY_TEXT_SIZE + 1 || size > DISCOVERY_MAX) return 0;
    if (std::memcmp(data, DISCOVERY_TEXT, DISCOVERY_TEXT_SIZE) != 0) return 0;
    const char version = data[DISCOVERY_TEXT_SIZE];
    return (version >= '1' && version <= '9') || (version >= 'A' && version <= 'Z');
}

std::string discovery_response(int alpaca_port) { return "{\"AlpacaPort\":" + std::to_string(alpaca_port) + "}"; }

int discovery_start(const DiscoveryOptions& options, std::string& error)
{
    if (discovery.thread.joinable()) return 0;
    discovery.options = options;
    discovery.socket4 = open_shared_udp(AF_INET, options.port);
    const int error4 = errno;
    int port = discovery.socket4 >= 0 ? bound_port(discovery.socket4) : options.port;
    discovery.socket6 = port != 0 ? open_shared_udp(AF_INET6, port) : -1;
    if (discovery.socket4 < 0 && discovery.socket6 < 0) {
        error = "cannot open UDP port " + std::to_string(options.port) + " for discovery: " + std::strerror(error4);
        close_all();
        return 0;
    }
    if (discovery.socket6 >= 0) join_group(discovery.socket6);
    if (::pipe2(discovery.stop_pipe, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        close_all();
        return 0;
    }
    discovery.thread = std::thread(run_responder);
    return port;
}

void discovery_stop()
{
    if (!discovery.thread.joinable()) return;
    const char byte = 1;
    ssize_t ignored = ::write(discovery.stop_pipe[1], &byte, 1);
    (void)ignored;
    discovery.thread.join();
    close_all();
}
