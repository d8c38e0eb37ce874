// The Alpaca server end to end against simulated filters on pseudo-terminals: the service, the HTTP
// server and discovery run in this process (the main thread runs the Qt loop, as in the program),
// clients talk to them over the loopback from a thread of their own, and the simulator shows the
// exact bytes each filter received. One test runs the program itself; one drives the status page
// in a real headless browser.
#include "alpaca/discovery.h"
#include "alpaca/filter_service.h"
#include "alpaca/http_server.h"
#include "link/filter_settings.h"
#include "link/remote_link.h"
#include "sim/simulator.h"
#include "tests/support/test_support.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QImage>
#include <QTimer>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <csignal>
#include <functional>
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
        for (int n = 0; n < SLOT_COUNT; ++n) service.ports[n] = "COM" + std::to_string(n + 1);
        service.interval_ms = interval_ms;
        ASSERT_EQ(service_start(service), 1);
        HttpOptions http;
        http.port = 0;
        http.rate_per_second = rate;
        http.rate_loopback_clients = rate_loopback;
        http.write_wait_ms = write_wait_ms;
        http.allowed_hosts = {"dome.example"};
        http.page_test_hooks = 1;
        http.log_writes = 0;
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
            if (std::string(row.member) == "action") EXPECT_EQ(reply["Value"], row.bytes[0].substr(0, 3));
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
        EXPECT_LT(seconds_since(asked), 1.0);
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
        EXPECT_LT(disconnect_s, 1.5);
        int cancelled = 0;
        for (const Json& a : answers)
            cancelled += a["ErrorMessage"].get<std::string>().find("cancelled") != std::string::npos;
        EXPECT_GE(cancelled, WRITE_QUEUE_MAX - 1);  // the running one may have ended on its own
        sim_set_faults(0, SimFaults{});
    });
}

TEST_F(AlpacaServer, TheProgramServesThePortsOfSolvaneIniAndEndsOnSigterm)
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
    ::kill(child.pid, SIGTERM);
    EXPECT_EQ(wait_exit(child.pid, 15), 0);
    ::close(child.out);
    // It let go of the port: another program connects the same filter at once.
    serve([&] { connect_filter(2); });
}

TEST_F(AlpacaServer, ThePageInABrowserShowsThePanelsAndAButtonReachesTheFilter)
{
    start();
    std::string dom;
    std::string png;
    serve([&] {
        connect_filter(0);
        ASSERT_TRUE(eventually(10, [] { return service_panel_version(0) >= 2; }));  // drawn after the connection
        sim_clear_received(0);
        const std::string profile = make_temp_dir();
        Child browser = spawn("/usr/bin/chromium",
                              {"--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                               "--disable-component-update", "--disable-sync", "--no-first-run",
                               "--user-data-dir=" + profile, "--virtual-time-budget=10000", "--dump-dom",
                               "http://127.0.0.1:" + std::to_string(port) + "/#press=heater-on-0"},
                              "", true);
        ASSERT_GT(browser.pid, 0);
        dom = read_until(browser, "</html>", 60);
        EXPECT_EQ(wait_exit(browser.pid, 30), 0);
        ::close(browser.out);
        EXPECT_TRUE(eventually(15, [] {
            Strings bytes = sim_received(0);
            return std::find(bytes.begin(), bytes.end(), "SH0\n") != bytes.end();
        })) << dom;
        httplib::Client client("127.0.0.1", port);
        auto picture = client.Get("/panel/0.png");
        ASSERT_TRUE(picture);
        EXPECT_EQ(picture->get_header_value("Content-Type"), "image/png");
        png = picture->body;
    });
    EXPECT_NE(dom.find("data-pressed=\"heater-on-0\""), std::string::npos) << dom;
    EXPECT_NE(dom.find("H-a 0.7A PRO"), std::string::npos);
    // The browser loaded and decoded the panel picture of the connected filter.
    const size_t panel = dom.find("id=\"panel-0\"");
    ASSERT_NE(panel, std::string::npos);
    const size_t tag_end = dom.find('>', panel);
    const size_t tag_start = dom.rfind('<', panel);
    EXPECT_NE(dom.substr(tag_start, tag_end - tag_start).find("data-loaded=\"1\""), std::string::npos) << dom;
    EXPECT_EQ(sim_snapshot(0).sleeping, 0);

    QImage image;
    ASSERT_TRUE(image.loadFromData(reinterpret_cast<const uchar*>(png.data()), static_cast<int>(png.size()), "PNG"));
    EXPECT_EQ(image.size(), QSize(797, 258));
    // A point of the solar strip (the Sun's spectrum over the span) is coloured, not white.
    EXPECT_NE(image.pixel(334, 130) & 0xFFFFFF, 0xFFFFFFu);
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
