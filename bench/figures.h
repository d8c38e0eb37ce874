// What the benchmark programs share: the table's rows and the limits the serial line sets, so
// bench_suite and the window's benchmark (control/bench/) print one table by one rule.
// Simulated filters pace their replies at 9600 baud (1.042 ms a byte, plus a 3 ms processing delay
// the limits leave out); the limit of a serial figure is its bytes on the wire x 1.042 ms + 50 ms a
// reply (the read's wait after the last byte).
#pragma once

#include "link/solvane_link.h"
#include "sim/simulator.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

constexpr double BYTE_MS = 1.042;
constexpr double INTERVAL_MS = 50.0;

inline double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

inline double time_median(int rounds, const std::function<void()>& run)
{
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        run();
        ms.push_back(ms_since(start));
    }
    return median(ms);
}

inline void header()
{
    std::printf("%-46s %13s %13s %7s  %s\n", "figure", "measured", "limit", "ratio", "limit is");
}

inline void row(const char* figure, double measured, double limit, const char* limit_name, const char* unit = "ms")
{
    std::printf("%-46s %10.1f %s %10.1f %s %7.3f  %s\n", figure, measured, unit, limit, unit, measured / limit, limit_name);
    std::fflush(stdout);
}

// What a command and its reply cost on the wire plus the read's wait after the last byte.
inline double exchange_limit(const std::string& command, const std::string& reply)
{
    return static_cast<double>(command.size() + reply.size()) * BYTE_MS + INTERVAL_MS;
}

// The sum of the 17 exchanges of connecting simulated filter index.
inline double connect_limit(int index)
{
    static constexpr const char* CONNECT_COMMANDS[] = {
        CMD_STATUS, CMD_IDENTIFY_CHECK, CMD_CENTER_WAVELENGTH, CMD_HEATER_STATE, CMD_CENTER_TEMPERATURE, CMD_MODEL,
        CMD_EDITION, CMD_SERIAL_NUMBER, CMD_STARTUP_MESSAGE, CMD_BANDWIDTH, CMD_DISPLAY_MODE, CMD_UNITS,
        CMD_PANEL_LOCK, CMD_UNDERSCORE, CMD_TEMPERATURE_PER_ANGSTROM, CMD_STATUS, CMD_AGE};
    SimFilter copy = sim_snapshot(index);
    double limit = 0;
    for (const char* command : CONNECT_COMMANDS) limit += exchange_limit(command, sim_reply(copy, command));
    return limit;
}

// Four paced filters, awake, on pseudo-terminals under dir/ports, named by SOLVANE_PORT_DIR.
inline int start_four_filters(const std::string& dir)
{
    SimOptions options;
    options.port_dir = dir + "/ports";
    options.paced = 1;
    for (int i = 0; i < 4; ++i) {
        SimFilter f = sim_preset()[static_cast<size_t>(i)];
        f.sleeping = 0;
        options.filters.push_back(f);
    }
    if (!sim_start(options)) return 0;
    setenv("SOLVANE_PORT_DIR", options.port_dir.c_str(), 1);
    setenv("SOLVANE_ONLY_PORT_DIR", "1", 1);
    return 1;
}

}  // namespace bench
