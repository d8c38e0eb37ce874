// indi_solvane under a real indiserver on this machine, driven by INDI's own command-line clients,
// against simulated filters whose received bytes the tests read.
#include "sim/simulator.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string DRIVER = SOLVANE_INDI_DRIVER;

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

struct IndiTest : ::testing::Test {
    std::string dir = enter_temp_dir();
    std::string port = std::to_string(free_tcp_port());
    std::string fifo = dir + "/indiserver.fifo";
    pid_t server = -1;

    void start(std::vector<SimFilter> filters)
    {
        SimOptions options;
        options.port_dir = dir + "/ports";
        options.speed = 400;
        options.filters = std::move(filters);
        ASSERT_EQ(sim_start(options), 1);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        server = ::fork();
        if (server == 0) {
            ::setenv("SOLVANE_PORT_DIR", options.port_dir.c_str(), 1);
            ::setenv("HOME", dir.c_str(), 1);  // the drivers' configuration files stay in the test
            int quiet = ::open((dir + "/indiserver.log").c_str(), O_WRONLY | O_CREAT, 0644);
            ::dup2(quiet, 2);
            // A local socket of its own, so servers of tests running side by side do not collide.
            const std::string socket = dir + "/indiserver.socket";
            ::execlp("indiserver", "indiserver", "-p", port.c_str(), "-u", socket.c_str(), "-f", fifo.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }

    void start_driver(const std::string& name)
    {
        // Without a server reading the FIFO, opening it would wait for ever.
        int f = -1;
        for (int tries = 0; f < 0 && tries < 100; ++tries) {
            f = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (f < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_GE(f, 0) << "indiserver is not running";
        std::string line = "start " + DRIVER + " -n \"" + name + "\"\n";
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

    void set(const std::string& assignment)
    {
        ASSERT_EQ(run_program("/usr/bin/indi_setprop", {"-p", port, assignment}).exit_code, 0) << assignment;
    }

    bool wait_for(const std::string& expression, int seconds)
    {
        return run_program("/usr/bin/indi_eval", {"-p", port, "-t", std::to_string(seconds), "-w", expression})
                   .exit_code == 0;
    }

    void connect(const std::string& name, const std::string& com)
    {
        set(name + ".DEVICE_PORT.PORT=" + com);
        set(name + ".CONNECTION.CONNECT=On");
        ASSERT_TRUE(wait_for("\"" + name + ".CONNECTION.CONNECT\"==1", 15)) << name << " on " << com;
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

TEST_F(IndiTest, ConnectingReadsTheIdentityAndTheWavelengths)
{
    start({sim_preset()[0]});
    start_driver("Solvane 1");
    connect("Solvane 1", "COM1");
    EXPECT_EQ(get("Solvane 1.FILTER_IDENTITY.MODEL"), "Solvane 60 Hydrogen alpha");
    EXPECT_EQ(get("Solvane 1.FILTER_IDENTITY.SERIAL"), "SV60A-1024");
    EXPECT_EQ(get("Solvane 1.FILTER_IDENTITY.BANDWIDTH"), "0.7A");
    EXPECT_EQ(get("Solvane 1.FILTER_IDENTITY.FIRMWARE"), "v1.20");
    EXPECT_NEAR(std::atof(get("Solvane 1.FILTER_WAVELENGTHS.NOMINAL").c_str()), 6562.8, 1e-6);
    EXPECT_EQ(get("Solvane 1.FILTER_STATUS.STATUS"), "Idle");
    EXPECT_EQ(get("Solvane 1.FILTER_STATUS_TEXT.TEXT"), "Sleep, heater off.");
    EXPECT_EQ(sim_received(0).size(), 17u) << "identification, read-out, status and age, as SolvaneControl does";
}

TEST_F(IndiTest, AWokenFilterIsBusyThenOkOnBandAndSleepsIdle)
{
    start({sim_preset()[2]});
    start_driver("Solvane 1");
    connect("Solvane 1", "COM1");
    set("Solvane 1.POLLING_PERIOD.PERIOD_MS=300");
    sim_clear_received(0);
    set("Solvane 1.FILTER_HEATER.ON=On");
    EXPECT_TRUE(wait_for("\"Solvane 1.FILTER_STATUS.STATUS\"==2", 5)) << "busy while heating";
    EXPECT_TRUE(wait_for("\"Solvane 1.FILTER_STATUS.STATUS\"==1", 30)) << "ok once on band";
    EXPECT_EQ(get("Solvane 1.FILTER_STATUS_TEXT.TEXT"), "On band");
    EXPECT_EQ(sim_received(0).front(), "SH0\n");
    set("Solvane 1.FILTER_HEATER.SLEEP=On");
    EXPECT_TRUE(wait_for("\"Solvane 1.FILTER_STATUS.STATUS\"==0", 5)) << "idle asleep";
    EXPECT_EQ(sim_snapshot(0).sleeping, 1);
}

TEST_F(IndiTest, AWingShiftIsSnappedToATenthAndSentAsSolvaneControlSendsIt)
{
    start({sim_preset()[0]});
    start_driver("Solvane 1");
    connect("Solvane 1", "COM1");
    sim_clear_received(0);
    set("Solvane 1.WING_SHIFT.SHIFT=-0.3");
    ASSERT_TRUE(wait_for("\"Solvane 1.WING_SHIFT.SHIFT\"<-0.25", 5));
    std::vector<std::string> received = sim_received(0);
    ASSERT_GE(received.size(), 2u);
    EXPECT_EQ(received[0], "SE-3\n");
    EXPECT_EQ(received[1], "GI\n") << "then a poll";
    set("Solvane 1.WING_SHIFT.SHIFT=0.26");
    ASSERT_TRUE(wait_for("\"Solvane 1.WING_SHIFT.SHIFT\">0.25", 5));
    EXPECT_EQ(sim_snapshot(0).wing_shift_tenths, 3);
    EXPECT_NEAR(std::atof(get("Solvane 1.FILTER_WAVELENGTHS.TARGET").c_str()), 6563.1, 1e-6);
}

TEST_F(IndiTest, ASilentFilterAlertsWithoutHoldingUpTheServer)
{
    start({sim_preset()[0], sim_preset()[1]});
    start_driver("Solvane 1");
    start_driver("Solvane 2");
    connect("Solvane 1", "COM1");
    connect("Solvane 2", "COM2");
    set("Solvane 1.POLLING_PERIOD.PERIOD_MS=200");
    sim_set_faults(0, SimFaults{.silent = 1});
    EXPECT_TRUE(wait_for("\"Solvane 1.FILTER_STATUS.STATUS\"==3", 10)) << "alert";
    EXPECT_EQ(get("Solvane 1.FILTER_STATUS_TEXT.TEXT"), "No communication");
    auto start_time = TestClock::now();
    EXPECT_EQ(get("Solvane 2.FILTER_IDENTITY.EDITION"), "CaK");
    EXPECT_LT(seconds_since(start_time), 1.5) << "the other filter answers at once";
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
    EXPECT_EQ(sim_snapshot(2).units, 1);
    EXPECT_EQ(sim_snapshot(0).units, 0) << "only its own filter";
}

}  // namespace
