// The window's state: the filter slots, the application state, and everything else the window
// keeps between two events (its panel caches, menus, timers, the log's and the settings' memory).
//
// One WindowState holds it all, reached through window_state() (the accessors app() and
// filter_slots() name its two busiest parts), so nothing of the window lives in a table of its
// own. Plain data: the settings, the display, the dialogs and the shell read and write it in
// place, and tests set it up directly. The window-system objects it points to are owned by the
// shell. Nothing below control/ (panels/, spectral/, link/) sees it.
// Threads: the GUI thread's alone; the filter lines never see it (they get copies in their jobs
// and hand copies back).
#pragma once

#include "link/filter_history.h"
#include "link/filter_lines.h"
#include "link/filter_policy.h"
#include "link/settings_file.h"
#include "link/solvane_link.h"
#include "panels/panel.h"

#include <QImage>
#include <QPointer>
#include <QString>

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

class QAction;
class QDialog;
class QEventLoop;
class QMainWindow;
class QMenu;
class QMenuBar;
class QObject;
class QScrollArea;
class QScrollBar;
class QSocketNotifier;
class QTextBrowser;
class QWidget;


constexpr int UPDATE_TIMER_ID = 32000;  // the main window's update timer
constexpr int STATUS_TIMER_ID = 32001;  // the status dialog's own timer

struct AppState {
    QMainWindow* main_window = nullptr;
    QScrollBar* wing_shift_bar[SLOT_COUNT] = {};
    int full_display = 1;
    int units_nm = 0;
    int show_wing_shift = 0;
    int log_enabled = 0;
    int log_file = -1;              // the bandpass log's descriptor while open
    int update_interval_index = UPDATE_INTERVAL_DEFAULT_INDEX;
    int command_busy = 0;           // busy commands on their way (their results not taken yet)
    WindowPlacement placement;
    int placement_valid = 0;
    int open_connections_at_start = 0;
    int fit_after_show = 0;
    int clear_pending = 0;
    // 1: place the slot's wing-shift arrows at its next paint (every slot's at the first).
    std::array<int, SLOT_COUNT> scrollbar_reset = [] {
        std::array<int, SLOT_COUNT> all{};
        all.fill(1);
        return all;
    }();
};

// The update's round of one tick: the bandpass row waits until every filter's values are in.
struct TickRound {
    std::uint64_t waiting_for[SLOT_COUNT] = {};  // the update each filter's values come from
    FilterRecord values[SLOT_COUNT];
};

// A timer of the main window, by the program's timer identifier.
struct ArmedTimer {
    int qt_id;  // 0 while held (the period stays recorded)
    int period_ms;
};

// The slots' bookkeeping on their lines (control/state/slot_lines.cpp alone knows its inside).
struct SlotTables;
struct SlotTablesDelete {
    void operator()(SlotTables* tables) const;
};

struct HistoryEnd {
    void operator()(FilterHistory* history) const { history_end(history); }
};

struct WindowState {
    AppState app;
    // Every poll of the filters since the program started (window_history()); the History
    // window draws it. GUI thread (the history's own lock lets the CSV export read it anywhere).
    std::unique_ptr<FilterHistory, HistoryEnd> history;
    QPointer<QWidget> history_window;  // the History window while it is open
    FilterRecord filter_slots[SLOT_COUNT];
    PanelCache panel_cache[SLOT_COUNT];  // the panels' cached backgrounds
    std::unique_ptr<SlotTables, SlotTablesDelete> slot_tables;
    FilterLines* lines = nullptr;  // the window's set of lines, from slot_lines_start to slot_lines_stop
    // Why a configured slot has no working filter (its connect failed, or it stopped answering),
    // one line in UTF-8 for its panel and menu tooltip; empty while it works or is not configured.
    std::string slot_problem[SLOT_COUNT];

    // The main window (control/shell/main_window.cpp). Guarded: both go with the main window, and
    // filter results may still come after it has gone.
    QPointer<QScrollArea> client_area;  // the central widget: what the window's size is fitted to
    QPointer<QWidget> client;           // the panel area inside it, scrolled when it is larger
    QImage buffer;                      // the panel area's back buffer
    bool buffer_current = false;
    std::map<int, ArmedTimer> armed_timers;
    bool frame_check_pending = false;   // check the frame once the window shows
    QObject* window_procedure = nullptr;

    // The menus (control/shell/menus.cpp): every item by its identifier; the display options
    // stand in all four Display popups.
    std::multimap<int, QAction*> menu_actions;
    QMenu* controls_popups[SLOT_COUNT] = {};
    QMenu* display_popups[SLOT_COUNT] = {};
    const QMenuBar* menu_bar = nullptr;  // the bar the items above belong to
    QPointer<QTextBrowser> help_browser;  // the help window of our own, cleared when it is closed

    // Start-up, the update and the messages (control/shell/startup.cpp, update.cpp).
    QEventLoop* waiting_loop = nullptr;  // the start-up's wait for its connections, while it runs
    bool settings_problem_told = false;
    QString last_observer_message;
    std::deque<TickRound> rounds;
    QSocketNotifier* results_notifier = nullptr;

    // The bandpass log (control/shell/bandpass_log.cpp).
    bool log_header_due = true;  // the next row starts with a header line (a new opening, or after a gap)
    bool log_write_failure_told = false;

    // The start-up notice (control/dialogs/about_dialog.cpp).
    QDialog* notice = nullptr;

    // The settings file (control/settings/settings.cpp): the one found at start could not be
    // read, so it is not overwritten with defaults; and why the last load or save went wrong.
    bool keep_settings_file = false;
    std::string settings_problem;
};

// The window's state (made on first use, ended with the program).
WindowState& window_state();

// The filters' history, made on first use.
FilterHistory* window_history();

inline AppState& app() { return window_state().app; }
inline FilterRecord (&filter_slots())[SLOT_COUNT] { return window_state().filter_slots; }

// Puts the slots and the application state back to their start values.
void reset_app_state();
