// The main window off screen: start-up, the painted panels, the update timer, the bandpass log.
#include "tests/control/control_fixture.h"

#include "control/shell/commands.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QMenuBar>
#include <QPalette>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextBrowser>

#include <regex>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int client_width() { return client_widget()->width(); }
int client_height() { return client_widget()->height(); }

// The 44-byte placement block of solvane.ini for a normal window with this geometry, as it lies on
// the disk (a line feed in it stored as CR LF).
std::string placement_block(const QRect& normal)
{
    std::string block;
    for (int v : {44, 0, 1, -1, -1, -1, -1, normal.left(), normal.top(), normal.left() + normal.width(),
                  normal.top() + normal.height()})
        for (int k = 0; k < 4; ++k) {
            const char byte = static_cast<char>((static_cast<unsigned>(v) >> (8 * k)) & 0xFF);
            block += byte == '\n' ? std::string("\r\n") : std::string(1, byte);
        }
    return block;
}

QScrollArea* client_area() { return qobject_cast<QScrollArea*>(app().main_window->centralWidget()); }

// The desktop the tests run on (control_test_main.cpp): two monitors side by side.
const QRect PRIMARY_SCREEN(0, 0, 1600, 1200);
const QRect LAPTOP_SCREEN(1600, 0, 1366, 768);

TEST_F(ControlTest, StartUpReconnectsTheConfiguredFiltersAndRestoresThePlacement)
{
    start_filters({"COM1", "COM2"});
    write_file("solvane.ini", read_file("solvane.ini") + placement_block(QRect(100, 120, 797, 600)));
    start_control();
    EXPECT_EQ(app().main_window->windowTitle(), QStringLiteral("Velmora Solvane Control"));
    EXPECT_EQ(filter_slots()[0].connected, 1);
    EXPECT_EQ(filter_slots()[1].connected, 1);
    EXPECT_EQ(filter_slots()[2].connected, 0);
    EXPECT_EQ(app().main_window->geometry(), QRect(100, 120, 797, 600));
    EXPECT_EQ(timer_period(UPDATE_TIMER_ID), 5000);
    EXPECT_EQ(app().open_connections_at_start, 0);
}

TEST_F(ControlTest, FourFiltersConnectAtOnceEachPortHearingOnlyItsOwnBytes)
{
    start_filters({"COM1", "COM2", "COM3", "COM4"});
    start_control();
    const std::vector<std::string> connect = {"GI\n", "GA\n", "GX\n", "GH\n", "GJ\n", "GN\n", "GQ\n", "GS\n", "GM\n",
                                              "GB\n", "GD\n", "GU\n", "GL\n", "G_\n", "G@\n", "GI\n", "GY\n"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(filter_slots()[i].connected, 1) << "slot " << i;
        EXPECT_EQ(sim_received(i), connect) << "port " << i + 1;
    }
    dispatch_command(MENU_SHIFT_UP_01 + 2);
    tick();  // skipped while the shift is on its way
    ASSERT_TRUE(wait_lines());
    tick();
    for (int i = 0; i < 4; ++i) {
        std::vector<std::string> expected = connect;
        if (i == 2) expected.insert(expected.end(), {"SE1\n", "GI\n"});
        expected.push_back("GI\n");
        EXPECT_EQ(sim_received(i), expected) << "port " << i + 1;
    }
}

TEST_F(ControlTest, ASilentFilterHoldsUpNeitherTheOthersPanelsNorTheRowsOfTheLog)
{
    start_filters({"COM1", "COM2", "COM3", "COM4"});
    start_control();
    app().log_enabled = 1;
    for (int i = 0; i < 4; ++i) sim_clear_received(i);
    sim_set_faults(3, SimFaults{.silent = 1});
    on_timer(UPDATE_TIMER_ID);
    // The answering filters are back long before the silent one gives up (1.5 s).
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 400) QApplication::processEvents(QEventLoop::AllEvents, 5);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(sim_received(i).size(), 1u) << "port " << i + 1;
    EXPECT_GT(slot_jobs_pending(), 0) << "the silent one is still being asked";
    EXPECT_FALSE(file_exists("solvane.csv")) << "the row waits for all four";
    on_timer(UPDATE_TIMER_ID);  // a second tick meanwhile: no second job for the busy line
    ASSERT_TRUE(wait_lines());
    EXPECT_EQ(sim_received(3).size(), 5u) << "one silent status exchange: five attempts";
    for (int i = 0; i < 3; ++i) EXPECT_EQ(sim_received(i).size(), 2u) << "port " << i + 1 << " polled at both ticks";
    const std::string log = read_file("solvane.csv");
    const std::string name = R"("(?:[^"]|"")*")";
    const std::regex row(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2},()" + name + R"(,0,[0-9.]+,[-0-9.]+,){3})" + name +
                         R"(,99999,[0-9.]+,[-0-9.]+,\r\n)");
    auto rows = std::distance(std::sregex_iterator(log.begin(), log.end(), row), std::sregex_iterator());
    EXPECT_EQ(rows, 2) << "one row per tick, each with the silent filter's No communication\n" << log;
}

TEST_F(ControlTest, WithoutSettingsTheConnectionsDialogComesFirstAndTheWindowIsFittedWhenShown)
{
    on_next_modal([](QWidget* dialog) { dialog->close(); });
    start_control();
    EXPECT_EQ(app().open_connections_at_start, 0);
    EXPECT_EQ(app().fit_after_show, 0);
    EXPECT_EQ(client_width(), 797);
    EXPECT_EQ(client_height(), 258) << "no filter connected: one panel";
    EXPECT_FALSE(app().main_window->testAttribute(Qt::WA_Moved)) << "placed by the window manager, not pinned to (0, 0)";
}

TEST_F(ControlTest, ARestoredPlacementKeepsTheWindowOnTheScreensThereAreNow)
{
    // The window and its frame: where and how large, on which screen.
    struct Row {
        const char* name;
        QRect saved;
        QRect screen;
        QSize window;  // the window without its frame; empty: its frame as tall as the screen
    } rows[] = {
        {"on the primary screen: as saved", {100, 120, 797, 600}, PRIMARY_SCREEN, {797, 600}},
        {"on the second screen: as saved", {1700, 60, 797, 600}, LAPTOP_SCREEN, {797, 600}},
        {"beyond every screen on the right: onto the nearest", {5000, 60, 797, 600}, LAPTOP_SCREEN, {797, 600}},
        {"above and left of every screen: onto the primary", {-3000, -2000, 797, 600}, PRIMARY_SCREEN, {797, 600}},
        {"taller than its screen: as tall as the screen", {1700, 0, 797, 3000}, LAPTOP_SCREEN, {}},
    };
    for (const Row& row : rows) {
        write_file("solvane.ini", "\r\n\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 1\r\n" + placement_block(row.saved));
        start_control();
        const QRect frame = app().main_window->frameGeometry(), window = app().main_window->geometry();
        EXPECT_TRUE(row.screen.contains(frame)) << row.name;
        if (row.window.isEmpty()) {
            EXPECT_EQ(frame.height(), row.screen.height()) << row.name;
        } else {
            EXPECT_EQ(window.size(), row.window) << row.name;
            if (row.screen.contains(row.saved)) {
                EXPECT_EQ(window, row.saved) << row.name;
            }
        }
        stop_filter_lines();
        delete app().main_window;
        app().main_window = nullptr;
    }
}

TEST_F(ControlTest, OnAScreenTooSmallForThePanelsFitWindowFillsItAndThePanelsScroll)
{
    start_filters({"COM1", "COM2", "COM3", "COM4"});
    write_file("solvane.ini", read_file("solvane.ini") + placement_block(QRect(1700, 100, 797, 500)));
    start_control();
    fit_window();
    settle();
    EXPECT_TRUE(LAPTOP_SCREEN.contains(app().main_window->frameGeometry())) << "moved up to fit the screen";
    EXPECT_EQ(client_widget()->size(), QSize(797, 4 * 258)) << "the panels keep their size";
    EXPECT_EQ(client_buffer().size(), QSize(797, 4 * 258));
    QScrollBar* vertical = client_area()->verticalScrollBar();
    EXPECT_TRUE(vertical->isVisible());
    EXPECT_FALSE(client_area()->horizontalScrollBar()->isVisible()) << "the window is wider by the scroll bar";

    vertical->setValue(vertical->maximum());
    settle();
    QScrollBar* arrows = app().wing_shift_bar[3];
    EXPECT_EQ(arrows->geometry(), QRect(710, 3 * 258 + 85, 32, 16)) << "in its panel, scrolled with it";
    EXPECT_TRUE(client_area()->viewport()->rect().contains(
        QRect(arrows->mapTo(client_area()->viewport(), QPoint(0, 0)), arrows->size())))
        << "Filter 4 in view";
    EXPECT_NE(pixel(300, 3 * 258 + 30), QColor(Qt::white)) << "and painted: its visible strip";
}

TEST_F(ControlTest, PanelsShowFramesSeparatorsStripsAndWhiteEmptySlots)
{
    start_filters({"", "", "COM3"});  // only Filter 3
    start_control();
    fit_window();
    settle();
    ASSERT_EQ(client_height(), 3 * 258) << "fitted to three panels";
    const QColor face = QGuiApplication::palette().color(QPalette::Window);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pixel(400, i * 258 + 257), face) << "separator below panel " << i;
        EXPECT_EQ(pixel(400, i * 258 + 256), face) << "separator below panel " << i;
        EXPECT_NE(pixel(0, i * 258 + 100), QColor(Qt::white)) << "frame of panel " << i;
    }
    for (int i = 0; i < 2; ++i) EXPECT_EQ(pixel(400, i * 258 + 100), QColor(Qt::white)) << "empty panel " << i;
    const int top = 2 * 258;
    // The visible strip of panel 3 at columns 34..633, rows 7..56 of its panel.
    EXPECT_NE(pixel(300, top + 7), QColor(Qt::white));
    EXPECT_EQ(pixel(300, top + 7), pixel(300, top + 56));
    EXPECT_EQ(pixel(300, top + 6), QColor(Qt::white));
    // Its solar strip, rows 107..156.
    EXPECT_EQ(pixel(300, top + 107), pixel(300, top + 156));
    EXPECT_EQ(pixel(300, top + 106), QColor(Qt::white));
    // Its text block from column 635, first line at row 10.
    int ink_left = 797;
    for (int y = top + 10; y < top + 30; ++y)
        for (int x = 634; x < 700; ++x)
            if (dark(x, y)) ink_left = std::min(ink_left, x);
    EXPECT_GE(ink_left, 635);
    EXPECT_LE(ink_left, 640);
}

// Whether panel i of a Full window holds the problem line's dark red ink in its top rows, and is
// white below them as an empty panel is.
bool shows_problem_line(const ControlTest& t, int i)
{
    int red = 0;
    for (int y = i * 258 + 8; y < i * 258 + 32; ++y)
        for (int x = 8; x < 500; ++x) {
            const QColor c = t.pixel(x, y);
            if (c.red() > c.green() + 60 && c.red() > c.blue() + 60) ++red;
        }
    return red > 50 && t.pixel(400, i * 258 + 100) == QColor(Qt::white);
}

TEST_F(ControlTest, ASlotWhoseFilterIsMissingRefusedOrSilentSaysWhyInItsPanelAndMenu)
{
    SimFilter silent = sim_preset()[2];
    silent.faults.silent = 1;
    start_filters({"COM1", "COM2", "COM3"}, {sim_preset()[0], sim_preset()[1], silent});
    std::string ini = read_file("solvane.ini");
    ini.replace(ini.find("COM3\r\n\r\n"), 8, "COM3\r\nCOM9\r\n");  // a port that is not there
    write_file("solvane.ini", ini);
    start_control();
    fit_window();
    settle();
    ASSERT_EQ(filter_slots()[1].connected, 1);

    // Slot 2 connects again where it may not open the port: as user nobody when the test runs as
    // root (who may open anything), else with the device's permissions taken away.
    char device[4096];
    ASSERT_NE(::realpath(sim_port_path(1).c_str(), device), nullptr);
    const passwd* nobody = ::getpwnam("nobody");
    const bool as_root = ::geteuid() == 0;
    ASSERT_TRUE(!as_root || nobody != nullptr);
    if (as_root) {
        ASSERT_EQ(::seteuid(nobody->pw_uid), 0);
    } else {
        ASSERT_EQ(::chmod(device, 0), 0);
    }
    slot_connect(1, "COM2");
    const bool back = wait_lines();
    if (as_root) {
        EXPECT_EQ(::seteuid(0), 0);
    } else {
        ::chmod(device, 0600);
    }
    ASSERT_TRUE(back);
    repaint_panels(0);

    const char* expected[] = {nullptr, "COM2: permission denied: add yourself to dialout",
                              "COM3: nothing answered at 9600 baud",
                              "COM9: not there: plug in the filter's cable or USB adapter"};
    for (int n = 1; n < 4; ++n) {
        EXPECT_EQ(filter_slots()[n].connected, 0) << n;
        EXPECT_EQ(window_state().slot_problem[n], expected[n]) << n;
        EXPECT_EQ(filter_popup_tooltip(n), QString::fromUtf8(expected[n])) << n;
        EXPECT_FALSE(filter_popup_enabled(n)) << n;
        EXPECT_TRUE(shows_problem_line(*this, n)) << "panel " << n;
    }
    EXPECT_EQ(window_state().slot_problem[0], "");
    EXPECT_FALSE(shows_problem_line(*this, 0)) << "a working filter's panel has no problem line";

    // Until it connects: the port back, the line and the tooltip are gone.
    sim_set_faults(2, SimFaults{});
    slot_connect(2, "COM3");
    ASSERT_TRUE(wait_lines());
    EXPECT_EQ(window_state().slot_problem[2], "");
    EXPECT_EQ(filter_popup_tooltip(2), filter_popup_label(2));
}

TEST_F(ControlTest, ArrowControlsShowOnlyForConnectedSlots)
{
    start_filters({"", "COM2"});
    start_control();
    for (int i = 0; i < 4; ++i) {
        QScrollBar* bar = app().wing_shift_bar[i];
        ASSERT_NE(bar, nullptr);
        EXPECT_EQ(bar->isVisibleTo(app().main_window), i == 1) << "slot " << i;
    }
    EXPECT_EQ(app().wing_shift_bar[1]->geometry(), QRect(710, 258 + 85, 32, 16));
}

TEST_F(ControlTest, TheSimpleLayoutPutsTextFrom173AndItsCopyFrom175)
{
    start_filters({"COM1", "COM2"});
    start_control();
    app().full_display = 0;
    for (int& reset : app().scrollbar_reset) reset = 1;
    fit_window();
    settle();
    EXPECT_EQ(client_width(), 2 * 170 - 1);
    EXPECT_EQ(client_height(), 258);
    int ink_left = 1000;
    for (int y = 10; y < 60; ++y)
        for (int x = 172; x < 260; ++x)
            if (dark(x, y)) ink_left = std::min(ink_left, x);
    EXPECT_GE(ink_left, 175);
    EXPECT_LE(ink_left, 178);
    EXPECT_EQ(app().wing_shift_bar[1]->geometry(), QRect(248, 85, 32, 16));
}

TEST_F(ControlTest, ATimerRepaintReusesTheBackgroundAndARebuildRedrawsIt)
{
    start_filters({"COM1"});
    start_control();
    // A mark in the cached background, where only the background shows (left of the strips).
    window_state().panel_cache[0].background.setPixelColor(10, 70, QColor(1, 2, 3));
    tick();
    EXPECT_EQ(pixel(12, 75), QColor(1, 2, 3)) << "the tick painted from the cache";
    repaint_panels(1);
    EXPECT_EQ(pixel(12, 75), QColor(Qt::white)) << "a rebuild draws the background anew";
}

TEST_F(ControlTest, EachTickPollsEveryConnectedFilterOnceAndItsAgeEverySixtieth)
{
    start_filters({"COM1", "", "COM3"});
    start_control();
    for (int i = 0; i < 2; ++i) sim_clear_received(i);
    tick();
    EXPECT_EQ(sim_received(0), std::vector<std::string>{"GI\n"});
    EXPECT_EQ(sim_received(1), std::vector<std::string>{"GI\n"});

    for (int k = 2; k < 60; ++k) tick();
    sim_clear_received(0);
    tick();
    EXPECT_EQ(sim_received(0), (std::vector<std::string>{"GI\n", "GY\n"})) << "the 60th polled tick";
    EXPECT_EQ(filter_slots()[0].poll_count, 0);

    sim_clear_received(0);
    app().command_busy = 1;
    app().log_enabled = 1;
    tick();
    EXPECT_TRUE(sim_received(0).empty()) << "nothing while a command talks to the filters";
    EXPECT_FALSE(file_exists("solvane.csv")) << "and no log row";
    app().command_busy = 0;
    on_timer(STATUS_TIMER_ID);
    EXPECT_TRUE(wait_lines());
    EXPECT_TRUE(sim_received(0).empty()) << "another timer is ignored";
}

TEST_F(ControlTest, AFilterThatStopsAnsweringKeepsItsLastValues)
{
    start_filters({"COM1"});
    start_control();
    const double wavelength = filter_slots()[0].wavelength;
    sim_set_faults(0, SimFaults{.silent = 1});
    tick();
    EXPECT_EQ(filter_slots()[0].status_code, STATUS_NO_COMMUNICATION);
    EXPECT_DOUBLE_EQ(filter_slots()[0].wavelength, wavelength);
    EXPECT_EQ(filter_slots()[0].connected, 1) << "it stays connected and is polled again";
    EXPECT_EQ(window_state().slot_problem[0], "COM1: stopped answering: is the filter on and its cable in?");
    sim_set_faults(0, SimFaults{});
    tick();
    EXPECT_EQ(window_state().slot_problem[0], "") << "an answer clears it";
}

TEST_F(ControlTest, TheBandpassLogWritesItsHeaderOnEveryOpenAndFlushesEachRow)
{
    start_filters({"", "COM2", "", "COM4"}, {sim_preset()[1], sim_preset()[3]});
    start_control();
    app().log_enabled = 1;
    tick();
    tick();
    const std::string header =
        "YYYY/MM/DD HH:MM:SS,#1 Name,#1 Error,#1 Wavelength,#1 WingShift,#2 Name,#2 Error,#2 Wavelength,#2 WingShift,"
        "#3 Name,#3 Error,#3 Wavelength,#3 WingShift,#4 Name,#4 Error,#4 Wavelength,#4 WingShift\r\n";
    const std::string row = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2},,,,,"Calcium K, west dome",0,3925\.\d,0\.0,,,,,"H-beta ""blue"" scope",0,4855\.\d,0\.0,\r\n)";
    std::string log = read_file("solvane.csv");  // read while the log is open: nothing waits in a buffer
    EXPECT_TRUE(std::regex_match(log, std::regex(header + row + row))) << log;

    close_log();
    app().log_enabled = 0;
    app().log_enabled = 1;
    tick();
    log = read_file("solvane.csv");
    EXPECT_TRUE(std::regex_match(log, std::regex(header + row + row + header + row))) << log;
}

TEST(BandpassLog, RowsHoldFourGroupsEachEndingInAComma)
{
    FilterRecord values[SLOT_COUNT];
    EXPECT_EQ(log_row_text(values, 2026, 1, 5, 3, 4, 9), "2026/01/05 03:04:09,,,,,,,,,,,,,,,,,\r\n")
        << "no filter connected: the time and 17 commas";
    values[2].connected = 1;
    copy_text(values[2].startup_message, MESSAGE_TEXT_SIZE, "West, \"big\" dome", 34);
    values[2].status_code = STATUS_NO_COMMUNICATION;
    values[2].wavelength = 6562.84;
    values[2].wing_shift = -0.3;
    EXPECT_EQ(log_row_text(values, 2026, 12, 31, 23, 59, 58),
              "2026/12/31 23:59:58,,,,,,,,,\"West, \"\"big\"\" dome\",99999,6562.8,-0.3,,,,,\r\n");
}

TEST_F(ControlTest, ALogThatCannotBeOpenedIsSwitchedOffAndReportedOnce)
{
    start_filters({"COM1"});
    start_control();
    ASSERT_EQ(::mkdir("solvane.csv", 0755), 0);  // a directory where the file should be
    app().log_enabled = 1;
    update_menus();
    tick();
    EXPECT_EQ(app().log_enabled, 0);
    EXPECT_EQ(menu_checked(MENU_LOG_BANDPASSES), 0) << "the check mark follows";
    EXPECT_TRUE(window_state().last_observer_message.contains(QStringLiteral("solvane.csv")));
    EXPECT_TRUE(window_state().last_observer_message.contains(QStringLiteral("Is a directory"))) << window_state().last_observer_message.toStdString();
    window_state().last_observer_message.clear();
    tick();
    EXPECT_TRUE(window_state().last_observer_message.isEmpty()) << "told once";
    // The menu item as the observer chooses it: unticked, it switches logging on.
    for (QAction* item : app().main_window->menuBar()->findChildren<QAction*>())
        if (item->data() == MENU_LOG_BANDPASSES) item->trigger();
    EXPECT_EQ(app().log_enabled, 1) << "choosing the unticked item switches logging on";
    EXPECT_EQ(menu_checked(MENU_LOG_BANDPASSES), 1);
}

TEST_F(ControlTest, WithoutADesktopToOpenThemTheHelpShowsInAWindowOfItsOwnAndTheLogSaysWhereItIs)
{
    start_filters({"COM1"});
    start_control();
    // The off-screen platform opens no file, as a desktop without a launcher does.
    for (int k = 0; k < 2; ++k) dispatch_command(MENU_HELP_TOPICS);
    settle();
    std::vector<QTextBrowser*> helps;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* browser = qobject_cast<QTextBrowser*>(window); browser && browser->isVisible()) helps.push_back(browser);
    ASSERT_EQ(helps.size(), 1u) << "one help window, however often asked for";
    EXPECT_TRUE(helps[0]->toPlainText().contains(QStringLiteral("watches and drives up to four"))) << "the help document";
    EXPECT_FALSE(helps[0]->isModal()) << "the window stays usable beside it";
    helps[0]->close();

    dispatch_command(MENU_BANDPASS_LOG);
    EXPECT_TRUE(window_state().last_observer_message.contains(QDir::current().absoluteFilePath(QStringLiteral("solvane.csv"))))
        << window_state().last_observer_message.toStdString();
}

TEST_F(ControlTest, ShutdownWritesTheSettingsAndClosesTheLog)
{
    start_filters({"COM1", "COM2"});
    start_control();
    app().log_enabled = 1;
    tick();
    filter_slots()[1].zoom_span = 2.5;
    ASSERT_GE(app().log_file, 0);
    control_shutdown();
    EXPECT_EQ(app().log_file, -1);
    EXPECT_EQ(read_file("solvane.ini").substr(0, 43), "COM1\r\nCOM2\r\n\r\n\r\n10.0 2.5 10.0 10.0 1 1 1\r\n,");
}

}  // namespace
