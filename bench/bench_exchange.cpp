// How close one command exchange comes to what the serial line allows.
//
// A device on a pseudo-terminal answers "GI\n" with a 45-byte status line, each byte 1.042 ms
// after the last as on a 9600-baud line. The limit an exchange cannot beat is the time of the
// bytes on the wire (command and reply) plus the 50 ms the read waits after the last byte to be
// sure the reply has ended.
#include "link/solvane_link.h"
#include "sim/pty_device.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 30;
    if (rounds < 1) rounds = 1;
    const std::string status_line = "v1.20 0 1 65628.0 0 10 20 12000 1250 0     \r\n";  // 45 bytes
    char dir_template[] = "/tmp/solvane-bench-XXXXXX";
    const char* dir = ::mkdtemp(dir_template);
    if (dir == nullptr) return 1;

    PtyDevice device;
    std::string link = std::string(dir) + "/COM1";
    if (!device_open(device, link,
                     [&](const std::string&) { return std::vector<ReplyChunk>{{status_line, 0}}; },
                     BYTE_TIME_9600_US))
        return 1;
    int connected = 0, handle = -1;
    if (!serial_init(connected, handle, link.c_str())) return 1;

    std::vector<double> ms;
    char reply[REPLY_BUFFER_SIZE];
    for (int i = 0; i < rounds; ++i) {
        auto start = std::chrono::steady_clock::now();
        int n = serial_exchange(connected, handle, CMD_STATUS, reply);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        if (n != static_cast<int>(status_line.size())) {
            std::fprintf(stderr, "exchange %d returned %d bytes\n", i, n);
            return 1;
        }
    }
    serial_close(connected, handle);
    device_close(device);
    ::rmdir(dir);

    std::sort(ms.begin(), ms.end());
    const int wire_bytes = static_cast<int>(std::strlen(CMD_STATUS) + status_line.size());
    const double limit = wire_bytes * 1.042 + 50.0;
    const double median = ms[ms.size() / 2];
    std::printf("%-44s %9s %9s %9s %9s %7s\n", "figure", "median", "min", "max", "limit", "ratio");
    std::printf("%-44s %7.1fms %7.1fms %7.1fms %7.1fms %7.3f\n",
                "status exchange, 45-byte reply at 9600 baud", median, ms.front(), ms.back(), limit,
                median / limit);
    std::printf("(%d exchanges; limit = %d bytes on the wire x 1.042 ms + 50 ms inter-byte time-out;\n"
                " the pseudo-terminal paces only the reply, so a figure just under the limit is expected)\n",
                rounds, wire_bytes);
    return 0;
}
