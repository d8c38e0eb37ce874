// SolvaneCommand.exe under Wine against the same simulated filters as the Linux tool: one table
// of console cases, each run by both programs on a fresh simulator, with the same expectations
// for standard output, exit status, the bytes that reached each filter and the time taken.
//
// The Windows program reaches the pseudo-terminals as COM1 to COM4 of a private Wine prefix, made
// once for the whole table: Wine's port table (HKLM\Software\Wine\Ports) names the simulator's
// port links, which each start of the simulator points at its new pseudo-terminals.
//
// What may differ, and only that: the time stamp line, the line ends (a Windows console program
// writes CR LF, as the tool always did on its home platform; every LF must come after a CR), and
// on standard error the system's own text of an error, between the port name and our advice.
#include "link/solvane_link.h"
#include "sim/simulator.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <regex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string TOOL = SOLVANE_COMMAND_PATH;
const std::string WINDOWS_BIN = SOLVANE_WINDOWS_BIN;
const std::string WINE = SOLVANE_WINE;
const std::string WINESERVER = SOLVANE_WINESERVER;
const std::string SETPRIV = SOLVANE_SETPRIV;
constexpr double WINE_START_S = 180;  // the first start of a prefix makes it: slow, but bounded

// The prefix and the port directory, shared by every case of this program.
struct WineSetup {
    std::string ports;
    std::string prefix;
    std::string why_not;  // empty when the prefix is ready
};
WineSetup& wine_setup()
{
    static WineSetup setup;
    return setup;
}

// Runs a program with its output dropped and waits for it at most seconds (then it is killed).
// The output goes nowhere rather than to a pipe: the services a program starts in a fresh Wine
// server inherit its descriptors and live as long as the server.
int run_quietly(const std::string& path, const std::vector<std::string>& args, double seconds)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    return wait_exit(pid, seconds);
}

class WinePrefixEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        WineSetup& s = wine_setup();
        // Everything Wine makes stays in one folder of this test's: the prefix, and its server's
        // socket folder, which Wine makes under $TMPDIR and leaves behind.
        const std::string base = make_temp_dir();
        s.ports = base + "/ports";
        s.prefix = base + "/prefix";
        const std::string tmp = base + "/tmp";
        ::mkdir(s.ports.c_str(), 0700);
        ::mkdir(tmp.c_str(), 0700);
        ::setenv("TMPDIR", tmp.c_str(), 1);
        ::setenv("WINEPREFIX", s.prefix.c_str(), 1);
        ::setenv("WINEDEBUG", "-all", 1);
        // No display is needed: console programs only, and no offer to install Mono or Gecko.
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        ::unsetenv("SOLVANE_PORT_DIR");
        std::string reg = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n";
        for (int n = 1; n <= SLOT_COUNT; ++n)
            reg += "\"COM" + std::to_string(n) + "\"=\"" + s.ports + "/COM" + std::to_string(n) + "\"\r\n";
        const std::string reg_file = base + "/wine-ports.reg";
        write_file(reg_file, reg);
        // The first start makes the prefix. The port table is read when the prefix's services
        // start, which is when a Wine server starts: the one of the first start has to end first.
        if (run_quietly(WINE, {"regedit", "/S", "Z:" + reg_file}, WINE_START_S) != 0) {
            s.why_not = "wine regedit could not set the port table";
            return;
        }
        if (run_quietly(WINESERVER, {"-w"}, 60) != 0) {
            s.why_not = "the Wine server did not end";
            return;
        }
        // One server for the whole table, kept until the end: a server that ends when idle may
        // end just as the next program connects to it. The server opens the devices for its
        // programs; root would open a terminal held in exclusive mode all the same, so as root
        // the server runs without the privilege that allows it (CAP_SYS_ADMIN), like an ordinary
        // user's server at the telescope.
        const bool as_root = ::geteuid() == 0;
        if (as_root ? run_quietly(SETPRIV, {"--bounding-set", "-sys_admin", "--inh-caps", "-sys_admin", "--", WINESERVER, "-p"}, 60) != 0
                    : run_quietly(WINESERVER, {"-p"}, 60) != 0) {
            s.why_not = "the Wine server did not start";
            return;
        }
        if (run_quietly(WINE, {"cmd", "/c", "exit"}, 60) != 0) {
            s.why_not = "a Windows program did not run under wine";
            return;
        }
        for (int n = 1; n <= SLOT_COUNT; ++n) {
            const std::string com = "com" + std::to_string(n);
            char target[4096] = "";
            const ssize_t k = ::readlink((s.prefix + "/dosdevices/" + com).c_str(), target, sizeof target - 1);
            if (k <= 0 || std::string(target, static_cast<size_t>(k)) != s.ports + "/COM" + std::to_string(n))
                s.why_not = "Wine did not map " + com + " to the simulator's port";
        }
    }
    void TearDown() override
    {
        // The server ends before the test's folders go.
        run_quietly(WINESERVER, {"-k"}, 30);
    }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new WinePrefixEnvironment);

// The tool's output without its time stamp line, which must come first.
std::string after_time_stamp(const std::string& output)
{
    static const std::regex stamp("^\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\n\n");
    std::smatch m;
    if (!std::regex_search(output, m, stamp)) return "<no time stamp: " + output + ">";
    return m.suffix();
}

// A Windows program's text with LF line ends; "<bare LF>" when one LF came without its CR.
std::string unix_lines(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return "<bare LF in: " + text + ">";
        out += text[i];
    }
    return out;
}

SimFilter awake_on_band(SimFilter f)
{
    f.sleeping = 0;
    f.temperature = f.center_temperature + f.wing_shift_tenths / 10.0 * f.temperature_per_angstrom;
    f.within_target_s = 1e6;
    return f;
}

using Bytes = std::vector<std::string>;

enum Holder { NOBODY, ANOTHER_PROGRAM };

struct ConsoleCase {
    const char* name;
    std::vector<SimFilter> filters;
    std::vector<std::string> args;
    std::string output;           // after the time stamp
    int exit_code;
    std::vector<Bytes> received;  // by filter
    std::string error_start = {};  // standard error begins with this ...
    std::string error_end = {};    // ... and ends with this (both empty: nothing on standard error)
    double at_least_s = 0;
    double at_most_s = 10;
    Holder holder = NOBODY;       // COM1 held by another program while the tool runs
};

std::vector<ConsoleCase> console_cases()
{
    const std::vector<SimFilter> preset = sim_preset();
    return {
        {"a status block each for a decimal and a hexadecimal filter",
         {awake_on_band(preset[0]), preset[1]},
         {"com1=status", "COM2=STATUS"},
         "COM1: On band\nBW/Series: 0.7A/PRO\nNom: 6562.8\nTarget: 6562.8\nCurrent: 6562.8\n\n"
         "COM2: Sleep, heater off.\nBW/Series: 2.4/CaK\nNom: 3933.7\nTarget: 3933.7\nCurrent: 3925.6\n\n",
         1,
         {{"GI\n", "GH\n", "GX\n", "GQ\n", "GB\n"}, {"GI\n", "GH\n", "GX\n", "GQ\n", "GB\n"}}},
        {"sleep", {awake_on_band(preset[0])}, {"COM1=SLEEP"}, "COM1: Sleep successful.\n\n", 0, {{"SH1\n"}}},
        {"wake", {preset[0]}, {"COM1=wake"}, "COM1: Wake successful.\n\n", 0, {{"SH0\n"}}},
        {"wing shifts on two filters", {preset[0], preset[1]}, {"COM1=0.25", "COM2=-1"},
         "COM1: Set shift successful.\n\nCOM2: Set shift successful.\n\n", 0, {{"SE2\n"}, {"SE-10\n"}}},
        {"a wait that ends at once on band", {awake_on_band(preset[0])}, {"COM1=WAKE", "WAIT=30"},
         "COM1: Wake successful.\n\n", 0, {{"SH0\n", "GI\n"}}},
        {"a wait that runs out names the filter off band", {preset[2]}, {"COM1=WAKE", "WAIT=1"},
         "COM1: Wake successful.\n\n", 1, {{"SH0\n", "GI\n"}},
         "SolvaneCommand: COM1: not on band when the wait of 1 s ran out", "", 10, 25},
        {"a missing port", {preset[0]}, {"COM99=STATUS", "COM1=SLEEP"},
         "COM99: Could not connect to serial port.\nCOM1: Sleep successful.\n\n", 1, {{"SH1\n"}},
         "COM99: ", " Is the filter's cable or USB adapter plugged in?"},
        {"a port another program holds is tried three times, two seconds apart", {preset[0]}, {"COM1=STATUS"},
         "COM1: Could not connect to serial port.\n", 1, {{}},
         "COM1: ", " Another program is using the port.", 4, 15, ANOTHER_PROGRAM},
    };
}

struct Outcome {
    ProgramRun run;
    std::vector<Bytes> received;
};

// Holds COM1 as another program does: this process opens it for itself, as the Linux tool does
// (a lock and the terminal's exclusive mode). The Linux tool meets the lock; the Windows tool meets
// the exclusive mode, which Wine reports as a lock violation. (Wine does not refuse a second
// Windows program a serial device that one holds without sharing, so no Windows program holds it.)
struct PortHeld {
    int connected = 0, handle = -1;
    PortHeld() { serial_init(connected, handle, sim_port_path(0).c_str(), LINK_CONSOLE); }
    ~PortHeld() { serial_close(connected, handle); }
};

// A Windows program of the cross build under Wine.
ProgramRun run_windows_program(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<std::string> wine_args = {WINDOWS_BIN + "/" + program};
    wine_args.insert(wine_args.end(), args.begin(), args.end());
    return run_program(WINE, wine_args);
}

Outcome run_case(const ConsoleCase& c, bool windows)
{
    Outcome o;
    SimOptions options;
    options.port_dir = wine_setup().ports;
    options.paced = 1;  // reply bytes as a 9600-baud line delivers them
    options.filters = c.filters;
    std::string why;
    if (sim_start(options, &why) != 1) {
        ADD_FAILURE() << "the simulator did not start: " << why;
        return o;
    }
    {
        std::unique_ptr<PortHeld> held;
        if (c.holder == ANOTHER_PROGRAM) held = std::make_unique<PortHeld>();
        if (windows) {
            o.run = run_windows_program("SolvaneCommand.exe", c.args);
        } else {
            o.run = run_program(TOOL, c.args, wine_setup().ports);
        }
    }
    for (size_t i = 0; i < c.filters.size(); ++i) o.received.push_back(sim_received(static_cast<int>(i)));
    sim_stop();
    return o;
}

void expect_case(const ConsoleCase& c, const Outcome& o, const char* tool)
{
    const std::string where = std::string(c.name) + " (" + tool + ")";
    EXPECT_EQ(after_time_stamp(o.run.output), c.output) << where;
    EXPECT_EQ(o.run.exit_code, c.exit_code) << where;
    for (size_t i = 0; i < c.received.size() && i < o.received.size(); ++i)
        EXPECT_EQ(o.received[i], c.received[i]) << where << ", filter " << i + 1;
    std::string errors = o.run.errors;
    if (!errors.empty() && errors.back() == '\n') errors.pop_back();
    if (c.error_start.empty() && c.error_end.empty()) {
        EXPECT_EQ(errors, "") << where;
    } else {
        EXPECT_EQ(errors.find('\n'), std::string::npos) << where << ": one line: " << errors;
        EXPECT_EQ(errors.rfind(c.error_start, 0), 0u) << where << ": " << errors;
        ASSERT_GE(errors.size(), c.error_end.size()) << where << ": " << errors;
        EXPECT_EQ(errors.substr(errors.size() - c.error_end.size()), c.error_end) << where << ": " << errors;
    }
    EXPECT_GE(o.run.seconds, c.at_least_s) << where;
    EXPECT_LE(o.run.seconds, time_bound(c.at_most_s)) << where;
}

TEST(ConsoleToolUnderWine, TheSameCasesGiveTheSameBytesAndOutputAsNatively)
{
    ASSERT_EQ(wine_setup().why_not, "");
    for (const ConsoleCase& c : console_cases()) {
        const Outcome native = run_case(c, false);
        expect_case(c, native, "Linux");
        Outcome windows = run_case(c, true);
        windows.run.output = unix_lines(windows.run.output);
        windows.run.errors = unix_lines(windows.run.errors);
        expect_case(c, windows, "Windows under Wine");
        // Beyond the table: the whole output is the same, time stamp aside.
        EXPECT_EQ(after_time_stamp(windows.run.output), after_time_stamp(native.run.output)) << c.name;
    }
}

// A filter served by the Linux solvane-alpaca, named alpaca://127.0.0.1:PORT/N: both tools reach it
// through the link's HTTP client (Winsock's sockets on Windows) and print the same; a server that
// has ended is a port that did not open, with the system's reason.
TEST(ConsoleToolUnderWine, AServedFilterIsReachedAsFromLinux)
{
    ASSERT_EQ(wine_setup().why_not, "");
    SimOptions options;
    options.port_dir = wine_setup().ports;
    options.filters = {awake_on_band(sim_preset()[0]), sim_preset()[1]};
    ASSERT_EQ(sim_start(options), 1);
    ::setenv("SOLVANE_PORT_DIR", wine_setup().ports.c_str(), 1);
    ServedProgram server = start_served(SOLVANE_ALPACA_PATH, "COM1,COM2", 0, make_temp_dir());
    ::unsetenv("SOLVANE_PORT_DIR");
    ASSERT_GT(server.port, 0);
    const std::string first = served_name(server, 0), second = served_name(server, 1);

    struct Row {
        const char* name;
        std::vector<std::string> args;
        std::string output;
        int exit_code;
    } rows[] = {
        {"status", {first + "=STATUS"},
         first + ": On band\nBW/Series: 0.7A/PRO\nNom: 6562.8\nTarget: 6562.8\nCurrent: 6562.8\n\n", 0},
        {"a name that is no served filter's", {second + "X=STATUS"}, "", 1},
        {"a wake", {second + "=wake"}, second + ": Wake successful.\n\n", 0},
    };
    for (const Row& row : rows) {
        const ProgramRun native = run_program(TOOL, row.args);
        const ProgramRun windows = run_windows_program("SolvaneCommand.exe", row.args);
        if (row.output.empty()) {  // refused alike: the same output and the same reason
            EXPECT_EQ(after_time_stamp(unix_lines(windows.output)), after_time_stamp(native.output)) << row.name;
            EXPECT_EQ(unix_lines(windows.errors), native.errors) << row.name;
        } else {
            EXPECT_EQ(after_time_stamp(native.output), row.output) << row.name << ": " << native.errors;
            EXPECT_EQ(after_time_stamp(unix_lines(windows.output)), row.output) << row.name << ": " << windows.errors;
        }
        EXPECT_EQ(native.exit_code, row.exit_code) << row.name;
        EXPECT_EQ(windows.exit_code, row.exit_code) << row.name;
    }
    EXPECT_EQ(stop_served(server), 0);
    sim_stop();

    const std::string refused = first + ": the server could not be reached: ";
    for (bool windows : {false, true}) {
        const ProgramRun r = windows ? run_windows_program("SolvaneCommand.exe", {first + "=STATUS"})
                                     : run_program(TOOL, {first + "=STATUS"});
        const std::string tool = windows ? "Windows" : "Linux";
        EXPECT_EQ(after_time_stamp(windows ? unix_lines(r.output) : r.output), first + ": Could not connect to serial port.\n")
            << tool;
        EXPECT_EQ(r.errors.rfind(refused, 0), 0u) << tool << ": " << r.errors;
        EXPECT_GT(r.errors.size(), refused.size() + 5) << tool << ": the system's reason follows: " << r.errors;
        EXPECT_EQ(r.exit_code, 1) << tool;
    }
}

TEST(ConsoleToolUnderWine, HelpAndVersionAreTheSameText)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"--help"}, {"--version"}}) {
        const ProgramRun native = run_program(TOOL, args);
        const ProgramRun windows = run_windows_program("SolvaneCommand.exe", args);
        const std::string named = args.empty() ? "no arguments" : args[0];
        EXPECT_EQ(unix_lines(windows.output), native.output) << named;
        EXPECT_EQ(windows.exit_code, native.exit_code) << named;
        EXPECT_EQ(windows.errors, "") << named;
    }
}

}  // namespace
