// Alpaca discovery: how clients on the network find this server. A client sends the datagram
// "alpacadiscovery1" to UDP port 32227 by IPv4 broadcast or to the IPv6 multicast group
// ff12::a1:9aca; every Alpaca server answers the sender directly with {"AlpacaPort": N}, the port
// of its HTTP API.
//
// The responder runs on a thread of its own with two sockets (IPv4 and IPv6), both opened for
// sharing, so other Alpaca servers on this computer can listen on the same port. Answers are
// bounded in rate so the responder cannot be used to flood a third party.
#pragma once

#include "alpaca/host_rules.h"

#include <cstddef>
#include <string>

constexpr int ALPACA_DISCOVERY_PORT = 32227;
constexpr const char* ALPACA_DISCOVERY_GROUP = "ff12::a1:9aca";

struct DiscoveryOptions {
    int port = ALPACA_DISCOVERY_PORT;  // 0: any free port (for tests; discovery_start returns it)
    int alpaca_port = 0;               // what the answer names
    NetAddress listen;                 // where the API listens; discovery listens there alone
};

// Opens the sockets and starts answering where the API listens: on its loopback address when it
// listens on one (nobody else can reach it there), on every address of the family for a wildcard
// (0.0.0.0: IPv4, "::": both families, as the API takes both), and for one network address on
// the family's wildcard (broadcasts reach no socket bound to a unicast address) answering only
// requests that came in on the interface holding that address. Returns the UDP port, or 0 with
// the reason in error (no socket could be bound). IPv6 is left out quietly where the machine has
// none.
int discovery_start(const DiscoveryOptions& options, std::string& error);

// Stops answering, closes the sockets and joins the thread.
void discovery_stop();

// 1 when a datagram is a discovery request: "alpacadiscovery" and a version character (1 to 9,
// A to Z), perhaps followed by bytes reserved for later versions.
int discovery_request_valid(const char* data, std::size_t size);

// The answer: {"AlpacaPort": port}.
std::string discovery_response(int alpaca_port);
