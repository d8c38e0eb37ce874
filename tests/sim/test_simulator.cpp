// The filter simulator: its replies decode through the link library to the model's values, its
// physics settles on band, and every fault shows through a real serial line.
#include "link/solvane_link.h"
#include "sim/simulator.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

SimFilter filter_with_version(double version)
{
    SimFilter f = sim_preset()[0];
    f.firmware_version = version;
    f.sleeping = 0;
    f.wing_shift_tenths = -3;
    f.temperature = 114.9;  // passband 6562.5
    f.center_temperature = 120;
    f.temperature_per_angstrom = 17;
    f.calibration_screw = -0.0125;
    f.units = 1;
    return f;
}

TEST(SimReplies, DecodeBackToTheModelInBothEncodings)
{
    for (double version : {1.20, 1.30}) {
        SCOPED_TRACE(version);
        SimFilter f = filter_with_version(version);
        auto value = [&](const char* command) { return decode_reply_value(sim_reply(f, command).c_str(), version); };
        EXPECT_EQ(value(CMD_CENTER_WAVELENGTH), 65628);
        EXPECT_EQ(value(CMD_CENTER_TEMPERATURE), 12000);
        EXPECT_EQ(value(CMD_TEMPERATURE_PER_ANGSTROM), 1700);
        EXPECT_EQ(value(CMD_HEATER_STATE), 0);
        EXPECT_EQ(value(CMD_UNITS), 1);
        EXPECT_EQ(value(CMD_UNDERSCORE), 64);
        EXPECT_EQ(value(CMD_IDENTIFY_CHECK), 0);

        FilterRecord r;
        std::string line = sim_reply(f, CMD_STATUS);
        r.firmware_version = read_firmware_version(line.c_str(), 0);
        EXPECT_DOUBLE_EQ(r.firmware_version, version);
        StatusFields fields;
        EXPECT_EQ(decode_status_line(line.c_str(), is_hex_firmware(r.firmware_version), fields), 10) << line;
        apply_status_fields(r, fields);
        EXPECT_NEAR(r.wavelength, sim_passband(f), 0.051);
        EXPECT_DOUBLE_EQ(r.wing_shift, -0.3);
        EXPECT_NEAR(r.temperature, 114.9, 0.006);
        EXPECT_DOUBLE_EQ(r.supply_voltage, 12.5);
        EXPECT_DOUBLE_EQ(r.calibration_screw, -0.0125);
        EXPECT_EQ(r.heater_cycle, 20);
        EXPECT_EQ(r.status_code, 0);

        EXPECT_TRUE(apply_age_reply(r, sim_reply(f, CMD_AGE).c_str(), is_hex_firmware(version)));
        EXPECT_EQ(r.age_minutes_total, f.age_minutes);
    }
}

TEST(SimReplies, TextsSettingsAndNonsense)
{
    SimFilter f = sim_preset()[1];
    struct Row {
        const char* name;
        const char* command;
        const char* reply;
    } rows[] = {
        {"model", "GN\n", "Solvane 40 Calcium K\r\n"},
        {"edition", "GQ\n", "CaK\r\n"},
        {"serial number", "GS\n", "SV40K-2211\r\n"},
        {"start-up message with a comma", "GM\n", "Calcium K, west dome\r\n"},
        {"bandwidth without unit", "GB\n", "2.4\r\n"},
        {"wake", "SH0\n", "OK\r\n"},
        {"wing shift -10", "SE-10\n", "OK\r\n"},
        {"lock", "SL1\n", "OK\r\n"},
        {"nanometres", "SU1\n", "OK\r\n"},
        {"display wing shift", "SD1\n", "OK\r\n"},
        {"wing shift 11 is malformed", "SE11\n", ""},
        {"a letter argument is malformed", "SEX\n", ""},
        {"a query with an argument is malformed", "GI1\n", ""},
        {"an unknown query", "GZ\n", ""},
        {"an unknown setting", "SZ1\n", ""},
        {"no line feed", "GI", ""},
        {"lower case", "gi\n", ""},
    };
    for (const Row& row : rows) EXPECT_EQ(sim_reply(f, row.command), row.reply) << row.name;
    EXPECT_EQ(f.sleeping, 0);
    EXPECT_EQ(f.wing_shift_tenths, -10);
    EXPECT_EQ(f.panel_locked, 1);
    EXPECT_EQ(f.units, 1);
    EXPECT_EQ(f.display_mode, 1);
    f.faults.raw_wing_shift = -10;
    f.faults.raw_wing_shift_set = 1;
    EXPECT_NE(sim_reply(f, "GI\n").find(" F6 "), std::string::npos) << "low 8 bits of -10";
}

TEST(SimModel, AWokenFilterHeatsAndSettlesOnBandAndASleepingOneCools)
{
    SimFilter f = sim_preset()[0];
    f.sleeping = 0;
    sim_advance(f, 120);
    EXPECT_GT(f.temperature, 80);
    EXPECT_EQ(sim_reply(f, "GI\n").find("v1.20 0 1 "), std::string::npos) << "not on band yet";
    sim_advance(f, 600);
    EXPECT_NEAR(sim_passband(f), 6562.8, 0.05);
    EXPECT_EQ(sim_reply(f, "GI\n").rfind("v1.20 0 1 ", 0), 0u) << "on band";

    sim_reply(f, "SE5\n");
    sim_advance(f, 5);
    EXPECT_EQ(sim_reply(f, "GI\n").rfind("v1.20 0 0 ", 0), 0u) << "a new target leaves the band";
    sim_advance(f, 900);
    EXPECT_NEAR(sim_passband(f), 6563.3, 0.05);
    EXPECT_EQ(sim_reply(f, "GI\n").rfind("v1.20 0 1 ", 0), 0u) << "on band again";

    sim_reply(f, "SH1\n");
    sim_advance(f, 900);
    EXPECT_NEAR(f.temperature, f.ambient_temperature, 1.0);
    EXPECT_EQ(sim_reply(f, "GI\n").rfind("v1.20 0 0 ", 0), 0u);
}

struct SimulatorTest : ::testing::Test {
    std::string dir = enter_temp_dir();
    FilterRecord slot;

    void start(std::vector<SimFilter> filters, double speed = 1)
    {
        SimOptions options;
        options.port_dir = dir + "/ports";
        options.speed = speed;
        options.filters = std::move(filters);
        ASSERT_EQ(sim_start(options), 1);
        ASSERT_EQ(serial_init(slot.connected, slot.port_handle, sim_port_path(0).c_str()), 1);
    }
    void TearDown() override
    {
        serial_close(slot.connected, slot.port_handle);
        sim_stop();
    }
};

TEST_F(SimulatorTest, AWokenFilterGoesOnBandThroughTheSerialLine)
{
    start({sim_preset()[1]}, 400);  // calcium K, hexadecimal
    char reply[REPLY_BUFFER_SIZE];
    ASSERT_GT(serial_exchange(slot.connected, slot.port_handle, "SH0\n", reply), 0);
    EXPECT_STREQ(reply, "OK\r\n");
    serial_exchange(slot.connected, slot.port_handle, "SE-3\n", reply);
    auto start_time = TestClock::now();
    do {
        poll_filter_status(slot);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (!slot.on_band && seconds_since(start_time) < 20);
    EXPECT_EQ(slot.on_band, 1);
    EXPECT_EQ(slot.sleeping, 0);
    EXPECT_DOUBLE_EQ(slot.wing_shift, -0.3);
    EXPECT_NEAR(slot.wavelength, 3933.4, 0.11);  // tenths in hexadecimal
    char text[STATUS_TEXT_SIZE];
    EXPECT_STREQ(status_text(slot, text), "On band");
    std::vector<std::string> received = sim_received(0);
    ASSERT_GE(received.size(), 3u);
    EXPECT_EQ(received[0], "SH0\n");
    EXPECT_EQ(received[1], "SE-3\n");
    EXPECT_EQ(received[2], "GI\n");
}

TEST_F(SimulatorTest, FaultsShowThroughTheLink)
{
    start({sim_preset()[0]});
    struct Row {
        const char* name;
        SimFaults faults;
        double voltage;
        FilterStatusCode code;
    } rows[] = {
        {"a silent filter", SimFaults{.silent = 1}, 12.5, STATUS_NO_COMMUNICATION},
        {"a voltage of 0.5 V", SimFaults{}, 0.5, STATUS_BAD_CONNECTION},
        {"a wing shift of 31", SimFaults{.raw_wing_shift = 31, .raw_wing_shift_set = 1}, 12.5, STATUS_BAD_CONNECTION},
        {"a low battery", SimFaults{.status_code = 3}, 12.5, 3},
        {"an open heater wire", SimFaults{.status_code = 20}, 12.5, 20},
        {"an unknown code", SimFaults{.status_code = 42}, 12.5, 42},
        {"every third command answered", SimFaults{.answer_every = 3}, 12.5, 0},
    };
    for (const Row& row : rows) {
        sim_modify(0, [&](SimFilter& f) {
            f.faults = row.faults;
            f.supply_voltage = row.voltage;
        });
        slot.status_code = -7;
        poll_filter_status(slot);
        EXPECT_EQ(slot.status_code, row.code) << row.name;
    }
}

TEST_F(SimulatorTest, DevicesThatAreNoFilterAnswerInTheirOwnWay)
{
    start({sim_preset()[0]});
    char reply[REPLY_BUFFER_SIZE];
    sim_set_faults(0, SimFaults{.echo = 1});
    EXPECT_EQ(serial_exchange(slot.connected, slot.port_handle, CMD_STATUS, reply), 3);
    EXPECT_STREQ(reply, "GI\n");
    sim_set_faults(0, SimFaults{.ga_value = 1});
    serial_exchange(slot.connected, slot.port_handle, CMD_IDENTIFY_CHECK, reply);
    EXPECT_STREQ(reply, "1\r\n");
    sim_set_faults(0, SimFaults{.overlong = 1});
    EXPECT_EQ(serial_exchange(slot.connected, slot.port_handle, CMD_MODEL, reply), REPLY_MAX);
    sim_set_faults(0, SimFaults{.garbage = 1});
    EXPECT_GT(serial_exchange(slot.connected, slot.port_handle, CMD_MODEL, reply), 0);
}

TEST_F(SimulatorTest, AnUnpluggedFilterFallsSilentAndAnswersAgainWhenPluggedIn)
{
    start({sim_preset()[0], sim_preset()[2]});
    poll_filter_status(slot);
    ASSERT_EQ(slot.status_code, 0);
    sim_unplug(0);
    poll_filter_status(slot);
    EXPECT_EQ(slot.status_code, STATUS_NO_COMMUNICATION);
    ASSERT_EQ(sim_replug(0), 1);
    serial_close(slot.connected, slot.port_handle);
    ASSERT_EQ(serial_init(slot.connected, slot.port_handle, sim_port_path(0).c_str()), 1);
    poll_filter_status(slot);
    EXPECT_EQ(slot.status_code, 0);
    EXPECT_DOUBLE_EQ(slot.firmware_version, 1.20);
}

TEST(SimulatorProgram, RunsUntilStoppedAndRemovesItsLinks)
{
    std::string dir = enter_temp_dir();
    std::string ports = dir + "/ports";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        execl(SOLVANE_SIM_PATH, SOLVANE_SIM_PATH, "--port-dir", ports.c_str(), "--speed", "50",
              "--fault", "COM3=silent", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    FILE* output = fdopen(out[0], "r");
    char line[256];
    ASSERT_NE(fgets(line, sizeof line, output), nullptr);
    EXPECT_EQ(std::string(line), "SOLVANE_PORT_DIR=" + ports + "\n");
    for (int i = 1; i <= 4; ++i) {
        ASSERT_NE(fgets(line, sizeof line, output), nullptr);
        EXPECT_EQ(std::string(line).rfind("COM" + std::to_string(i), 0), 0u) << line;
    }
    setenv("SOLVANE_PORT_DIR", ports.c_str(), 1);
    FilterRecord hex, silent;
    ASSERT_EQ(serial_init(hex.connected, hex.port_handle, "COM4"), 1);
    ASSERT_EQ(serial_init(silent.connected, silent.port_handle, "COM3"), 1);
    poll_filter_status(hex);
    EXPECT_DOUBLE_EQ(hex.firmware_version, 1.25);
    EXPECT_DOUBLE_EQ(hex.wing_shift, 0);
    char reply[REPLY_BUFFER_SIZE];
    EXPECT_EQ(serial_exchange(silent.connected, silent.port_handle, CMD_STATUS, reply, LINK_CONSOLE), 0);
    serial_close(hex.connected, hex.port_handle);
    serial_close(silent.connected, silent.port_handle);

    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    fclose(output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(file_exists(ports + "/COM1"));
    EXPECT_FALSE(file_exists(ports));
}

TEST(SimulatorProgram, SaysWhyItCannotMakeItsPortFolder)
{
    const std::string dir = enter_temp_dir();
    write_file(dir + "/file", "");
    struct Row {
        std::string port_dir, error;
    } rows[] = {
        {"/missing/x", "solvane-sim: cannot make the port folder /missing/x: No such file or directory\n"},
        {dir + "/file/x", "solvane-sim: cannot make the port folder " + dir + "/file/x: Not a directory\n"},
    };
    for (const Row& row : rows) {
        ProgramRun r = run_program(SOLVANE_SIM_PATH, {"--port-dir", row.port_dir});
        EXPECT_EQ(r.exit_code, 1) << row.port_dir;
        EXPECT_EQ(r.errors, row.error);
    }
}

}  // namespace
