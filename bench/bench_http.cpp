// The Alpaca server's HTTP layer against hostile and busy clients, measured on the program itself:
// the API's latency for a new client while 200 slow connections (each from an address of its own
// on the loopback, trickling a request's header a byte at a time) are open, getswitchvalue
// requests a second from 8 keep-alive clients, how much of an endless header and of an endless
// chunked body the server takes before it answers, whether pipelined requests are all answered,
// and how long SIGTERM takes while a slow and an idle keep-alive client are connected.
//
// bench_http [-- PROGRAM ARGS...]: without a program it runs solvane-alpaca (beside this
// benchmark) against solvane-sim's four paced filters. The program must print
// "listening on http://127.0.0.1:PORT/". Figures are printed, never judged.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

constexpr int SLOW_CONNECTIONS = 200;
constexpr int SLOW_SECONDS = 12;  // how long the slow connections are held, reopened when ended
constexpr int LOAD_CLIENTS = 8;
constexpr int LOAD_SECONDS = 5;
constexpr int LATENCY_REQUESTS = 50;
constexpr int ANSWER_WAIT_MS = 2000;  // a request not answered by then counts as not answered

double ms_since(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

// A TCP connection to 127.0.0.1:port from source (an address of 127.0.0.0/8); -1 when refused or
// not taken within wait_ms.
int connect_from(const char* source, int port, int wait_ms = ANSWER_WAIT_MS)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    int error = 0;
    socklen_t size = sizeof error;
    pollfd p{fd, POLLOUT, 0};
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 &&
         (errno != EINPROGRESS || ::poll(&p, 1, wait_ms) != 1)) ||
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, 0);
    return fd;
}

bool send_all(int fd, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads one answer (its header and Content-Length bytes) into answer; false on close or time-out.
bool read_answer(int fd, std::string& pending, std::string& answer, int wait_ms)
{
    const auto start = Clock::now();
    for (;;) {
        const size_t end = pending.find("\r\n\r\n");
        if (end != std::string::npos) {
            size_t length = 0;
            const size_t at = pending.find("Content-Length: ");
            if (at != std::string::npos && at < end) length = std::strtoul(pending.c_str() + at + 16, nullptr, 10);
            if (pending.size() >= end + 4 + length) {
                answer = pending.substr(0, end + 4 + length);
                pending.erase(0, end + 4 + length);
                return true;
            }
        }
        const int left = wait_ms - static_cast<int>(ms_since(start));
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, left) != 1) return false;
        char buffer[16384];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        pending.append(buffer, static_cast<size_t>(n));
    }
}

std::string get_request(const std::string& path, bool close = false)
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + (close ? "Connection: close\r\n" : "") + "\r\n";
}

// Slow clients: each sends a request's start and then one byte of header every 500 ms, never
// ending it. A connection the server ends is opened again (as an attacker would).
struct SlowClients {
    std::atomic<bool> stop{false};
    std::atomic<int> reopened{0};
    std::atomic<int> open{0};
    std::thread thread;

    void start(int port, int count)
    {
        thread = std::thread([this, port, count] {
            std::vector<int> fds(static_cast<size_t>(count), -1);
            auto source = [](int k) { return "127.0.0." + std::to_string(2 + k % 250); };
            while (!stop) {
                int now_open = 0;
                for (int k = 0; k < count && !stop; ++k) {
                    int& fd = fds[static_cast<size_t>(k)];
                    if (fd >= 0 && !send_all(fd, "x")) {
                        ::close(fd);
                        fd = -1;
                        ++reopened;
                    }
                    if (fd < 0) {
                        fd = connect_from(source(k).c_str(), port, 200);
                        if (fd >= 0 && !send_all(fd, "GET /api/v1/switch/0/getswitchvalue?Id=0 HTTP/1.1\r\nX-Slow: ")) {
                            ::close(fd);
                            fd = -1;
                        }
                    }
                    now_open += fd >= 0;
                    if (k == count - 1 || now_open > open) open = now_open;
                }
                for (int t = 0; t < 5 && !stop; ++t) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            for (int fd : fds)
                if (fd >= 0) ::close(fd);
        });
    }
    void end()
    {
        stop = true;
        if (thread.joinable()) thread.join();
    }
};

struct Latency {
    double median_ms = 0, max_ms = 0;
    int answered = 0;
};

// LATENCY_REQUESTS getswitchvalue requests, each on a new connection from 127.0.0.1.
Latency api_latency(int port)
{
    std::vector<double> times;
    Latency l;
    for (int k = 0; k < LATENCY_REQUESTS; ++k) {
        const auto start = Clock::now();
        const int fd = connect_from("127.0.0.1", port);
        std::string pending, answer;
        const bool ok = fd >= 0 && send_all(fd, get_request("/api/v1/switch/0/getswitchvalue?Id=5", true)) &&
                        read_answer(fd, pending, answer, ANSWER_WAIT_MS) && answer.rfind("HTTP/1.1 200", 0) == 0;
        if (fd >= 0) ::close(fd);
        times.push_back(ok ? ms_since(start) : ANSWER_WAIT_MS);
        l.answered += ok;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::sort(times.begin(), times.end());
    l.median_ms = times[times.size() / 2];
    l.max_ms = times.back();
    return l;
}

// Requests a second from LOAD_CLIENTS keep-alive clients asking as fast as they are answered.
double requests_per_second(int port)
{
    std::atomic<long> answered{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < LOAD_CLIENTS; ++c)
        clients.emplace_back([&, c] {
            int fd = -1;
            std::string pending, answer;
            for (long k = 0; !stop; ++k) {
                if (fd < 0) {
                    fd = connect_from("127.0.0.1", port);
                    pending.clear();
                }
                const std::string path = "/api/v1/switch/" + std::to_string((c + k) % 4) + "/getswitchvalue?Id=" +
                                         std::to_string(k % 9) + "&ClientID=" + std::to_string(c + 1) +
                                         "&ClientTransactionID=" + std::to_string(k + 1);
                if (fd >= 0 && send_all(fd, get_request(path)) && read_answer(fd, pending, answer, ANSWER_WAIT_MS)) {
                    ++answered;
                } else if (fd >= 0) {
                    ::close(fd);
                    fd = -1;
                }
            }
            if (fd >= 0) ::close(fd);
        });
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(LOAD_SECONDS));
    stop = true;
    for (std::thread& t : clients) t.join();
    return answered / (ms_since(start) / 1000);
}

// Sends head, then filler repeatedly (up to limit bytes) until the server answers or closes.
// Returns the bytes sent before that and the answer's status line.
long endless(int port, const std::string& head, const std::string& filler, long limit, std::string& status)
{
    const int fd = connect_from("127.0.0.1", port);
    if (fd < 0) return -1;
    const int buffer_size = 16 * 1024;  // so that what was sent is near what the server took
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    std::string data = head;
    long sent = 0;
    const auto start = Clock::now();
    status = "(no answer)";
    while (sent < limit && ms_since(start) < 20000) {
        pollfd p{fd, POLLIN | POLLOUT, 0};
        if (::poll(&p, 1, 1000) < 1) continue;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[256] = {};
            const ssize_t n = ::recv(fd, buffer, sizeof buffer - 1, 0);
            status = n > 0 ? std::string(buffer, strcspn(buffer, "\r\n")) : "(closed)";
            break;
        }
        if (data.empty()) data = filler;
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN) {
            status = "(closed)";
            break;
        }
        if (n > 0) {
            sent += n;
            data.erase(0, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return sent;
}

// Three requests in one packet: how many answers come back, in order.
int pipelined(int port)
{
    const int fd = connect_from("127.0.0.1", port);
    std::string batch;
    for (int k = 1; k <= 3; ++k) batch += get_request("/management/apiversions?ClientTransactionID=" + std::to_string(k));
    if (fd < 0 || !send_all(fd, batch)) return 0;
    std::string pending, answer;
    int in_order = 0;
    for (int k = 1; k <= 3 && read_answer(fd, pending, answer, ANSWER_WAIT_MS); ++k)
        in_order += answer.find("\"ClientTransactionID\":" + std::to_string(k)) != std::string::npos;
    ::close(fd);
    return in_order;
}

pid_t spawn(const Strings& args, int& out)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    out = fds[0];
    return pid;
}

// The port of "listening on http://127.0.0.1:PORT/" on out, within seconds; 0 otherwise.
int listening_port(int out, double seconds)
{
    std::string text;
    const auto start = Clock::now();
    while (ms_since(start) < seconds * 1000) {
        const size_t at = text.find("http://127.0.0.1:");
        if (at != std::string::npos && text.find('/', at + 17) != std::string::npos) return std::atoi(text.c_str() + at + 17);
        pollfd p{out, POLLIN, 0};
        if (::poll(&p, 1, 100) != 1) continue;
        char buffer[512];
        const ssize_t n = ::read(out, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return 0;
}

// Milliseconds from SIGTERM to the program's exit while a slow and an idle keep-alive client are
// connected; -1 when it did not end within 10 s (it is killed then).
double sigterm_ms(pid_t pid, int port)
{
    const int slow = connect_from("127.0.0.1", port);
    send_all(slow, "PUT /api/v1/switch/0/setswitch HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\nId=0");
    const int idle = connect_from("127.0.0.1", port);
    std::string pending, answer;
    send_all(idle, get_request("/management/apiversions"));
    read_answer(idle, pending, answer, ANSWER_WAIT_MS);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = Clock::now();
    ::kill(pid, SIGTERM);
    int status = 0;
    double ms = -1;
    for (int k = 1; ms_since(start) < 10000; ++k) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            ms = ms_since(start);
            break;
        }
        if (k % 250 == 0) send_all(slow, "&");  // a byte every 500 ms: the client is still sending
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (ms < 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ::close(slow);
    ::close(idle);
    return ms;
}

// A program in this benchmark's directory.
std::string beside_me(const char* name)
{
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.rfind('/') + 1) + name;
}

void row(const char* figure, double value, const char* unit, const std::string& note = "")
{
    std::printf("%-52s %10.1f %-4s %s\n", figure, value, unit, note.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    rlimit files{4096, 4096};
    ::setrlimit(RLIMIT_NOFILE, &files);
    Strings program;
    pid_t sim = -1;
    char dir_template[] = "/tmp/solvane-bench-http-XXXXXX";
    const char* dir = nullptr;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--") program.assign(argv + i + 1, argv + argc);
    if (program.empty()) {
        dir = ::mkdtemp(dir_template);
        if (dir == nullptr) return 1;
        const std::string ports = std::string(dir) + "/ports";
        int sim_out = -1;
        sim = spawn({beside_me("solvane-sim"), "--paced", "--awake", "--port-dir", ports}, sim_out);
        for (int k = 0; k < 50 && ::access((ports + "/COM4").c_str(), F_OK) != 0; ++k)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::setenv("SOLVANE_PORT_DIR", ports.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (::chdir(dir) != 0) return 1;
        program = {beside_me("solvane-alpaca"), "--ports", "COM1,COM2,COM3,COM4", "--connect",
                   "--port", "0", "--no-discovery", "--rate", "0"};
    }
    int out = -1;
    const pid_t pid = spawn(program, out);
    const int port = listening_port(out, 20);
    if (port == 0) {
        std::fprintf(stderr, "bench_http: %s did not start\n", program[0].c_str());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the filters' connections

    const Latency quiet = api_latency(port);
    SlowClients slow;
    const auto slow_start = Clock::now();
    slow.start(port, SLOW_CONNECTIONS);
    for (int k = 0; k < 100 && slow.open < SLOW_CONNECTIONS; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int slow_open = slow.open;
    const Latency held = api_latency(port);
    // Past the server's deadline for a whole request: the slow connections it ended.
    while (ms_since(slow_start) < SLOW_SECONDS * 1000) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int slow_reopened = slow.reopened;
    slow.end();
    const double rate = requests_per_second(port);
    std::string header_status, chunk_status;
    const long header_taken = endless(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n",
                                      "X-Pad: " + std::string(1017, 'a') + "\r\n", 200L << 20, header_status);
    std::string chunk(1024, 'x');
    char size_line[16];
    std::snprintf(size_line, sizeof size_line, "%zx\r\n", chunk.size());
    const long body_taken = endless(port,
                                    "PUT /api/v1/switch/0/setswitchvalue HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                    "Content-Type: application/x-www-form-urlencoded\r\nTransfer-Encoding: chunked\r\n\r\n",
                                    size_line + chunk + "\r\n", 200L << 20, chunk_status);
    const int in_order = pipelined(port);
    const double stop_ms = sigterm_ms(pid, port);

    std::printf("%-52s %10s %-4s %s\n", "figure", "measured", "", "");
    row("API latency, new connection, no load (median)", quiet.median_ms, "ms", std::to_string(quiet.answered) + " of 50 answered");
    row("API latency, 200 slow connections open (median)", held.median_ms, "ms", std::to_string(held.answered) + " of 50 answered");
    row("API latency, 200 slow connections open (longest)", held.max_ms, "ms",
        std::to_string(slow_open) + " slow open; " + std::to_string(slow_reopened) + " ended by the server in " +
            std::to_string(SLOW_SECONDS) + " s");
    row("getswitchvalue, 8 keep-alive clients", rate, "/s");
    row("endless header: bytes taken before the answer", header_taken / 1024.0, "KiB", header_status);
    row("endless chunked body: bytes taken before the answer", body_taken / 1024.0, "KiB", chunk_status);
    row("pipelined requests answered in order, of 3", in_order, "");
    row("SIGTERM to exit, slow and idle clients connected", stop_ms, "ms", stop_ms < 0 ? "(did not end in 10 s)" : "");
    ::close(out);
    if (sim > 0) {
        ::kill(sim, SIGTERM);
        ::waitpid(sim, nullptr, 0);
    }
    if (dir != nullptr) std::system((std::string("rm -rf ") + dir).c_str());
    return 0;
}
