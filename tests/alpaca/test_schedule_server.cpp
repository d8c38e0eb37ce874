// The schedule in the real server: solvane-alpaca started with a wake and a sleep a moment ahead
// wakes the simulated filter and puts it back to sleep by itself, and --print-schedule prints what
// the schedule will do without opening a port.
#include "alpaca/filter_service.h"
#include "alpaca/http_server.h"
#include "alpaca/schedule.h"
#include "sim/simulator.h"
#include "tests/support/test_support.h"

#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <csignal>
#include <ctime>
#include <regex>
#include <thread>

#include <unistd.h>

namespace {

// The local clock time of t as --wake takes it, to the second.
std::string clock_text(std::int64_t t)
{
    const std::time_t time = static_cast<std::time_t>(t);
    std::tm tm{};
    localtime_r(&time, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &tm);
    return text;
}

bool received(int filter, const std::string& bytes)
{
    const std::vector<std::string> got = sim_received(filter);
    return std::find(got.begin(), got.end(), bytes) != got.end();
}

// Reads the program's log on into log until it holds text (bounded): what an earlier read took
// along counts.
bool log_holds(const Child& child, std::string& log, const std::string& text, double seconds)
{
    const auto start = TestClock::now();
    while (log.find(text) == std::string::npos && seconds_since(start) < seconds) log += read_until(child, "\n", 0.2);
    return log.find(text) != std::string::npos;
}

// Waits (bounded) for a simulated filter's state, polling the simulator.
bool sim_eventually(double seconds, int filter, int sleeping)
{
    const auto start = TestClock::now();
    while (sim_snapshot(filter).sleeping != sleeping) {
        if (seconds_since(start) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class ScheduleServer : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        dir = enter_temp_dir();
        const std::string ports = dir + "/ports";
        ::setenv("SOLVANE_PORT_DIR", ports.c_str(), 1);
        SimOptions sim;
        sim.port_dir = ports;
        sim.speed = 20;
        sim.filters = sim_preset();
        sim.filters.resize(2);
        ASSERT_EQ(sim_start(sim), 1);
    }
    void TearDown() override { sim_stop(); }
    std::string dir;
};

TEST_F(ScheduleServer, AWakeOneSecondAheadWakesTheUnconnectedFilterAndTheSleepPutsItBack)
{
    // One second ahead of the start, and one for starting the program; the sleep three later.
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    const std::string wake = clock_text(now + 2), sleep = clock_text(now + 5);
    Child child = spawn(SOLVANE_ALPACA_PATH,
                        {"--ports", "COM1,COM2", "--port", "0", "--no-discovery", "--interval", "1000", "--wake", wake,
                         "--sleep", sleep},
                        dir, true, {"QT_QPA_PLATFORM=offscreen", "TZ=UTC"});
    ASSERT_GT(child.pid, 0);
    std::string log;
    ASSERT_TRUE(log_holds(child, log, "filter 1 (connecting), filter 2 (connecting)", time_bound(20))) << log;
    EXPECT_TRUE(sim_eventually(time_bound(15), 0, 0)) << log;
    EXPECT_TRUE(sim_eventually(time_bound(15), 1, 0)) << log;
    EXPECT_TRUE(received(0, "SH0\n"));
    EXPECT_TRUE(log_holds(child, log, "schedule: sleep at", time_bound(20))) << log;
    EXPECT_TRUE(sim_eventually(time_bound(15), 0, 1)) << log;
    EXPECT_TRUE(sim_eventually(time_bound(15), 1, 1)) << log;
    EXPECT_TRUE(received(1, "SH1\n"));
    // Both events are marks in the server's history, where the page's plots show them.
    const size_t at = log.find("http://127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << log;
    httplib::Client client("127.0.0.1", std::atoi(log.c_str() + at + 17));
    const auto history = client.Get("/history/0.json");
    ASSERT_TRUE(history && history->status == 200);
    const nlohmann::json answer = nlohmann::json::parse(history->body);
    const std::string marks = answer["marks"].dump();
    EXPECT_NE(marks.find("Wake (schedule)"), std::string::npos) << marks;
    EXPECT_NE(marks.find("Sleep (schedule)"), std::string::npos) << marks;
    ::kill(child.pid, SIGTERM);
    EXPECT_EQ(wait_exit(child.pid, 15), 0);
    ::close(child.out);
    // Each event fired once: one wake and one sleep reached each filter.
    for (int filter : {0, 1}) {
        const std::vector<std::string> got = sim_received(filter);
        EXPECT_EQ(std::count(got.begin(), got.end(), "SH0\n"), 1) << filter;
        EXPECT_EQ(std::count(got.begin(), got.end(), "SH1\n"), 1) << filter;
    }
}

TEST_F(ScheduleServer, PrintScheduleNamesTheNextEventsInUtcWithoutOpeningAPort)
{
    struct Row {
        std::vector<std::string> args;
        std::string when_wake, when_sleep;  // for the expected times
        int filter_lines;
    } rows[] = {
        {{"--site", "52.37,4.89", "--wake", "sunrise-30m", "--sleep", "sunset"}, "sunrise-30m", "sunset", 0},
        {{"--site", "52.37,4.89", "--wake", "07:30", "--sleep", "noon+4h"}, "07:30", "noon+4h", 0},
        {{"--site", "-33.87,151.21", "--ready-by", "altitude10", "--sleep", "sunset-10m", "--ports", "COM1,,COM2"}, "",
         "sunset-10m", 2},
    };
    const std::regex line("(wake|sleep) \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ");
    for (const Row& row : rows) {
        std::vector<std::string> args = row.args;
        args.push_back("--print-schedule");
        const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
        const ProgramRun run = run_program(SOLVANE_ALPACA_PATH, args);
        ASSERT_EQ(run.exit_code, 0) << run.errors;
        std::vector<std::string> lines;
        for (size_t at = 0, end; (end = run.output.find('\n', at)) != std::string::npos; at = end + 1)
            lines.push_back(run.output.substr(at, end - at));
        ASSERT_GE(lines.size(), 2u + row.filter_lines) << run.output;
        EXPECT_TRUE(std::regex_match(lines[0], line)) << lines[0];
        EXPECT_TRUE(std::regex_match(lines[1], line)) << lines[1];
        Site site;
        std::string error;
        parse_site(args[1], site, error);
        When sleep;
        parse_when(row.when_sleep, sleep, error);
        EXPECT_EQ(lines[1], "sleep " + iso8601_seconds(next_event(sleep, site, before).utc_s));
        if (!row.when_wake.empty()) {
            When wake;
            parse_when(row.when_wake, wake, error);
            EXPECT_EQ(lines[0], "wake " + iso8601_seconds(next_event(wake, site, before).utc_s));
        }
        for (int n = 0; n < row.filter_lines; ++n)
            EXPECT_NE(lines[2 + n].find("45 min"), std::string::npos) << lines[2 + n];  // no heating measured yet
    }
    // Nothing was opened: the filters heard nothing.
    EXPECT_TRUE(sim_received(0).empty());
    EXPECT_TRUE(sim_received(1).empty());
    EXPECT_EQ(run_program(SOLVANE_ALPACA_PATH, {"--wake", "07:30", "--ready-by", "sunrise", "--print-schedule"}).exit_code, 2);
}

TEST_F(ScheduleServer, TheSetupPageSetsTheScheduleWhichThePageAndTheActionsThenShow)
{
    ServedProgram served = start_served(SOLVANE_ALPACA_PATH, "COM1", 0, dir);
    ASSERT_GT(served.port, 0) << served.output;
    httplib::Client client("127.0.0.1", served.port);
    const auto actions = [&] {
        auto reply = client.Get("/api/v1/switch/0/supportedactions");
        return reply ? nlohmann::json::parse(reply->body)["Value"] : nlohmann::json();
    };
    EXPECT_EQ(actions().dump().find("schedule"), std::string::npos);  // none without a schedule
    struct Row {
        const char* form;
        int status;
        const char* said;
    } rows[] = {
        {"Wake=sunrise-30m&Sleep=sunset&Site=", 400, "needs the site"},
        {"Wake=07:30&ReadyBy=08:00&Site=", 400, "give one of them"},
        {"Wake=dawn", 400, "Wake: 'dawn'"},
        {"Wake=sunrise-30m&Sleep=sunset%2B10m&Site=52.37%2C4.89&ReadyBy=", 200, "saved in solvane-site.ini"},
    };
    for (const Row& row : rows) {
        auto reply = client.Put("/setup/schedule", row.form, "application/x-www-form-urlencoded");
        ASSERT_TRUE(reply) << row.form;
        EXPECT_EQ(reply->status, row.status) << row.form << ": " << reply->body;
        EXPECT_NE(reply->body.find(row.said), std::string::npos) << row.form << ": " << reply->body;
    }
    EXPECT_EQ(read_file(dir + "/solvane-site.ini").find("site=52.37,4.89,0\nwake=sunrise-30m\nsleep=sunset+10m\n") !=
                  std::string::npos, true) << read_file(dir + "/solvane-site.ini");
    // Taken up at the next update: then listed and answered.
    const auto start = TestClock::now();
    while (actions().dump().find("schedule") == std::string::npos && seconds_since(start) < time_bound(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto reply = client.Put("/api/v1/switch/0/action", "Action=schedule&Parameters=", "application/x-www-form-urlencoded");
    ASSERT_TRUE(reply);
    const nlohmann::json value = nlohmann::json::parse(nlohmann::json::parse(reply->body)["Value"].get<std::string>());
    EXPECT_TRUE(std::regex_match(value["wake"].get<std::string>(), std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ")))
        << value.dump();
    EXPECT_NE(value["schedule"].get<std::string>().find("sunset+10m"), std::string::npos) << value.dump();
    auto state = client.Get("/state.json");
    ASSERT_TRUE(state);
    EXPECT_EQ(nlohmann::json::parse(state->body)["schedule"]["wake"], value["wake"]);
    auto setup = client.Get("/setup/schedule.json");
    ASSERT_TRUE(setup);
    EXPECT_EQ(nlohmann::json::parse(setup->body)["sleep"], "sunset+10m");
    EXPECT_EQ(stop_served(served), 0);
}

// The page's folded Schedule form in a real headless browser, against the service and HTTP server
// in this process (the page's test hooks type into the form and press its button).
TEST_F(ScheduleServer, ThePagesScheduleFormInABrowserSavesTheScheduleAndShowsTheNextEvents)
{
    ServiceOptions service;
    service.ports[0] = "COM1";
    service.interval_ms = 1000;
    std::string error;
    parse_when("07:30", service.schedule.wake, error);
    ASSERT_EQ(service_start(service), 1);
    HttpOptions http;
    http.port = 0;
    http.page_test_hooks = 1;
    http.log_writes = 0;
    const int port = http_start(http, error);
    ASSERT_GT(port, 0) << error;
    std::string dom;
    std::atomic<bool> done{false};
    std::thread client([&] {
        const std::string profile = make_temp_dir();
        Child browser = spawn("/usr/bin/chromium",
                              {"--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                               "--disable-component-update", "--disable-sync", "--no-first-run",
                               "--user-data-dir=" + profile, "--virtual-time-budget=10000", "--dump-dom",
                               "http://127.0.0.1:" + std::to_string(port) +
                                   "/setup#schedule-site=52.37,4.89&schedule-wake=sunrise-30m&schedule-sleep=sunset"
                                   "&press=schedule-save"},
                              "", true);
        if (browser.pid > 0) {
            dom = read_until(browser, "</html>", 60);
            wait_exit(browser.pid, 30);
            ::close(browser.out);
        }
        done = true;
    });
    // The service takes its results and the new schedule on this thread's event loop.
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done) loop.quit();
    });
    check.start(10);
    loop.exec();
    client.join();
    http_stop();
    service_stop();
    EXPECT_NE(dom.find("Next wake"), std::string::npos) << dom;
    EXPECT_NE(dom.find("saved in solvane-site.ini"), std::string::npos) << dom;
    const std::string file = read_file(dir + "/solvane-site.ini");
    EXPECT_NE(file.find("site=52.37,4.89,0\nwake=sunrise-30m\nsleep=sunset\n"), std::string::npos) << file;
    EXPECT_EQ(when_text(service_schedule().wake), "sunrise-30m");
}

}  // namespace
