// The filter settings table, and every program's path to a filter setting held against it: the
// same request gives the same bytes, record change and poll in the window, the Alpaca switches
// and the console tool.
#include "alpaca/alpaca_api.h"
#include "alpaca/switches.h"
#include "command/console.h"
#include "link/filter_settings.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

namespace {

struct SettingCase {
    const char* name;
    FilterSetting setting;
    double value;
    const char* bytes;
    double told;  // what the record holds afterwards
    int poll_after;
};

const SettingCase CASES[] = {
    {"sleep puts the heater off", SETTING_SLEEP, 1, "SH1\n", 1, 0},
    {"waking is sleep 0", SETTING_SLEEP, 0, "SH0\n", 0, 0},
    {"a two-state value goes to the nearer state", SETTING_PANEL_LOCK, 0.6, "SL1\n", 1, 0},
    {"unlocking", SETTING_PANEL_LOCK, 0, "SL0\n", 0, 0},
    {"the filter's display shows the wing shift", SETTING_DISPLAY_MODE, 1, "SD1\n", 1, 0},
    {"nanometres on the filter's display", SETTING_UNITS, 1, "SU1\n", 1, 0},
    {"a quarter Angstrom is cut to two tenths", SETTING_WING_SHIFT, 0.25, "SE2\n", 0.2, 1},
    {"a blue shift is cut toward zero", SETTING_WING_SHIFT, -0.25, "SE-2\n", -0.2, 1},
    {"a sum of steps counts as its tenth", SETTING_WING_SHIFT, 0.7 + 0.1, "SE8\n", 0.8, 1},
    {"the limit is ten tenths", SETTING_WING_SHIFT, -1.0, "SE-10\n", -1.0, 1},
    {"beyond the limit stays at the limit", SETTING_WING_SHIFT, 1.5, "SE10\n", 1.0, 1},
};

TEST(FilterSettings, EachRowMakesItsBytesRecordChangeAndPoll)
{
    for (const SettingCase& c : CASES) {
        SCOPED_TRACE(c.name);
        const LineJob job = setting_job(c.setting, c.value);
        EXPECT_EQ(job.kind, JOB_COMMAND);
        EXPECT_STREQ(job.command, c.bytes);
        EXPECT_EQ(job.edit.setting, c.setting);
        EXPECT_DOUBLE_EQ(job.edit.value, c.told);
        EXPECT_EQ(job.poll_after, c.poll_after);
        FilterRecord record;
        apply_setting(record, c.setting, c.value);
        const SettingRow& row = setting_row(c.setting);
        EXPECT_DOUBLE_EQ(row.flag != nullptr ? record.*row.flag : record.*row.amount, c.told);
        EXPECT_EQ(setting_job(c.setting, c.value, POLL_ALWAYS).poll_after, 1);
        EXPECT_EQ(setting_job(c.setting, c.value, POLL_NEVER).poll_after, 0);
    }
}

TEST(FilterSettings, RowsAreFoundByTheirNamesInAnyCase)
{
    for (int k = 0; k < SETTING_COUNT; ++k) {
        const SettingRow& row = setting_row(static_cast<FilterSetting>(k));
        EXPECT_EQ(find_setting(row.name), &row);
        std::string upper = row.name;
        for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        EXPECT_EQ(find_setting(upper.c_str()), &row);
    }
    EXPECT_EQ(find_setting("heater"), nullptr);
    EXPECT_EQ(find_setting(nullptr), nullptr);
}

// Each program names a setting its own way; the bytes must be the table's.
TEST(FilterSettings, EveryProgramsPathGivesTheTablesBytes)
{
    struct Path {
        const char* name;
        FilterSetting setting;
        double value;
        LineJob job;
    };
    ServerView view;
    view.slot[0].configured = 1;
    view.slot[0].record.connected = 1;
    const auto action = [&view](const char* name, const char* value) {
        return answer_api_request(ApiRequest{"PUT", "/api/v1/switch/0/action", {{"Action", name}, {"Parameters", value}}},
                                  view)
            .job;
    };
    char command[COMMAND_BUFFER_SIZE];
    ConsoleSlot sleep_word, wake_word, shift_word;
    sleep_word.action = ACTION_SLEEP;
    wake_word.action = ACTION_WAKE;
    shift_word.action = ACTION_SET_SHIFT;
    shift_word.shift = -0.3;
    const Path paths[] = {
        {"Alpaca heater off", SETTING_SLEEP, 1, switch_write_job(SWITCH_HEATER, 0)},
        {"Alpaca heater on", SETTING_SLEEP, 0, switch_write_job(SWITCH_HEATER, 1)},
        {"Alpaca front panel lock", SETTING_PANEL_LOCK, 1, switch_write_job(SWITCH_PANEL_LOCK, 1)},
        {"Alpaca wing shift", SETTING_WING_SHIFT, 0.25, switch_write_job(SWITCH_WING_SHIFT, 0.25)},
        {"Alpaca action by a setting's name", SETTING_DISPLAY_MODE, 1, action("displaymode", "1")},
        {"Alpaca wing-shift action", SETTING_WING_SHIFT, -0.25, action("WingShift", "-0.25")},
        {"console SLEEP", SETTING_SLEEP, 1, command_job(console_setting_command(sleep_word, command))},
        {"console WAKE", SETTING_SLEEP, 0, command_job(console_setting_command(wake_word, command))},
        {"console wing shift", SETTING_WING_SHIFT, -0.3, command_job(console_setting_command(shift_word, command))},
    };
    for (const Path& p : paths) {
        SCOPED_TRACE(p.name);
        const LineJob expected = setting_job(p.setting, p.value);
        EXPECT_STREQ(p.job.command, expected.command);
        if (std::strncmp(p.name, "console", 7) == 0) continue;  // the console tool polls by its own WAIT
        EXPECT_EQ(p.job.edit.setting, expected.edit.setting);
        EXPECT_DOUBLE_EQ(p.job.edit.value, expected.edit.value);
        EXPECT_EQ(p.job.poll_after, expected.poll_after);
    }
}

}  // namespace
