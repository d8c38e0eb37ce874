// indi_solvane under a real indiserver on this machine, driven by INDI's own command-line clients,
// against simulated filters whose received bytes the tests read. INDI messages (which the
// command-line clients do not show) are read by a small raw client of the server's TCP port.
#include "sim/simulator.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

const std::string DRIVER = SOLVANE_INDI_DRIVER;
const std::string DEV = "Solvane 1";
constexpr uid_t NOBODY = 65534;

int free_tcp_port()
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(s);
    return ntohs(address.sin_port);
}

// A client of the server that keeps everything the drivers send from its start on: definitions,
// updates and messages.
struct IndiWatch {
    int fd = -1;
    std::string seen;

    explicit IndiWatch(const std::string& port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
        const std::string hello = "<getProperties version='1.7'/>\n";
        if (::write(fd, hello.data(), hello.size()) != static_cast<ssize_t>(hello.size())) return;
    }
    ~IndiWatch() { ::close(fd); }

    // True once text has come, false when seconds passed first.
    bool wait_for(const std::string& text, double seconds)
    {
        const auto start = TestClock::now();
        while (seen.find(text) == std::string::npos) {
            const double left = seconds - seconds_since(start);
            if (left <= 0) return false;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
            char bytes[65536];
            const ssize_t k = ::read(fd, bytes, sizeof bytes);
            if (k <= 0) return false;
            seen.append(bytes, static_cast<size_t>(k));
        }
        return true;
    }

    // Every INDI message seen, one a line, for a failure's report.
    std::string messages() const
    {
        std::string all;
        const std::string key = " message=\"";
        for (size_t at = seen.find(key); at != std::string::npos; at = seen.find(key, at + 1)) {
            const size_t start = at + key.size();
            all += seen.substr(start, seen.find('"', start) - start) + "\n";
        }
        return all;
    }

    size_t count(const std::string& text) const
    {
        size_t n = 0;
        for (size_t at = seen.find(text); at != std::string::npos; at = seen.find(text, at + 1)) ++n;
        return n;
    }
};

struct IndiTest : ::testing::Test {
    std::string dir = enter_temp_dir();
    std::string port = std::to_string(free_tcp_port());
    std::string fifo = dir + "/indiserver.fifo";
    std::string port_dir = dir + "/ports";
    std::string driver = DRIVER;  // the driver the server starts
    pid_t server = -1;

    // Simulated filters as COM1, COM2, ... in the port directory, which the server's drivers list
    // alone (SOLVANE_ONLY_PORT_DIR): the machine's own serial ports are left alone. as_nobody runs
    // the server and its drivers as user nobody when the test runs as root.
    void start(std::vector<SimFilter> filters, bool as_nobody = false)
    {
        if (filters.empty()) {
            ASSERT_EQ(::mkdir(port_dir.c_str(), 0755), 0);
        } else {
            SimOptions options;
            options.port_dir = port_dir;
            options.speed = 400;
            options.filters = std::move(filters);
            ASSERT_EQ(sim_start(options), 1);
        }
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
        const bool drop = as_nobody && ::geteuid() == 0;
        if (drop) {
            ::chmod(dir.c_str(), 0755);
            ::chmod(fifo.c_str(), 0666);
            // The build tree may lie in a folder nobody may enter (a clone in a private directory):
            // nobody's server starts a copy of the driver in the test's own directory.
            driver = dir + "/indi_solvane";
            write_file(driver, read_file(DRIVER));
            ::chmod(driver.c_str(), 0755);
        }
        server = ::fork();
        if (server == 0) {
            ::setenv("SOLVANE_PORT_DIR", port_dir.c_str(), 1);
            ::setenv("SOLVANE_ONLY_PORT_DIR", "1", 1);
            ::setenv("HOME", dir.c_str(), 1);  // the drivers' configuration files stay in the test
            int quiet = ::open((dir + "/indiserver.log").c_str(), O_WRONLY | O_CREAT, 0644);
            ::dup2(quiet, 2);
            if (drop && (::setgroups(0, nullptr) != 0 || ::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0)) ::_exit(126);
            // A local socket of its own, so servers of tests running side by side do not collide.
            const std::string socket = dir + "/indiserver.socket";
            ::execlp("indiserver", "indiserver", "-p", port.c_str(), "-u", socket.c_str(), "-f", fifo.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }

    void start_driver(const std::string& name = DEV)
    {
        // Without a server reading the FIFO, opening it would wait for ever.
        int f = -1;
        for (int tries = 0; f < 0 && tries < 100; ++tries) {
            f = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (f < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_GE(f, 0) << "indiserver is not running";
        std::string line = "start " + driver + " -n \"" + name + "\"\n";
        ASSERT_EQ(::write(f, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        ::close(f);
        ASSERT_TRUE(wait_for("\"" + name + ".CONNECTION.CONNECT\"==0", 10)) << name << " did not come up";
    }

    std::string get(const std::string& property)
    {
        std::string value = run_program("/usr/bin/indi_getprop", {"-p", port, "-t", "5", "-1", property}).output;
        while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
        return value;
    }

    double number(const std::string& property) { return std::atof(get(property).c_str()); }

    void set(const std::string& assignment)
    {
        ASSERT_EQ(run_program("/usr/bin/indi_setprop", {"-p", port, assignment}).exit_code, 0) << assignment;
    }

    bool wait_for(const std::string& expression, int seconds)
    {
        return run_program("/usr/bin/indi_eval", {"-p", port, "-t", std::to_string(seconds), "-w", expression})
                   .exit_code == 0;
    }

    // The state of a property as indi_eval counts it: 0 Idle, 1 Ok, 2 Busy, 3 Alert.
    bool wait_state(const std::string& property, int state, int seconds = 10)
    {
        return wait_for("\"" + property + "._STATE\"==" + std::to_string(state), seconds);
    }

    void connect(const std::string& name, const std::string& com)
    {
        set(name + ".DEVICE_PORT.PORT=" + com);
        set(name + ".CONNECTION.CONNECT=On");
        ASSERT_TRUE(wait_state(name + ".CONNECTION", 1, 15)) << name << " on " << com;
    }

    void TearDown() override
    {
        if (server > 0) {
            ::kill(server, SIGTERM);
            ::waitpid(server, nullptr, 0);  // its drivers end with it: their input closes
        }
        sim_stop();
    }
};

TEST_F(IndiTest, ConnectingReadsTheIdentityTheWavelengthsAndTheTemperaturesInCelsius)
{
    start({sim_preset()[0]});
    start_driver();
    set("Solvane 1.POLLING_PERIOD.PERIOD_MS=600000");  // a slow machine sees no tick before the count
    connect(DEV, "COM1");
    EXPECT_EQ(get("Solvane 1.FILTER_IDENTITY.MODEL"), "Solvane 60 Hydrogen alpha");
    EXPECT_EQ(get("Solvane 1.FILTER_IDENTITY.SERIAL"), "SV60A-1024");
    EXPECT_EQ(get("Solvane 1.FILTER_IDENTITY.BANDWIDTH"), "0.7A");
    EXPECT_EQ(get("Solvane 1.FILTER_IDENTITY.FIRMWARE"), "v1.20");
    EXPECT_NEAR(number("Solvane 1.FILTER_WAVELENGTHS.NOMINAL"), 6562.8, 1e-6);
    EXPECT_EQ(get("Solvane 1.FILTER_STATUS.STATUS"), "Idle");
    EXPECT_EQ(get("Solvane 1.FILTER_STATUS_TEXT.TEXT"), "Sleep, heater off.");
    EXPECT_EQ(sim_received(0).size(), 17u) << "identification, read-out, status and age, as SolvaneControl does";
    const SimFilter filter = sim_snapshot(0);  // asleep at the ambient temperature: it stays there
    EXPECT_NEAR(number("Solvane 1.FILTER_TEMPERATURES.CURRENT"), (filter.temperature - 32) * 5 / 9, 0.01);
    EXPECT_NEAR(number("Solvane 1.FILTER_TEMPERATURES.TARGET"), (filter.center_temperature - 32) * 5 / 9, 0.01);
    EXPECT_EQ(get("Solvane 1.FILTER_STATUS_TEXT.FAHRENHEIT"), "Element 58.00 °F, target 120.00 °F");
}

TEST_F(IndiTest, WithDebugOnEveryExchangeIsTracedInOneMessage)
{
    start({sim_preset()[0]});
    start_driver();
    set("Solvane 1.DEBUG.ENABLE=On");
    set("Solvane 1.DEBUG_LEVEL.DBG_DEBUG=On");
    IndiWatch watch(port);
    connect(DEV, "COM1");
    // A message as the server sends it: XML, so the arrow's ">" comes escaped.
    EXPECT_TRUE(watch.wait_for("GI\\n -&gt; v1.20 ", 5)) << watch.messages();
    EXPECT_TRUE(watch.wait_for("GY\\n -&gt; ", 5)) << "the age poll, the last of the 17";
}

TEST_F(IndiTest, TheSystemPortsListFillsThePortAndIsScannedAnewOnRequest)
{
    start({sim_preset()[0], sim_preset()[1]});
    start_driver();
    EXPECT_EQ(get("Solvane 1.SYSTEM_PORTS.COM1"), "On") << "the configured port is the one shown";
    EXPECT_EQ(get("Solvane 1.SYSTEM_PORTS.COM2"), "Off");
    set("Solvane 1.SYSTEM_PORTS.COM2=On");
    EXPECT_TRUE(wait_for("\"Solvane 1.SYSTEM_PORTS.COM2\"==1 && \"Solvane 1.SYSTEM_PORTS.COM1\"==0", 5));
    EXPECT_EQ(get("Solvane 1.DEVICE_PORT.PORT"), "COM2");

    ASSERT_EQ(::symlink(sim_port_path(0).c_str(), (port_dir + "/COM7").c_str()), 0);
    set("Solvane 1.DEVICE_PORT_SCAN.Scan Ports=On");
    EXPECT_TRUE(wait_for("\"Solvane 1.SYSTEM_PORTS.COM7\"==0", 5)) << "a new port after a scan";
    set("Solvane 1.SYSTEM_PORTS.COM7=On");
    set("Solvane 1.CONNECTION.CONNECT=On");
    EXPECT_TRUE(wait_state("Solvane 1.CONNECTION", 1)) << "a listed port under a second name connects";

    // A later client sees every property defined once, with the labels Ekos shows. It comes once the
    // connection's own definitions are out, so what it counts is the answer to its own request.
    ASSERT_FALSE(get("Solvane 1.FILTER_IDENTITY.MODEL").empty());
    IndiWatch watch(port);
    // The definition of the last property; a set message of it may come before the definitions.
    ASSERT_TRUE(watch.wait_for("<defTextVector device=\"Solvane 1\" name=\"FILTER_IDENTITY\"", 5));
    EXPECT_EQ(watch.count("<defTextVector device=\"Solvane 1\" name=\"DEVICE_PORT\""), 1u);
    EXPECT_EQ(watch.count("<defSwitchVector device=\"Solvane 1\" name=\"SYSTEM_PORTS\""), 1u);
    EXPECT_EQ(watch.count("label=\"Status\""), 1u);
    EXPECT_EQ(watch.count("label=\"Element (°C)\""), 1u);
    EXPECT_EQ(watch.count("label=\"Wing shift (Å)\""), 1u);
}

TEST_F(IndiTest, SimulationConnectsToASimulatedFilterWithNoPortAtAll)
{
    start({});  // an empty port directory: this machine offers no port
    start_driver();
    set("Solvane 1.SIMULATION.ENABLE=On");
    IndiWatch watch(port);
    set("Solvane 1.CONNECTION.CONNECT=On");
    ASSERT_TRUE(wait_state("Solvane 1.CONNECTION", 1));
    EXPECT_EQ(get("Solvane 1.FILTER_IDENTITY.MODEL"), "Solvane 60 Hydrogen alpha") << "the preset's first";
    ASSERT_TRUE(watch.wait_for("/COM1.\"", 5)) << "the message names the simulator's port";
    const size_t at = watch.seen.find("/tmp/solvane-ports-");
    ASSERT_NE(at, std::string::npos);
    const std::string link = watch.seen.substr(at, watch.seen.find('.', at) - at);
    EXPECT_TRUE(file_exists(link)) << link;

    set("Solvane 1.SIMULATED_FILTER.FILTER=7");
    EXPECT_TRUE(wait_state("Solvane 1.SIMULATED_FILTER", 3)) << "no seventh filter";
    set("Solvane 1.SIMULATED_FILTER.FILTER=calcium");
    set("Solvane 1.CONNECTION.DISCONNECT=On");
    ASSERT_TRUE(wait_state("Solvane 1.CONNECTION", 0));
    EXPECT_FALSE(file_exists(link)) << "the simulator stops with the connection";
    set("Solvane 1.CONNECTION.CONNECT=On");
    ASSERT_TRUE(wait_state("Solvane 1.CONNECTION", 1));
    EXPECT_EQ(get("Solvane 1.FILTER_IDENTITY.MODEL"), "Solvane 40 Calcium K");
    set("Solvane 1.FILTER_HEATER.ON=On");
    EXPECT_TRUE(wait_for("\"Solvane 1.FILTER_STATUS.STATUS\"==2", 10)) << "the simulated filter heats";
}

TEST_F(IndiTest, AWokenFilterIsBusyThenOkOnBandAndSleepsIdle)
{
    start({sim_preset()[2]});
    start_driver();
    connect(DEV, "COM1");
    set("Solvane 1.POLLING_PERIOD.PERIOD_MS=1000");
    sim_clear_received(0);
    set("Solvane 1.FILTER_HEATER.ON=On");
    EXPECT_TRUE(wait_for("\"Solvane 1.FILTER_STATUS.STATUS\"==2", 5)) << "busy while heating";
    EXPECT_TRUE(wait_for("\"Solvane 1.FILTER_STATUS.STATUS\"==1", 40)) << "ok once on band";
    EXPECT_EQ(get("Solvane 1.FILTER_STATUS_TEXT.TEXT"), "On band");
    EXPECT_EQ(get("Solvane 1.FILTER_HEATER._STATE"), "Ok") << "acknowledged";
    EXPECT_EQ(sim_received(0).front(), "SH0\n");
    set("Solvane 1.FILTER_HEATER.SLEEP=On");
    EXPECT_TRUE(wait_for("\"Solvane 1.FILTER_STATUS.STATUS\"==0", 5)) << "idle asleep";
    EXPECT_EQ(sim_snapshot(0).sleeping, 1);
}

// Numbers from the network: a wing shift goes to the filter as SolvaneCommand sends it (tenths,
// cut toward zero); a value out of range or not a number turns the property Alert with a message
// and changes nothing, whatever libindi's own range check let through.
TEST_F(IndiTest, NumbersFromTheNetworkAreCheckedBeforeAnythingChanges)
{
    struct Row {
        const char* sentence;
        std::string assignment;
        const char* sent;  // the setting the filter receives, then a poll; nullptr: nothing
        double value;      // the property's value afterwards
        bool refused;
    };
    const Row rows[] = {
        {"a wing shift of a quarter is cut to two tenths", "WING_SHIFT.SHIFT=0.25", "SE2\n", 0.2, false},
        {"a negative quarter is cut toward zero", "WING_SHIFT.SHIFT=-0.25", "SE-2\n", -0.2, false},
        {"three tenths are three tenths", "WING_SHIFT.SHIFT=-0.3", "SE-3\n", -0.3, false},
        {"a wing shift of five angstrom is refused", "WING_SHIFT.SHIFT=5.0", nullptr, -0.3, true},
        {"a wing shift that is not a number is refused", "WING_SHIFT.SHIFT=nan", nullptr, -0.3, true},
        {"an infinite wing shift is refused", "WING_SHIFT.SHIFT=inf", nullptr, -0.3, true},
        {"a polling period of half a second is refused", "POLLING_PERIOD.PERIOD_MS=500", nullptr, 600000, true},
        {"a polling period that is not a number is refused", "POLLING_PERIOD.PERIOD_MS=nan", nullptr, 600000, true},
        {"a negative polling period is refused", "POLLING_PERIOD.PERIOD_MS=-1", nullptr, 600000, true},
        {"a polling period of two seconds is taken", "POLLING_PERIOD.PERIOD_MS=2000", nullptr, 2000, false},
    };
    start({sim_preset()[0]});
    start_driver();
    connect(DEV, "COM1");
    set("Solvane 1.POLLING_PERIOD.PERIOD_MS=600000");  // no tick comes between
    for (const Row& row : rows) {
        SCOPED_TRACE(row.sentence);
        const std::string property = "Solvane 1." + row.assignment.substr(0, row.assignment.find('.'));
        const std::string element = "Solvane 1." + row.assignment.substr(0, row.assignment.find('='));
        sim_clear_received(0);
        IndiWatch watch(port);
        set("Solvane 1." + row.assignment);
        const std::string settled = "abs(\"" + element + "\" - " + std::to_string(row.value) + ") < 0.01 && \"" +
                                    property + "._STATE\"==" + (row.refused ? "3" : "1");
        EXPECT_TRUE(wait_for(settled, 5)) << get(element);
        if (row.refused) {
            EXPECT_TRUE(watch.wait_for("refused: it must be a number from", 5)) << watch.messages();
            EXPECT_TRUE(sim_received(0).empty()) << "nothing sent";
        }
        if (row.sent != nullptr) {
            EXPECT_EQ(sim_received(0), (std::vector<std::string>{row.sent, "GI\n"})) << "the setting, then a poll";
        }
    }
    EXPECT_EQ(sim_snapshot(0).wing_shift_tenths, -3);
    EXPECT_NEAR(number("Solvane 1.FILTER_WAVELENGTHS.TARGET"), 6562.5, 1e-6);
}

// Each way a connection fails says which it was, with the system's reason, as an INDI message;
// nothing is written to serial_error.log in the directory the server runs in.
struct FailureRow {
    const char* name;
    SimFaults faults;
    bool missing;  // the port's link leads nowhere
    bool refused;  // the port may not be opened (mode 000, and the driver not root)
    const char* message;
};

void PrintTo(const FailureRow& row, std::ostream* out) { *out << row.name; }

struct IndiConnectFailure : IndiTest, ::testing::WithParamInterface<FailureRow> {};

TEST_P(IndiConnectFailure, SaysWhichFailureItWasWithTheSystemsReason)
{
    const FailureRow& row = GetParam();
    SimFilter filter = sim_preset()[0];
    filter.faults = row.faults;
    start({filter}, row.refused);
    if (row.missing) {
        ASSERT_EQ(::symlink((port_dir + "/gone").c_str(), (port_dir + "/COM9").c_str()), 0);
    }
    if (row.refused) {
        char device[4096];
        ASSERT_NE(::realpath(sim_port_path(0).c_str(), device), nullptr);
        ASSERT_EQ(::chmod(device, 0), 0);
    }
    start_driver();
    IndiWatch watch(port);
    set(std::string("Solvane 1.DEVICE_PORT.PORT=") + (row.missing ? "COM9" : "COM1"));
    set("Solvane 1.CONNECTION.CONNECT=On");
    EXPECT_TRUE(wait_state("Solvane 1.CONNECTION", 3, 15));
    EXPECT_TRUE(watch.wait_for(row.message, 5)) << watch.messages();
    EXPECT_EQ(get("Solvane 1.CONNECTION.CONNECT"), "Off");
    EXPECT_FALSE(file_exists(dir + "/serial_error.log"));
}

INSTANTIATE_TEST_SUITE_P(
    Connecting, IndiConnectFailure,
    ::testing::Values(
        FailureRow{"AMissingPortSaysTheDeviceIsNotThere", {}, true, false,
                       "Could not open COM9: No such file or directory. Is the filter"},
        FailureRow{"ARefusedPermissionNamesTheDialoutGroup", {}, false, true,
                       "Could not open COM1: Permission denied. Add yourself to the dialout group: sudo adduser $USER "
                       "dialout, then log in again."},
        FailureRow{"ADeviceThatIsNoFilterSaysWhatItSaid", SimFaults{.echo = 1}, false, false,
                       "The device on COM1 answered, but not as a Solvane filter (it said: GI)."},
        FailureRow{"ASilentFilterSaysNothingAnswered", SimFaults{.silent = 1}, false, false,
                       "COM1 opened, but no filter answered."}),
    [](const ::testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

// Any client on the network can name a port: the driver opens only the ports it lists, and a name
// that could forge a log record never gets further than the property.
TEST_F(IndiTest, PortsTheDriverDoesNotListAreNeverOpened)
{
    start({sim_preset()[0]});
    start_driver();
    int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);  // another program's terminal
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(::grantpt(terminal), 0);
    ASSERT_EQ(::unlockpt(terminal), 0);
    const std::string other = ::ptsname(terminal);
    int other_side = ::open(other.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other_side, 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(other_side, &before), 0);

    struct Row {
        const char* sentence;
        std::string name;
        bool refused_as_name;  // refused when set; else refused when connecting
        std::string message;
    };
    const Row rows[] = {
        {"another program's terminal", other, false, "Refused to open " + other},
        {"the machine's first UART, not listed here", "/dev/ttyS0", false, "Refused to open /dev/ttyS0"},
        {"a name with an escape character", "CO\x1bM1", true, "Port name refused"},
        {"a name with a tab", "CO\tM1", true, "Port name refused"},
        {"a name of 150 characters", std::string(150, 'A'), true, "Port name refused"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.sentence);
        IndiWatch watch(port);
        set("Solvane 1.DEVICE_PORT.PORT=" + row.name);
        if (row.refused_as_name) {
            EXPECT_TRUE(wait_state("Solvane 1.DEVICE_PORT", 3, 5));
            EXPECT_EQ(get("Solvane 1.DEVICE_PORT.PORT"), "COM1") << "the port is kept";
        } else {
            set("Solvane 1.CONNECTION.CONNECT=On");
            EXPECT_TRUE(wait_state("Solvane 1.CONNECTION", 3, 5));
        }
        EXPECT_TRUE(watch.wait_for(row.message, 5)) << watch.messages();
        set("Solvane 1.DEVICE_PORT.PORT=COM1");
    }
    termios after{};
    ASSERT_EQ(::tcgetattr(other_side, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "echo and canonical mode as they were";
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
    char bytes[16];
    EXPECT_LT(::read(terminal, bytes, sizeof bytes), 1) << "nothing was written to it";
    EXPECT_TRUE(sim_received(0).empty()) << "the filter on COM1 was not touched either";
    EXPECT_FALSE(file_exists(dir + "/serial_error.log"));
    ::close(other_side);
    ::close(terminal);
}

TEST_F(IndiTest, ASilentFilterAlertsWithoutHoldingUpTheServer)
{
    start({sim_preset()[0], sim_preset()[1]});
    start_driver("Solvane 1");
    start_driver("Solvane 2");
    connect("Solvane 1", "COM1");
    connect("Solvane 2", "COM2");
    set("Solvane 1.POLLING_PERIOD.PERIOD_MS=1000");
    sim_set_faults(0, SimFaults{.silent = 1});
    EXPECT_TRUE(wait_for("\"Solvane 1.FILTER_STATUS.STATUS\"==3", 10)) << "alert";
    EXPECT_EQ(get("Solvane 1.FILTER_STATUS_TEXT.TEXT"), "No communication");
    auto start_time = TestClock::now();
    EXPECT_EQ(get("Solvane 1.FILTER_IDENTITY.EDITION"), "PRO") << "its own driver answers while it polls";
    EXPECT_EQ(get("Solvane 2.FILTER_IDENTITY.EDITION"), "CaK");
    EXPECT_LT(seconds_since(start_time), time_bound(3.0)) << "both answer at once";
    sim_set_faults(0, SimFaults{});
    EXPECT_TRUE(wait_for("\"Solvane 1.FILTER_STATUS.STATUS\"==0", 10)) << "back to idle when it answers again";
}

TEST_F(IndiTest, FourInstancesServeFourFiltersOnOneServer)
{
    start({sim_preset()[0], sim_preset()[1], sim_preset()[2], sim_preset()[3]});
    const char* models[] = {"Solvane 60 Hydrogen alpha", "Solvane 40 Calcium K", "Solvane 50 Sodium",
                            "Solvane 50 Hydrogen beta"};
    for (int i = 1; i <= 4; ++i) start_driver("Solvane " + std::to_string(i));
    for (int i = 1; i <= 4; ++i) connect("Solvane " + std::to_string(i), "COM" + std::to_string(i));
    for (int i = 1; i <= 4; ++i)
        EXPECT_EQ(get("Solvane " + std::to_string(i) + ".FILTER_IDENTITY.MODEL"), models[i - 1]);
    set("Solvane 3.FILTER_UNITS.NANOMETER=On");
    ASSERT_TRUE(wait_for("\"Solvane 3.FILTER_UNITS.NANOMETER\"==1", 5));
    // The switch shows the request at once; the filter hears it on the driver's line.
    const auto asked = TestClock::now();
    while (sim_snapshot(2).units != 1 && seconds_since(asked) < time_bound(5.0))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(sim_snapshot(2).units, 1);
    EXPECT_EQ(sim_snapshot(0).units, 0) << "only its own filter";
}

}  // namespace

namespace {

// The drivers indiserver started, as their process ids.
std::vector<pid_t> children_of(pid_t parent)
{
    std::vector<pid_t> pids;
    std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    for (pid_t pid = 0; children >> pid;) pids.push_back(pid);
    return pids;
}

TEST_F(IndiTest, ADriverEndedBySigtermPutsItsPortsTerminalBack)
{
    start({sim_preset()[0]});
    const int watcher = ::open(sim_port_path(0).c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(watcher, 0);
    termios before{}, during{}, after{};
    ASSERT_EQ(::tcgetattr(watcher, &before), 0);
    before.c_lflag |= ECHO | ICANON;  // the simulator's line is raw; a cooked one shows the difference
    ASSERT_EQ(::tcsetattr(watcher, TCSANOW, &before), 0);
    start_driver();
    connect(DEV, "COM1");
    ASSERT_EQ(::tcgetattr(watcher, &during), 0);
    EXPECT_EQ(during.c_lflag & ECHO, 0u) << "raw while the filter is connected";
    const std::vector<pid_t> drivers = children_of(server);
    ASSERT_EQ(drivers.size(), 1u);
    ASSERT_EQ(::kill(drivers[0], SIGTERM), 0);
    // indiserver reaps it (and may start it anew, with another process id).
    const auto ended = [pid = drivers[0]] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string pid_field, name, state;
        return !(stat >> pid_field >> name >> state) || state == "Z";
    };
    const auto start_time = TestClock::now();
    while (!ended() && seconds_since(start_time) < 5) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(ended()) << "SIGTERM ends the driver";
    ASSERT_EQ(::tcgetattr(watcher, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "the terminal's settings are put back";
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    ::close(watcher);
}

// DEVICE_PORT may name a filter served by solvane-alpaca: the driver connects through the server.
TEST_F(IndiTest, AServedFilterConnectsThroughItsServer)
{
    start({sim_preset()[0]});
    setenv("SOLVANE_PORT_DIR", port_dir.c_str(), 1);
    ServedProgram served = start_served(SOLVANE_ALPACA_PATH, "COM1", 0, make_temp_dir());
    ASSERT_GT(served.port, 0);
    start_driver();
    connect(DEV, served_name(served, 0));
    EXPECT_EQ(get("Solvane 1.FILTER_IDENTITY.MODEL"), "Solvane 60 Hydrogen alpha");
    EXPECT_NEAR(number("Solvane 1.FILTER_WAVELENGTHS.NOMINAL"), 6562.8, 1e-6);
    EXPECT_EQ(get("Solvane 1.FILTER_STATUS_TEXT.TEXT"), "Sleep, heater off.");
    EXPECT_EQ(stop_served(served), 0);
}

}  // namespace
