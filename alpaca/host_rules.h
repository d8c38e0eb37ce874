// Who may address the server: addresses as values, and the rule on the Host header.
//
// Contents
//   1. Addresses as values
//   2. The names and addresses of this computer
//   3. The Host rule
//
// A browser sends a page's requests wherever the page's host name resolves, and an attacker's
// name may resolve to this computer (DNS rebinding); the Host header still carries the attacker's
// name. So every request must name this computer: one of its addresses, localhost, its host name
// (and that name under .local) or a name the user allowed. Addresses are parsed once, at the edge
// (inet_pton, getaddrinfo), and every decision is taken on the value: LOCALHOST, 0::1,
// 0:0:0:0:0:0:0:1, ::ffff:127.0.0.1 and 127.0.0.2 are all the loopback, whatever their spelling.
//
// Pure functions but for host_rules_for_this_machine and listen_address_resolve, which ask the
// system; no state of their own.
#pragma once

#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// 1. Addresses as values
// ---------------------------------------------------------------------------------------------

// An IPv4 or IPv6 address. An IPv4-mapped IPv6 address (::ffff:a.b.c.d) is held as the IPv4
// address it maps, so both spellings compare equal.
struct NetAddress {
    int family = 0;                // AF_INET or AF_INET6; 0: none
    unsigned char bytes[16] = {};  // network order; 4 used for AF_INET
};

bool operator==(const NetAddress& a, const NetAddress& b);

// Reads a numeric address, IPv6 with or without brackets (a zone such as %lo is not taken).
// Returns 0 when text is no address literal; address is then left as it was.
int address_parse(const std::string& text, NetAddress& address);

// The address as inet_ntop writes it ("127.0.0.1", "::1").
std::string address_text(const NetAddress& address);

// 127.0.0.0/8 or ::1.
int address_is_loopback(const NetAddress& address);

// 0.0.0.0 or :: (every address of the family).
int address_is_wildcard(const NetAddress& address);

// The address to listen on for --listen TEXT: a literal as it is, a name (localhost, the host
// name) through getaddrinfo, its first address. Returns 0 with the resolver's reason in error.
int listen_address_resolve(const std::string& text, NetAddress& address, std::string& error);

// ---------------------------------------------------------------------------------------------
// 2. This computer
// ---------------------------------------------------------------------------------------------

struct HostRules {
    std::vector<NetAddress> addresses;  // the interfaces' addresses (loopback always passes)
    std::vector<std::string> names;     // lower case, without a trailing dot
};

// The rules for this computer: the addresses of its interfaces (getifaddrs), "localhost", its
// host name, that name with ".local", and the names of --allow-host.
HostRules host_rules_for_this_machine(const std::vector<std::string>& allowed_names);

// ---------------------------------------------------------------------------------------------
// 3. The Host rule
// ---------------------------------------------------------------------------------------------

// 1 when a Host header ("name", "name:port", "a.b.c.d:port", "[v6]:port") names this computer by
// the rules: a loopback literal or a literal among rules.addresses, or a name among rules.names
// (any case, one trailing dot allowed). An empty header (HTTP/1.0 without Host) passes: browsers
// always send one. Anything unreadable is refused.
int host_allowed(const HostRules& rules, const std::string& host_header);

// 1 when --allow-host may take text: a host name (letters, digits, '-', '.'), 1 to 253 characters.
int host_name_acceptable(const std::string& text);
