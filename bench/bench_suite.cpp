// The figures that say whether Solvane is as fast as the serial line lets it be, each measured
// next to its limit in the same run. Simulated filters pace their replies at 9600 baud
// (1.042 ms a byte, plus a 3 ms processing delay the limits leave out); the pseudo-terminals
// carry the commands without wire delay. Rows print as they are measured; the limit of a serial
// figure is its bytes on the wire x 1.042 ms + 50 ms a reply (the read's wait after the last
// byte), of a silent exchange the 1.5 s its retries take.
#include "control/display/panel.h"
#include "control/shell/shell.h"
#include "sim/pty_device.h"
#include "sim/simulator.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double BYTE_MS = 1.042;
constexpr double INTERVAL_MS = 50.0;

double ms_since(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double time_median(int rounds, const std::function<void()>& run)
{
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        run();
        ms.push_back(ms_since(start));
    }
    return median(ms);
}

void row(const char* figure, double measured, double limit, const char* limit_name)
{
    std::printf("%-46s %10.1f ms %10.1f ms %7.3f  %s\n", figure, measured, limit, measured / limit, limit_name);
    std::fflush(stdout);
}

// What a command and its reply cost on the wire plus the read's wait after the last byte.
double exchange_limit(const std::string& command, const std::string& reply)
{
    return static_cast<double>(command.size() + reply.size()) * BYTE_MS + INTERVAL_MS;
}

const char* CONNECT_COMMANDS[] = {CMD_STATUS, CMD_IDENTIFY_CHECK, CMD_CENTER_WAVELENGTH, CMD_HEATER_STATE,
                                  CMD_CENTER_TEMPERATURE, CMD_MODEL, CMD_EDITION, CMD_SERIAL_NUMBER,
                                  CMD_STARTUP_MESSAGE, CMD_BANDWIDTH, CMD_DISPLAY_MODE, CMD_UNITS, CMD_PANEL_LOCK,
                                  CMD_UNDERSCORE, CMD_TEMPERATURE_PER_ANGSTROM, CMD_STATUS, CMD_AGE};

double connect_limit(int index)
{
    SimFilter copy = sim_snapshot(index);
    double limit = 0;
    for (const char* command : CONNECT_COMMANDS) limit += exchange_limit(command, sim_reply(copy, command));
    return limit;
}

void settle(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

}  // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    char dir_template[] = "/tmp/solvane-bench-XXXXXX";
    if (::mkdtemp(dir_template) == nullptr || ::chdir(dir_template) != 0) return 1;
    const std::string dir = dir_template;
    std::printf("%-46s %13s %13s %7s  %s\n", "figure", "measured", "limit", "ratio", "limit is");

    {  // One exchange against a device that paces a 45-byte status line.
        const std::string line = "v1.20 0 1 65628.0 0 10 20 12000 1250 0     \r\n";
        PtyDevice device;
        device_open(device, dir + "/FIXED", [&](const std::string&) { return std::vector<ReplyChunk>{{line, 0}}; },
                    BYTE_TIME_9600_US);
        FilterRecord r;
        serial_init(r.connected, r.port_handle, (dir + "/FIXED").c_str());
        char reply[REPLY_BUFFER_SIZE];
        double ms = time_median(30, [&] { serial_exchange(r.connected, r.port_handle, CMD_STATUS, reply); });
        row("status exchange, 45-byte reply", ms, exchange_limit(CMD_STATUS, line), "wire + 50 ms");
        serial_close(r.connected, r.port_handle);
        device_close(device);
    }
    {  // A filter that never answers.
        PtyDevice device;
        device_open(device, dir + "/SILENT", [](const std::string&) { return std::vector<ReplyChunk>{}; });
        FilterRecord r;
        serial_init(r.connected, r.port_handle, (dir + "/SILENT").c_str());
        char reply[REPLY_BUFFER_SIZE];
        double ms = time_median(3, [&] { serial_exchange(r.connected, r.port_handle, CMD_STATUS, reply); });
        row("silent exchange (5 attempts, one pause)", ms, 1500.0, "5 x 200 ms + 500 ms");
        serial_close(r.connected, r.port_handle);
        device_close(device);
    }

    SimOptions options;
    options.port_dir = dir + "/ports";
    options.paced = 1;
    for (int i = 0; i < 4; ++i) {
        SimFilter f = sim_preset()[static_cast<size_t>(i)];
        f.sleeping = 0;
        options.filters.push_back(f);
    }
    if (!sim_start(options)) return 1;
    setenv("SOLVANE_PORT_DIR", options.port_dir.c_str(), 1);
    setenv("SOLVANE_ONLY_PORT_DIR", "1", 1);

    {  // Identification, read-out, status and age of one filter.
        double ms = time_median(5, [] {
            FilterRecord r;
            connect_slot(r, "COM1");
            serial_close(r.connected, r.port_handle);
        });
        row("connect one filter (17 exchanges)", ms, connect_limit(0), "sum of the 17");
    }

    // SolvaneControl's own work: start-up with four filters to reconnect, ticks and repaints.
    std::FILE* ini = std::fopen("solvane.ini", "wb");
    std::fputs("COM1\r\nCOM2\r\nCOM3\r\nCOM4\r\n10.0 30.0 10.0 10.0 1 0 1\r\n", ini);
    std::fclose(ini);
    double startup_limit = 0;
    for (int i = 0; i < 4; ++i) startup_limit += connect_limit(i);
    auto start = Clock::now();
    control_start();
    row("start-up to the shown window, four filters", ms_since(start), startup_limit, "4 connections");
    fit_window();
    settle(200);

    double tick_limit = 0;
    for (int i = 0; i < 4; ++i) {
        SimFilter copy = sim_snapshot(i);
        tick_limit += exchange_limit(CMD_STATUS, sim_reply(copy, CMD_STATUS));
    }
    double tick = time_median(10, [] { on_timer(UPDATE_TIMER_ID); });
    row("timer tick, four answering filters", tick, tick_limit, "4 status exchanges");

    QImage& window = client_buffer();
    double cached = time_median(40, [&] { for (int i = 0; i < 4; ++i) paint_filter_panel(window, 0, i); });
    double rebuilt = time_median(40, [&] { for (int i = 0; i < 4; ++i) paint_filter_panel(window, 1, i); });
    row("repaint of four Full panels from cache", cached, rebuilt, "a rebuild");

    for (FilterRecord& slot : filter_slots) serial_close(slot.connected, slot.port_handle);
    sim_stop();
    return 0;
}
