// Who may address the server; see host_rules.h.
#include "alpaca/host_rules.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

NetAddress from_sockaddr(const sockaddr* a)
{
    NetAddress address;
    if (a == nullptr) return address;
    if (a->sa_family == AF_INET) {
        address.family = AF_INET;
        std::memcpy(address.bytes, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, 4);
    } else if (a->sa_family == AF_INET6) {
        const in6_addr& six = reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&six)) {
            address.family = AF_INET;
            std::memcpy(address.bytes, six.s6_addr + 12, 4);
        } else {
            address.family = AF_INET6;
            std::memcpy(address.bytes, six.s6_addr, 16);
        }
    }
    return address;
}

}  // namespace

bool operator==(const NetAddress& a, const NetAddress& b)
{
    return a.family == b.family && std::memcmp(a.bytes, b.bytes, a.family == AF_INET ? 4 : 16) == 0;
}

int address_parse(const std::string& text, NetAddress& address)
{
    std::string literal = text;
    if (literal.size() >= 2 && literal.front() == '[' && literal.back() == ']') literal = literal.substr(1, literal.size() - 2);
    in_addr four{};
    if (::inet_pton(AF_INET, literal.c_str(), &four) == 1) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr = four;
        address = from_sockaddr(reinterpret_cast<sockaddr*>(&a));
        return 1;
    }
    sockaddr_in6 a{};
    if (::inet_pton(AF_INET6, literal.c_str(), &a.sin6_addr) != 1) return 0;
    a.sin6_family = AF_INET6;
    address = from_sockaddr(reinterpret_cast<sockaddr*>(&a));
    return 1;
}

std::string address_text(const NetAddress& address)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (address.family == 0 || ::inet_ntop(address.family, address.bytes, text, sizeof text) == nullptr) return "";
    return text;
}

int address_is_loopback(const NetAddress& address)
{
    if (address.family == AF_INET) return address.bytes[0] == 127;
    if (address.family != AF_INET6) return 0;
    static const unsigned char one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(address.bytes, one, 16) == 0;
}

int address_is_wildcard(const NetAddress& address)
{
    if (address.family == 0) return 0;
    const int size = address.family == AF_INET ? 4 : 16;
    return std::all_of(address.bytes, address.bytes + size, [](unsigned char b) { return b == 0; });
}

int listen_address_resolve(const std::string& text, NetAddress& address, std::string& error)
{
    if (address_parse(text, address)) return 1;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int failed = ::getaddrinfo(text.c_str(), nullptr, &hints, &found);
    if (failed != 0 || found == nullptr) {
        error = "cannot resolve " + text + ": " + (failed != 0 ? ::gai_strerror(failed) : "no address");
        return 0;
    }
    address = from_sockaddr(found->ai_addr);
    ::freeaddrinfo(found);
    return address.family != 0;
}

HostRules host_rules_for_this_machine(const std::vector<std::string>& allowed_names)
{
    HostRules rules;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
            const NetAddress address = from_sockaddr(a->ifa_addr);
            if (address.family != 0) rules.addresses.push_back(address);
        }
        ::freeifaddrs(list);
    }
    rules.names.push_back("localhost");
    char host[256] = "";
    if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') {
        rules.names.push_back(lower(host));
        rules.names.push_back(lower(host) + ".local");
    }
    for (const std::string& name : allowed_names) {
        std::string n = lower(name);
        if (!n.empty() && n.back() == '.') n.pop_back();
        if (!n.empty()) rules.names.push_back(n);
    }
    return rules;
}

int host_allowed(const HostRules& rules, const std::string& host_header)
{
    if (host_header.empty()) return 1;
    std::string host = host_header;
    if (host[0] == '[') {
        const size_t close = host.find(']');
        if (close == std::string::npos) return 0;
        const std::string rest = host.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return 0;
        host = host.substr(0, close + 1);
    } else if (const size_t colon = host.find(':'); colon != std::string::npos) {
        if (host.find(':', colon + 1) != std::string::npos) return 0;  // IPv6 without brackets
        host = host.substr(0, colon);
    }
    NetAddress literal;
    if (address_parse(host, literal)) {
        if (address_is_loopback(literal)) return 1;
        return std::find(rules.addresses.begin(), rules.addresses.end(), literal) != rules.addresses.end();
    }
    if (host[0] == '[') return 0;
    host = lower(host);
    if (!host.empty() && host.back() == '.') host.pop_back();
    return std::find(rules.names.begin(), rules.names.end(), host) != rules.names.end();
}

int host_name_acceptable(const std::string& text)
{
    if (text.empty() || text.size() > 253) return 0;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
    });
}
