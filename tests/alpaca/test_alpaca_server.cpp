// The Alpaca server end to end against simulated filters on pseudo-terminals: the service, the HTTP
// server and discovery run in this process (the main thread runs the Qt loop, as in the program),
// clients talk to them over the loopback from a thread of their own, and the simulator shows the
// exact bytes each filter received. One test runs the program itself; two drive the status page
// in a real headless browser.
#include "alpaca/discovery.h"
#include "alpaca/filter_service.h"
#include "alpaca/history_page.h"
#include "alpaca/http_server.h"
#include "link/filter_history.h"
#include "link/filter_settings.h"
#include "link/remote_link.h"
#include "sim/simulator.h"
#include "tests/support/test_support.h"

#include <QColor>
#include <QCoreApplication>
#include <QEventLoop>
#include <QImage>
#include <QTimer>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <functional>
#include <regex>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Json = nlohmann::json;
using Strings = std::vector<std::string>;

// Runs client on a thread of its own while this (the main) thread runs the Qt event loop, which
// the service needs to take the lines' results.
void serve(const std::function<void()>& client)
{
    std::atomic<bool> done{false};
    std::thread thread([&] {
        client();
        done = true;
    });
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done) loop.quit();
    });
    check.start(10);
    loop.exec();
    thread.join();
}

// Waits on a client thread until condition holds or seconds pass.
bool eventually(double seconds, const std::function<bool()>& condition)
{
    const auto start = TestClock::now();
    while (!condition()) {
        if (seconds_since(start) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Sends request bytes as they are and reads the answer until the server closes (3 s at most).
std::string raw_exchange(int port, const std::string& request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        const auto start = TestClock::now();
        pollfd p{fd, POLLIN, 0};
        char buffer[4096];
        while (seconds_since(start) < 3 && ::poll(&p, 1, 100) >= 0) {
            if (!(p.revents & POLLIN)) continue;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            answer.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return answer;
}

// A connection to 127.0.0.1:port from source (any address of 127.0.0.0/8); -1 when refused.
int connect_from(const char* source, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool send_text(int fd, const std::string& text)
{
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// What arrives on fd within seconds, until the server closes or the text holds want answers.
std::string read_answers(int fd, double seconds, int want = 1)
{
    std::string text;
    const auto start = TestClock::now();
    pollfd p{fd, POLLIN, 0};
    char buffer[4096];
    while (seconds_since(start) < seconds) {
        size_t count = 0;
        for (size_t at = text.find("HTTP/1.1 "); at != std::string::npos; at = text.find("HTTP/1.1 ", at + 1)) ++count;
        if (static_cast<int>(count) >= want && text.size() > 4 && text.compare(text.size() - 1, 1, "}") == 0) break;
        if (::poll(&p, 1, 50) != 1) continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// True when the server has closed fd.
bool closed_by_server(int fd)
{
    pollfd p{fd, POLLIN, 0};
    char byte;
    return ::poll(&p, 1, 0) == 1 && ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

// Connections that send a request's first line and then a header byte every 200 ms, never
// finishing it, from addresses 127.0.0.2 on; they open again when the server ends them.
struct SlowClients {
    std::atomic<bool> stop{false};
    std::thread thread;
    void start(int port, int count, const std::string& only_source = "")
    {
        thread = std::thread([=, this] {
            std::vector<int> fds(static_cast<size_t>(count), -1);
            while (!stop) {
                for (int k = 0; k < count; ++k) {
                    int& fd = fds[static_cast<size_t>(k)];
                    if (fd >= 0 && !send_text(fd, "x")) fd = (::close(fd), -1);
                    const std::string source = only_source.empty() ? "127.0.0." + std::to_string(2 + k) : only_source;
                    if (fd < 0 && (fd = connect_from(source.c_str(), port)) >= 0)
                        send_text(fd, "GET /management/apiversions HTTP/1.1\r\nX-Slow: ");
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            for (int fd : fds)
                if (fd >= 0) ::close(fd);
        });
    }
    ~SlowClients()
    {
        stop = true;
        if (thread.joinable()) thread.join();
    }
};

class AlpacaServer : public ::testing::Test {
  protected:
    void start(int interval_ms = 3600000, double rate = 0, int filters = 4)
    {
        dir = enter_temp_dir();
        const std::string ports = dir + "/ports";
        setenv("SOLVANE_PORT_DIR", ports.c_str(), 1);
        setenv("SOLVANE_ONLY_PORT_DIR", "1", 1);
        SimOptions sim;
        sim.port_dir = ports;
        sim.speed = 20;
        sim.filters = sim_preset();
        sim.filters.resize(static_cast<size_t>(filters));
        ASSERT_EQ(sim_start(sim), 1);
        ServiceOptions service;
        for (int n = 0; n < served; ++n) service.ports[n] = "COM" + std::to_string(n + 1);
        service.ports_in_settings_file = 1;
        service.interval_ms = interval_ms;
        ASSERT_EQ(service_start(service), 1);
        HttpOptions http;
        http.port = 0;
        http.rate_per_second = rate;
        http.rate_loopback_clients = rate_loopback;
        http.write_wait_ms = write_wait_ms;
        http.request_deadline_ms = request_deadline_ms;
        http.allowed_hosts = {"dome.example"};
        http.page_test_hooks = 1;
        http.log_writes = 0;
        http.chart_js_file = chart_js_file;
        http_options = http;
        std::string error;
        port = http_start(http, error);
        ASSERT_GT(port, 0) << error;
        DiscoveryOptions discovery;
        discovery.port = 0;
        discovery.alpaca_port = port;
        discovery.listen = http.listen;
        discovery_port = discovery_start(discovery, error);
        ASSERT_GT(discovery_port, 0) << error;
    }

    void TearDown() override
    {
        service_stop();
        http_stop();
        discovery_stop();
        sim_stop();
    }

    // Client side (any thread but the main one).
    Json get(const std::string& path, int expect_status = 200)
    {
        httplib::Client client("127.0.0.1", port);
        auto reply = client.Get(path.c_str());
        EXPECT_TRUE(reply) << path;
        if (!reply) return Json();
        EXPECT_EQ(reply->status, expect_status) << path << ": " << reply->body;
        return reply->status == 200 ? Json::parse(reply->body) : Json(reply->body);
    }

    Json put(const std::string& path, const std::string& form, int expect_status = 200)
    {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(40, 0);
        auto reply = client.Put(path.c_str(), form, "application/x-www-form-urlencoded");
        EXPECT_TRUE(reply) << path;
        if (!reply) return Json();
        EXPECT_EQ(reply->status, expect_status) << path << " " << form << ": " << reply->body;
        return reply->status == 200 ? Json::parse(reply->body) : Json(reply->body);
    }

    void connect_filter(int device)
    {
        Json reply = put("/api/v1/switch/" + std::to_string(device) + "/connected", "Connected=true");
        ASSERT_EQ(reply["ErrorNumber"], 0) << reply.dump();
        sim_clear_received(device);
    }

    std::string dir;
    int port = 0;
    int discovery_port = 0;
    int rate_loopback = 0;      // set before start
    int write_wait_ms = 10000;  // likewise
    int request_deadline_ms = REQUEST_DEADLINE_MS;  // likewise
    int served = SLOT_COUNT;  // slots given COM1, COM2, ... (the others free); likewise
    std::string chart_js_file = CHART_JS_FILE;  // likewise
    HttpOptions http_options;  // as started
};

TEST_F(AlpacaServer, ASettingThroughAlpacaSendsTheBytesOfTheWindowsMenu)
{
    start();
    serve([&] {
        connect_filter(0);
        EXPECT_EQ(get("/api/v1/switch/0/name")["Value"], "Solvane filter 1 H-a 0.7A PRO");
        EXPECT_EQ(get("/api/v1/switch/0/getswitchvalue?Id=5")["Value"], 6562.8);
        struct Row {
            const char* member;
            const char* form;
            Strings bytes;
        } rows[] = {{"action", "Action=units&Parameters=1", {"SU1\n"}},
                    {"action", "Action=units&Parameters=0", {"SU0\n"}},
                    {"setswitchvalue", "Id=1&Value=0.3", {"SE3\n", "GI\n"}},
                    {"setswitchvalue", "Id=1&Value=0.25", {"SE2\n", "GI\n"}},
                    {"setswitchvalue", "Id=0&Value=1", {"SH0\n"}},
                    {"setswitchvalue", "Id=2&Value=1", {"SL1\n"}}};
        for (const Row& row : rows) {
            sim_clear_received(0);
            Json reply = put(std::string("/api/v1/switch/0/") + row.member, row.form);
            EXPECT_EQ(reply["ErrorNumber"], 0) << reply.dump();
            EXPECT_EQ(sim_received(0), row.bytes) << row.form;
            if (std::string(row.member) == "action") {
                EXPECT_EQ(reply["Value"], row.bytes[0].substr(0, 3));
            }
        }
        EXPECT_EQ(get("/api/v1/switch/0/getswitchvalue?Id=1")["Value"], 0.2);
        // A filter that stops answering: the client hears so, with the command.
        SimFaults silent;
        silent.silent = 1;
        sim_set_faults(0, silent);
        Json unanswered = put("/api/v1/switch/0/setswitch", "Id=2&State=false");
        EXPECT_EQ(unanswered["ErrorNumber"], 0x500);
        EXPECT_NE(unanswered["ErrorMessage"].get<std::string>().find("did not answer SL0"), std::string::npos);
        sim_set_faults(0, SimFaults{});
    });
    const SimFilter filter = sim_snapshot(0);
    EXPECT_EQ(filter.wing_shift_tenths, 2);
    EXPECT_EQ(filter.sleeping, 0);
    EXPECT_EQ(filter.panel_locked, 1);
    EXPECT_TRUE(sim_received(1).empty());  // the other filters were never touched
}

TEST_F(AlpacaServer, MalformedAndRefusedRequestsNeverReachAFilter)
{
    start();
    serve([&] {
        connect_filter(0);
        const char* malformed[][2] = {{"setswitchvalue", "Id=1&Value=NaN"}, {"setswitchvalue", "Id=1&Value=0,3"},
                                      {"setswitchvalue", "Id=1"},           {"setswitchvalue", "Value=0.3"},
                                      {"setswitch", "Id=0&State=on"},       {"setswitch", "Id=x&State=true"},
                                      {"SetSwitch", "Id=0&State=true"},     {"getswitch", "Id=0"},
                                      {"connected", "Connected=1"}};
        for (const auto& [member, form] : malformed) {
            Json reason = put(std::string("/api/v1/switch/0/") + member, form, 400);
            EXPECT_TRUE(reason.is_string());
        }
        put("/api/v1/switch/7/setswitch", "Id=0&State=true", 400);
        get("/api/v1/switch/0/setswitch?Id=0&State=true", 400);
        const char* refused[][3] = {{"setswitchvalue", "Id=1&Value=1.5", "1025"}, {"setswitchvalue", "Id=9&Value=0", "1025"},
                                    {"setswitch", "Id=3&State=true", "1024"},   {"setasync", "Id=0&State=true", "1024"}};
        for (const auto& [member, form, error] : refused)
            EXPECT_EQ(put(std::string("/api/v1/switch/0/") + member, form)["ErrorNumber"], std::stoi(error)) << form;
        // A body beyond the bound is refused before it is read.
        put("/api/v1/switch/0/setswitchvalue", "Id=1&Value=0.1&pad=" + std::string(REQUEST_BODY_MAX, 'x'), 413);
    });
    EXPECT_TRUE(sim_received(0).empty());
    EXPECT_EQ(sim_snapshot(0).wing_shift_tenths, 0);
}

TEST_F(AlpacaServer, ConnectStartsAtOnceAndTheUpdatePollsConnectedFiltersOnly)
{
    start(1000);
    serve([&] {
        EXPECT_EQ(get("/api/v1/switch/1/connected")["Value"], false);
        Json started = put("/api/v1/switch/1/connect", "ClientTransactionID=3");
        EXPECT_EQ(started["ErrorNumber"], 0);
        EXPECT_EQ(started["ClientTransactionID"], 3);
        EXPECT_TRUE(eventually(20, [&] { return get("/api/v1/switch/1/connecting")["Value"] == false; }));
        EXPECT_EQ(get("/api/v1/switch/1/connected")["Value"], true);
        sim_clear_received(1);
        EXPECT_TRUE(eventually(10, [] {
            Strings bytes = sim_received(1);
            return std::count(bytes.begin(), bytes.end(), "GI\n") >= 2;
        }));
        EXPECT_EQ(put("/api/v1/switch/1/disconnect", "")["ErrorNumber"], 0);
        EXPECT_TRUE(eventually(10, [&] { return get("/api/v1/switch/1/connected")["Value"] == false; }));
    });
    EXPECT_TRUE(sim_received(0).empty());
    EXPECT_TRUE(sim_received(2).empty());
}

TEST_F(AlpacaServer, ManagementIdsAndParameterNamesOverHttp)
{
    start(3600000, 0, 3);  // no filter behind COM4
    serve([&] {
        EXPECT_EQ(get("/management/apiversions?ClientTransactionID=9")["Value"], Json::parse("[1]"));
        Json devices = get("/management/v1/configureddevices")["Value"];
        ASSERT_EQ(devices.size(), 4u);
        for (int n = 0; n < 4; ++n) EXPECT_EQ(devices[n]["UniqueID"], unique_device_id(machine_identity(), n));
        Json first = get("/api/v1/switch/0/interfaceversion?clienttransactionid=11&clientid=2");
        Json second = get("/api/v1/switch/0/interfaceversion?CLIENTTRANSACTIONID=12");
        EXPECT_EQ(first["ClientTransactionID"], 11);
        EXPECT_EQ(second["ClientTransactionID"], 12);
        EXPECT_GT(second["ServerTransactionID"].get<std::uint32_t>(), first["ServerTransactionID"].get<std::uint32_t>());
        EXPECT_EQ(get("/api/v1/switch/0/getswitch?id=0")["ErrorNumber"], 0x407);
        Json missing = put("/api/v1/switch/3/connected", "Connected=true");
        EXPECT_EQ(missing["ErrorNumber"], 0x500);
        EXPECT_NE(missing["ErrorMessage"].get<std::string>().find("did not connect. Could not open COM4: "), std::string::npos)
            << missing.dump();
        EXPECT_EQ(get("/api/v1/switch/3/connected")["Value"], false);
    });
}

TEST_F(AlpacaServer, DiscoveryIsAnsweredOnTheLoopback)
{
    start();
    struct Row {
        int family;
        const char* address;
        std::string datagram;
        bool answered;
    } rows[] = {{AF_INET, "127.0.0.1", "alpacadiscovery1", true},
                {AF_INET6, "::1", "alpacadiscovery1", false},  // the API listens on 127.0.0.1 alone
                {AF_INET, "127.0.0.1", "alpacadiscovery", false}};
    for (const Row& row : rows) {
        const int fd = ::socket(row.family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockaddr_storage to{};
        socklen_t size = 0;
        if (row.family == AF_INET) {
            auto* a = reinterpret_cast<sockaddr_in*>(&to);
            a->sin_family = AF_INET;
            a->sin_port = htons(static_cast<uint16_t>(discovery_port));
            ::inet_pton(AF_INET, row.address, &a->sin_addr);
            size = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in6*>(&to);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(static_cast<uint16_t>(discovery_port));
            ::inet_pton(AF_INET6, row.address, &a->sin6_addr);
            size = sizeof *a;
        }
        ASSERT_EQ(::sendto(fd, row.datagram.data(), row.datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), size),
                  static_cast<ssize_t>(row.datagram.size()));
        pollfd p{fd, POLLIN, 0};
        const bool arrived = ::poll(&p, 1, row.answered ? 5000 : 500) == 1;
        EXPECT_EQ(arrived, row.answered) << row.address << " " << row.datagram;
        if (arrived) {
            char reply[128] = {};
            ::recv(fd, reply, sizeof reply - 1, 0);
            EXPECT_EQ(Json::parse(reply)["AlpacaPort"], port);
        }
        ::close(fd);
    }
}

// A client finds the served filters by discovery at the targets the environment names (here the
// loopback alone), and asks servers it already knows of as well, each device once.
TEST_F(AlpacaServer, DiscoveryFindsTheServedFiltersByTheirNames)
{
    start();
    serve([&] {
        setenv("SOLVANE_DISCOVERY_TARGETS", ("127.0.0.1:" + std::to_string(discovery_port)).c_str(), 1);
        ASSERT_EQ(discovery_targets(), Strings{"127.0.0.1:" + std::to_string(discovery_port)});
        const std::string base = "alpaca://127.0.0.1:" + std::to_string(port) + "/";
        const std::vector<ServedDevice> found = discover_served_filters(discovery_targets(), 1000, {base + "2"});
        ASSERT_EQ(found.size(), static_cast<size_t>(SLOT_COUNT));
        for (int n = 0; n < SLOT_COUNT; ++n) {
            EXPECT_EQ(found[n].port_name, base + std::to_string(n));
            EXPECT_EQ(found[n].name, "Solvane filter " + std::to_string(n + 1) + " (COM" + std::to_string(n + 1) + ")");
        }
        // Without an answer: the servers named are asked all the same.
        EXPECT_EQ(discover_served_filters({}, 100, {base + "0"}).size(), static_cast<size_t>(SLOT_COUNT));
        unsetenv("SOLVANE_DISCOVERY_TARGETS");
        EXPECT_EQ(discovery_targets(), Strings{"255.255.255.255"});
    });
}

TEST_F(AlpacaServer, TooManyRequestsAndForeignHostNamesAreRefused)
{
    rate_loopback = 1;
    start(3600000, 5);
    serve([&] {
        httplib::Client client("127.0.0.1", port);
        int ok = 0, limited = 0;
        for (int k = 0; k < 60; ++k) {
            auto reply = client.Get("/management/apiversions");
            ASSERT_TRUE(reply);
            ok += reply->status == 200;
            limited += reply->status == 429;
        }
        EXPECT_GE(ok, 5);
        EXPECT_GE(limited, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));  // a token or two back
        auto foreign = client.Get("/", {{"Host", "evil.example"}});
        ASSERT_TRUE(foreign);
        EXPECT_EQ(foreign->status, 403);
    });
}

TEST_F(AlpacaServer, AReboundNameIsRefusedBeforeAnythingElseAndLoopbackClientsAreNotRateBound)
{
    start(3600000, 5);
    serve([&] {
        httplib::Client client("127.0.0.1", port);
        struct Row {
            const char* host;
            int status;
        } rows[] = {{"attacker.example", 403}, {"attacker.example:11111", 403}, {"dome.example", 200},
                    {"[::ffff:127.0.0.1]", 200}, {"127.0.0.1.attacker.example", 403}};
        for (const Row& row : rows) {
            auto reply = client.Put("/api/v1/switch/0/connected", {{"Host", row.host}}, "Connected=true",
                                    "application/x-www-form-urlencoded");
            ASSERT_TRUE(reply) << row.host;
            EXPECT_EQ(reply->status, row.status) << row.host << ": " << reply->body;
            if (row.status == 403) {
                EXPECT_NE(reply->body.find("attacker.example"), std::string::npos);
                // Before the size bound, too: a foreign name learns nothing else of the server.
                auto large = client.Put("/api/v1/switch/0/connected", {{"Host", row.host}},
                                        std::string(REQUEST_BODY_MAX + 1, 'x'), "application/x-www-form-urlencoded");
                ASSERT_TRUE(large);
                EXPECT_EQ(large->status, 403);
            }
        }
        for (int k = 0; k < 60; ++k) ASSERT_EQ(client.Get("/management/apiversions")->status, 200) << k;
        // A PUT without a body (no length, no chunks) is answered at once, with its reason.
        const auto asked = TestClock::now();
        const std::string bare = raw_exchange(port, "PUT /api/v1/switch/0/connect HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(bare.rfind("HTTP/1.1 400", 0), 0u) << bare;
        EXPECT_NE(bare.find("no body"), std::string::npos) << bare;
        EXPECT_LT(seconds_since(asked), time_bound(1.0));
    });
}

TEST_F(AlpacaServer, SlowConnectionsCannotHoldTheApiAndOneAddressHoldsItsShareAtMost)
{
    request_deadline_ms = 3000;
    start();
    serve([&] {
        SlowClients slow;  // more than a thread per connection could carry
        slow.start(port, 48);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (int k = 0; k < 10; ++k) {
            const auto asked = TestClock::now();
            const std::string answer =
                raw_exchange(port, "GET /management/apiversions HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
            EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << k << ": " << answer;
            EXPECT_LT(seconds_since(asked), 0.5) << k;
        }
        // One address: its connections past the bound are closed as they come, the others when
        // the deadline for a request passes without one; then it is served again.
        std::vector<int> held;
        for (int k = 0; k < CONNECTIONS_PER_ADDRESS + 4; ++k) held.push_back(connect_from("127.0.0.200", port));
        auto closed = [&] {
            int count = 0;
            for (int fd : held) count += fd < 0 || closed_by_server(fd);
            return count;
        };
        eventually(2, [&] { return closed() >= 4; });
        EXPECT_EQ(closed(), 4);
        EXPECT_TRUE(eventually(request_deadline_ms / 1000.0 + 3, [&] { return closed() == CONNECTIONS_PER_ADDRESS + 4; }));
        for (int fd : held) ::close(fd);
        const int again = connect_from("127.0.0.200", port);
        send_text(again, "GET /management/apiversions HTTP/1.1\r\nHost: localhost\r\n\r\n");
        EXPECT_EQ(read_answers(again, 2).rfind("HTTP/1.1 200", 0), 0u);
        ::close(again);
    });
}

// Sends head, then filler again and again (at most 4 MiB) until the server answers; returns the
// bytes sent by then and the answer's first line in status.
long send_until_answered(int port, const std::string& head, const std::string& filler, std::string& status)
{
    const int fd = connect_from("127.0.0.1", port);
    const int buffer_size = 16 * 1024;  // so that what was sent is near what the server took
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    std::string data = head;
    long sent = 0;
    const auto start = TestClock::now();
    while (sent < (4L << 20) && seconds_since(start) < 10) {
        pollfd p{fd, POLLIN | POLLOUT, 0};
        if (::poll(&p, 1, 100) < 1) continue;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[128] = {};
            const ssize_t n = ::recv(fd, buffer, sizeof buffer - 1, 0);
            status = n > 0 ? std::string(buffer, std::strcspn(buffer, "\r")) : "(closed)";
            break;
        }
        if (data.empty()) data = filler;
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n > 0) data.erase(0, static_cast<size_t>(n)), sent += n;
    }
    ::close(fd);
    return sent;
}

TEST_F(AlpacaServer, HeadersAndBodiesAreBoundedAsTheyArriveWhateverTheirEncoding)
{
    start();
    const std::string put = "PUT /api/v1/switch/0/setswitchvalue HTTP/1.1\r\nHost: localhost\r\n"
                            "Content-Type: application/x-www-form-urlencoded\r\n";
    struct Row {
        const char* what;
        std::string head, filler;
        const char* status;
    } rows[] = {
        {"endless header", "GET / HTTP/1.1\r\nHost: localhost\r\n", "X-Pad: " + std::string(1000, 'a') + "\r\n", "HTTP/1.1 431"},
        {"endless request line", "GET /", std::string(1000, 'a'), "HTTP/1.1 431"},
        {"endless chunked body", put + "Transfer-Encoding: chunked\r\n\r\n", "400\r\n" + std::string(1024, 'x') + "\r\n", "HTTP/1.1 413"},
        {"a length past the bound", put + "Content-Length: 100000000\r\n\r\n", std::string(1024, 'x'), "HTTP/1.1 413"},
    };
    serve([&] {
        for (const Row& row : rows) {
            std::string status;
            const long sent = send_until_answered(port, row.head, row.filler, status);
            EXPECT_EQ(status.substr(0, 12), row.status) << row.what << ": " << status;
            EXPECT_LT(sent, 1L << 20) << row.what;  // the bound and what the sockets' buffers hold
        }
        // A chunked body within the bound is read as any other.
        const std::string chunked = raw_exchange(port, put + "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                                                             "5\r\nId=1&\r\n9\r\nValue=0.1\r\n0\r\n\r\n");
        EXPECT_EQ(chunked.rfind("HTTP/1.1 200", 0), 0u) << chunked;
        EXPECT_NE(chunked.find("\"ErrorNumber\":1031"), std::string::npos) << chunked;  // not connected: read whole
    });
}

TEST_F(AlpacaServer, PipelinedRequestsAreAllAnsweredInOrder)
{
    start();
    serve([&] {
        const int fd = connect_from("127.0.0.1", port);
        const std::string form = "Connected=true&ClientTransactionID=2";
        // A write between two reads: the read after it waits for it.
        ASSERT_TRUE(send_text(fd, "GET /management/apiversions?ClientTransactionID=1 HTTP/1.1\r\nHost: localhost\r\n\r\n"
                                  "PUT /api/v1/switch/0/connected HTTP/1.1\r\nHost: localhost\r\n"
                                  "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                      std::to_string(form.size()) + "\r\n\r\n" + form +
                                      "GET /api/v1/switch/0/connected?ClientTransactionID=3 HTTP/1.1\r\nHost: localhost\r\n\r\n"));
        const std::string answers = read_answers(fd, 30, 3);
        ::close(fd);
        size_t at = 0;
        for (const char* expected :
             {"\"ClientTransactionID\":1", "\"ClientTransactionID\":2", "\"Value\":true,\"ClientTransactionID\":3"}) {
            at = answers.find(expected, at);
            ASSERT_NE(at, std::string::npos) << expected << " in " << answers;
        }
    });
}

TEST_F(AlpacaServer, ClientsConnectingOneFilterAtOnceAllHearItConnected)
{
    start();
    serve([&] {
        constexpr int CLIENTS = 12;
        std::vector<std::thread> clients;
        std::atomic<int> connected{0};
        for (int k = 0; k < CLIENTS; ++k)
            clients.emplace_back([&] {
                Json reply = put("/api/v1/switch/0/connected", "Connected=true");
                connected += reply.is_object() && reply["ErrorNumber"] == 0;
            });
        for (std::thread& t : clients) t.join();
        EXPECT_EQ(connected, CLIENTS);
    });
}

TEST_F(AlpacaServer, AFullQueueAnswersAtOnceAndDisconnectingCancelsWhatWaits)
{
    write_wait_ms = 30000;
    start();
    serve([&] {
        connect_filter(0);
        SimFaults silent;
        silent.silent = 1;
        sim_set_faults(0, silent);
        std::vector<std::thread> writers;
        std::mutex mutex;
        std::vector<Json> answers;
        for (int k = 0; k < WRITE_QUEUE_MAX + 2; ++k) {
            writers.emplace_back([&, k] {
                Json reply = put("/api/v1/switch/0/setswitchvalue", "Id=1&Value=0." + std::to_string(k % 9 + 1));
                std::lock_guard<std::mutex> lock(mutex);
                answers.push_back(reply);
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(30));  // in order
        }
        // The two past the bound are answered while the others still wait.
        ASSERT_TRUE(eventually(5, [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return answers.size() >= 2;
        }));
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const Json& a : answers) EXPECT_EQ(a["ErrorNumber"], ALPACA_INVALID_OPERATION) << a.dump();
        }
        const auto asked = TestClock::now();
        EXPECT_EQ(put("/api/v1/switch/0/connected", "Connected=false")["ErrorNumber"], 0);
        const double disconnect_s = seconds_since(asked);
        for (std::thread& t : writers) t.join();
        std::printf("disconnect behind %d queued settings to a silent filter: %.0f ms\n", WRITE_QUEUE_MAX,
                    disconnect_s * 1000);
        EXPECT_LT(disconnect_s, time_bound(1.5));
        int cancelled = 0;
        for (const Json& a : answers)
            cancelled += a["ErrorMessage"].get<std::string>().find("cancelled") != std::string::npos;
        EXPECT_GE(cancelled, WRITE_QUEUE_MAX - 1);  // the running one may have ended on its own
        sim_set_faults(0, SimFaults{});
    });
}

TEST_F(AlpacaServer, TheSetupPageGivesAFreeSlotAListedPortAndSavesItBesideTheWindowsSettings)
{
    served = 3;
    start();
    write_file("solvane.ini", "COM1\r\nCOM2\r\nCOM3\r\n\r\n10.0 30.0 10.0 10.0 1 0 1\r\n");
    serve([&] {
        Json choices = get("/setup/v1/switch/3/ports");
        EXPECT_EQ(choices["port"], "");
        EXPECT_EQ(choices["changeable"], true);
        EXPECT_EQ(choices["saves"], true);
        EXPECT_EQ(choices["ports"], Json::parse(R"([{"name":"COM1","filter":1},{"name":"COM2","filter":2},)"
                                                R"({"name":"COM3","filter":3},{"name":"COM4","filter":null}])"));
        connect_filter(0);
        struct Row {
            int device;
            const char* form;
            int status;
            const char* said;
        } rows[] = {{3, "Port=/dev/zero", 400, "'/dev/zero' is not one of the serial ports this computer lists."},
                    {3, "Port=COM1", 409, "COM1 is the port of filter 1 already."},
                    {0, "Port=COM4", 409, "Filter 1 is connected: disconnect it before choosing another port."},
                    {3, "port=COM4", 400, "Name the port as Port=NAME in the form body.\n"},
                    {3, "Port=COM4", 200, "Filter 4 uses COM4 from now on, saved in solvane.ini."}};
        for (const Row& row : rows) {
            httplib::Client client("127.0.0.1", port);
            auto reply = client.Put(("/setup/v1/switch/" + std::to_string(row.device) + "/port").c_str(), row.form,
                                    "application/x-www-form-urlencoded");
            ASSERT_TRUE(reply) << row.form;
            EXPECT_EQ(reply->status, row.status) << row.form << ": " << reply->body;
            const std::string said = reply->get_header_value("Content-Type").rfind("application/json", 0) == 0
                                         ? Json::parse(reply->body)["message"].get<std::string>()
                                         : reply->body;
            EXPECT_EQ(said, row.said) << row.form;
        }
        // Device 3 is served from now on and reaches the filter on COM4.
        EXPECT_EQ(get("/management/v1/configureddevices")["Value"].size(), 4u);
        connect_filter(3);
        EXPECT_EQ(put("/api/v1/switch/3/setswitch", "Id=0&State=true")["ErrorNumber"], 0);
        EXPECT_EQ(sim_received(3), Strings{"SH0\n"});
        httplib::Client client("127.0.0.1", port);
        EXPECT_EQ(client.Put("/setup/v1/switch/4/port", "Port=COM4", "application/x-www-form-urlencoded")->status, 404);
    });
    // The window's other settings (filter 2's zoom among them) stay as they were.
    EXPECT_EQ(read_file("solvane.ini"), "COM1\r\nCOM2\r\nCOM3\r\nCOM4\r\n10.0 30.0 10.0 10.0 1 0 1\r\n");
}

TEST_F(AlpacaServer, TheProgramServesThePortsOfSolvaneIniAndEndsOnSigtermWhateverItsClientsDo)
{
    start();
    // The program in a directory of its own, with SolvaneControl's settings file.
    const std::string program_dir = make_temp_dir();
    write_file(program_dir + "/solvane.ini", "COM3\r\n\r\nCOM4\r\nCOM\r\n10.0 30.0 10.0 10.0 1 0 1\r\n");
    EXPECT_EQ(run_program(SOLVANE_ALPACA_PATH, {"--port", "0", "--interval", "999"}).exit_code, 2);
    Child child = spawn(SOLVANE_ALPACA_PATH, {"--port", "0", "--discovery-port", "0"}, program_dir);
    ASSERT_GT(child.pid, 0);
    const std::string output = read_until(child, "listening on", 20);
    const size_t at = output.find("http://127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << output;
    const int program_port = std::stoi(output.substr(at + 17));
    httplib::Client client("127.0.0.1", program_port);
    auto devices = client.Get("/management/v1/configureddevices");
    ASSERT_TRUE(devices);
    Json value = Json::parse(devices->body)["Value"];
    ASSERT_EQ(value.size(), 2u);  // the line "COM" names no port
    EXPECT_EQ(value[0]["DeviceName"], "Solvane filter 1 (COM3)");
    EXPECT_EQ(value[1]["DeviceNumber"], 2);
    client.set_read_timeout(40, 0);
    auto connected = client.Put("/api/v1/switch/2/connected", "Connected=true", "application/x-www-form-urlencoded");
    ASSERT_TRUE(connected);
    EXPECT_EQ(Json::parse(connected->body)["ErrorNumber"], 0) << connected->body;
    // SIGTERM ends it at once, though a client is still sending and another holds its
    // connection open.
    SlowClients slow;
    slow.start(program_port, 1);
    const int idle = connect_from("127.0.0.1", program_port);
    send_text(idle, "GET /management/apiversions HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(read_answers(idle, 5).rfind("HTTP/1.1 200", 0), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto asked = TestClock::now();
    ::kill(child.pid, SIGTERM);
    EXPECT_EQ(wait_exit(child.pid, 15), 0);
    EXPECT_LT(seconds_since(asked), 2.0);
    ::close(idle);
    ::close(child.out);
    // It let go of the port: another program connects the same filter at once.
    serve([&] { connect_filter(2); });
}

TEST_F(AlpacaServer, ThePageInABrowserShowsThePanelsAndItsControlsReachTheFilter)
{
    struct Row {
        const char* path;
        const char* fragment;  // what the page presses (and types first)
        const char* bytes;     // what reaches filter 1, or nullptr
        const char* port_4;    // filter 4's port afterwards
    };
    const Row rows[] = {{"/", "press=heater-on-0", "SH0\n", ""},
                        {"/", "shift-entry-0=-0.35&press=shift-set-0", "SE-3\n", ""},  // cut toward zero, as everywhere
                        {"/setup/v1/switch/3/setup", "port-select=COM4&press=port-use", nullptr, "COM4"}};
    served = 3;
    start();
    std::vector<std::string> doms;
    std::string png;
    serve([&] {
        connect_filter(0);
        ASSERT_TRUE(eventually(10, [] { return service_panel_version(0) >= 2; }));  // drawn after the connection
        for (const Row& row : rows) {
            sim_clear_received(0);
            const std::string profile = make_temp_dir();
            Child browser = spawn("/usr/bin/chromium",
                                  {"--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                                   "--disable-component-update", "--disable-sync", "--no-first-run",
                                   "--force-device-scale-factor=2", "--user-data-dir=" + profile, "--virtual-time-budget=10000", "--dump-dom",
                                   "http://127.0.0.1:" + std::to_string(port) + row.path + "#" + row.fragment},
                                  "", true);
            ASSERT_GT(browser.pid, 0);
            doms.push_back(read_until(browser, "</html>", 60));
            EXPECT_EQ(wait_exit(browser.pid, 30), 0);
            ::close(browser.out);
            EXPECT_TRUE(eventually(15, [&] {
                Strings bytes = sim_received(0);
                return row.bytes == nullptr || std::find(bytes.begin(), bytes.end(), row.bytes) != bytes.end();
            })) << row.fragment << "\n" << doms.back();
            EXPECT_EQ(std::string(service_view().slot[3].port_name), row.port_4) << row.fragment << "\n" << doms.back();
        }
        // The browser's screen has two device pixels to a pixel: the picture is drawn for it at
        // the next update, and served so to every page while that page looks.
        httplib::Client client("127.0.0.1", port);
        EXPECT_TRUE(eventually(15, [&] {
            auto picture = client.Get("/panel/0.png?v=1&ratio=2");
            if (!picture || picture->get_header_value("Content-Type") != "image/png") return false;
            png = picture->body;
            QImage image;
            return image.loadFromData(reinterpret_cast<const uchar*>(png.data()), static_cast<int>(png.size()), "PNG") &&
                   image.size() == QSize(797 * 2, 258 * 2);
        }));
    });
    ASSERT_EQ(doms.size(), std::size(rows));
    const std::string& dom = doms[0];
    EXPECT_NE(dom.find("data-pressed=\"heater-on-0\""), std::string::npos) << dom;
    EXPECT_NE(dom.find("H-a 0.7A PRO"), std::string::npos);
    EXPECT_NE(dom.find("<dt>Data</dt><dd>"), std::string::npos) << "each filter says how old its values are";
    // The browser loaded and decoded the panel picture of the connected filter.
    const size_t panel = dom.find("id=\"panel-0\"");
    ASSERT_NE(panel, std::string::npos);
    const size_t tag_end = dom.find('>', panel);
    const size_t tag_start = dom.rfind('<', panel);
    EXPECT_NE(dom.substr(tag_start, tag_end - tag_start).find("data-loaded=\"1\""), std::string::npos) << dom;
    EXPECT_EQ(sim_snapshot(0).sleeping, 0);
    EXPECT_EQ(sim_snapshot(0).wing_shift_tenths, -3);
    EXPECT_NE(doms[2].find("Filter 4 uses COM4 from now on, saved in solvane.ini."), std::string::npos) << doms[2];

    EXPECT_NE(dom.find("&amp;ratio=2"), std::string::npos) << "the page asks for its screen's pixel ratio";
    QImage image;
    ASSERT_TRUE(image.loadFromData(reinterpret_cast<const uchar*>(png.data()), static_cast<int>(png.size()), "PNG"));
    ASSERT_EQ(image.size(), QSize(797 * 2, 258 * 2));
    // A point of the solar strip (the Sun's spectrum over the span) is coloured, not white.
    EXPECT_NE(image.pixel(2 * 334, 2 * 130) & 0xFFFFFF, 0xFFFFFFu);
}

// The history through the real server: every poll of a connected filter, the mark of every setting
// a client sent and of none refused, as JSON within the bounds asked for, and as a CSV download.
TEST_F(AlpacaServer, TheHistoryHoldsEveryPollAndEverySettingAndReadsBackAsJsonAndCsv)
{
    start(1000);
    serve([&] {
        connect_filter(0);
        struct Setting {
            int device;
            const char* form;
            int error;
        } settings[] = {{0, "Id=0&Value=1", 0},
                        {0, "Id=1&Value=0.3", 0},
                        {1, "Id=1&Value=0.3", 0x407},  // not connected: refused, no mark
                        {0, "Id=1&Value=1.5", 0x401},  // out of range: refused, no mark
                        {0, "Id=2&Value=1", 0}};
        for (const Setting& row : settings)
            EXPECT_EQ(put("/api/v1/switch/" + std::to_string(row.device) + "/setswitchvalue", row.form)["ErrorNumber"],
                      row.error) << row.form;
        ASSERT_TRUE(eventually(time_bound(20), [&] { return get("/history/0.json")["held"] >= 6; }));

        const Json full = get("/history/0.json?max=5000");
        EXPECT_EQ(full["format"], HISTORY_FORMAT);
        const Json& samples = full["samples"];
        ASSERT_GE(samples.size(), 6u);
        for (size_t k = 1; k < samples.size(); ++k) EXPECT_LE(samples[k - 1][0], samples[k][0]) << "in time order";
        EXPECT_EQ(samples.back()[3], 0.3) << "the wing shift the client set";
        EXPECT_EQ(samples.back()[8], 0) << "awake";
        Strings commands;
        for (const Json& mark : full["marks"])
            if (mark["kind"] == "command") commands.push_back(mark["text"]);
        EXPECT_EQ(commands, (Strings{"Wake", "Wing shift +0.3 A", "Lock panel"}));
        EXPECT_TRUE(get("/history/1.json")["marks"].empty()) << "nothing refused leaves a mark";
        get("/history/0.json?max=0", 400);

        httplib::Client client("127.0.0.1", port);
        auto csv = client.Get("/history.csv");
        ASSERT_TRUE(csv);
        EXPECT_EQ(csv->status, 200);
        EXPECT_EQ(csv->get_header_value("Content-Type"), "text/csv; charset=utf-8");
        EXPECT_TRUE(std::regex_match(csv->get_header_value("Content-Disposition"),
                                     std::regex(R"(attachment; filename="solvane-history-\d{4}-\d\d-\d\dT\d{4}Z\.csv")")))
            << csv->get_header_value("Content-Disposition");
        EXPECT_EQ(csv->body.rfind(history_csv(nullptr), 0), 0u) << "the header first";
        EXPECT_GE(static_cast<size_t>(std::count(csv->body.begin(), csv->body.end(), '\n')), samples.size() + 1);
        // The marks in the last column, in the order sent (those of one poll's interval share a row).
        size_t mark_at = 0;
        for (const char* mark : {"Wake", "Wing shift +0.3 A", "Lock panel"}) {
            mark_at = csv->body.find(mark, mark_at);
            ASSERT_NE(mark_at, std::string::npos) << mark << "\n" << csv->body;
        }
    });
}

// History files are large (a day of four filters is about 20 MB): clients that ask and never read
// hold at most HISTORY_CSV_AT_ONCE of them, the next hears so at once, and a turn comes back when
// its client has gone.
TEST_F(AlpacaServer, HistoryFilesInFlightAreBoundedAndComeBackWhenTheirClientsGo)
{
    start();
    FilterRecord record;
    record.connected = 1;
    record.sleeping = 0;
    const std::int64_t now = history_now_ms();
    for (int n = 0; n < SLOT_COUNT; ++n)
        for (std::int64_t k = 0; k < static_cast<std::int64_t>(HISTORY_SAMPLES_DEFAULT); ++k)
            history_add_poll(service_history().get(), n, record, now - (86400 - k) * 1000);
    serve([&] {
        std::vector<int> stalled;
        for (int k = 0; k < 2; ++k) {
            stalled.push_back(connect_from("127.0.0.1", port));
            ASSERT_GE(stalled.back(), 0);
            ASSERT_TRUE(send_text(stalled.back(), "GET /history.csv HTTP/1.1\r\nHost: localhost\r\n\r\n"));
            // Its file is on its way once the status line arrives; it is read no further.
            std::string status;
            pollfd p{stalled.back(), POLLIN, 0};
            const auto asked = TestClock::now();
            char buffer[12];
            while (status.size() < sizeof buffer && seconds_since(asked) < time_bound(60)) {
                if (::poll(&p, 1, 50) != 1) continue;
                const ssize_t n = ::recv(stalled.back(), buffer, sizeof buffer - status.size(), 0);
                if (n <= 0) break;
                status.append(buffer, static_cast<size_t>(n));
            }
            ASSERT_EQ(status, "HTTP/1.1 200");
        }
        httplib::Client client("127.0.0.1", port);
        // A client that gave up would leave its file in flight and hold a turn in its turn: it
        // waits as long as the bound below.
        client.set_read_timeout(std::chrono::seconds(60));
        // Generous bounds: a day's file takes about 0.6 s to write on a quiet machine, several
        // seconds under a sanitizer on a loaded one.
        EXPECT_TRUE(eventually(time_bound(30), [&] {
            auto reply = client.Get("/history.csv");
            return reply && reply->status == 503 && reply->get_header_value("Retry-After") == "5";
        }));
        for (int fd : stalled) ::close(fd);
        EXPECT_TRUE(eventually(time_bound(60), [&] {
            auto reply = client.Get("/history.csv");
            return reply && reply->status == 200 && reply->body.size() > 10000000;
        }));
    });
}

// The page's plots in a real browser: a plot of each quantity for every connected filter, its
// first curve drawn where the data are; without the charting package the page says what the
// plots need and shows the rest.
TEST_F(AlpacaServer, ThePagePlotsEachFiltersHistoryOrSaysWhatThePlotsNeed)
{
    served = 2;
    start(1000);
    std::vector<std::string> doms;
    const std::string missing = make_temp_dir() + "/chart.min.js";
    const std::string scripts[] = {CHART_JS_FILE, missing};
    serve([&] {
        for (int device = 0; device < 2; ++device) {
            connect_filter(device);
            put("/api/v1/switch/" + std::to_string(device) + "/setswitch", "Id=0&State=true");
        }
        ASSERT_TRUE(eventually(time_bound(20), [&] {
            return get("/history/0.json")["held"] >= 8 && get("/history/1.json")["held"] >= 8;
        }));
        for (const std::string& script : scripts) {
            http_stop();
            HttpOptions options = http_options;
            options.port = port;
            options.chart_js_file = script;
            std::string error;
            ASSERT_EQ(http_start(options, error), port) << error;
            const std::string profile = make_temp_dir();
            Child browser = spawn("/usr/bin/chromium",
                                  {"--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                                   "--disable-component-update", "--disable-sync", "--no-first-run",
                                   "--window-size=412,900", "--user-data-dir=" + profile,
                                   "--virtual-time-budget=10000", "--dump-dom", "http://127.0.0.1:" + std::to_string(port) + "/"},
                                  "", true);
            ASSERT_GT(browser.pid, 0);
            doms.push_back(read_until(browser, "</html>", 60));
            EXPECT_EQ(wait_exit(browser.pid, 30), 0);
            ::close(browser.out);
        }
    });
    ASSERT_EQ(doms.size(), std::size(scripts));
    // The value of attribute name in the tag that carries id.
    auto attribute = [](const std::string& dom, const std::string& id, const std::string& name) {
        const size_t at = dom.find("id=\"" + id + "\"");
        if (at == std::string::npos) return std::string();
        const size_t start = dom.rfind('<', at), end = dom.find('>', at);
        const std::string tag = dom.substr(start, end - start);
        const size_t value = tag.find(" " + name + "=\"");
        if (value == std::string::npos) return std::string();
        const size_t from = value + name.size() + 3;
        return tag.substr(from, tag.find('"', from) - from);
    };
    for (int device = 0; device < 2; ++device) {
        for (const char* plot : {"temperature", "power", "passband"}) {
            const std::string id = std::string("plot-") + plot + "-" + std::to_string(device);
            const std::string png = attribute(doms[0], id, "data-png");
            ASSERT_EQ(png.rfind("data:image/png;base64,", 0), 0u) << id << "\n" << doms[0];
            const QByteArray bytes = QByteArray::fromBase64(QByteArray::fromStdString(png.substr(22)));
            QImage image;
            ASSERT_TRUE(image.loadFromData(bytes, "PNG")) << id;
            const QColor colour(QString::fromStdString(attribute(doms[0], id, "data-colour")));
            const Json points = Json::parse(attribute(doms[0], id, "data-at"));
            ASSERT_EQ(points.size(), 3u) << id;
            for (const Json& point : points) {
                // The curve's colour within a few pixels of each point (the line is 2 px wide).
                bool inked = false;
                for (int dy = -3; dy <= 3 && !inked; ++dy)
                    for (int dx = -3; dx <= 3 && !inked; ++dx) {
                        const int x = point[0].get<int>() + dx, y = point[1].get<int>() + dy;
                        if (!image.rect().contains(x, y)) continue;
                        const QColor seen = image.pixelColor(x, y);
                        inked = seen.alpha() > 128 && std::abs(seen.red() - colour.red()) < 48 &&
                                std::abs(seen.green() - colour.green()) < 48 && std::abs(seen.blue() - colour.blue()) < 48;
                    }
                EXPECT_TRUE(inked) << id << " at " << point.dump();
            }
        }
    }
    EXPECT_NE(doms[0].find("id=\"history-note-0\"></div>"), std::string::npos) << doms[0];
    const std::string& without = doms[1];
    EXPECT_NE(without.find("id=\"history-note-0\">The plots need the package libjs-chart.js on the server.</div>"),
              std::string::npos) << without;
    EXPECT_EQ(without.find("data-png="), std::string::npos);
    EXPECT_NE(without.find("H-a 0.7A PRO"), std::string::npos) << "the rest of the page works on";
    EXPECT_NE(without.find("<dt>Temperature</dt>"), std::string::npos);
}

// Runs one job on a line and returns its result (a cancelled one after 60 s).
LineResult run_one(FilterLines* lines, int line, const LineJob& job)
{
    const std::uint64_t id = line_submit(lines, line, job);
    std::vector<LineResult> taken;
    const auto start = TestClock::now();
    while (seconds_since(start) < 60) {
        lines_wait(lines, 50);
        lines_take_results(lines, taken);
        for (const LineResult& r : taken)
            if (r.id == id) return r;
    }
    LineResult none;
    none.cancelled = 1;
    return none;
}

size_t count_of(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Slots named alpaca://: the filter lines run their jobs through this server and hand back what a
// serial line would: the server's record, the setting's bytes at the filter, and a server that is
// gone, or whose filter stopped answering, as a filter that stopped answering, with one
// serial_error.log record for each outage, until the next update that is answered.
TEST_F(AlpacaServer, ServedSlotsRunTheLinesJobsThroughTheServer)
{
    start();
    serve([&] {
        auto name = [&](int n) { return "alpaca://127.0.0.1:" + std::to_string(port) + "/" + std::to_string(n); };
        FilterLines* lines = lines_make(SLOT_COUNT);
        for (int n = 0; n < SLOT_COUNT; ++n) {
            const LineResult r = run_one(lines, n, connect_job(name(n).c_str()));
            EXPECT_EQ(r.answered, 1) << read_file("serial_error.log");
            EXPECT_EQ(r.record.connected, 1);
            EXPECT_EQ(record_json(r.record), record_json(service_view().slot[n].record));
        }
        struct Row {
            FilterSetting setting;
            double value;
            SettingPoll poll;
            Strings bytes;
        } rows[] = {{SETTING_WING_SHIFT, 0.3, POLL_AS_ROW, {"SE3\n", "GI\n"}},
                    {SETTING_WING_SHIFT, -0.25, POLL_NEVER, {"SE-2\n"}},
                    {SETTING_SLEEP, 0, POLL_AS_ROW, {"SH0\n"}},
                    {SETTING_PANEL_LOCK, 1, POLL_ALWAYS, {"SL1\n", "GI\n"}}};
        for (const Row& row : rows) {
            sim_clear_received(1);
            const LineResult r = run_one(lines, 1, setting_job(row.setting, row.value, row.poll));
            EXPECT_EQ(r.acknowledged, 1);
            EXPECT_EQ(sim_received(1), row.bytes);
            EXPECT_EQ(record_json(r.record), record_json(service_view().slot[1].record));
        }
        EXPECT_EQ(run_one(lines, 1, simple_job(JOB_TICK)).record.wing_shift, -0.2);

        // The server's filter stops answering: the slot reads so, and says why once.
        SimFaults silent;
        silent.silent = 1;
        sim_set_faults(2, silent);
        run_one(lines, 2, setting_job(SETTING_PANEL_LOCK, 1, POLL_ALWAYS));
        for (int k = 0; k < 2; ++k) EXPECT_EQ(run_one(lines, 2, simple_job(JOB_TICK)).answered, 0);
        EXPECT_EQ(count_of(read_file("serial_error.log"), name(2) + ": the server reports that its filter stopped answering"), 1u);
        sim_set_faults(2, SimFaults{});

        // The server goes: the same, and the slot answers again once it is back on its port.
        http_stop();
        for (int k = 0; k < 3; ++k) {
            const LineResult r = run_one(lines, 0, simple_job(JOB_TICK));
            EXPECT_EQ(r.answered, 0);
            EXPECT_EQ(r.record.status_code, STATUS_NO_COMMUNICATION);
            EXPECT_EQ(r.record.connected, 1);  // the slot keeps its filter, as a silent port does
        }
        const std::string log = read_file("serial_error.log");
        EXPECT_EQ(count_of(log, name(0) + ": the server could not be reached: Connection refused.\n"), 1u) << log;
        HttpOptions http;
        http.port = port;
        http.rate_per_second = 0;
        http.log_writes = 0;
        std::string error;
        ASSERT_EQ(http_start(http, error), port) << error;
        EXPECT_EQ(run_one(lines, 0, simple_job(JOB_TICK)).answered, 1);
        EXPECT_EQ(count_of(read_file("serial_error.log"), name(0)), 1u);
        lines_end(lines);
    });
}

}  // namespace
