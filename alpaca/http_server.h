// The HTTP side of solvane-alpaca: cpp-httplib's server with the Alpaca API, the status page, the
// panel pictures and the safety bounds in front of them.
//
// Threads: the server listens on a thread of its own and answers each connection on a thread of
// its pool. Handlers read the filters through service_view and hand in writes through
// service_run_write; they never touch a filter's line themselves.
#pragma once

#include <string>

struct HttpOptions {
    std::string listen_address = "127.0.0.1";
    int port = 11111;                 // 0: any free port (http_start returns it)
    double rate_per_second = 100;     // requests per client address; 0: no bound
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

// 1 when a Host header names this computer (localhost, 127.x.x.x, ::1, with or without a port):
// a server on the loopback answers only those, so a web page elsewhere cannot reach it by
// rebinding its own name to 127.0.0.1. An empty header (HTTP/1.0) passes.
int host_is_loopback(const std::string& host_header);

// 1 when an address to listen on is a loopback address (127.x.x.x, ::1, localhost).
int address_is_loopback(const std::string& address);
