// The HTTP side of solvane-alpaca: cpp-httplib's server with the Alpaca API, the status page, the
// panel pictures and the safety bounds in front of them.
//
// Threads: the server listens on a thread of its own and answers each connection on a thread of
// its pool. Handlers read the filters through service_view and hand in writes through
// service_run_write; they never touch a filter's line themselves.
#pragma once

#include "alpaca/host_rules.h"

#include <string>
#include <vector>

// 127.0.0.1, the address the server listens on unless told otherwise.
NetAddress ipv4_loopback();

struct HttpOptions {
    NetAddress listen = ipv4_loopback();
    int port = 11111;                 // 0: any free port (http_start returns it)
    std::vector<std::string> allowed_hosts;  // --allow-host: further names of this computer
    double rate_per_second = 100;     // requests per client address; 0: no bound
    int rate_loopback_clients = 0;    // 1: the rate bound holds for clients on the loopback too
    int write_wait_ms = 10000;        // how long a setting waits for the filter's answer
    int connect_wait_ms = 30000;      // how long Connected=true waits for identification
    int page_test_hooks = 0;          // see page_html
    int log_writes = 1;               // one line on standard error per write
};

// The largest request body taken (a form of a few parameters needs far less); larger ones are
// refused with HTTP 413 before they are read.
constexpr int REQUEST_BODY_MAX = 16 * 1024;

// Binds and starts serving. Returns the port it listens on, or 0 with the reason in error.
int http_start(const HttpOptions& options, std::string& error);

// Stops listening, lets the running handlers finish and joins the threads.
void http_stop();

// Every request, on any listen address, must name this computer in its Host header
// (host_allowed with host_rules_for_this_machine and --allow-host), or it is answered 403 with
// the reason before anything else is looked at: a web page elsewhere cannot reach the server by
// rebinding its own name to one of this computer's addresses.
