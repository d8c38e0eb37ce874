// The HTTP side of solvane-alpaca; see http_server.h.
#include "alpaca/http_server.h"

#include "alpaca/alpaca_api.h"
#include "alpaca/filter_service.h"
#include "alpaca/schedule_page.h"
#include "link/filter_history.h"
#include "alpaca/web_page.h"

#include <utility>  // before Boost 1.74's Asio, which uses std::exchange without it under C++20

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Headers = std::vector<std::pair<std::string, std::string>>;

// The threads that run the connections: one a core of the machine this is built for; a request
// that is not a write costs microseconds, so more would only compete with the filter lines.
constexpr int HTTP_IO_THREADS = 2;

// Writes waiting for a filter at once: each slot's queue of settings and a connection and a
// disconnection besides; further ones wait for a worker, at most WRITE_TASKS_MAX in all, and any
// beyond that are answered at once with HTTP 503.
constexpr int WRITE_WORKERS = SLOT_COUNT * (WRITE_QUEUE_MAX + 2);
constexpr size_t WRITE_TASKS_MAX = 256;

// How long a snapshot of the filters answers reads: the filters change once an update period
// (1 s at the least), and the service's mutex, which the main thread needs to merge every poll,
// is then taken a few dozen times a second whatever the clients ask, not once a request.
constexpr auto VIEW_REUSE = std::chrono::milliseconds(20);

// History CSVs being written or sent at once: a day of four filters is about 20 MB, so a client
// that asks again and again, or reads slowly, holds at most this many in memory; more are
// answered at once with HTTP 503.
constexpr int HISTORY_CSV_AT_ONCE = 2;

// Connections held open at once from all addresses; more are closed as they come.
constexpr int CONNECTIONS_MAX = 512;

// After an answer that ends a connection, what the client still sends is read and dropped for
// this long (at most LINGER_BYTES), so that the answer is not lost to a reset.
constexpr auto LINGER_TIME = std::chrono::seconds(1);
constexpr size_t LINGER_BYTES = 256 * 1024;

// The HTTP threads yield the processor to the filter lines and the main thread: a crowd of
// clients then slows the clients, not the polls (which wait on the serial line's timing).
constexpr int HTTP_NICENESS = 10;

void lower_this_thread()
{
    thread_local const bool lowered = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), HTTP_NICENESS) == 0;
    (void)lowered;
}

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

// The write workers: a fixed set of threads taking tasks in order. Tasks still queued at stop are
// dropped (their connections are being closed anyway).
struct WritePool {
    std::mutex mutex;  // guards tasks and stopping
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    int stopping = 0;
    std::vector<std::thread> threads;

    void start(int count)
    {
        stopping = 0;
        for (int k = 0; k < count; ++k)
            threads.emplace_back([this] {
                lower_this_thread();
                for (;;) {
                    std::function<void()> task;
                    {
                        std::unique_lock<std::mutex> lock(mutex);
                        wake.wait(lock, [this] { return stopping || !tasks.empty(); });
                        if (stopping) return;
                        task = std::move(tasks.front());
                        tasks.pop_front();
                    }
                    task();
                }
            });
    }
    bool submit(std::function<void()> task)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping || tasks.size() >= WRITE_TASKS_MAX) return false;
            tasks.push_back(std::move(task));
        }
        wake.notify_one();
        return true;
    }
    void stop()
    {
        std::deque<std::function<void()>> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = 1;
            dropped.swap(tasks);
        }
        wake.notify_all();
        for (std::thread& t : threads) t.join();
        threads.clear();
    }
};

// The server and what its connections read; set up by http_start before the first connection.
struct Http {
    std::unique_ptr<asio::io_context> io;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::vector<std::thread> io_threads;
    WritePool writes;
    HttpOptions options;
    RateBounds rates;
    // The names and addresses of this computer, taken again when a literal is refused (an address
    // may have come with DHCP since); guarded by rules_mutex.
    std::mutex rules_mutex;
    HostRules rules;
    Clock::time_point rules_taken;
    // The snapshot reads are answered from (see VIEW_REUSE), dropped when a write through this
    // server has finished, so that a client reads what its own write left; guarded by view_mutex,
    // which is held while a new one is taken.
    std::mutex view_mutex;
    std::shared_ptr<const ServerView> view;
    Clock::time_point view_taken;
    // Open connections by client address and in all; guarded by connections_mutex.
    std::mutex connections_mutex;
    std::map<std::string, int> connections;
    int connections_open = 0;
    std::atomic<int> csv_answers{0};  // history CSVs being written or sent (HISTORY_CSV_AT_ONCE)
};

Http http;

// ---------------------------------------------------------------------------------------------
// Requests and answers as this server sees them
// ---------------------------------------------------------------------------------------------

struct Request {
    std::string method;
    std::string path;    // percent-decoded, without the query
    std::string query;   // as sent, without the '?'
    std::string body;
    std::string client;  // the client's address as text
    bool client_on_loopback = false;
};

struct Answer {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
    Headers headers;
    bool close = false;  // the connection ends after this answer
    std::shared_ptr<void> hold;  // kept until the answer is sent or its connection ends
};

Answer text_answer(int status, const std::string& text)
{
    Answer a;
    a.status = status;
    a.body = text + "\n";
    return a;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX escapes decoded (a malformed one is kept as it is); '+' is a space in a form's parts.
std::string url_decode(std::string_view text, bool plus_is_space)
{
    std::string out;
    out.reserve(text.size());
    for (size_t k = 0; k < text.size(); ++k) {
        const int high = k + 2 < text.size() ? hex_digit(text[k + 1]) : -1;
        const int low = high >= 0 ? hex_digit(text[k + 2]) : -1;
        if (text[k] == '%' && low >= 0) {
            out += static_cast<char>(high * 16 + low);
            k += 2;
        } else {
            out += plus_is_space && text[k] == '+' ? ' ' : text[k];
        }
    }
    return out;
}

// name=value pairs separated by '&', in the order sent; parts without a name are skipped.
ApiParams parse_form(std::string_view text)
{
    ApiParams params;
    while (!text.empty()) {
        const size_t amp = text.find('&');
        const std::string_view part = text.substr(0, amp);
        const size_t eq = part.find('=');
        std::string name = url_decode(part.substr(0, eq), true);
        if (!name.empty())
            params.emplace_back(std::move(name), eq == std::string_view::npos ? "" : url_decode(part.substr(eq + 1), true));
        text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    }
    return params;
}

// ---------------------------------------------------------------------------------------------
// The guards: who may ask, how often
// ---------------------------------------------------------------------------------------------

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

// What a request's header alone decides: a foreign Host (before anything else), a PUT without a
// body, too many requests, a body larger than the bound. An empty optional lets it go on.
std::optional<Answer> guard(const bhttp::request_parser<bhttp::string_body>& parser, const Request& r)
{
    const auto& header = parser.get();
    const std::string host(header[bhttp::field::host]);
    if (!host_of_this_machine(host)) {
        Answer a = text_answer(403, "This server answers only requests addressed to this computer by one of its names or "
                                    "addresses (see --allow-host), not to '" + host.substr(0, 80) + "'.");
        a.close = true;
        return a;
    }
    if (r.method == "PUT" && !parser.content_length() && !parser.chunked()) {
        // Without a length the body could only end with the connection: answered now.
        return text_answer(400, "A PUT carries its parameters in a form body (application/x-www-form-urlencoded, "
                                "with Content-Length); this one has no body.");
    }
    if ((http.options.rate_loopback_clients || !r.client_on_loopback) && !http.rates.allow(r.client)) {
        Answer a = text_answer(429, "Too many requests from " + r.client + ": at most " +
                                        std::to_string(static_cast<int>(http.rates.rate)) + " a second.");
        a.headers.emplace_back("Retry-After", "1");
        return a;
    }
    if (parser.content_length() && *parser.content_length() > static_cast<std::uint64_t>(REQUEST_BODY_MAX)) {
        Answer a = text_answer(413, "The request is larger than this server takes.");
        a.close = true;
        return a;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// The routes
// ---------------------------------------------------------------------------------------------

std::shared_ptr<const ServerView> current_view()
{
    std::lock_guard<std::mutex> lock(http.view_mutex);
    if (!http.view || Clock::now() - http.view_taken > VIEW_REUSE) {
        http.view = std::make_shared<const ServerView>(service_view());
        http.view_taken = Clock::now();
    }
    return http.view;
}

void drop_view()
{
    std::lock_guard<std::mutex> lock(http.view_mutex);
    http.view.reset();
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

Answer api_answer(const ApiAnswer& answer)
{
    Answer a;
    a.status = answer.http_status;
    a.content_type = answer.content_type;
    a.body = answer.body;
    return a;
}

// Runs a write the API asked for (on a write worker: it may wait for the filter).
Answer run_write(const Request& r, const ApiAnswer& pending)
{
    WriteOutcome outcome;
    FilterRecord record;
    if (pending.write == WRITE_CONNECT_START || pending.write == WRITE_DISCONNECT_START) {
        service_start_write(pending.device, pending.write);
        record = service_view().slot[pending.device].record;
    } else {
        const int wait = pending.write == WRITE_CONNECT ? http.options.connect_wait_ms : http.options.write_wait_ms;
        outcome = service_run_write(pending.device, pending.write, pending.job, wait, &record);
    }
    drop_view();
    const ApiAnswer answer = finish_write(pending, outcome, record, pending.device);
    if (http.options.log_writes) {
        // Writes are logged with the client's numbers, so a client's log can be matched.
        std::string command = pending.write == WRITE_JOB ? pending.job.command : "";
        if (!command.empty() && command.back() == '\n') command.pop_back();
        std::fprintf(stderr, "solvane-alpaca: %s %s from %s, device %d %s%s: %s\n", r.method.c_str(), r.path.c_str(),
                     r.client.c_str(), pending.device, write_name(pending.write),
                     command.empty() ? "" : (" " + command).c_str(), answer.body.c_str());
    }
    return api_answer(answer);
}

// The API's answer, or the write it needs in pending (answer then comes from run_write).
Answer answer_api(const Request& r, ApiAnswer& pending)
{
    ApiRequest request;
    request.method = r.method == "HEAD" ? "GET" : r.method;
    request.path = r.path;
    // A GET's parameters are its query's; a PUT's are its form body's alone.
    request.params = parse_form(request.method == "GET" ? r.query : r.body);
    pending = answer_api_request(request, *current_view());
    return api_answer(pending);
}

Answer page_answer(int focus)
{
    Answer a;
    a.content_type = "text/html; charset=utf-8";
    a.body = page_html(focus, http.options.page_test_hooks);
    a.headers = {{"Cache-Control", "no-cache"},
                 // Everything the page needs is its own; no other site may frame it.
                 {"Content-Security-Policy", "default-src 'self'; script-src 'self' 'unsafe-inline'; "
                                             "style-src 'self' 'unsafe-inline'; frame-ancestors 'none'"},
                 {"X-Frame-Options", "DENY"}};
    return a;
}

// The slot a path names between prefix and suffix by its number (0 to SLOT_COUNT - 1, without
// leading zeros); -1 when it names none.
int slot_in_path(const std::string& path, const std::string& prefix, const std::string& suffix)
{
    if (path.size() <= prefix.size() + suffix.size() || path.compare(0, prefix.size(), prefix) != 0 ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
        return -1;
    const std::string digits = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    if (digits.size() > 3 || (digits.size() > 1 && digits[0] == '0') ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const int slot = std::stoi(digits);
    return slot < SLOT_COUNT ? slot : -1;
}

// The device pixel ratio a panel's query asks for ("ratio=2"; one digit), 1 when it names none.
int panel_ratio(const std::string& query)
{
    for (size_t at = 0; at <= query.size();) {
        const size_t end = std::min(query.find('&', at), query.size());
        const std::string field = query.substr(at, end - at);
        if (field.size() == 7 && field.compare(0, 6, "ratio=") == 0 && std::isdigit(static_cast<unsigned char>(field[6])))
            return field[6] - '0';
        at = end + 1;
    }
    return 1;
}

Answer panel_answer(int slot, const std::string& query)
{
    const std::string png = service_panel_png(slot, nullptr, panel_ratio(query));
    if (png.empty()) return text_answer(404, "No panel for that filter.");
    Answer a;
    a.content_type = "image/png";
    a.body = png;
    a.headers = {{"Cache-Control", "no-cache"}};
    return a;
}

Answer state_answer()
{
    unsigned versions[SLOT_COUNT];
    for (int n = 0; n < SLOT_COUNT; ++n) versions[n] = service_panel_version(n);
    Answer a;
    a.content_type = "application/json; charset=utf-8";
    a.body = page_state_json(*current_view(), versions);
    a.headers = {{"Cache-Control", "no-store"}};
    return a;
}

// A filter's history for the page and any client (history_page.h), from the history's own lock.
Answer history_answer(int slot, const std::string& query)
{
    HistoryQuery request;
    std::string problem;
    if (!parse_history_query(query, request, problem)) return text_answer(400, problem);
    if (!current_view()->slot[slot].configured) return text_answer(404, "No filter in that slot.");
    const std::shared_ptr<FilterHistory> history = service_history();
    if (!history) return text_answer(503, "The server is shutting down.");
    Answer a;
    a.content_type = "application/json; charset=utf-8";
    a.body = history_json(history.get(), slot, request, history_now_ms());
    a.headers = {{"Cache-Control", "no-store"}};
    return a;
}

// Every filter's history since the start as CSV (a day of four filters is about 30 MB: a write
// worker builds it, not a connection's thread).
Answer history_csv_answer()
{
    const std::shared_ptr<FilterHistory> history = service_history();
    if (!history) return text_answer(503, "The server is shutting down.");
    Answer a;
    a.content_type = "text/csv; charset=utf-8";
    a.body = history_csv(history.get());
    a.headers = {{"Cache-Control", "no-store"},
                 {"Content-Disposition", "attachment; filename=\"" + history_csv_file_name(history_now_ms()) + "\""}};
    return a;
}

// A turn to write a history CSV, given back when the last copy goes (the answer sent, or dropped
// with its connection); empty when HISTORY_CSV_AT_ONCE are out.
std::shared_ptr<void> take_csv_turn()
{
    if (++http.csv_answers > HISTORY_CSV_AT_ONCE) {
        --http.csv_answers;
        return nullptr;
    }
    return std::shared_ptr<void>(&http, [](void*) { --http.csv_answers; });
}

// The charting script of the system's package; 404 saying which package when it is missing (the
// page then says the plots need it).
Answer chart_js_answer()
{
    std::string script, problem;
    if (!read_chart_js(http.options.chart_js_file, script, problem)) return text_answer(404, problem);
    Answer a;
    a.content_type = "text/javascript; charset=utf-8";
    a.body = std::move(script);
    a.headers = {{"Cache-Control", "max-age=3600"}};
    return a;
}

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The setup page's list of the ports a slot may take (listing reads directories: a worker runs it).
Answer ports_answer(int slot)
{
    Answer a;
    a.content_type = "application/json; charset=utf-8";
    a.body = page_ports_json(service_view(), slot, list_serial_ports(), service_saves_ports());
    a.headers = {{"Cache-Control", "no-store"}};
    return a;
}

// The setup page's choice of a port for a slot: Port=NAME (a worker runs it: it may write
// solvane.ini).
Answer port_choice_answer(int slot, const std::string& body)
{
    const ApiParams params = parse_form(body);
    const auto named = std::find_if(params.begin(), params.end(), [](const auto& p) { return p.first == "Port"; });
    if (named == params.end()) return text_answer(400, "Name the port as Port=NAME in the form body.");
    std::string message;
    const PortChoice choice = service_choose_port(slot, named->second, message);
    drop_view();
    Answer a;
    a.status = choice == PORT_CHOSEN || choice == PORT_CHOSEN_NOT_SAVED ? 200
               : choice == PORT_NOT_LISTED                          ? 400
               : choice == PORT_STOPPING                            ? 503
                                                                    : 409;
    a.content_type = "application/json; charset=utf-8";
    a.body = nlohmann::json{{"chosen", a.status == 200}, {"saved", choice == PORT_CHOSEN && service_saves_ports()},
                            {"message", message}}
                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return a;
}

// The setup page's schedule: Site, Wake, Sleep, ReadyBy (a worker runs it: it writes
// solvane-site.ini).
Answer schedule_choice_answer(const std::string& body)
{
    Schedule schedule;
    std::string message;
    const int read = read_schedule_form(parse_form(body), schedule, message);
    const int saved = read && service_set_schedule(schedule, message);
    Answer a;
    a.status = read ? 200 : 400;
    a.content_type = "application/json; charset=utf-8";
    a.body = nlohmann::json{{"saved", saved != 0}, {"message", message}}
                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return a;
}

// Every request but a write's: the API (any method it takes) and the page's paths (GET, HEAD;
// PUT for the setup page's choice). A request that may wait (a write for a filter, the setup
// page's ports) leaves pending or deferred set, and a write worker answers it.
Answer route(const Request& r, ApiAnswer& pending, std::function<Answer()>& deferred)
{
    static const char* const api_methods[] = {"GET", "HEAD", "PUT", "POST", "DELETE", "PATCH"};
    const bool api_method = std::find(std::begin(api_methods), std::end(api_methods), r.method) != std::end(api_methods);
    if (api_method && (starts_with(r.path, "/api/") || starts_with(r.path, "/management/"))) return answer_api(r, pending);
    if (r.method == "GET" || r.method == "HEAD") {
        if (r.path == "/" || r.path == "/setup") return page_answer(-1);
        if (const int slot = slot_in_path(r.path, "/setup/v1/switch/", "/setup"); slot >= 0) return page_answer(slot);
        if (const int slot = slot_in_path(r.path, "/setup/v1/switch/", "/ports"); slot >= 0) {
            deferred = [slot] { return ports_answer(slot); };
            return Answer{};
        }
        if (r.path == "/state.json") return state_answer();
        if (r.path == "/setup/schedule.json") {
            Answer a;
            a.content_type = "application/json; charset=utf-8";
            a.body = schedule_setup_json(service_schedule(), service_view().schedule);
            a.headers = {{"Cache-Control", "no-store"}};
            return a;
        }
        if (const int slot = slot_in_path(r.path, "/panel/", ".png"); slot >= 0) return panel_answer(slot, r.query);
        if (const int slot = slot_in_path(r.path, "/history/", ".json"); slot >= 0) return history_answer(slot, r.query);
        if (r.path == "/history.csv") {
            std::shared_ptr<void> turn = take_csv_turn();
            if (!turn) {
                Answer busy = text_answer(503, "The server is writing " + std::to_string(HISTORY_CSV_AT_ONCE) +
                                                   " history files already; try again once they are sent.");
                busy.headers.emplace_back("Retry-After", "5");
                return busy;
            }
            deferred = [turn] {
                Answer a = history_csv_answer();
                a.hold = turn;
                return a;
            };
            return Answer{};
        }
        if (r.path == "/chart.js") return chart_js_answer();
    }
    // A PUT, which no page of another site can send without this server's leave (it gives none).
    if (r.method == "PUT") {
        if (const int slot = slot_in_path(r.path, "/setup/v1/switch/", "/port"); slot >= 0) {
            deferred = [slot, body = r.body] { return port_choice_answer(slot, body); };
            return Answer{};
        }
        if (r.path == "/setup/schedule") {
            deferred = [body = r.body] { return schedule_choice_answer(body); };
            return Answer{};
        }
    }
    return text_answer(404, "Nothing at " + r.path + " on this server.");
}

// ---------------------------------------------------------------------------------------------
// Connections
// ---------------------------------------------------------------------------------------------

// One client connection: reads a request, answers it, reads the next, in order. The functions
// below run on its strand, one at a time (a write's answer comes back there from its worker); the
// pending operations' handlers hold it, and it ends (its socket closed, its address counted out)
// with the last of them.
struct Connection {
    Connection(tcp::socket socket, std::string address, bool on_loopback)
        : stream(std::move(socket)), client(std::move(address)), loopback(on_loopback)
    {
    }
    ~Connection()
    {
        std::lock_guard<std::mutex> lock(http.connections_mutex);
        --http.connections_open;
        if (--http.connections[client] <= 0) http.connections.erase(client);
    }
    beast::tcp_stream stream;
    beast::flat_buffer buffer;  // what was read past the request (a pipelined next one)
    std::optional<bhttp::request_parser<bhttp::string_body>> parser;
    Request request;
    std::string client;
    bool loopback;
    char drop[4096];
    size_t drained = 0;
};

using ConnectionPtr = std::shared_ptr<Connection>;

void on_header(const ConnectionPtr& c, beast::error_code ec);
void respond(const ConnectionPtr& c, Answer answer);

void read_next(const ConnectionPtr& c)
{
    c->parser.emplace();
    c->parser->header_limit(REQUEST_HEADER_MAX);
    // The body's bound is set once the header has passed the guards: a foreign Host hears 403
    // whatever length it announces. (Not boost::none: Beast 1.74 compares a length with it as
    // though it were 0.)
    c->parser->body_limit(std::numeric_limits<std::uint64_t>::max());
    // One deadline for the whole request, header and body.
    c->stream.expires_after(std::chrono::milliseconds(http.options.request_deadline_ms));
    bhttp::async_read_header(c->stream, c->buffer, *c->parser, [c](beast::error_code ec, size_t) { on_header(c, ec); });
}

// Ends the connection without losing the last answer: the sending side is shut, and what the
// client still sends is read and dropped (bounded in time and bytes) before the close.
void drain(const ConnectionPtr& c)
{
    c->stream.async_read_some(asio::buffer(c->drop), [c](beast::error_code ec, size_t n) {
        c->drained += n;
        if (!ec && c->drained < LINGER_BYTES) drain(c);
    });
}

void linger_close(const ConnectionPtr& c)
{
    beast::error_code ignored;
    c->stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    c->stream.expires_after(LINGER_TIME);
    drain(c);
}

void refuse(const ConnectionPtr& c, int status, const std::string& text)
{
    Answer a = text_answer(status, text);
    a.close = true;
    respond(c, std::move(a));
}

// A connection that ended, timed out or sent no HTTP: a malformed request hears why.
void read_failed(const ConnectionPtr& c, beast::error_code ec)
{
    if (ec.category() == bhttp::make_error_code(bhttp::error::bad_target).category() &&
        ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message)
        return refuse(c, 400, "This is no HTTP request this server reads (" + ec.message() + ").");
    linger_close(c);
}

void respond(const ConnectionPtr& c, Answer answer)
{
    const auto& header = c->parser->get();
    const bool keep = !answer.close && header.keep_alive() && c->parser->is_done();
    auto response = std::make_shared<bhttp::response<bhttp::string_body>>();
    response->version(header.version() == 10 ? 10 : 11);
    response->result(static_cast<unsigned>(answer.status));
    response->set(bhttp::field::content_type, answer.content_type);
    for (const auto& [name, value] : answer.headers) response->set(name, value);
    response->body() = std::move(answer.body);
    response->keep_alive(keep);
    response->prepare_payload();
    if (c->request.method == "HEAD") {
        const size_t size = response->body().size();
        response->body().clear();
        response->content_length(size);
    }
    c->stream.expires_after(std::chrono::milliseconds(http.options.request_deadline_ms));
    auto sent = [c, response, keep, hold = std::move(answer.hold)](beast::error_code ec, size_t) {
        if (ec) return;
        if (keep) return read_next(c);
        linger_close(c);
    };
    bhttp::async_write(c->stream, *response, std::move(sent));
}

void handle(const ConnectionPtr& c)
{
    ApiAnswer pending;
    std::function<Answer()> deferred;
    Answer answer = route(c->request, pending, deferred);
    if (pending.write == WRITE_NONE && !deferred) return respond(c, std::move(answer));
    // A write waits for its filter on a worker; this connection waits for it (its next request
    // is answered after it), the others go on.
    if (!deferred) deferred = [request = c->request, pending] { return run_write(request, pending); };
    const bool taken = http.writes.submit([c, deferred = std::move(deferred)] {
        Answer done = deferred();
        asio::post(c->stream.get_executor(), [c, done = std::move(done)]() mutable { respond(c, std::move(done)); });
    });
    if (!taken) respond(c, text_answer(503, "The server has too many writes waiting for the filters; try again."));
}

void read_body(const ConnectionPtr& c)
{
    c->parser->body_limit(REQUEST_BODY_MAX);
    bhttp::async_read(c->stream, c->buffer, *c->parser, [c](beast::error_code ec, size_t) {
        if (ec == bhttp::error::body_limit) return refuse(c, 413, "The request is larger than this server takes.");
        if (ec) return read_failed(c, ec);
        c->request.body = std::move(c->parser->get().body());
        handle(c);
    });
}

void on_header(const ConnectionPtr& c, beast::error_code ec)
{
    if (ec == bhttp::error::header_limit) return refuse(c, 431, "The request's header is larger than this server takes (8 KiB).");
    if (ec) return read_failed(c, ec);
    const auto& header = c->parser->get();
    c->request = Request{};
    c->request.method = std::string(header.method_string());
    const std::string_view target = header.target();
    const size_t question = target.find('?');
    c->request.path = url_decode(target.substr(0, question), false);
    if (question != std::string_view::npos) c->request.query = std::string(target.substr(question + 1));
    c->request.client = c->client;
    c->request.client_on_loopback = c->loopback;
    if (std::optional<Answer> refused = guard(*c->parser, c->request)) return respond(c, std::move(*refused));
    if (c->parser->is_done()) return handle(c);
    if (!beast::iequals(header[bhttp::field::expect], "100-continue")) return read_body(c);
    auto go_on = std::make_shared<bhttp::response<bhttp::empty_body>>(bhttp::status::continue_, header.version());
    bhttp::async_write(c->stream, *go_on, [c, go_on](beast::error_code e, size_t) {
        if (e) return read_failed(c, e);
        read_body(c);
    });
}

// Counts a new connection in; false when its address, or the server, holds the most already.
bool admit(const std::string& client)
{
    std::lock_guard<std::mutex> lock(http.connections_mutex);
    int& from_client = http.connections[client];
    if (from_client >= CONNECTIONS_PER_ADDRESS || http.connections_open >= CONNECTIONS_MAX) {
        if (from_client == 0) http.connections.erase(client);
        return false;
    }
    ++from_client;
    ++http.connections_open;
    return true;
}

void accept_next()
{
    http.acceptor->async_accept(asio::make_strand(*http.io), [](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !http.acceptor->is_open()) return;
        if (ec) {
            // Out of descriptors, most likely: try again shortly instead of spinning.
            auto timer = std::make_shared<asio::steady_timer>(*http.io, std::chrono::milliseconds(100));
            return timer->async_wait([timer](beast::error_code) { accept_next(); });
        }
        beast::error_code ignored;
        const asio::ip::address peer = socket.remote_endpoint(ignored).address();
        // An IPv4 client of an IPv6 socket (::ffff:a.b.c.d) is counted, bound and logged by its
        // IPv4 address.
        NetAddress client;
        std::string text = peer.to_string();
        const bool parsed = address_parse(text, client);
        if (parsed) text = address_text(client);
        const bool loopback = parsed && address_is_loopback(client);
        if (admit(text)) read_next(std::make_shared<Connection>(std::move(socket), text, loopback));
        accept_next();
    });
}

// Binds and listens; false with the reason in error.
bool bind_listener(const std::string& address, int port, std::string& error)
{
    beast::error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address, ec);
    const tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
    auto acceptor = std::make_unique<tcp::acceptor>(*http.io);
    if (!ec) acceptor->open(endpoint.protocol(), ec);
    if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec && ip.is_v6()) acceptor->set_option(asio::ip::v6_only(false), ec);  // "::" takes IPv4 too
    if (!ec) acceptor->bind(endpoint, ec);
    if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + address + " port " + std::to_string(port) + ": " + ec.message();
        return false;
    }
    http.acceptor = std::move(acceptor);
    return true;
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
    drop_view();  // a server started again reads its filters afresh
    http.io = std::make_unique<asio::io_context>(HTTP_IO_THREADS);
    // Numeric: nothing resolves it again.
    if (!bind_listener(address_text(options.listen), options.port, error)) {
        http.io.reset();
        return 0;
    }
    const int port = http.acceptor->local_endpoint().port();
    http.writes.start(WRITE_WORKERS);
    accept_next();
    for (int k = 0; k < HTTP_IO_THREADS; ++k)
        http.io_threads.emplace_back([] {
            lower_this_thread();
            http.io->run();
        });
    return port;
}

void http_stop()
{
    if (!http.io) return;
    http.io->stop();
    for (std::thread& t : http.io_threads) t.join();
    http.io_threads.clear();
    http.writes.stop();
    // Ends every connection: the handlers still queued hold them.
    http.acceptor.reset();
    http.io.reset();
    drop_view();
}
