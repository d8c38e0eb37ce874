// Identification, parameter read-out, connect_slot and port enumeration, over pseudo-terminals.
#include "link/solvane_link.h"
#include "sim/simulator.h"
#include "tests/support/fake_device.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

// The record bodies of serial_error.log, each after its blank line and time stamp.
std::vector<std::string> log_records()
{
    std::string log = read_file("serial_error.log");
    static const std::regex stamp("\n[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d{2}:\\d{2}:\\d{2} \\d{4}\n");
    std::vector<std::string> bodies;
    for (std::sregex_token_iterator it(log.begin(), log.end(), stamp, -1), end; it != end; ++it)
        if (it->length() > 0) bodies.push_back(*it);
    return bodies;
}

SimFilter decimal_filter()
{
    SimFilter f = sim_preset()[0];
    f.units = 1;
    return f;
}

struct IdentifyTest : ::testing::Test {
    std::string dir = enter_temp_dir();
    std::unique_ptr<FakePort> port;
    FilterRecord slot;

    int connect(DeviceResponder respond)
    {
        port = open_fake_port(dir, "COM1", std::move(respond));
        return connect_slot(slot, port->path.c_str());
    }
    void TearDown() override { serial_close(slot.connected, slot.port_handle); }
};

const char* DECIMAL_LINE = "v1.20 0 1 65628 0 10 20 12000 1250 0\r\n";

TEST_F(IdentifyTest, TheDevicesAnswersDecideAcceptance)
{
    struct Row {
        const char* name;
        std::string status_line;
        std::string ga;
        int accepted;
    } rows[] = {
        {"a decimal filter with GA 0", DECIMAL_LINE, "0\r\n", 1},
        {"raw voltage 900 is too low", "v1.20 0 1 65628 0 10 20 12000 900 0\r\n", "0\r\n", 0},
        {"raw voltage 901 is enough", "v1.20 0 1 65628 0 10 20 12000 901 0\r\n", "0\r\n", 1},
        {"raw voltage 3200 is too high", "v1.20 0 1 65628 0 10 20 12000 3200 0\r\n", "0\r\n", 0},
        {"raw voltage 3199 is accepted", "v1.20 0 1 65628 0 10 20 12000 3199 0\r\n", "0\r\n", 1},
        {"nine fields are too few", "v1.20 0 1 65628 0 10 20 12000 1250\r\n", "0\r\n", 0},
        {"GA 1 rejects a well-formed line", DECIMAL_LINE, "1\r\n", 0},
        {"an echo is not a filter", "GI\n", "GA\n", 0},
        {"version 1.30 answers in hexadecimal", "v1.30 0 1 10030 F6 A 14 2EE0 4E2 0\r\n", "0\r\n", 1},
        {"a hexadecimal line read as decimal does not count ten fields", "v1.20 0 1 10030 F6 A 14 2EE0 4E2 0\r\n", "0\r\n", 0},
    };
    for (const Row& row : rows) {
        std::remove("serial_error.log");
        slot = FilterRecord{};
        EXPECT_EQ(connect(filter_responder(decimal_filter(), {{"GI\n", row.status_line}, {"GA\n", row.ga}})), row.accepted)
            << row.name;
        if (row.accepted) {
            EXPECT_FALSE(file_exists("serial_error.log")) << row.name;
            EXPECT_DOUBLE_EQ(slot.center_wavelength, 6562.8) << row.name;
            EXPECT_EQ(std::string(slot.model_text), "Solvane 60 Hydrogen alpha") << row.name;
        } else {
            EXPECT_EQ(slot.connected, 0) << row.name;
            EXPECT_EQ(log_records(),
                      std::vector<std::string>{"Port " + port->path +
                                               " opened OK, Solvane did not respond correctly. Maybe this isn't a Solvane.\n"
                                               "It said: 1/" + std::to_string(row.status_line.size()) + ">" + row.status_line +
                                               "<\nThen: 1/" + std::to_string(row.ga.size()) + ">" + row.ga + "<\n"})
                << row.name;
        }
        serial_close(slot.connected, slot.port_handle);
    }
}

TEST_F(IdentifyTest, AnUnansweredGaDoesNotReject)
{
    EXPECT_EQ(connect(filter_responder(decimal_filter(), {{"GA\n", ""}})), 1);
    EXPECT_EQ(slot.ga_value, 0);
}

TEST_F(IdentifyTest, ASilentDeviceIsACableProblem)
{
    auto start = TestClock::now();
    EXPECT_EQ(connect(table_responder({})), 0);
    double took = seconds_since(start);
    EXPECT_GT(took, 2.9);  // two tries of five attempts
    EXPECT_LT(took, time_bound(5.0));
    EXPECT_EQ(log_records(), std::vector<std::string>{"Port " + port->path +
                                                      " opened OK, Solvane did not respond to query. Cable problem?\n"});
    EXPECT_EQ(device_received(port->device), std::vector<std::string>(10, "GI\n"));
}

TEST_F(IdentifyTest, AFirstTokenWithoutVKeepsTheEarlierVersion)
{
    slot.firmware_version = 1.30;
    EXPECT_EQ(connect(filter_responder(decimal_filter(), {{"GI\n", "X1.20 0 1 10030 F6 A 14 2EE0 4E2 0\r\n"}})), 0);
    EXPECT_DOUBLE_EQ(slot.firmware_version, 1.30);
}

TEST_F(IdentifyTest, AfterARejectionThePortOpensAgainAtOnce)
{
    EXPECT_EQ(connect(filter_responder(decimal_filter(), {{"GA\n", "1\r\n"}})), 0);
    EXPECT_EQ(slot.connected, 0);
    EXPECT_STREQ(slot.opened_port_name, port->path.c_str());
    FilterRecord other;
    auto start = TestClock::now();
    EXPECT_EQ(serial_init(other.connected, other.port_handle, port->path.c_str()), 1);
    EXPECT_LT(seconds_since(start), time_bound(0.2));
    serial_close(other.connected, other.port_handle);
}

TEST_F(IdentifyTest, APortThatDoesNotOpenIsNotIdentified)
{
    EXPECT_EQ(connect_slot(slot, (dir + "/COM9").c_str()), 0);
    EXPECT_STREQ(slot.opened_port_name, (dir + "/COM9").c_str());
    std::vector<std::string> records = log_records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].find(dir + "/COM9: serial_init error: Unable to open port. No such file"), 0u);
}

TEST_F(IdentifyTest, TheReadOutScalesChecksAndCuts)
{
    struct Row {
        const char* name;
        const char* command;
        const char* reply;
        double version;
        double FilterRecord::*field;
        double value;
        int bad;
    } rows[] = {
        {"decimal nominal line", "GX\n", "65628\r\n", 1.20, &FilterRecord::center_wavelength, 6562.8, 0},
        {"decimal centre temperature", "GJ\n", "12000\r\n", 1.20, &FilterRecord::center_temperature, 120.0, 0},
        {"hexadecimal nominal line", "GX\n", "1005C\r\n", 1.30, &FilterRecord::center_wavelength, 6562.8, 0},
        {"hexadecimal -100 F is inside the range", "GJ\n", "FFFFD8F0\r\n", 1.30, &FilterRecord::center_temperature, -100.0, 0},
        {"900.0 A is implausible", "GX\n", "9000\r\n", 1.20, &FilterRecord::center_wavelength, 6562.8, 1},
        {"12001.0 A is implausible", "GX\n", "120010\r\n", 1.20, &FilterRecord::center_wavelength, 6562.8, 1},
        {"1000.0 A is accepted", "GX\n", "10000\r\n", 1.20, &FilterRecord::center_wavelength, 1000.0, 0},
        {"12000.0 A is accepted", "GX\n", "120000\r\n", 1.20, &FilterRecord::center_wavelength, 12000.0, 0},
        {"100.01 F per A is implausible", "G@\n", "10001\r\n", 1.20, &FilterRecord::temperature_per_angstrom, 17, 1},
        {"eighths are divided", "G_\n", "20\r\n", 1.20, &FilterRecord::underscore_value, 2.5, 0},
        {"300.125 is implausible", "G_\n", "2401\r\n", 1.20, &FilterRecord::underscore_value, 8, 1},
    };
    for (const Row& row : rows) {
        SimFilter f = decimal_filter();
        f.firmware_version = row.version;
        port = open_fake_port(dir, "COM1", filter_responder(f, {{row.command, row.reply}}));
        FilterRecord r;
        r.firmware_version = row.version;
        ASSERT_EQ(serial_init(r.connected, r.port_handle, port->path.c_str()), 1);
        read_filter_parameters(r);
        EXPECT_DOUBLE_EQ(r.*row.field, row.value) << row.name;
        EXPECT_EQ(r.status_code, row.bad ? STATUS_BAD_CONNECTION : 0) << row.name;
        serial_close(r.connected, r.port_handle);
    }
}

TEST_F(IdentifyTest, TextRepliesAreCutAndTrimmed)
{
    SimFilter f = decimal_filter();
    f.model_text = std::string(50, 'M');
    f.serial_number_text = "SERIAL-0123456789-XYZ";
    f.bandwidth_text = "0.7A";
    f.edition_text = "EDITION-LONG";
    port = open_fake_port(dir, "COM1", filter_responder(f, {{"GM\n", "\xFF" "Booting\r\n"}}));
    FilterRecord r;
    ASSERT_EQ(serial_init(r.connected, r.port_handle, port->path.c_str()), 1);
    read_filter_parameters(r);
    EXPECT_EQ(std::string(r.model_text), std::string(34, 'M'));
    EXPECT_STREQ(r.serial_number_text, "SERIAL-0123456789-");
    EXPECT_STREQ(r.bandwidth_text, "0.7A");
    EXPECT_STREQ(r.edition_text, "EDITION-LO");
    EXPECT_STREQ(r.startup_message, "");
    EXPECT_EQ(r.units, 1);
    serial_close(r.connected, r.port_handle);
}

TEST_F(IdentifyTest, AFullConnectionMakesSeventeenExchangesInOrder)
{
    SimOptions options;
    options.port_dir = dir + "/ports";
    options.filters = {sim_preset()[1]};  // calcium K, hexadecimal
    ASSERT_EQ(sim_start(options), 1);
    EXPECT_EQ(connect_slot(slot, sim_port_path(0).c_str()), 1);
    EXPECT_EQ(sim_received(0), (std::vector<std::string>{"GI\n", "GA\n", "GX\n", "GH\n", "GJ\n", "GN\n", "GQ\n",
                                                          "GS\n", "GM\n", "GB\n", "GD\n", "GU\n", "GL\n", "G_\n",
                                                          "G@\n", "GI\n", "GY\n"}));
    EXPECT_DOUBLE_EQ(slot.firmware_version, 1.30);
    EXPECT_DOUBLE_EQ(slot.center_wavelength, 3933.7);
    EXPECT_DOUBLE_EQ(slot.center_temperature, 135);
    EXPECT_DOUBLE_EQ(slot.temperature_per_angstrom, 9.5);
    EXPECT_DOUBLE_EQ(slot.supply_voltage, 12.5);  // scaled by the poll that follows
    EXPECT_EQ(slot.sleeping, 1);
    EXPECT_STREQ(slot.startup_message, "Calcium K, west dome");
    EXPECT_STREQ(slot.bandwidth_text, "2.4");
    EXPECT_EQ(slot.age_minutes_total, 612000);
    EXPECT_EQ(slot.status_code, 0);
    serial_close(slot.connected, slot.port_handle);
    sim_stop();
}

TEST(Enumeration, ListsThePortDirectoryInNaturalOrderThenTheMachinesPorts)
{
    std::string dir = make_temp_dir();
    for (const char* name : {"COM3", "COM10", "COM1", "COM2", "ZZZZZZZZZZZZZZZZ"}) write_file(dir + "/" + name, "");
    setenv("SOLVANE_PORT_DIR", dir.c_str(), 1);
    char name[16];
    std::vector<std::string> listed;
    for (int n = 0; n < 32 && enum_serial_port(name, sizeof name, n); ++n) listed.push_back(name);
    EXPECT_EQ(listed, (std::vector<std::string>{"COM1", "COM2", "COM3", "COM10"})) << "a 16-character name ends the list";

    char wider[17];
    ASSERT_EQ(enum_serial_port(wider, sizeof wider, 4), 1);
    EXPECT_STREQ(wider, "ZZZZZZZZZZZZZZZZ");
    for (int n = 5; enum_serial_port(wider, sizeof wider, n); ++n)
        EXPECT_EQ(std::string(wider).rfind("/dev/tty", 0), 0u) << "the machine's own ports follow: " << wider;

    setenv("SOLVANE_PORT_DIR", (dir + "/missing").c_str(), 1);
    if (enum_serial_port(wider, sizeof wider, 0)) {
        EXPECT_EQ(std::string(wider).rfind("/dev/tty", 0), 0u);
    }
    unsetenv("SOLVANE_PORT_DIR");
}

}  // namespace
