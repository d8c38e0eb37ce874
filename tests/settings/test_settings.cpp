// solvane.ini: the exact bytes, the reading rules (on the file's record) and, in the window, the
// reconnection of the configured slots.
#include "control/settings/settings.h"
#include "link/settings_file.h"
#include "control/state/slot_lines.h"
#include "sim/simulator.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace {

struct SettingsTest : ::testing::Test {
    std::string dir = enter_temp_dir();
    void SetUp() override
    {
        reset_app_state();
        ASSERT_EQ(slot_lines_start(), 1);
    }
    void TearDown() override
    {
        slot_lines_stop();
        sim_stop();
    }
    // Takes the lines' results in until every connect handed to them is back.
    static void load_and_reconnect()
    {
        load_settings();
        for (int rounds = 0; slot_jobs_pending() != 0 && rounds < 200; ++rounds) {
            slot_lines_wait(100);
            std::vector<SlotEvent> events;
            take_slot_results(events);
        }
    }
    void start_sim(std::vector<std::string> names)
    {
        SimOptions options;
        options.port_dir = dir + "/ports";
        std::vector<SimFilter> preset = sim_preset();
        for (size_t i = 0; i < names.size(); ++i) options.filters.push_back(preset[i % preset.size()]);
        options.port_names = names;
        ASSERT_EQ(sim_start(options), 1);
        setenv("SOLVANE_PORT_DIR", options.port_dir.c_str(), 1);
    }
};

std::string le32(std::int32_t v)
{
    std::string s;
    for (int k = 0; k < 4; ++k) s += static_cast<char>((static_cast<std::uint32_t>(v) >> (8 * k)) & 0xFF);
    return s;
}

// A placement block as the home platform writes it, before its text stream adds any CR.
std::string placement_block(std::int32_t show, std::int32_t left, std::int32_t top, std::int32_t right,
                            std::int32_t bottom)
{
    return le32(44) + le32(0) + le32(show) + le32(-1) + le32(-1) + le32(-1) + le32(-1) + le32(left) + le32(top) +
           le32(right) + le32(bottom);
}

TEST_F(SettingsTest, TheFileIsWrittenByteForByte)
{
    copy_text(filter_slots()[0].port_name, PORT_NAME_SIZE, "COM3", 99);
    copy_text(filter_slots()[2].port_name, PORT_NAME_SIZE, "/dev/ttyUSB0", 99);
    filter_slots()[1].zoom_span = 30.0;
    filter_slots()[3].zoom_span = 2.54;
    app().full_display = 0;
    app().log_enabled = 1;
    app().update_interval_index = 2;
    app().placement = WindowPlacement{44, 0, 1, -1, -1, -1, -1, 10, 20, 807, 536};
    ASSERT_EQ(save_settings(), 1);
    std::string block = placement_block(1, 10, 20, 807, 536);
    std::string stored_block;
    for (char c : block) stored_block += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(read_file("solvane.ini"),
              "COM3\r\n\r\n/dev/ttyUSB0\r\n\r\n10.0 30.0 10.0 2.5 0 1 2\r\n" + stored_block);
    EXPECT_EQ(stored_block.size(), 45u) << "the left edge 10 is a line feed, stored as CR LF";
    EXPECT_FALSE(file_exists("solvane.ini.new"));
}

TEST_F(SettingsTest, LoadingWhatWasSavedRestoresEveryValue)
{
    copy_text(filter_slots()[1].port_name, PORT_NAME_SIZE, "COM", 99);
    filter_slots()[0].zoom_span = 2.5;
    app().full_display = 0;
    app().update_interval_index = 0;
    app().placement = WindowPlacement{44, 0, SHOW_MAXIMIZED, -1, -1, -1, -1, 13, 10, 3338, 2573};
    ASSERT_EQ(save_settings(), 1);
    reset_app_state();
    load_settings();
    EXPECT_EQ(app().open_connections_at_start, 0);
    EXPECT_STREQ(filter_slots()[1].port_name, "COM") << "a three-character name stays configured";
    EXPECT_EQ(filter_slots()[1].connected, 0) << "but is not opened";
    EXPECT_DOUBLE_EQ(filter_slots()[0].zoom_span, 2.5);
    EXPECT_EQ(app().full_display, 0);
    EXPECT_EQ(app().update_interval_index, 0);
    EXPECT_EQ(app().placement_valid, 1);
    EXPECT_EQ(app().placement.show_command, SHOW_MAXIMIZED);
    EXPECT_EQ(app().placement.top, 10);
    EXPECT_EQ(app().placement.right, 3338);
    EXPECT_EQ(settings_file_bytes(window_settings()), read_file("solvane.ini"));
}

TEST_F(SettingsTest, AFileOfTheHomePlatformReconnectsItsFilters)
{
    start_sim({"COM3", "COM4"});
    std::string block = placement_block(SHOW_MINIMIZED, 10, 0x1A, 815, 1076);
    std::string stored_block;
    for (char c : block) stored_block += c == '\n' ? std::string("\r\n") : std::string(1, c);
    write_file("solvane.ini", "COM3\r\nCOM4\r\n\r\n\r\n10.0 30.0 10.0 2.5 1 0 1\r\n" + stored_block);
    load_and_reconnect();
    EXPECT_EQ(filter_slots()[0].connected, 1);
    EXPECT_EQ(filter_slots()[1].connected, 1);
    EXPECT_EQ(filter_slots()[2].connected, 0);
    EXPECT_DOUBLE_EQ(filter_slots()[1].zoom_span, 30.0);
    EXPECT_DOUBLE_EQ(filter_slots()[3].zoom_span, 2.5);
    EXPECT_EQ(app().full_display, 1);
    EXPECT_EQ(app().log_enabled, 0);
    EXPECT_EQ(app().update_interval_index, 1);
    EXPECT_EQ(app().placement_valid, 1) << "a block holding 0x1A is read in full";
    EXPECT_EQ(app().placement.show_command, SHOW_NORMAL) << "a minimised window comes back normal";
    EXPECT_EQ(app().placement.left, 10);
    EXPECT_EQ(app().placement.top, 0x1A);
    EXPECT_EQ(app().placement.bottom, 1076);
    EXPECT_DOUBLE_EQ(filter_slots()[1].center_wavelength, 3933.7);
    EXPECT_EQ(sim_received(0).front(), "GI\n");
}

TEST_F(SettingsTest, TheReadingRules)
{
    struct Row {
        const char* name;
        std::string content;
        int open_connections;
        int interval;
        double zoom0;
        const char* port0;
        int placement_valid;
    } rows[] = {
        {"an interval of 7 is clamped to 2", "\r\n\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 7\r\n", 0, 2, 10.0, "", 0},
        {"an interval of -3 is clamped to 0", "\r\n\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 -3\r\n", 0, 0, 10.0, "", 0},
        {"six values keep what was read and ask for the dialog", "COM\r\n\r\n\r\n\r\n2.5 10.0 10.0 10.0 1 0\r\n", 1, 1, 2.5, "COM", 0},
        {"an empty file asks for the dialog", "", 1, 1, 10.0, "", 0},
        {"lone line feeds end lines too", "COM9X\n\n\n\n30.0 10.0 10.0 10.0 1 0 0\n", 0, 0, 30.0, "COM9X", 0},
        {"a port line keeps its first word", "  COM5 trailing words\r\n\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 1\r\n", 0, 1, 10.0, "COM5", 0},
        {"a short block is not taken", "\r\n\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 1\r\n" + le32(44) + le32(0), 0, 1, 10.0, "", 0},
        {"a file ending after line 5 keeps the placement", "\r\n\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 1", 0, 1, 10.0, "", 0},
    };
    for (const Row& row : rows) {
        SettingsFile settings;
        const int complete = parse_settings_bytes(row.content, settings);
        EXPECT_EQ(!complete, row.open_connections) << row.name;
        EXPECT_EQ(settings.update_interval_index, row.interval) << row.name;
        EXPECT_DOUBLE_EQ(settings.per_slot[0].zoom_span, row.zoom0) << row.name;
        EXPECT_STREQ(settings.per_slot[0].port_name, row.port0) << row.name;
        EXPECT_EQ(settings.placement_valid, row.placement_valid) << row.name;
    }
}

TEST_F(SettingsTest, ALongPortNameIsCutTo99Characters)
{
    write_file("solvane.ini", std::string(150, 'P') + "\r\n\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 1\r\n");
    load_settings();
    EXPECT_EQ(std::string(filter_slots()[0].port_name), std::string(99, 'P'));
}

TEST_F(SettingsTest, NoFileAsksForTheConnectionsDialog)
{
    load_settings();
    EXPECT_EQ(app().open_connections_at_start, 1);
    EXPECT_EQ(app().placement_valid, 0);
}

TEST_F(SettingsTest, ThePortsUnitsOfTheLastFilterReadBecomeTheProgramsUnits)
{
    start_sim({"COM1", "COM2"});
    sim_modify(1, [](SimFilter& f) { f.units = 1; });
    write_file("solvane.ini", "COM1\r\nCOM2\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 1\r\n");
    load_and_reconnect();
    EXPECT_EQ(app().units_nm, 1);
}

}  // namespace
