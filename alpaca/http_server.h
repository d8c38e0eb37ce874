// The HTTP side of solvane-alpaca: an event-driven server (Boost.Beast on Boost.Asio) with the
// Alpaca API, the status page, the panel pictures, the filters' history and the safety bounds in
// front of them.
//
// No client can hold it: a connection costs no thread while it sends or idles, every request must
// arrive whole within REQUEST_DEADLINE_MS, one address holds at most CONNECTIONS_PER_ADDRESS
// connections, headers and bodies are bounded as they arrive (a chunked body too), and a write
// that waits for a filter waits on a worker of its own, not on the threads that answer the rest.
// Requests on one connection (pipelined ones included) are answered in the order they came.
//
// Threads: HTTP_IO_THREADS threads run the connections (reads, the answers from service_view, the
// page); a pool of write workers runs service_run_write and hands the answer back to its
// connection. All of them run at a lower priority than the filter lines. Nothing here touches a
// filter's line itself.
#pragma once

#include "alpaca/history_page.h"
#include "alpaca/host_rules.h"

#include <string>
#include <vector>

// The largest request body taken (a form of a few parameters needs far less); larger ones are
// refused with HTTP 413 before they are read, a chunked one as soon as it passes the bound.
constexpr int REQUEST_BODY_MAX = 16 * 1024;

// The largest request header, request line included (a browser sends under 2 KiB); a larger one
// is refused with HTTP 431 as soon as it passes the bound.
constexpr int REQUEST_HEADER_MAX = 8 * 1024;

// The time a connection has for each whole request, header and body, counted from the end of the
// answer before (or from its start); an idle keep-alive connection is closed when it passes.
constexpr int REQUEST_DEADLINE_MS = 10000;

// Connections one client address may hold open at once (a browser holds 6 at most); more are
// closed as they come.
constexpr int CONNECTIONS_PER_ADDRESS = 32;

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
    int request_deadline_ms = REQUEST_DEADLINE_MS;  // see REQUEST_DEADLINE_MS
    int page_test_hooks = 0;          // see page_html
    int log_writes = 1;               // one line on standard error per write
    std::string chart_js_file = CHART_JS_FILE;  // the page's charting script, served as /chart.js
};

// Binds and starts serving. Returns the port it listens on, or 0 with the reason in error.
int http_start(const HttpOptions& options, std::string& error);

// Stops listening, closes every connection and joins the threads, within milliseconds whatever
// the clients do. Call it after service_stop, which ends the writes still waiting for a filter.
void http_stop();

// Every request, on any listen address, must name this computer in its Host header
// (host_allowed with host_rules_for_this_machine and --allow-host), or it is answered 403 with
// the reason before anything else is looked at: a web page elsewhere cannot reach the server by
// rebinding its own name to one of this computer's addresses.
