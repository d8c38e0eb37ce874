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
    unsigned interface_index = 0;  // answer only requests that came in there; 0: wherever they came
    std::thread thread;
    DiscoveryOptions options;
};

Discovery discovery;

// A UDP socket of family shared with other Alpaca servers, bound to at (its family's wildcard when
// at is of the other family or a wildcard).
int open_shared_udp(int family, int port, const NetAddress& at)
{
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    const bool exact = at.family == family && !address_is_wildcard(at);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    int bound = -1;
    if (family == AF_INET) {
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        if (exact) std::memcpy(&address.sin_addr, at.bytes, 4);
        else address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(static_cast<uint16_t>(port));
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        if (exact) std::memcpy(&address.sin6_addr, at.bytes, 16);
        else address.sin6_addr = in6addr_any;
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

// The index of the interface that holds address; 0 when none does.
unsigned interface_holding(const NetAddress& address)
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return 0;
    unsigned index = 0;
    for (ifaddrs* a = list; a != nullptr && index == 0; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_name == nullptr) continue;
        NetAddress held;
        char text[INET6_ADDRSTRLEN] = "";
        const int family = a->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        const void* raw = family == AF_INET ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr)
                                            : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr);
        if (::inet_ntop(family, raw, text, sizeof text) && address_parse(text, held) && held == address)
            index = ::if_nametoindex(a->ifa_name);
    }
    ::freeifaddrs(list);
    return index;
}

// The interface a datagram came in on, from its IP_PKTINFO or IPV6_PKTINFO; 0 when not given.
unsigned arrival_interface(msghdr& message)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            return static_cast<unsigned>(info.ipi_ifindex);
        }
        if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            return info.ipi6_ifindex;
        }
    }
    return 0;
}

void answer_requests(int fd, const std::string& response, double& tokens, Clock::time_point& last)
{
    while (true) {
        char data[DISCOVERY_MAX + 1];
        sockaddr_storage sender{};
        alignas(cmsghdr) char control[256];
        iovec part{data, sizeof data};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd, &message, MSG_DONTWAIT);
        if (n < 0) return;
        const socklen_t sender_size = message.msg_namelen;
        if (!discovery_request_valid(data, static_cast<size_t>(n))) continue;
        if (discovery.interface_index != 0 && arrival_interface(message) != discovery.interface_index) continue;
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
    const NetAddress& at = options.listen;
    // The families the API takes: one for an address of its own, both for "::" (dual stack).
    const bool four = at.family == AF_INET || (at.family == AF_INET6 && address_is_wildcard(at));
    const bool six = at.family == AF_INET6;
    discovery.interface_index = 0;
    if (!address_is_wildcard(at) && !address_is_loopback(at)) {
        discovery.interface_index = interface_holding(at);
        if (discovery.interface_index == 0) {
            error = "no interface holds " + address_text(at);
            return 0;
        }
    }
    // A loopback or wildcard address is bound as it is; a network address on its family's
    // wildcard, filtered by the arrival interface (see discovery_start in discovery.h).
    NetAddress bind_at = at;
    if (discovery.interface_index != 0) bind_at = NetAddress{};
    discovery.socket4 = four ? open_shared_udp(AF_INET, options.port, bind_at) : -1;
    const int error4 = four ? errno : 0;
    int port = discovery.socket4 >= 0 ? bound_port(discovery.socket4) : options.port;
    discovery.socket6 = six && (port != 0 || !four) ? open_shared_udp(AF_INET6, port, bind_at) : -1;
    const int error6 = six ? errno : 0;
    if (discovery.socket6 >= 0 && port == 0) port = bound_port(discovery.socket6);
    if (discovery.socket4 < 0 && discovery.socket6 < 0) {
        error = "cannot open UDP port " + std::to_string(options.port) + " for discovery: " +
                std::strerror(four ? error4 : error6);
        close_all();
        return 0;
    }
    if (discovery.socket6 >= 0 && !address_is_loopback(at)) join_group(discovery.socket6);
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
