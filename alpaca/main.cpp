// solvane-alpaca: the Solvane filters for ASCOM Alpaca clients (N.I.N.A., SharpCap, Voyager, ...)
// and any web browser. Each filter slot is an Alpaca Switch device; Alpaca discovery lets clients
// on the network find the server; the page at / shows the panels as SolvaneControl draws them.
//
// The main thread runs a Qt event loop (offscreen: no display is needed) that takes the filter
// lines' results and renders the panels; the HTTP server and the discovery responder run on
// threads of their own (filter_service.h says who owns what).
#include "alpaca/discovery.h"
#include "alpaca/filter_service.h"
#include "alpaca/http_server.h"
#include "alpaca/schedule_runner.h"
#include "link/settings_file.h"

#include <QGuiApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

const char USAGE_OPTIONS[] =
    "                       an empty entry leaves that slot free)\n"
    "  --listen ADDRESS     address to serve on (default 127.0.0.1: this computer only;\n"
    "                       0.0.0.0 for every IPv4 network, :: for every network)\n"
    "  --allow-host NAME    a further name of this computer that requests may carry in their\n"
    "                       Host header (repeatable); others than its addresses, localhost,\n"
    "                       its host name and NAME.local are refused with HTTP 403\n"
    "  --port N             HTTP port of the Alpaca API and the status page (default 11111;\n"
    "                       0 picks a free one)\n"
    "  --interval MS        update period of each filter, 1000 to 3600000 ms (default 5000)\n"
    "  --discovery-port N   UDP port of Alpaca discovery (default 32227; 0 picks a free one)\n"
    "  --no-discovery       do not answer Alpaca discovery\n"
    "  --rate N             requests a second taken from one client address (default 100;\n"
    "                       0 for no bound)\n"
    "  --connect            connect every filter at start instead of when a client asks\n"
    "  --help               this text\n"
    "  --version            the version\n"
    "\n"
    "Alpaca has no authentication: whoever reaches the port can drive the filters. See\n"
    "solvane-alpaca(1) before opening it to a network.\n";

// "P1,P2,P3,P4" for four slots, padded to the option column.
std::string ports_operand()
{
    std::string operand;
    for (int n = 1; n <= SLOT_COUNT; ++n) operand += (n > 1 ? ",P" : "P") + std::to_string(n);
    return operand + std::string(operand.size() < 12 ? 12 - operand.size() : 1, ' ');
}

std::string usage()
{
    std::string options = USAGE_OPTIONS;
    options.insert(options.find("  --help"), SCHEDULE_USAGE);
    return "Usage: solvane-alpaca [options]\n"
           "Serves the Solvane filters named in solvane.ini of the current directory (or by --ports) to\n"
           "ASCOM Alpaca clients and web browsers: filter n is Alpaca Switch device n-1.\n"
           "\n"
           "  --ports " + ports_operand() + " the filters' ports instead of solvane.ini (COM1, ttyUSB0, a device path;\n" +
           options;
}

struct Options {
    ServiceOptions service;
    HttpOptions http;
    DiscoveryOptions discovery;
    int discovery_on = 1;
    int ports_given = 0;
    ScheduleArguments schedule;
};

int usage_error(const std::string& message)
{
    std::fprintf(stderr, "solvane-alpaca: %s\n%s", message.c_str(), usage().c_str());
    return 2;
}

// A whole decimal integer within [low, high].
bool read_integer(const char* text, long low, long high, long& value)
{
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= low && value <= high;
}

// The ports of --ports: up to four names separated by commas.
bool read_ports(const std::string& list, std::string ports[SLOT_COUNT], std::string& error)
{
    std::vector<std::string> names;
    std::stringstream stream(list);
    std::string name;
    while (std::getline(stream, name, ',')) names.push_back(name);
    if (!list.empty() && list.back() == ',') names.push_back("");
    if (names.size() > SLOT_COUNT) {
        error = std::string("--ports takes at most ") + SLOT_COUNT_WORD + " ports";
        return false;
    }
    for (size_t n = 0; n < names.size(); ++n) {
        if (!names[n].empty() && !port_name_acceptable(names[n].c_str())) {
            error = "--ports: '" + names[n] + "' is no port name (2 to 99 characters, no control characters)";
            return false;
        }
        ports[n] = names[n];
    }
    return true;
}

int parse_options(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long number = 0;
        if (arg == "--help") {
            std::fputs(usage().c_str(), stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("solvane-alpaca %s\n", SERVER_VERSION);
            return 0;
        } else if (arg == "--ports" && value) {
            std::string error;
            if (!read_ports(argv[++i], o.service.ports, error)) return usage_error(error);
            o.ports_given = 1;
        } else if (arg == "--listen" && value) {
            // Resolved here, once: every later decision (the Host rule, discovery) takes the value.
            std::string error;
            if (!listen_address_resolve(argv[++i], o.http.listen, error)) return usage_error("--listen: " + error);
        } else if (arg == "--allow-host" && value) {
            if (!host_name_acceptable(argv[++i])) return usage_error(std::string("--allow-host: '") + argv[i] + "' is no host name");
            o.http.allowed_hosts.push_back(argv[i]);
        } else if (arg == "--port" && value) {
            if (!read_integer(argv[++i], 0, 65535, number)) return usage_error("--port takes 0 to 65535");
            o.http.port = static_cast<int>(number);
        } else if (arg == "--interval" && value) {
            if (!read_integer(argv[++i], 1000, 3600000, number)) return usage_error("--interval takes 1000 to 3600000 ms");
            o.service.interval_ms = static_cast<int>(number);
        } else if (arg == "--discovery-port" && value) {
            if (!read_integer(argv[++i], 0, 65535, number)) return usage_error("--discovery-port takes 0 to 65535");
            o.discovery.port = static_cast<int>(number);
        } else if (arg == "--no-discovery") {
            o.discovery_on = 0;
        } else if (arg == "--rate" && value) {
            if (!read_integer(argv[++i], 0, 1000000, number)) return usage_error("--rate takes 0 to 1000000");
            o.http.rate_per_second = static_cast<double>(number);
        } else if (arg == "--connect") {
            o.service.connect_at_start = 1;
        } else if (std::string error; const int taken = take_schedule_option(argc, argv, i, o.schedule, error)) {
            if (taken < 0) return usage_error(error);
        } else {
            return usage_error("unknown option or missing value: " + arg);
        }
    }
    return -1;  // go on
}

// The ports, zoom spans and display mode of solvane.ini, as SolvaneControl would read them.
// Returns 0 when the file is missing or unreadable.
int read_settings(Options& o)
{
    SettingsFile settings;
    std::string problem;
    const SettingsFileRead read = read_settings_file(settings, problem);
    if (read == SETTINGS_MISSING || read == SETTINGS_UNREADABLE) return 0;
    for (int n = 0; n < SLOT_COUNT; ++n) {
        const SlotSettings& slot = settings.per_slot[n];
        if (connectable_name(slot.port_name)) o.service.ports[n] = slot.port_name;
        if (slot.zoom_span > 0) o.service.zoom_span[n] = slot.zoom_span;
    }
    o.service.full_display = settings.full_display != 0;
    return 1;
}

int signal_pipe[2] = {-1, -1};

void on_signal(int)
{
    const char byte = 1;
    ssize_t ignored = ::write(signal_pipe[1], &byte, 1);
    (void)ignored;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    const int parsed = parse_options(argc, argv, o);
    if (parsed >= 0) return parsed;
    // Ports chosen on the setup page are kept where the ports came from: solvane.ini, or this
    // run alone when the command line named them.
    o.service.ports_in_settings_file = !o.ports_given;
    // The schedule: solvane-site.ini, the options over it. A file the setup page wrote never keeps
    // the server from starting; a wrong option does.
    std::string schedule_error, schedule_notes;
    if (!load_schedule(o.schedule, o.service.schedule, schedule_error, schedule_notes)) {
        const ScheduleArguments& a = o.schedule;
        if (!a.site.empty() || !a.wake.empty() || !a.sleep.empty() || !a.ready_by.empty()) return usage_error(schedule_error);
        schedule_notes += std::string(SITE_FILE) + " is not used: " + schedule_error + "\n";
        o.service.schedule = Schedule{};
    }
    if (o.schedule.print) {
        // Neither the ports nor a display: the ports are only named.
        if (!o.ports_given) read_settings(o);
        const std::vector<std::string> ports(o.service.ports, o.service.ports + SLOT_COUNT);
        std::fputs(schedule_printout(o.service.schedule, ports, load_heating_file(),
                                     static_cast<std::int64_t>(std::time(nullptr))).c_str(), stdout);
        return 0;
    }
    if (!o.ports_given && !read_settings(o))
        return usage_error("no solvane.ini in this directory: start it where SolvaneControl keeps its settings, "
                           "or name the ports with --ports");
    std::string named;
    for (int n = 0; n < SLOT_COUNT; ++n)
        if (!o.service.ports[n].empty())
            named += (named.empty() ? "" : ", ") + o.service.ports[n] + " (device " + std::to_string(n) + ")";
    if (named.empty()) return usage_error("no filter port is configured (solvane.ini names none; use --ports)");

    if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication application(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);

    if (!service_start(o.service)) {
        std::fprintf(stderr, "solvane-alpaca: the filter lines could not start\n");
        return 1;
    }
    std::string error;
    const int port = http_start(o.http, error);
    if (port == 0) {
        std::fprintf(stderr, "solvane-alpaca: %s\n", error.c_str());
        service_stop();
        return 1;
    }
    int discovery_port = 0;
    if (o.discovery_on) {
        o.discovery.alpaca_port = port;
        o.discovery.listen = o.http.listen;
        discovery_port = discovery_start(o.discovery, error);
        if (discovery_port == 0) std::fprintf(stderr, "solvane-alpaca: no discovery: %s\n", error.c_str());
    }

    const std::string address = address_text(o.http.listen);
    const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    std::printf("solvane-alpaca: filters %s\n", named.c_str());
    std::printf("solvane-alpaca: listening on http://%s:%d/\n", host.c_str(), port);
    if (discovery_port != 0) std::printf("solvane-alpaca: discovery on UDP port %d\n", discovery_port);
    for (size_t at = 0, end; (end = schedule_notes.find('\n', at)) != std::string::npos; at = end + 1)
        std::printf("solvane-alpaca: %s\n", schedule_notes.substr(at, end - at).c_str());
    std::fflush(stdout);

    // SIGTERM (systemd) and SIGINT (Ctrl+C) end the event loop; the rest shuts down in order.
    if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    QSocketNotifier stop_notifier(signal_pipe[0], QSocketNotifier::Read);
    QObject::connect(&stop_notifier, &QSocketNotifier::activated, [] { QCoreApplication::quit(); });
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);

    application.exec();

    service_stop();  // first: writes waiting for a filter answer at once
    http_stop();
    discovery_stop();
    return 0;
}
