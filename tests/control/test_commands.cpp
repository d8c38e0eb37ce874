// Menu commands and wing-shift arrows: the exact bytes that reach the filters, the check marks
// and the filter labels.
#include "tests/control/control_fixture.h"

#include "control/shell/commands.h"

#include <QScrollBar>

namespace {

struct CommandTest : ControlTest {
    void SetUp() override
    {
        start_filters({"COM1", "", "COM3"});
        start_control();
        sim_clear_received(0);
        sim_clear_received(1);
    }
    // Puts slot 0 and its filter at the same wing shift.
    void shift_to(double angstrom)
    {
        filter_slots()[0].wing_shift = angstrom;
        sim_modify(0, [&](SimFilter& f) { f.wing_shift_tenths = static_cast<int>(std::lround(angstrom * 10)); });
        sim_clear_received(0);
    }
};

TEST_F(CommandTest, WingShiftStepsSendTheirTenthsAndPoll)
{
    struct Row {
        const char* name;
        double from;
        int command;
        std::vector<std::string> sent;
        double after;
    } rows[] = {
        {"0.7 up 0.1 sends 8", 0.7, MENU_SHIFT_UP_01, {"SE8\n", "GI\n"}, 0.8},
        {"0.9 up 0.5 clamps to 1.0", 0.9, MENU_SHIFT_UP_05, {"SE10\n", "GI\n"}, 1.0},
        {"1.0 up 0.1 sends 10 again", 1.0, MENU_SHIFT_UP_01, {"SE10\n", "GI\n"}, 1.0},
        {"-0.3 up 0.1 sends -2", -0.3, MENU_SHIFT_UP_01, {"SE-2\n", "GI\n"}, -0.2},
        {"-0.5 down 0.5 sends -10", -0.5, MENU_SHIFT_DOWN_05, {"SE-10\n", "GI\n"}, -1.0},
        {"-1.0 down 0.1 sends -10 again", -1.0, MENU_SHIFT_DOWN_01, {"SE-10\n", "GI\n"}, -1.0},
        {"-0.8 down 0.5 clamps to -1.0", -0.8, MENU_SHIFT_DOWN_05, {"SE-10\n", "GI\n"}, -1.0},
    };
    for (const Row& row : rows) {
        shift_to(row.from);
        EXPECT_EQ(dispatch_command(row.command), 1);
        EXPECT_EQ(app().command_busy, 1) << "until the poll is back";
        ASSERT_TRUE(wait_lines());
        EXPECT_EQ(sim_received(0), row.sent) << row.name;
        EXPECT_NEAR(filter_slots()[0].wing_shift, row.after, 1e-9) << row.name << " (as the filter reports it)";
        EXPECT_EQ(app().command_busy, 0);
    }
}

TEST_F(CommandTest, TheArrowsStepByATenthButSendNothingAtTheLimit)
{
    shift_to(-1.0);
    on_wing_shift_scroll(SCROLL_LINE_LEFT, app().wing_shift_bar[0]);
    ASSERT_TRUE(wait_lines());
    EXPECT_TRUE(sim_received(0).empty()) << "the left arrow at -1.0 sends nothing";
    on_wing_shift_scroll(SCROLL_LINE_RIGHT, nullptr);  // an unknown sender counts as Filter 1
    ASSERT_TRUE(wait_lines());
    EXPECT_EQ(sim_received(0), (std::vector<std::string>{"SE-9\n", "GI\n"}));

    sim_clear_received(1);
    filter_slots()[2].wing_shift = 0.2;
    on_wing_shift_scroll(SCROLL_LINE_LEFT, app().wing_shift_bar[2]);
    ASSERT_TRUE(wait_lines());
    EXPECT_EQ(sim_received(1), (std::vector<std::string>{"SE1\n", "GI\n"}));
    on_wing_shift_scroll(3, app().wing_shift_bar[2]);  // a page step
    ASSERT_TRUE(wait_lines());
    EXPECT_EQ(sim_received(1).size(), 2u) << "other scroll codes do nothing";

    // A click on the control's right arrow reaches the same place.
    sim_clear_received(1);
    app().wing_shift_bar[2]->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    ASSERT_TRUE(wait_lines());
    EXPECT_EQ(sim_received(1).front(), "SE2\n");
}

TEST_F(CommandTest, HoldingAnArrowWalksOneTenthAStepWithoutRepeatsOrGaps)
{
    // Steps come faster than the filter answers: each starts from the value last asked for.
    shift_to(-0.3);
    for (int k = 0; k < 8; ++k) on_wing_shift_scroll(SCROLL_LINE_RIGHT, app().wing_shift_bar[0]);
    EXPECT_NEAR(filter_slots()[0].wing_shift, 0.5, 1e-9) << "the window shows the last value asked for at once";
    ASSERT_TRUE(wait_lines());
    std::vector<std::string> expected;
    for (int tenths = -2; tenths <= 5; ++tenths) {
        expected.push_back("SE" + std::to_string(tenths) + "\n");
        expected.push_back("GI\n");
    }
    EXPECT_EQ(sim_received(0), expected);
    EXPECT_NEAR(filter_slots()[0].wing_shift, 0.5, 1e-9) << "as the filter reports it";
    EXPECT_EQ(app().command_busy, 0);
}

TEST_F(CommandTest, FilterSettingsSendTheirCommands)
{
    dispatch_command(MENU_SLEEP + 0);
    dispatch_command(MENU_HEATER_ON + 0);
    dispatch_command(MENU_LOCK_PANEL + 0);
    dispatch_command(MENU_LOCK_PANEL + 0);
    ASSERT_TRUE(wait_lines());
    EXPECT_EQ(sim_received(0), (std::vector<std::string>{"SH1\n", "SH0\n", "SL1\n", "SL0\n"}));
    shift_to(0.4);
    dispatch_command(MENU_RESET_SHIFT + 0);
    ASSERT_TRUE(wait_lines());
    EXPECT_EQ(sim_received(0), std::vector<std::string>{"SE0\n"}) << "reset sends 0 and does not poll";
    EXPECT_DOUBLE_EQ(filter_slots()[0].wing_shift, 0.0);
    EXPECT_EQ(menu_checked(MENU_HEATER_ON + 0), 1);
    EXPECT_EQ(menu_checked(MENU_SLEEP + 0), 0);
    EXPECT_EQ(menu_checked(MENU_LOCK_PANEL + 0), 0);
}

TEST_F(CommandTest, LockTwiceSendsOneThenZero)
{
    dispatch_command(MENU_LOCK_PANEL + 2);
    EXPECT_EQ(menu_checked(MENU_LOCK_PANEL + 2), 1);
    dispatch_command(MENU_LOCK_PANEL + 2);
    ASSERT_TRUE(wait_lines());
    EXPECT_EQ(sim_received(1), (std::vector<std::string>{"SL1\n", "SL0\n"}));
}

TEST_F(CommandTest, UnitsGoToEveryOpenPortAndTheChecksFollow)
{
    dispatch_command(MENU_NANOMETERS);
    EXPECT_EQ(app().command_busy, 4) << "one for each of the four slots";
    ASSERT_TRUE(wait_lines());
    EXPECT_EQ(sim_received(0), std::vector<std::string>{"SU1\n"});
    EXPECT_EQ(sim_received(1), std::vector<std::string>{"SU1\n"});
    for (const FilterRecord& slot : filter_slots()) EXPECT_EQ(slot.units, 1);
    EXPECT_EQ(app().units_nm, 1);
    EXPECT_EQ(menu_checked(MENU_NANOMETERS), 1);
    EXPECT_EQ(menu_checked(MENU_ANGSTROMS), 0);
    dispatch_command(MENU_DISPLAY_WING_SHIFT);
    ASSERT_TRUE(wait_lines());
    EXPECT_EQ(sim_received(0).back(), "SD1\n");
    EXPECT_EQ(app().show_wing_shift, 1);
    EXPECT_EQ(app().command_busy, 0);
}

TEST_F(CommandTest, ZoomRepaintsTheSpanAndChecksIt)
{
    dispatch_command(DISPLAY_POPUP_IDS[2].zoom_wide);
    EXPECT_DOUBLE_EQ(filter_slots()[2].zoom_span, 30.0);
    EXPECT_EQ(menu_checked(DISPLAY_POPUP_IDS[2].zoom_wide), 1);
    EXPECT_EQ(menu_checked(DISPLAY_POPUP_IDS[2].zoom_normal), 0);
    filter_slots()[1].zoom_span = 9.95;
    update_zoom_checks(1);
    EXPECT_EQ(menu_checked(DISPLAY_POPUP_IDS[1].zoom_normal), 1) << "9.95 counts as Normal";
    filter_slots()[1].zoom_span = 9.89;
    update_zoom_checks(1);
    EXPECT_EQ(menu_checked(DISPLAY_POPUP_IDS[1].zoom_tight), 1);
}

TEST_F(CommandTest, ThirtySecondsReArmsTheTimer)
{
    dispatch_command(MENU_UPDATE_30S);
    EXPECT_EQ(timer_period(UPDATE_TIMER_ID), 30000);
    EXPECT_EQ(app().update_interval_index, 2);
    EXPECT_EQ(menu_checked(MENU_UPDATE_30S), 1);
    EXPECT_EQ(menu_checked(MENU_UPDATE_5S), 0);
}

TEST_F(CommandTest, LoggingOffAndOnWritesANewHeader)
{
    dispatch_command(MENU_LOG_BANDPASSES);
    tick();
    dispatch_command(MENU_LOG_BANDPASSES);
    EXPECT_EQ(app().log_file, -1);
    dispatch_command(MENU_LOG_BANDPASSES);
    tick();
    std::string log = read_file("solvane.csv");
    size_t headers = 0;
    for (size_t at = 0; (at = log.find("YYYY/MM/DD", at)) != std::string::npos; ++at) ++headers;
    EXPECT_EQ(headers, 2u);
}

TEST_F(CommandTest, FullAndSimpleRefitTheWindow)
{
    dispatch_command(MENU_SIMPLE);
    settle();
    EXPECT_EQ(client_widget()->size(), QSize(3 * 170 - 1, 258));
    EXPECT_EQ(menu_checked(MENU_SIMPLE), 1);
    dispatch_command(MENU_FULL);
    settle();
    EXPECT_EQ(client_widget()->size(), QSize(797, 3 * 258));
}

TEST_F(CommandTest, UnknownIdentifiersAreNotCommands)
{
    EXPECT_EQ(dispatch_command(12345), 0);
    EXPECT_EQ(dispatch_command(MENU_HEATER_ON + 4), 0);
}

TEST(FilterLabels, NameTheLineBandwidthAndEdition)
{
    struct Row {
        const char* name;
        int connected;
        double center;
        const char* bandwidth;
        const char* label;
    } rows[] = {
        {"a tag within 1.0 A", 1, 6562.8 + 0.7, "0.7A", "H-a 0.7A PRO"},
        {"a bandwidth in lower-case a", 1, 6562.8, "0.7a", "H-a 0.7a PRO"},
        {"digits only get the sign", 1, 4861.3, "0.5", "H-\u03B2 0.5\u00C5 PRO"},
        {"an empty bandwidth gets none", 1, 3933.7, "", "Ca-K  PRO"},
        {"no line within 1.0 A: no tag", 1, 6000.0, "2", "2\u00C5 PRO"},
        {"an empty slot names its port", 0, 6562.8, "0.7A", "Port 3"},
    };
    for (const Row& row : rows) {
        reset_app_state();
        FilterRecord& slot = filter_slots()[2];
        slot.connected = row.connected;
        slot.center_wavelength = row.center;
        copy_text(slot.bandwidth_text, BANDWIDTH_TEXT_SIZE, row.bandwidth, 10);
        copy_text(slot.edition_text, EDITION_TEXT_SIZE, "PRO", 10);
        EXPECT_EQ(filter_label(2), QString::fromUtf8(row.label)) << row.name;
    }
}

TEST_F(CommandTest, TheMenusMirrorTheState)
{
    filter_slots()[0].sleeping = 1;
    filter_slots()[2].panel_locked = 1;
    app().log_enabled = 1;
    update_menus();
    EXPECT_EQ(menu_checked(MENU_SLEEP + 0), 1);
    EXPECT_EQ(menu_checked(MENU_HEATER_ON + 0), 0);
    EXPECT_EQ(menu_checked(MENU_LOCK_PANEL + 2), 1);
    EXPECT_EQ(menu_checked(MENU_LOG_BANDPASSES), 1);
    EXPECT_EQ(menu_checked(MENU_UPDATE_5S), 1);
    EXPECT_EQ(filter_popup_label(0), QStringLiteral("H-a 0.7A PRO"));
    EXPECT_TRUE(filter_popup_enabled(0));
    EXPECT_EQ(filter_popup_label(1), QStringLiteral("Port 2"));
    EXPECT_FALSE(filter_popup_enabled(1));
}

}  // namespace
