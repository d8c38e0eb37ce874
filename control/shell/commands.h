// The command identifiers of the main window's menu and accelerators, and the menu state.
#pragma once

#include "control/state/app_state.h"
#include "panels/panel.h"

#include <QString>

#include <iterator>

// File, Help, Settings.
constexpr int MENU_ABOUT = 104;
constexpr int MENU_EXIT = 105;
constexpr int MENU_CONNECTION = 32771;
constexpr int MENU_HELP_TOPICS = 32775;
constexpr int MENU_BANDPASS_LOG = 32777;
constexpr int MENU_UPDATE_1S = 32890;
constexpr int MENU_UPDATE_5S = 32891;
constexpr int MENU_UPDATE_30S = 32892;
constexpr int MENU_LOG_BANDPASSES = 32893;
constexpr int MENU_HISTORY = 32897;       // Display > History..., after the filter popups
constexpr int MENU_SAVE_HISTORY = 32898;  // File > Save History..., after Exit

// Display options (repeated in every filter's Display popup under the same identifier).
constexpr int MENU_DISPLAY_CENTER = 32820;
constexpr int MENU_DISPLAY_WING_SHIFT = 32821;
constexpr int MENU_NANOMETERS = 32822;
constexpr int MENU_ANGSTROMS = 32823;
constexpr int MENU_SIMPLE = 32824;
constexpr int MENU_FULL = 32825;

// The Settings menu's display mode items, one per mode of the panels.
struct PanelModeItem {
    int menu_id;
    PanelMode mode;
};
constexpr PanelModeItem PANEL_MODE_ITEMS[] = {{MENU_SIMPLE, PANEL_SIMPLE}, {MENU_FULL, PANEL_FULL}};
static_assert(std::size(PANEL_MODE_ITEMS) == PANEL_MODE_COUNT, "a menu item for every display mode");
constexpr int MENU_FIT_WINDOW = 32896;

// Filter controls: the base plus the slot index 0 to 3.
constexpr int MENU_HEATER_ON = 10000;
constexpr int MENU_SLEEP = 10100;
constexpr int MENU_LOCK_PANEL = 10200;
constexpr int MENU_RESET_SHIFT = 10300;
constexpr int MENU_SHIFT_DOWN_05 = 10400;
constexpr int MENU_SHIFT_DOWN_01 = 10500;
constexpr int MENU_SHIFT_UP_01 = 10600;
constexpr int MENU_SHIFT_UP_05 = 10700;

// Each filter's Status... and zoom items.
struct DisplayPopupIds {
    int status, zoom_wide, zoom_normal, zoom_tight;
};
constexpr DisplayPopupIds DISPLAY_POPUP_IDS[] = {
    {32871, 32872, 32873, 32874},
    {32834, 32835, 32836, 32837},
    {32830, 32831, 32832, 32833},
    {32826, 32827, 32828, 32829},
};
static_assert(std::size(DISPLAY_POPUP_IDS) == SLOT_COUNT, "one Display popup per slot");

// Sets or clears the check mark of every menu item carrying the identifier.
void check_menu_item(int id, bool on);

// The check mark of every menu item carrying the identifier; 0 when none is checked.
int menu_checked(int id);

// The text of filter popup n (0 to 3) in the Controls and Display menus, and whether it is enabled.
QString filter_popup_label(int n);
bool filter_popup_enabled(int n);
// The tooltip of slot n's Controls popup item: its problem line, or its label when it has none.
QString filter_popup_tooltip(int n);

// The label update_menus gives filter n's popups.
QString filter_label(int n);
