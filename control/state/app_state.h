// The windowed program's process-wide state: the four filter slots and the application state.
//
// Plain data only: the settings file, the display and the dialogs read and write it in place,
// and tests set it up directly. The window-system objects it names are owned by the shell.
// Threads: the GUI thread's alone; the filter lines never see it (they get copies in their jobs
// and hand copies back).
#pragma once

#include "link/filter_lines.h"
#include "link/solvane_link.h"

#include <cstdint>

class QMainWindow;
class QScrollBar;

// The main window's placement as the settings file stores it: eleven little-endian 32-bit values,
// 44 bytes, in the layout the filters' home platform uses for its window placement record.
struct WindowPlacement {
    std::int32_t length = 44;
    std::int32_t flags = 0;
    std::int32_t show_command = 0;   // 1 normal, 2 minimised, 3 maximised
    std::int32_t min_x = 0, min_y = 0;
    std::int32_t max_x = 0, max_y = 0;
    std::int32_t left = 0, top = 0, right = 0, bottom = 0;  // the normal geometry
};
constexpr int PLACEMENT_BYTES = 44;
static_assert(sizeof(WindowPlacement) == PLACEMENT_BYTES);

constexpr int SHOW_NORMAL = 1;
constexpr int SHOW_MINIMIZED = 2;
constexpr int SHOW_MAXIMIZED = 3;

constexpr int UPDATE_PERIODS_MS[3] = {1000, 5000, 30000};
constexpr int UPDATE_TIMER_ID = 32000;  // the main window's update timer
constexpr int STATUS_TIMER_ID = 32001;  // the status dialog's own timer
constexpr int PANEL_HEIGHT_FULL = 258;
constexpr int PANEL_WIDTH_FULL = 797;   // a Full panel: the client width Fit Window gives
constexpr int PANEL_WIDTH_SIMPLE = 170;

struct AppState {
    QMainWindow* main_window = nullptr;
    QScrollBar* wing_shift_bar[SLOT_COUNT] = {};
    int full_display = 1;
    int units_nm = 0;
    int show_wing_shift = 0;
    int log_enabled = 0;
    int log_file = -1;              // the bandpass log's descriptor while open
    int update_interval_index = 1;
    int command_busy = 0;           // busy commands on their way (their results not taken yet)
    WindowPlacement placement;
    int placement_valid = 0;
    int open_connections_at_start = 0;
    int fit_after_show = 0;
    int clear_pending = 0;
    int scrollbar_reset[SLOT_COUNT] = {1, 1, 1, 1};
};

extern AppState app;
extern FilterRecord filter_slots[SLOT_COUNT];

// Puts the slots and the application state back to their start values.
void reset_app_state();
