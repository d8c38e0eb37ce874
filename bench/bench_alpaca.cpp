// The Alpaca server under load: how many getswitchvalue requests a second 8 concurrent clients
// get answered against four simulated filters, and how much such a load delays the status polls
// (the time from handing a tick to a filter's line to its result being merged on the main
// thread, the serial exchange included), measured with and without the load in the same run.
// The filters pace their replies at 9600 baud, as real ones do. Then the page's history answers
// with a day of polls of four filters held: the four plots' JSON a page fetches (its size and the
// time to answer all four) and the whole CSV. Figures are printed, never judged.
#include "alpaca/filter_service.h"
#include "alpaca/http_server.h"
#include "link/filter_history.h"
#include "sim/simulator.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int CLIENTS = 8;
constexpr int PHASE_SECONDS = 15;
constexpr int INTERVAL_MS = 1000;  // the shortest update period: the most polls to measure
constexpr int CLIENT_NICENESS = 19;
constexpr double PACED_RATE = 20;  // requests a second of each client in the paced phase: a busy client

// Runs work on a thread of its own while the main thread runs the Qt loop the service needs.
void serve(const std::function<void()>& work)
{
    std::atomic<bool> done{false};
    std::thread thread([&] {
        work();
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

// A day of polls at 1 s for every filter, ending now: heating runs of 40 minutes toward the line,
// an hour on band, then asleep for twenty minutes, as a day at the telescope might go.
void fill_day(FilterHistory* history, std::int64_t now_ms)
{
    const std::int64_t start = now_ms - static_cast<std::int64_t>(HISTORY_SAMPLES_DEFAULT) * 1000;
    for (int n = 0; n < SLOT_COUNT; ++n) {
        FilterRecord r;
        r.connected = 1;
        r.center_wavelength = 6562.8;
        for (std::size_t k = 0; k < HISTORY_SAMPLES_DEFAULT; ++k) {
            const double cycle_s = static_cast<double>((k + 600 * n) % 7200);
            r.sleeping = cycle_s >= 6000;
            const double approach = std::exp(-cycle_s / 600.0);
            r.wavelength = r.sleeping ? 6559.1 : 6562.8 - 3.7 * approach + 0.01 * std::sin(0.1 * static_cast<double>(k));
            r.temperature = r.sleeping ? 58.0 : 122.0 - 64.0 * approach;
            r.heater_power = r.sleeping ? 0 : 35 + 30 * approach;
            r.on_band = !r.sleeping && approach < 0.01;
            history_add_poll(history, n, r, start + static_cast<std::int64_t>(k) * 1000);
        }
    }
}

void row(const char* figure, double measured, const char* unit, double limit, const char* limit_name)
{
    if (limit > 0)
        std::printf("%-46s %10.1f %-3s%10.1f %-3s%7.3f  %s\n", figure, measured, unit, limit, unit, measured / limit,
                    limit_name);
    else
        std::printf("%-46s %10.1f %-3s%13s %7s  %s\n", figure, measured, unit, "-", "-", limit_name);
}

}  // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication application(argc, argv);

    char dir_template[] = "/tmp/solvane-bench-alpaca-XXXXXX";
    const char* dir = ::mkdtemp(dir_template);
    if (dir == nullptr || ::chdir(dir) != 0) return 1;
    const std::string ports = std::string(dir) + "/ports";
    setenv("SOLVANE_PORT_DIR", ports.c_str(), 1);
    SimOptions sim;
    sim.port_dir = ports;
    sim.paced = 1;
    sim.filters = sim_preset();
    for (SimFilter& f : sim.filters) f.sleeping = 0;
    if (!sim_start(sim)) return 1;

    ServiceOptions service;
    for (int n = 0; n < SLOT_COUNT; ++n) service.ports[n] = "COM" + std::to_string(n + 1);
    service.interval_ms = INTERVAL_MS;
    if (!service_start(service)) return 1;
    HttpOptions http;
    http.port = 0;
    http.rate_per_second = 0;  // the bound would measure itself
    http.log_writes = 0;
    std::string error;
    const int port = http_start(http, error);
    if (port == 0) {
        std::fprintf(stderr, "bench_alpaca: %s\n", error.c_str());
        return 1;
    }

    // The day is held before the filters' own polls follow it.
    fill_day(service_history().get(), history_now_ms());

    long requests = 0;
    double request_seconds = 0;
    PollDelays idle, paced, loaded;
    double json_bytes = 0, json_answer_ms = 0, csv_bytes = 0, csv_answer_ms = 0;
    double paced_rate = 0;
    serve([&] {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(40, 0);
        for (int n = 0; n < SLOT_COUNT; ++n)
            client.Put(("/api/v1/switch/" + std::to_string(n) + "/connected").c_str(), "Connected=true",
                       "application/x-www-form-urlencoded");

        service_poll_delays(1);
        std::this_thread::sleep_for(std::chrono::seconds(PHASE_SECONDS));
        idle = service_poll_delays(1);

        // Each client asks again as soon as it is answered (pace 0), or paced requests a second.
        auto run_clients = [&](double pace, long& answered_total, double& seconds) {
            std::atomic<bool> stop{false};
            std::atomic<long> answered{0};
            std::vector<std::thread> clients;
            const auto start = Clock::now();
            for (int c = 0; c < CLIENTS; ++c) {
                clients.emplace_back([&, c] {
                    // The clients stand in for computers elsewhere on the network: on this machine's
                    // two cores they must not take the processor the way no remote client can.
                    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), CLIENT_NICENESS);
                    httplib::Client load("127.0.0.1", port);
                    load.set_keep_alive(true);
                    auto next = Clock::now();
                    for (long k = 0; !stop; ++k) {
                        const std::string path = "/api/v1/switch/" + std::to_string((c + k) % SLOT_COUNT) +
                                                 "/getswitchvalue?Id=" + std::to_string(k % 9) + "&ClientID=" +
                                                 std::to_string(c + 1) + "&ClientTransactionID=" + std::to_string(k + 1);
                        auto reply = load.Get(path.c_str());
                        if (reply && reply->status == 200) ++answered;
                        if (pace > 0) {
                            next += std::chrono::microseconds(static_cast<long>(1e6 / pace));
                            std::this_thread::sleep_until(next);
                        }
                    }
                });
            }
            std::this_thread::sleep_for(std::chrono::seconds(PHASE_SECONDS));
            stop = true;
            for (std::thread& t : clients) t.join();
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
            answered_total = answered;
        };
        long paced_requests = 0;
        double paced_seconds = 0;
        run_clients(PACED_RATE, paced_requests, paced_seconds);
        paced = service_poll_delays(1);
        paced_rate = paced_requests / paced_seconds;
        run_clients(0, requests, request_seconds);
        loaded = service_poll_delays(1);

        // The page's history: all four plots at the default size, since the start.
        std::vector<double> json_ms, csv_ms;
        for (int round = 0; round < 20; ++round) {
            const auto start = Clock::now();
            json_bytes = 0;
            for (int n = 0; n < SLOT_COUNT; ++n)
                if (auto reply = client.Get(("/history/" + std::to_string(n) + ".json").c_str()); reply && reply->status == 200)
                    json_bytes += static_cast<double>(reply->body.size());
            json_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        for (int round = 0; round < 3; ++round) {
            const auto start = Clock::now();
            if (auto reply = client.Get("/history.csv"); reply && reply->status == 200) csv_bytes = static_cast<double>(reply->body.size());
            csv_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        std::sort(json_ms.begin(), json_ms.end());
        std::sort(csv_ms.begin(), csv_ms.end());
        json_answer_ms = json_ms[json_ms.size() / 2];
        csv_answer_ms = csv_ms[csv_ms.size() / 2];
    });

    std::printf("%-46s %14s %13s %7s  %s\n", "figure", "measured", "limit", "ratio", "limit is");
    row("Alpaca getswitchvalue, 8 clients, 4 filters", requests / request_seconds, "/s", 0, "none: a throughput");
    row("status poll, no HTTP load (mean)", idle.mean_ms, "ms", 0, "the serial exchange and its merge");
    row("status poll, no HTTP load (longest)", idle.max_ms, "ms", 0, "");
    row("status poll, 8 clients at 20/s each (mean)", paced.mean_ms, "ms", idle.mean_ms, "the same without load");
    row("status poll, 8 clients at 20/s each (longest)", paced.max_ms, "ms", idle.max_ms, "the same without load");
    row("status poll, 8 clients flat out (mean)", loaded.mean_ms, "ms", idle.mean_ms, "the same without load");
    row("status poll, 8 clients flat out (longest)", loaded.max_ms, "ms", idle.max_ms, "the same without load");
    std::printf("(%d, %d and %d polls, %d s each, %d ms update period; paced clients got %.0f answers a second)\n",
                idle.count, paced.count, loaded.count, PHASE_SECONDS, INTERVAL_MS, paced_rate);
    row("page's history answer, 24 h x 4 filters, size", json_bytes / 1024, "KB", 0, "none: 4 x 1000 samples");
    row("page's history answer, 24 h x 4 filters, time", json_answer_ms, "ms", 0, "none: four requests (median of 20)");
    row("history CSV, 24 h x 4 filters, size", csv_bytes / 1048576, "MB", 0, "none: every poll since start");
    row("history CSV, 24 h x 4 filters, time", csv_answer_ms, "ms", 0, "none: one download (median of 3)");

    service_stop();
    http_stop();
    sim_stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);  // serial_error.log, if any
    return 0;
}
