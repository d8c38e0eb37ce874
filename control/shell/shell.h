// The application shell of SolvaneControl: start-up and shutdown, the main window and its
// message handling, the update timer, the bandpass log.
//
// Contents
//   1. Start-up and shutdown
//   2. The main window: creation, fitting, painting
//   3. Timers and the periodic update
//   4. The bandpass log
//   5. Messages to the observer
//
// Everything here runs on the one GUI thread, which never waits for a serial port: every exchange
// runs on the filters' own lines (control/state/slot_lines.h) and the shell takes their results
// as they come. The state the shell works on is the process-wide app and filter_slots()
// (control/state/app_state.h).
#pragma once

#include "control/state/app_state.h"

#include <QList>
#include <QRect>
#include <QString>

class QImage;
class QWidget;

constexpr const char* WINDOW_TITLE = "Velmora Solvane Control";
constexpr int INITIAL_CLIENT_WIDTH = 797;
constexpr int INITIAL_CLIENT_HEIGHT = 516;

// ---------------------------------------------------------------------------------------------
// 1. Start-up and shutdown
// ---------------------------------------------------------------------------------------------

// Runs the start-up in its fixed order, up to the shown main window with its menus set: start
// values, the start-up notice while the solar atlas loads and the filters reconnect, the main
// window (with the connections dialog first when no usable settings file exists). Returns 1 when
// the main window exists, 0 when it could not be created. A QApplication must exist.
int control_start();

// After the message loop: stops the filter lines (jobs on their way are cut short), writes the
// settings file, then closes the bandpass log.
void control_shutdown();

// Starts the filter lines and takes their results on the GUI thread from now on.
int start_filter_lines();
void stop_filter_lines();

// Runs the event loop until every job handed to the lines has come back (the start-up's
// connections). Returns 0 when SIGTERM or SIGINT ended it first.
int wait_for_slot_jobs();

// Saves the settings; when that fails, tells the observer once which file, where and why.
int save_settings_telling();

// From now on, SIGTERM and SIGINT close the main window as Exit does (a signal that arrives
// before the window exists is remembered).
void close_on_termination_signals();

// Whether SIGTERM or SIGINT arrived (start-up may have taken a while).
bool termination_signal_arrived();

// ---------------------------------------------------------------------------------------------
// 2. The main window
// ---------------------------------------------------------------------------------------------

// Creates the main window (its create handling included), the four wing-shift arrow controls,
// applies the placement and shows it. Returns 1 on success.
int create_main_window();

// The highest slot index whose filter is connected, or -1.
int highest_connected_slot();

// Sizes the window to the panels up to the highest connected one, or a higher one that says why
// its filter did not connect (one at least), keeping its
// top-left corner: Full 797 x (n x 258) client pixels, Simple (n x 170 - 1) x 258 (276 for one).
// On a screen whose available area is smaller, the window fills that area in the cut direction
// (moved onto it as far as needed) and its client area scrolls.
void fit_window();

// Gives the panel area the size of the panels up to the highest shown one (as fit_window): a client area
// smaller than that scrolls it; a larger one stretches it as before.
void update_panel_area();

// Where a window rectangle (its frame included) may lie on the screens' available areas (the
// primary first): no larger than the area it lies on most; moved onto the nearest area when it
// lies on none (a monitor that has gone), and moved within its area when it had to be cut to the
// area's size or when inside is 1.
QRect place_on_screens(const QRect& window, const QList<QRect>& areas, int inside);

// Paints panels 0 to 3 into the client area's back buffer and shows it; rebuild 1 redraws the
// cached spectrum backgrounds too.
void repaint_panels(int rebuild);

// The update timer's repaint: repaint_panels(0).
void refresh_panels();

// The panel area's back buffer (what the window shows, at the screen's device pixel ratio) and
// the panel area's widget (inside the scrolling client area).
QImage& client_buffer();
QWidget* client_widget();

// Copies the window's current placement into app().placement and sets placement_valid.
void read_placement();

// ---------------------------------------------------------------------------------------------
// 3. Timers and the periodic update
// ---------------------------------------------------------------------------------------------

// (Re)arms a timer of the main window under its identifier; a running one is replaced.
void arm_timer(int timer_id, int period_ms);

// The period the timer with this identifier runs at, 0 when it is not armed.
int timer_period(int timer_id);

// A timer message: the update timer hands each connected filter's update to its line, logs and
// repaints; other identifiers are ignored.
void on_timer(int timer_id);

// The lines' results: into the slot records, the panels, the menus and the bandpass log.
void on_slot_results();

// ---------------------------------------------------------------------------------------------
// 4. The bandpass log (solvane.csv in the current directory)
// ---------------------------------------------------------------------------------------------

constexpr const char* LOG_FILE = "solvane.csv";

// Appends one row for the four slots' values, opening the file first if needed; a header line
// comes first after every opening and after every gap. Each row reaches the disk whole before the
// call returns, or not at all. A file that cannot be opened turns logging off and tells the
// observer; a row that cannot be written is told once and logging goes on.
void write_log_row(const FilterRecord values[SLOT_COUNT]);

// Closes the log if it is open.
void close_log();

// One data row for the slots' values, with its line end (pure; the time is given).
std::string log_row_text(const FilterRecord values[SLOT_COUNT], int year, int month, int day, int hour, int minute,
                         int second);

// ---------------------------------------------------------------------------------------------
// 5. Messages to the observer
// ---------------------------------------------------------------------------------------------

// Shows a message without blocking the window (the update timer keeps running) and remembers it
// as the last message shown (window_state().last_observer_message).
void tell_observer(const QString& title, const QString& text);

// ---------------------------------------------------------------------------------------------
// 6. Menus, commands and the wing-shift arrows
// ---------------------------------------------------------------------------------------------

class QMainWindow;
class QScrollBar;

// Builds the main window's menu bar; every item carries its command identifier.
void build_main_menu(QMainWindow* window);

// Sets every check mark and both sets of filter popup labels from the state.
void update_menus();

// Sets the three zoom check marks of slot n's Display popup from its zoom span.
void update_zoom_checks(int n);

// Carries out a menu command by its identifier. Returns 0 for an identifier it does not know.
// Filter commands are handed to the filters' lines; the window answers while they travel.
int dispatch_command(int id);

// Settings > Connection...: runs the connections dialog and applies its choice (closes slots
// moved to another port, connects the chosen ports, saves the settings, updates the menus).
// Returns 1 for OK, 2 for Cancel.
int open_connections(QWidget* owner);

// The scroll codes of the wing-shift arrows.
constexpr int SCROLL_LINE_LEFT = 0;
constexpr int SCROLL_LINE_RIGHT = 1;

// A scroll message from a wing-shift arrow control (the sender identifies the slot).
void on_wing_shift_scroll(int code, const QScrollBar* sender);

// Routes a wing-shift control's arrow clicks to on_wing_shift_scroll.
void connect_wing_shift_bar(QScrollBar* bar);
