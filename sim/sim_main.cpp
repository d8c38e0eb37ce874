// solvane-sim: simulated Solvane filters on pseudo-terminals, until SIGINT or SIGTERM.
#include "sim/simulator.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <climits>
#include <pthread.h>
#include <unistd.h>

namespace {

const char USAGE[] =
    "Usage: solvane-sim [options]\n"
    "Simulated Solvane filters on pseudo-terminals, reached as COM1, COM2, ... in a port\n"
    "directory (export SOLVANE_PORT_DIR=... to use them). Runs until Ctrl+C or SIGTERM.\n"
    "\n"
    "  --port-dir DIR     make the port links in DIR (default: a fresh directory under /tmp)\n"
    "  --speed X          run the filters' physics X times faster than real time (default 1)\n"
    "  --paced            send reply bytes 1.042 ms apart, as a 9600-baud line does\n"
    "  --filters N        simulate N filters (default 4: the preset; more repeat it)\n"
    "  --awake            start with the heaters on (default: all asleep)\n"
    "  --fault COMn=KIND  give filter n a fault: silent, every3, echo, ga1, status3 (any code),\n"
    "                     lowvolt, shift31, garbage, overlong\n"
    "  --help             show this text\n"
    "\n"
    "The preset: COM1 hydrogen alpha 6562.8 A (firmware 1.20, decimal replies), COM2 calcium K\n"
    "3933.7 A (1.30, hexadecimal), COM3 sodium D2 5890.0 A (1.22, decimal), COM4 hydrogen beta\n"
    "4861.3 A (1.25, hexadecimal).\n";

int apply_fault(SimFilter& filter, const char* kind)
{
    SimFaults& f = filter.faults;
    if (std::strcmp(kind, "silent") == 0) f.silent = 1;
    else if (std::strcmp(kind, "every3") == 0) f.answer_every = 3;
    else if (std::strcmp(kind, "echo") == 0) f.echo = 1;
    else if (std::strcmp(kind, "ga1") == 0) f.ga_value = 1;
    else if (std::strncmp(kind, "status", 6) == 0 && kind[6] != '\0') f.status_code = std::atoi(kind + 6);
    else if (std::strcmp(kind, "lowvolt") == 0) filter.supply_voltage = 0.5;
    else if (std::strcmp(kind, "shift31") == 0) { f.raw_wing_shift = 31; f.raw_wing_shift_set = 1; }
    else if (std::strcmp(kind, "garbage") == 0) f.garbage = 1;
    else if (std::strcmp(kind, "overlong") == 0) f.overlong = 1;
    else return 0;
    return 1;
}

int fail(const char* message)
{
    std::fprintf(stderr, "solvane-sim: %s\n%s", message, USAGE);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    SimOptions options;
    int count = 4;
    bool awake = false;
    std::vector<std::pair<int, std::string>> faults;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (arg == "--port-dir" && has_value) {
            options.port_dir = argv[++i];
        } else if (arg == "--speed" && has_value) {
            options.speed = std::atof(argv[++i]);
            if (!(options.speed > 0)) return fail("--speed needs a number above 0");
        } else if (arg == "--paced") {
            options.paced = 1;
        } else if (arg == "--filters" && has_value) {
            count = std::atoi(argv[++i]);
            if (count < 1 || count > 32) return fail("--filters needs a number from 1 to 32");
        } else if (arg == "--awake") {
            awake = true;
        } else if (arg == "--fault" && has_value) {
            std::string spec = argv[++i];
            size_t eq = spec.find('=');
            int n = spec.rfind("COM", 0) == 0 ? std::atoi(spec.c_str() + 3) : 0;
            if (eq == std::string::npos || n < 1) return fail("--fault needs COMn=KIND");
            faults.emplace_back(n - 1, spec.substr(eq + 1));
        } else {
            return fail(("unknown option " + arg).c_str());
        }
    }

    std::vector<SimFilter> preset = sim_preset();
    for (int i = 0; i < count; ++i) {
        SimFilter filter = preset[static_cast<size_t>(i) % preset.size()];
        if (i >= static_cast<int>(preset.size()))
            filter.serial_number_text += "-" + std::to_string(i + 1);
        filter.sleeping = awake ? 0 : 1;
        options.filters.push_back(filter);
    }
    for (const auto& [index, kind] : faults) {
        if (index >= count) return fail("--fault names a port beyond --filters");
        if (!apply_fault(options.filters[static_cast<size_t>(index)], kind.c_str()))
            return fail(("unknown fault " + kind).c_str());
    }

    // Signals are taken by sigwait below; block them before any thread starts.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    std::string why;
    if (!sim_start(options, &why)) {
        std::fprintf(stderr, "solvane-sim: %s\n", why.c_str());
        return 1;
    }
    std::printf("SOLVANE_PORT_DIR=%s\n", sim_port_dir().c_str());
    for (int i = 0; i < sim_filter_count(); ++i) {
        SimFilter f = sim_snapshot(i);
        char target[PATH_MAX] = "";
        ssize_t n = ::readlink(sim_port_path(i).c_str(), target, sizeof target - 1);
        if (n > 0) target[n] = '\0';
        std::printf("%-5s %-12s %7.1f A  %-26s firmware %.2f (%s)%s\n", sim_port_name(i).c_str(),
                    target, f.center_wavelength, f.model_text.c_str(), f.firmware_version,
                    f.firmware_version >= 1.25 ? "hexadecimal" : "decimal",
                    f.sleeping ? ", asleep" : ", heating");
    }
    std::printf("Running at %g x real time; stop with Ctrl+C.\n", options.speed);
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stop_signals, &signal);
    sim_stop();
    std::printf("Stopped; the port links are removed.\n");
    return 0;
}
