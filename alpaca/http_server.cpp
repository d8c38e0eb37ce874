// The HTTP side of solvane-alpaca; see http_server.h.
#include "alpaca/http_server.h"

#include "alpaca/alpaca_api.h"
#include "alpaca/filter_service.h"
#include "alpaca/web_page.h"

#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Enough threads for a few Alpaca clients, browsers holding connections open and writes that
// wait for a filter, without letting a crowd of connections take the machine.
constexpr int HTTP_THREADS = 32;

// The HTTP threads yield the processor to the filter lines and the main thread: a crowd of
// clients then slows the clients, not the polls (which wait on the serial line's timing).
constexpr int HTTP_NICENESS = 10;

void lower_this_thread()
{
    thread_local const bool lowered = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), HTTP_NICENESS) == 0;
    (void)lowered;
}

// cpp-httplib's pool, each task run on a lowered thread. (The library asks for a subclass here.)
class LoweredThreadPool : public httplib::ThreadPool {
  public:
    using httplib::ThreadPool::ThreadPool;
    void enqueue(std::function<void()> task) override
    {
        httplib::ThreadPool::enqueue([task = std::move(task)] {
            lower_this_thread();
            task();
        });
    }
};

// A token bucket per client address: rate a second, bursts of twice that (at least 20).
struct RateBounds {
    struct Bucket {
        double tokens = 0;
        Clock::time_point last;
    };
    std::mutex mutex;  // guards buckets
    std::map<std::string, Bucket> buckets;
    double rate = 0;

    bool allow(const std::string& address)
    {
        if (rate <= 0) return true;
        const double burst = std::max(20.0, 2 * rate);
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        if (buckets.size() > 4096) {  // forget addresses idle for a minute
            for (auto it = buckets.begin(); it != buckets.end();)
                it = now - it->second.last > std::chrono::seconds(60) ? buckets.erase(it) : std::next(it);
        }
        auto [it, fresh] = buckets.try_emplace(address);
        Bucket& b = it->second;
        if (fresh) {
            b.tokens = burst;
        } else {
            b.tokens = std::min(burst, b.tokens + rate * std::chrono::duration<double>(now - b.last).count());
        }
        b.last = now;
        if (b.tokens < 1) return false;
        b.tokens -= 1;
        return true;
    }
};

// The server and what its handlers read; set up by http_start before the first request.
struct Http {
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    HttpOptions options;
    RateBounds rates;
    // The names and addresses of this computer, taken again when a literal is refused (an address
    // may have come with DHCP since); guarded by rules_mutex.
    std::mutex rules_mutex;
    HostRules rules;
    Clock::time_point rules_taken;
};

Http http;

void reply_text(httplib::Response& res, int status, const std::string& text)
{
    res.status = status;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
}

const char* write_name(ApiWrite write)
{
    switch (write) {
    case WRITE_JOB: return "setting";
    case WRITE_CONNECT: case WRITE_CONNECT_START: return "connect";
    case WRITE_DISCONNECT: case WRITE_DISCONNECT_START: return "disconnect";
    default: return "";
    }
}

void answer_api(const httplib::Request& req, httplib::Response& res)
{
    ApiRequest request;
    request.method = req.method;
    request.path = req.path;
    if (req.method == "GET") {
        for (const auto& [name, value] : req.params) request.params.emplace_back(name, value);
    } else {
        // A PUT's parameters are its form body's alone (the query string is not read).
        httplib::Params form;
        httplib::detail::parse_query_text(req.body, form);
        for (const auto& [name, value] : form) request.params.emplace_back(name, value);
    }

    ApiAnswer answer = answer_api_request(request, service_view());
    if (answer.write != WRITE_NONE) {
        const ApiAnswer pending = answer;
        WriteOutcome outcome;
        FilterRecord record;
        if (pending.write == WRITE_CONNECT_START || pending.write == WRITE_DISCONNECT_START) {
            service_start_write(pending.device, pending.write);
            record = service_view().slot[pending.device].record;
        } else {
            const int wait = pending.write == WRITE_CONNECT ? http.options.connect_wait_ms : http.options.write_wait_ms;
            outcome = service_run_write(pending.device, pending.write, pending.job, wait, &record);
        }
        answer = finish_write(pending, outcome, record, pending.device);
        if (http.options.log_writes) {
            // Writes are logged with the client's numbers, so a client's log can be matched.
            std::string command = pending.write == WRITE_JOB ? pending.job.command : "";
            if (!command.empty() && command.back() == '\n') command.pop_back();
            std::fprintf(stderr, "solvane-alpaca: %s %s from %s, device %d %s%s: %s\n", req.method.c_str(),
                         req.path.c_str(), req.remote_addr.c_str(), pending.device, write_name(pending.write),
                         command.empty() ? "" : (" " + command).c_str(), answer.body.c_str());
        }
    }
    res.status = answer.http_status;
    res.set_content(answer.body, answer.content_type.c_str());
}

void answer_page(int focus, httplib::Response& res)
{
    res.set_header("Cache-Control", "no-cache");
    // Everything the page needs is its own; no other site may frame it.
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; script-src 'self' 'unsafe-inline'; style-src 'self' 'unsafe-inline'; "
                   "frame-ancestors 'none'");
    res.set_header("X-Frame-Options", "DENY");
    res.set_content(page_html(focus, http.options.page_test_hooks), "text/html; charset=utf-8");
}

// How often the interfaces' addresses may be read again for a refused Host literal.
constexpr auto RULES_REFRESH = std::chrono::seconds(5);

bool host_of_this_machine(const std::string& host)
{
    std::lock_guard<std::mutex> lock(http.rules_mutex);
    if (host_allowed(http.rules, host)) return true;
    NetAddress literal;
    std::string bare = host;
    if (!bare.empty() && bare[0] != '[') bare = bare.substr(0, bare.find(':'));
    else if (!bare.empty()) bare = bare.substr(0, bare.find(']') + 1);
    if (!address_parse(bare, literal) || Clock::now() - http.rules_taken < RULES_REFRESH) return false;
    http.rules = host_rules_for_this_machine(http.options.allowed_hosts);
    http.rules_taken = Clock::now();
    return host_allowed(http.rules, host);
}

bool client_on_loopback(const httplib::Request& req)
{
    NetAddress client;
    return address_parse(req.remote_addr, client) && address_is_loopback(client);
}

httplib::Server::HandlerResponse guard(const httplib::Request& req, httplib::Response& res)
{
    if (!host_of_this_machine(req.get_header_value("Host"))) {
        res.set_header("Connection", "close");
        reply_text(res, 403, "This server answers only requests addressed to this computer by one of its names or "
                             "addresses (see --allow-host), not to '" + req.get_header_value("Host").substr(0, 80) + "'.");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method == "PUT" && !req.has_header("Content-Length") && !req.has_header("Transfer-Encoding")) {
        // Without a length the body could only end with the connection: answered now, not after
        // the read time-out.
        reply_text(res, 400, "A PUT carries its parameters in a form body (application/x-www-form-urlencoded, "
                             "with Content-Length); this one has no body.");
        return httplib::Server::HandlerResponse::Handled;
    }
    if ((http.options.rate_loopback_clients || !client_on_loopback(req)) && !http.rates.allow(req.remote_addr)) {
        res.set_header("Retry-After", "1");
        reply_text(res, 429, "Too many requests from " + req.remote_addr + ": at most " +
                                 std::to_string(static_cast<int>(http.rates.rate)) + " a second.");
        return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

// The slot a page or panel path names by its number (0 to SLOT_COUNT - 1, written without
// leading zeros); -1 otherwise, which the route answers as a path this server does not serve.
int slot_in_path(const httplib::Request& req)
{
    const std::string digits = req.matches[1].str();
    if (digits.empty() || digits.size() > 3 || (digits.size() > 1 && digits[0] == '0')) return -1;
    const int slot = std::stoi(digits);
    return slot < SLOT_COUNT ? slot : -1;
}

void install_routes(httplib::Server& s)
{
    s.set_pre_routing_handler(guard);
    for (const char* pattern : {R"(/api/.*)", R"(/management/.*)"}) {
        s.Get(pattern, answer_api);
        s.Put(pattern, answer_api);
        s.Post(pattern, answer_api);
        s.Delete(pattern, answer_api);
        s.Patch(pattern, answer_api);
    }
    s.Get("/", [](const httplib::Request&, httplib::Response& res) { answer_page(-1, res); });
    s.Get("/setup", [](const httplib::Request&, httplib::Response& res) { answer_page(-1, res); });
    s.Get(R"(/setup/v1/switch/([0-9]+)/setup)", [](const httplib::Request& req, httplib::Response& res) {
        if (const int slot = slot_in_path(req); slot >= 0) answer_page(slot, res);
        else res.status = 404;
    });
    s.Get("/state.json", [](const httplib::Request&, httplib::Response& res) {
        unsigned versions[SLOT_COUNT];
        for (int n = 0; n < SLOT_COUNT; ++n) versions[n] = service_panel_version(n);
        res.set_header("Cache-Control", "no-store");
        res.set_content(page_state_json(service_view(), versions), "application/json; charset=utf-8");
    });
    s.Get(R"(/panel/([0-9]+)\.png)", [](const httplib::Request& req, httplib::Response& res) {
        const int slot = slot_in_path(req);
        if (slot < 0) {
            res.status = 404;
            return;
        }
        const std::string png = service_panel_png(slot);
        if (png.empty()) return reply_text(res, 404, "No panel for that filter.");
        res.set_header("Cache-Control", "no-cache");
        res.set_content(png, "image/png");
    });
    s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (res.status == 404 && res.body.empty()) reply_text(res, 404, "Nothing at " + req.path + " on this server.");
        if (res.status == 413) reply_text(res, 413, "The request is larger than this server takes.");
    });
}

}  // namespace

NetAddress ipv4_loopback()
{
    NetAddress address;
    address_parse("127.0.0.1", address);
    return address;
}

int http_start(const HttpOptions& options, std::string& error)
{
    http.options = options;
    http.rates.rate = options.rate_per_second;
    {
        std::lock_guard<std::mutex> lock(http.rules_mutex);
        http.rules = host_rules_for_this_machine(options.allowed_hosts);
        http.rules_taken = Clock::now();
    }
    http.server = std::make_unique<httplib::Server>();
    httplib::Server& s = *http.server;
    s.new_task_queue = [] { return new LoweredThreadPool(HTTP_THREADS); };
    s.set_payload_max_length(REQUEST_BODY_MAX);
    s.set_keep_alive_max_count(1000);
    s.set_keep_alive_timeout(5);
    s.set_read_timeout(5, 0);
    s.set_write_timeout(5, 0);
    s.set_tcp_nodelay(true);
    install_routes(s);

    errno = 0;
    const std::string address = address_text(options.listen);  // numeric: nothing resolves it again
    int port = options.port;
    if (port == 0) {
        port = s.bind_to_any_port(address);
        if (port <= 0) port = 0;
    } else if (!s.bind_to_port(address, port)) {
        port = 0;
    }
    if (port == 0) {
        error = "cannot listen on " + address + " port " + std::to_string(options.port) +
                (errno ? std::string(": ") + std::strerror(errno) : std::string());
        http.server.reset();
        return 0;
    }
    http.thread = std::thread([] {
        lower_this_thread();
        http.server->listen_after_bind();
    });
    return port;
}

void http_stop()
{
    if (!http.server) return;
    http.server->stop();
    if (http.thread.joinable()) http.thread.join();
    http.server.reset();
}
