// Connecting one filter against the sum of what its exchanges must cost on a 9600-baud line.
//
// connect_slot makes 17 exchanges (2 to identify, 13 to read the parameters, a status and an age
// poll). Each costs at least its bytes on the wire (command and reply, 1.042 ms a byte) plus the
// 50 ms the read waits after the last byte. The simulated filter paces its replies at 9600 baud
// and adds a 3 ms processing delay, which the limit leaves out.
#include "link/solvane_link.h"
#include "sim/simulator.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    if (rounds < 1) rounds = 1;
    SimOptions options;
    options.paced = 1;
    options.filters = {sim_preset()[0]};
    if (!sim_start(options)) return 1;

    // The limit, from the replies the filter gives to the 17 commands in their order.
    const char* commands[] = {CMD_STATUS, CMD_IDENTIFY_CHECK, CMD_CENTER_WAVELENGTH, CMD_HEATER_STATE,
                              CMD_CENTER_TEMPERATURE, CMD_MODEL, CMD_EDITION, CMD_SERIAL_NUMBER,
                              CMD_STARTUP_MESSAGE, CMD_BANDWIDTH, CMD_DISPLAY_MODE, CMD_UNITS, CMD_PANEL_LOCK,
                              CMD_UNDERSCORE, CMD_TEMPERATURE_PER_ANGSTROM, CMD_STATUS, CMD_AGE};
    SimFilter copy = sim_snapshot(0);
    double limit = 0;
    int bytes = 0;
    for (const char* command : commands) {
        int n = static_cast<int>(std::strlen(command) + sim_reply(copy, command).size());
        bytes += n;
        limit += n * 1.042 + 50.0;
    }

    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        FilterRecord slot;
        auto start = std::chrono::steady_clock::now();
        int connected = connect_slot(slot, sim_port_path(0).c_str());
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        serial_close(slot.connected, slot.port_handle);
        if (!connected) {
            std::fprintf(stderr, "the simulated filter did not connect\n");
            return 1;
        }
    }
    sim_stop();
    std::sort(ms.begin(), ms.end());
    double median = ms[ms.size() / 2];
    std::printf("%-44s %9s %9s %9s %9s %7s\n", "figure", "median", "min", "max", "limit", "ratio");
    std::printf("%-44s %7.0fms %7.0fms %7.0fms %7.0fms %7.3f\n", "connect one filter (17 exchanges, 9600 baud)",
                median, ms.front(), ms.back(), limit, median / limit);
    std::printf("(%d connections; limit = %d bytes on the wire x 1.042 ms + 17 x 50 ms)\n", rounds, bytes);
    return 0;
}
