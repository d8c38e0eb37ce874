// The window with its filters served by solvane-alpaca, against the same window on local ports,
// in one run with four paced simulated filters: the update tick, a menu command's arrival at the
// filter, the status exchanges each filter gets with one window against three windows and eight
// Alpaca clients, and the server's processor use meanwhile. bench/run prints its rows after
// bench_window's (bench/figures.h).
#include "bench/figures.h"
#include "control/shell/shell.h"
#include "control/state/slot_lines.h"
#include "link/filter_lines.h"
#include "link/remote_link.h"
#include "sim/simulator.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace bench;

namespace {

void settle(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

void wait_for_lines()
{
    while (slot_jobs_pending() != 0) QApplication::processEvents(QEventLoop::AllEvents, 1);
}

// solvane-alpaca beside this program, serving COM1 to COM4 on port; returns its process id.
pid_t start_server(int port)
{
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "solvane-alpaca";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        const std::string p = std::to_string(port);
        ::execl(self.c_str(), self.c_str(), "--ports", "COM1,COM2,COM3,COM4", "--port", p.c_str(), "--no-discovery",
                "--interval", "5000", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

std::string served(int port, int device)
{
    return "alpaca://127.0.0.1:" + std::to_string(port) + "/" + std::to_string(device);
}

double tick_ms()
{
    return time_median(10, [] {
        on_timer(UPDATE_TIMER_ID);
        wait_for_lines();
    });
}

// From the menu command to its bytes at filter 1, 10 rounds (and back down each time).
std::vector<double> command_arrival_ms()
{
    std::vector<double> rounds;
    for (int round = 0; round < 10; ++round) {
        sim_clear_received(0);
        const auto sent = Clock::now();
        dispatch_command(10600);  // Controls > Filter 1 > Shift Up 0.1
        double ms = 0;
        while ((ms = ms_since(sent)) < 3000) {
            const std::vector<std::string> got = sim_received(0);
            if (std::find(got.begin(), got.end(), "SE1\n") != got.end()) break;
            QApplication::processEvents();
        }
        rounds.push_back(ms);
        wait_for_lines();
        dispatch_command(10500);  // and back down
        wait_for_lines();
        settle(137);  // the rounds fall at different points of the server's own update
    }
    return rounds;
}

// Status exchanges ("GI") the four filters got over seconds, the window's own 1 s timer running.
int status_exchanges(int seconds)
{
    for (int i = 0; i < SLOT_COUNT; ++i) sim_clear_received(i);
    settle(seconds * 1000);
    int count = 0;
    for (int i = 0; i < SLOT_COUNT; ++i)
        for (const std::string& command : sim_received(i)) count += command == CMD_STATUS;
    return count;
}

long cpu_ticks(pid_t pid)
{
    std::FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (stat == nullptr) return 0;
    char text[1024] = "";
    const size_t n = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    text[n] = '\0';
    const char* after = std::strrchr(text, ')');
    long utime = 0, stime = 0;
    if (after != nullptr) std::sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime);
    return utime + stime;
}

// Two more windows' worth of lines and eight Alpaca clients reading the records once a second.
struct OtherClients {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;

    void start(int port)
    {
        for (int w = 0; w < 2; ++w)
            threads.emplace_back([this, port] {
                FilterLines* lines = lines_make(SLOT_COUNT, LinesOptions{0, 0});
                for (int n = 0; n < SLOT_COUNT; ++n) line_submit(lines, n, connect_job(served(port, n).c_str()));
                std::vector<LineResult> taken;
                while (!stop) {
                    for (int n = 0; n < SLOT_COUNT; ++n) line_tick(lines, n, TICK_WAITS_FOR_ANY_JOB);
                    for (int k = 0; k < 10 && !stop; ++k) {
                        lines_wait(lines, 100);
                        lines_take_results(lines, taken);
                    }
                }
                lines_end(lines);
            });
        for (int c = 0; c < 8; ++c)
            threads.emplace_back([this, port, c] {
                RemoteAddress a;
                parse_remote_name(served(port, c % SLOT_COUNT).c_str(), a);
                while (!stop) {
                    HttpAnswer answer;
                    http_request(a, "PUT", "/api/v1/switch/" + std::to_string(a.device) + "/action",
                                 "Action=record&Parameters=1000", 5000, answer);
                    for (int k = 0; k < 10 && !stop; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            });
    }

    void end()
    {
        stop = true;
        for (std::thread& t : threads) t.join();
    }
};

}  // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    char dir_template[] = "/tmp/solvane-bench-XXXXXX";
    if (::mkdtemp(dir_template) == nullptr || ::chdir(dir_template) != 0) return 1;
    const std::string dir = dir_template;
    if (!start_four_filters(dir)) return 1;
    std::FILE* ini = std::fopen("solvane.ini", "wb");
    std::fputs("COM1\r\nCOM2\r\nCOM3\r\nCOM4\r\n10.0 30.0 10.0 10.0 1 0 1\r\n", ini);
    std::fclose(ini);
    control_start();
    settle(200);
    dispatch_command(32890);  // Settings > Update Interval > 1 Second
    const double local_tick = tick_ms();
    const std::vector<double> local_command = command_arrival_ms();
    const int local_exchanges = status_exchanges(10);

    // The same window, its slots now served: the ports go to the server, the slots to its devices.
    for (int n = 0; n < SLOT_COUNT; ++n) slot_close(n);
    wait_for_lines();
    const int port = 18000 + static_cast<int>(::getpid() % 20000);
    const pid_t server = start_server(port);
    settle(1500);
    for (int n = 0; n < SLOT_COUNT; ++n) {
        copy_text(filter_slots()[n].port_name, PORT_NAME_SIZE, served(port, n).c_str(), PORT_NAME_SIZE - 1);
        slot_connect(n, filter_slots()[n].port_name);
    }
    wait_for_lines();
    int connected = 0;
    for (int n = 0; n < SLOT_COUNT; ++n) connected += filter_slots()[n].connected;
    if (connected != SLOT_COUNT) std::fprintf(stderr, "bench_remote: %d of 4 served slots connected\n", connected);
    settle(2000);  // the server takes the window's 1 s interval
    const double served_tick = tick_ms();
    const std::vector<double> served_command = command_arrival_ms();
    const int one_window = status_exchanges(10);
    OtherClients others;
    others.start(port);
    settle(3000);
    const long cpu_before = cpu_ticks(server);
    const int many_clients = status_exchanges(20);
    const double cpu = static_cast<double>(cpu_ticks(server) - cpu_before) / ::sysconf(_SC_CLK_TCK) / 20 * 100;
    others.end();

    row("tick, four filters served over the loopback", served_tick, local_tick, "the same on local ports");
    row("menu command to the filter, served (median)", median(served_command), median(local_command) + 20,
        "local + 20 ms");
    // A command that comes while the server polls the filter waits for that one exchange.
    row("menu command to the filter, served (longest)", *std::max_element(served_command.begin(), served_command.end()),
        *std::max_element(local_command.begin(), local_command.end()) + 20, "local + 20 ms");
    std::printf("%-46s %10.1f /s %10.1f /s %7.3f  %s\n", "status exchanges, 1 window (served)", one_window / 10.0,
                local_exchanges / 10.0, static_cast<double>(one_window) / local_exchanges, "1 window on local ports");
    std::printf("%-46s %10.1f /s %10.1f /s %7.3f  %s\n", "status exchanges, 3 windows + 8 clients", many_clients / 20.0,
                one_window / 10.0, many_clients / 20.0 / (one_window / 10.0), "1 window (served)");
    std::printf("%-46s %11.2f %% %11.2f %% %7.3f  %s\n", "server processor use, 3 windows + 8 clients", cpu, 2.0, cpu / 2,
                "goal");
    control_shutdown();
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    sim_stop();
    std::filesystem::remove_all(dir);
    return 0;
}
