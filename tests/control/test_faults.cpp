// Faults a night at the telescope brings: adapters pulled out and plugged in again, mid-exchange
// too, and settings files of any content.
#include "tests/control/control_fixture.h"

#include <cstring>
#include <random>
#include <thread>

namespace {

TEST_F(ControlTest, AnUnpluggedFilterReadsNoCommunicationAndComesBackWhenPluggedIn)
{
    start_filters({"COM1", "COM2"});
    start_control();
    tick();
    ASSERT_EQ(filter_slots[0].status_code, 0);
    const double wavelength = filter_slots[0].wavelength;

    sim_unplug(0);
    auto start = TestClock::now();
    tick();
    EXPECT_LT(seconds_since(start), 1.0) << "a lost line fails at once instead of retrying";
    EXPECT_EQ(filter_slots[0].status_code, STATUS_NO_COMMUNICATION);
    EXPECT_DOUBLE_EQ(filter_slots[0].wavelength, wavelength) << "the last values stay";
    EXPECT_EQ(filter_slots[0].connected, 1);
    EXPECT_EQ(filter_slots[1].status_code, 0) << "the other filter goes on";
    tick();
    EXPECT_EQ(filter_slots[0].status_code, STATUS_NO_COMMUNICATION);

    ASSERT_EQ(sim_replug(0), 1);
    tick();  // finds the line lost and opens the port anew
    tick();
    EXPECT_EQ(filter_slots[0].status_code, 0) << "answers again without the connections dialog";
    EXPECT_FALSE(file_exists("serial_error.log")) << "reopening is quiet";
}

TEST_F(ControlTest, AFilterUnpluggedInTheMiddleOfAReplyCostsNothingWorse)
{
    // A line paced at 9600 baud: the status reply takes about 45 ms; the adapter goes halfway.
    SimOptions options;
    options.port_dir = dir + "/ports";
    options.paced = 1;
    options.filters = {sim_preset()[0]};
    ASSERT_EQ(sim_start(options), 1);
    ASSERT_EQ(connect_slot(filter_slots[0], sim_port_path(0).c_str()), 1);
    copy_text(filter_slots[0].port_name, PORT_NAME_SIZE, sim_port_path(0).c_str(), 99);
    for (int round = 0; round < 5; ++round) {
        std::thread pull([round] {
            std::this_thread::sleep_for(std::chrono::milliseconds(10 + 8 * round));
            sim_unplug(0);
        });
        poll_filter_status(filter_slots[0]);
        pull.join();
        ASSERT_EQ(sim_replug(0), 1);
        poll_filter_status(filter_slots[0]);  // the lost line fails at once
        EXPECT_EQ(filter_slots[0].status_code, STATUS_NO_COMMUNICATION) << "round " << round;
        ASSERT_TRUE(serial_line_lost(filter_slots[0].port_handle));
        ASSERT_EQ(serial_reopen(filter_slots[0].port_handle, filter_slots[0].port_name), 1);
        poll_filter_status(filter_slots[0]);
        EXPECT_EQ(filter_slots[0].status_code, 0) << "round " << round;
    }
}

TEST_F(ControlTest, SettingsFilesOfRandomBytesNeverHurt)
{
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> byte(0, 255), length(0, 400);
    setenv("SOLVANE_PORT_DIR", dir.c_str(), 1);  // any name read is looked for here, and not found
    for (int round = 0; round < 300; ++round) {
        std::string bytes(static_cast<size_t>(length(random)), '\0');
        for (char& c : bytes) c = static_cast<char>(byte(random));
        if (round % 3 == 0) bytes = "COM1\r\n\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 1\r\n" + bytes;  // a good head, any block
        write_file("solvane.ini", bytes);
        reset_app_state();
        load_settings();
        ASSERT_GE(app.update_interval_index, 0);
        ASSERT_LE(app.update_interval_index, 2);
        for (const FilterRecord& slot : filter_slots) ASSERT_LT(std::strlen(slot.port_name), 100u);
        ASSERT_EQ(save_settings(), 1);
        reset_app_state();
        load_settings();
        ASSERT_EQ(settings_file_bytes(), read_file("solvane.ini")) << "round " << round;
    }
    start_control();  // and the window comes up with whatever the last one held
    EXPECT_NE(app.main_window, nullptr);
}

}  // namespace
