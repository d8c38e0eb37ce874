// The menu commands and the wing-shift arrows: what each changes, sends and repaints.
//
// Filter commands travel on the filter's own line, through serial_exchange like everything else,
// in the order they were chosen; their acknowledgements are read and ignored. A command changes
// the window's record at once (and the line's record before it is sent), so the menu and the
// panel show what was asked for even when its exchange fails, until the next poll says otherwise.
// The window answers while the commands travel.
#include "control/shell/commands.h"
#include "control/shell/shell.h"

#include "control/dialogs/dialogs.h"
#include "spectral/data_files.h"
#include "control/resources/resources.h"
#include "control/settings/settings.h"
#include "control/state/slot_lines.h"
#include "link/filter_policy.h"
#include "link/filter_settings.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMainWindow>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QTextBrowser>
#include <QUrl>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr double SHIFT_STEP_LIMIT = 0.99;  // a step is taken only while inside this
constexpr const char* HELP_FILE = "SolvaneControl.html";
constexpr int HELP_WINDOW_WIDTH = 640, HELP_WINDOW_HEIGHT = 600;

// Hands setting to slot n's line, the record already showing what it changes.
void send(int n, FilterSetting setting, double value, int busy = 0, SlotAfter after = AFTER_NOTHING,
          std::uint64_t group = 0, SettingPoll poll = POLL_AS_ROW)
{
    const LineJob job = setting_job(setting, value, poll);
    slot_command(n, job.command, job.edit, job.poll_after, busy, after, group);
    const std::string mark = setting_mark_text(setting, value);
    if (!mark.empty()) history_add_command(window_history(), n, mark.c_str(), history_now_ms());
}

// A wing-shift step: the shift sent, then the filter polled; the panels follow when the poll is
// back.
void send_shift_and_poll(int n) { send(n, SETTING_WING_SHIFT, filter_slots()[n].wing_shift, 1, AFTER_REPAINT); }

void heater_on(int n)
{
    check_menu_item(MENU_HEATER_ON + n, true);
    check_menu_item(MENU_SLEEP + n, false);
    filter_slots()[n].sleeping = 0;
    send(n, SETTING_SLEEP, 0);
}

void sleep_filter(int n)
{
    check_menu_item(MENU_SLEEP + n, true);
    check_menu_item(MENU_HEATER_ON + n, false);
    filter_slots()[n].sleeping = 1;
    send(n, SETTING_SLEEP, 1);
}

void toggle_lock(int n)
{
    FilterRecord& slot = filter_slots()[n];
    slot.panel_locked = slot.panel_locked ? 0 : 1;
    check_menu_item(MENU_LOCK_PANEL + n, slot.panel_locked);
    send(n, SETTING_PANEL_LOCK, slot.panel_locked);
}

void reset_shift(int n)
{
    filter_slots()[n].wing_shift = 0.0;
    send(n, SETTING_WING_SHIFT, 0, 0, AFTER_NOTHING, 0, POLL_NEVER);
}

struct ShiftStep {
    int base;
    double delta;
    bool clamp;  // the half-Angstrom steps stop at the limit
};
constexpr ShiftStep SHIFT_STEPS[] = {
    {MENU_SHIFT_DOWN_05, -0.5, true},
    {MENU_SHIFT_DOWN_01, -0.1, false},
    {MENU_SHIFT_UP_01, 0.1, false},
    {MENU_SHIFT_UP_05, 0.5, true},
};

void shift_step(int n, const ShiftStep& step)
{
    FilterRecord& slot = filter_slots()[n];
    if (step.delta < 0 && slot.wing_shift > -SHIFT_STEP_LIMIT) {
        slot.wing_shift += step.delta;
        if (step.clamp && slot.wing_shift < -WING_SHIFT_LIMIT) slot.wing_shift = -WING_SHIFT_LIMIT;
    } else if (step.delta > 0 && slot.wing_shift < SHIFT_STEP_LIMIT) {
        slot.wing_shift += step.delta;
        if (step.clamp && slot.wing_shift > WING_SHIFT_LIMIT) slot.wing_shift = WING_SHIFT_LIMIT;
    }
    // Sent also when the limit kept the value, so the filter is told again where it should be.
    send_shift_and_poll(n);
}

void set_zoom(int n, double span)
{
    filter_slots()[n].zoom_span = span;
    update_zoom_checks(n);
    repaint_panels(1);
}

void set_display_mode(PanelMode mode)
{
    app().full_display = mode;
    for (const PanelModeItem& item : PANEL_MODE_ITEMS) check_menu_item(item.menu_id, item.mode == mode);
    for (int& reset : app().scrollbar_reset) reset = 1;
    fit_window();
}

// Units and the filters' own display mode go to every slot; a slot without an open port fails
// its exchange at once. The panels are rebuilt when the last of the four is back.
void broadcast(int units, int value)
{
    (units ? app().units_nm : app().show_wing_shift) = value;
    const std::uint64_t group = new_command_group();
    for (int n = 0; n < SLOT_COUNT; ++n) {
        (units ? filter_slots()[n].units : filter_slots()[n].display_mode) = value;
        send(n, units ? SETTING_UNITS : SETTING_DISPLAY_MODE, value, 1, AFTER_REBUILD, group);
    }
}

void set_units(int nanometres)
{
    check_menu_item(MENU_ANGSTROMS, !nanometres);
    check_menu_item(MENU_NANOMETERS, nanometres);
    broadcast(1, nanometres);
}

void set_show_wing_shift(int show)
{
    check_menu_item(MENU_DISPLAY_CENTER, !show);
    check_menu_item(MENU_DISPLAY_WING_SHIFT, show);
    broadcast(0, show);
}

void set_update_interval(int index)
{
    constexpr int ids[] = {MENU_UPDATE_1S, MENU_UPDATE_5S, MENU_UPDATE_30S};
    static_assert(std::size(ids) == UPDATE_INTERVAL_COUNT, "one menu item per update interval");
    app().update_interval_index = index;
    arm_timer(UPDATE_TIMER_ID, UPDATE_INTERVALS_MS[index]);
    for (int k = 0; k < UPDATE_INTERVAL_COUNT; ++k) check_menu_item(ids[k], k == index);
}

void toggle_logging()
{
    if (app().log_enabled) {
        check_menu_item(MENU_LOG_BANDPASSES, false);
        app().log_enabled = 0;
        close_log();
    } else {
        check_menu_item(MENU_LOG_BANDPASSES, true);
        app().log_enabled = 1;  // the file opens at the next tick
    }
}

// The help in a window of the program's own, for a desktop that opens no HTML file (no launcher
// set up, a bare X server, a remote display). One window, brought forward when asked for again.
void show_help_window(const QUrl& help)
{
    if (window_state().help_browser == nullptr) {
        window_state().help_browser = new QTextBrowser(app().main_window);
        window_state().help_browser->setWindowFlag(Qt::Window);  // a window of its own beside the main window, not modal
        window_state().help_browser->setAttribute(Qt::WA_DeleteOnClose);
        window_state().help_browser->setWindowTitle(QStringLiteral("%1 Help").arg(QString::fromUtf8(WINDOW_TITLE)));
        window_state().help_browser->setWindowIcon(program_icon());
        window_state().help_browser->setOpenExternalLinks(true);
        window_state().help_browser->setSource(help);
        QSize size(HELP_WINDOW_WIDTH, HELP_WINDOW_HEIGHT);
        if (QScreen* screen = window_state().help_browser->screen()) size = size.boundedTo(screen->availableGeometry().size() * 0.9);
        window_state().help_browser->resize(size);
    }
    window_state().help_browser->show();
    window_state().help_browser->raise();
    window_state().help_browser->activateWindow();
}

void open_help()
{
    const std::string path = find_data_file(HELP_FILE);
    if (path.empty()) {
        tell_observer(QStringLiteral("Help"), QStringLiteral("The help document %1 was not found here or in the "
                                                             "program's data directory.")
                                                  .arg(QString::fromUtf8(HELP_FILE)));
        return;
    }
    const QUrl help = QUrl::fromLocalFile(QFileInfo(QString::fromLocal8Bit(path.c_str())).absoluteFilePath());
    if (!QDesktopServices::openUrl(help)) show_help_window(help);
}

// Opens solvane.csv with the desktop's application for it; where there is none, says where the
// file is, so it can be opened by hand.
void open_log_viewer()
{
    const QString path = QDir::current().absoluteFilePath(QString::fromUtf8(LOG_FILE));
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(path))) return;
    tell_observer(QStringLiteral("Bandpass log"),
                  QFileInfo::exists(path)
                      ? QStringLiteral("No application of the desktop opened the bandpass log. It is the file\n%1")
                            .arg(path)
                      : QStringLiteral("The bandpass log will be the file\n%1\nIt is written while Settings > Log "
                                       "Filter Bandpasses is on.")
                            .arg(path));
}

// One row per command, or per family of four filter commands (first_id + slot index).
struct CommandRow {
    int first_id;
    int count;
    void (*run)(int index);
};

const std::vector<CommandRow>& command_table()
{
    static const std::vector<CommandRow> rows = {
        {MENU_EXIT, 1, [](int) { if (app().main_window) app().main_window->close(); }},
        {MENU_ABOUT, 1, [](int) { run_about_dialog(app().main_window); }},
        {MENU_CONNECTION, 1, [](int) { open_connections(app().main_window); }},
        {MENU_HELP_TOPICS, 1, [](int) { open_help(); }},
        {MENU_BANDPASS_LOG, 1, [](int) { open_log_viewer(); }},
        {MENU_HISTORY, 1, [](int) { show_history_window(); }},
        {MENU_SAVE_HISTORY, 1, [](int) { ask_and_save_history(app().main_window); }},
        {MENU_HEATER_ON, SLOT_COUNT, heater_on},
        {MENU_SLEEP, SLOT_COUNT, sleep_filter},
        {MENU_LOCK_PANEL, SLOT_COUNT, toggle_lock},
        {MENU_RESET_SHIFT, SLOT_COUNT, reset_shift},
        {MENU_SHIFT_DOWN_05, SLOT_COUNT, [](int n) { shift_step(n, SHIFT_STEPS[0]); }},
        {MENU_SHIFT_DOWN_01, SLOT_COUNT, [](int n) { shift_step(n, SHIFT_STEPS[1]); }},
        {MENU_SHIFT_UP_01, SLOT_COUNT, [](int n) { shift_step(n, SHIFT_STEPS[2]); }},
        {MENU_SHIFT_UP_05, SLOT_COUNT, [](int n) { shift_step(n, SHIFT_STEPS[3]); }},
        {MENU_ANGSTROMS, 1, [](int) { set_units(0); }},
        {MENU_NANOMETERS, 1, [](int) { set_units(1); }},
        {MENU_DISPLAY_CENTER, 1, [](int) { set_show_wing_shift(0); }},
        {MENU_DISPLAY_WING_SHIFT, 1, [](int) { set_show_wing_shift(1); }},
        {MENU_FIT_WINDOW, 1, [](int) { fit_window(); }},
        {MENU_UPDATE_1S, UPDATE_INTERVAL_COUNT, set_update_interval},
        {MENU_LOG_BANDPASSES, 1, [](int) { toggle_logging(); }},
    };
    return rows;
}

// The per-filter Display items carry identifiers of their own; they are found by slot here.
bool run_display_popup_command(int id)
{
    for (int n = 0; n < SLOT_COUNT; ++n) {
        const DisplayPopupIds& ids = DISPLAY_POPUP_IDS[n];
        if (id == ids.status) run_status_dialog(app().main_window, n);
        else if (id == ids.zoom_wide) set_zoom(n, ZOOM_WIDE);
        else if (id == ids.zoom_normal) set_zoom(n, ZOOM_NORMAL);
        else if (id == ids.zoom_tight) set_zoom(n, ZOOM_TIGHT);
        else continue;
        return true;
    }
    return false;
}

}  // namespace

int dispatch_command(int id)
{
    if (run_display_popup_command(id)) return 1;
    for (const PanelModeItem& item : PANEL_MODE_ITEMS) {
        if (id != item.menu_id) continue;
        set_display_mode(item.mode);
        return 1;
    }
    for (const CommandRow& row : command_table()) {
        if (id >= row.first_id && id < row.first_id + row.count) {
            row.run(id - row.first_id);
            return 1;
        }
    }
    return 0;
}

void on_wing_shift_scroll(int code, const QScrollBar* sender)
{
    if (code != SCROLL_LINE_LEFT && code != SCROLL_LINE_RIGHT) return;
    int n = 0;
    for (int i = 1; i < SLOT_COUNT; ++i)
        if (sender != nullptr && sender == app().wing_shift_bar[i]) n = i;
    FilterRecord& slot = filter_slots()[n];
    // Unlike the menu steps, an arrow at its limit sends nothing.
    const bool left = code == SCROLL_LINE_LEFT;
    if (left ? slot.wing_shift > -SHIFT_STEP_LIMIT : slot.wing_shift < SHIFT_STEP_LIMIT) {
        slot.wing_shift += left ? -0.1 : 0.1;
        send_shift_and_poll(n);
    } else {
        repaint_panels(0);
    }
}

int open_connections(QWidget* owner)
{
    ConnectionChoice choice;
    if (run_connections_dialog(owner, choice, [] { fit_window(); }) != 1) return 2;
    // A slot moved to another port is closed first; then every slot without a filter and with a
    // name to open is connected, all at once on their lines.
    for (int n = 0; n < SLOT_COUNT; ++n) {
        if (!choice.chosen[n]) continue;
        FilterRecord& slot = filter_slots()[n];
        const bool moved = std::strcmp(choice.port_name[n], slot.port_name) != 0;
        if (moved && (slot.connected || slot_connecting(n))) slot_close(n);
        copy_text(slot.port_name, PORT_NAME_SIZE, choice.port_name[n], PORT_NAME_SIZE - 1);
    }
    for (int n = 0; n < SLOT_COUNT; ++n) {
        const FilterRecord& slot = filter_slots()[n];
        if (!slot.connected && !slot_connecting(n) && connectable_name(slot.port_name)) slot_connect(n, slot.port_name);
        app().scrollbar_reset[n] = 1;
    }
    save_settings_telling();
    update_menus();
    repaint_panels(0);
    return 1;
}

void connect_wing_shift_bar(QScrollBar* bar)
{
    QObject::connect(bar, &QAbstractSlider::actionTriggered, [bar](int action) {
        int code = action == QAbstractSlider::SliderSingleStepSub   ? SCROLL_LINE_LEFT
                   : action == QAbstractSlider::SliderSingleStepAdd ? SCROLL_LINE_RIGHT
                                                                    : -1;
        bar->setSliderPosition(0);  // the bar is only a pair of arrows: it never moves
        on_wing_shift_scroll(code, bar);
    });
}
