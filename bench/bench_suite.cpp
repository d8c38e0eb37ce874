// The figures that say whether the serial line is as fast as it lets itself be, each measured next
// to its limit in the same run: one exchange against a device that paces a 45-byte status line, a
// silent exchange (the 1.5 s its retries take), and connecting one filter. The window's own figures
// follow from its benchmark (control/bench/bench_window.cpp); bench/run runs both, one table.
#include "bench/figures.h"
#include "sim/pty_device.h"
#include "sim/simulator.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

using namespace bench;

int main()
{
    char dir_template[] = "/tmp/solvane-bench-XXXXXX";
    if (::mkdtemp(dir_template) == nullptr || ::chdir(dir_template) != 0) return 1;
    const std::string dir = dir_template;
    bench::header();

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

    if (!start_four_filters(dir)) return 1;
    {  // Identification, read-out, status and age of one filter.
        double ms = time_median(5, [] {
            FilterRecord r;
            connect_slot(r, "COM1");
            serial_close(r.connected, r.port_handle);
        });
        row("connect one filter (17 exchanges)", ms, connect_limit(0), "sum of the 17");
    }
    sim_stop();
    std::filesystem::remove_all(dir);
    return 0;
}

