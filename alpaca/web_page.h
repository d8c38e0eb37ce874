// The status page of solvane-alpaca: one HTML document with its style and script inline (nothing
// fetched from elsewhere), and the small JSON document the page polls.
//
// The page is an Alpaca client of its own server: its buttons send the same PUT requests any
// Alpaca client sends (setswitch, setswitchvalue, connect, disconnect), so they pass the same
// checks and reach the filters the same way. It shows each configured filter's panel as a PNG the
// server renders, the status and the readings, polls /state.json every two seconds and reloads a
// panel only when its picture changed; below each panel it plots the filter's history
// (history_page.h). It fits a phone's screen.
#pragma once

#include "alpaca/alpaca_api.h"

#include <string>
#include <vector>

// The page. focus_slot (0 to 3, or -1) scrolls that filter into view, for the per-device setup
// page. test_hooks makes the page press the button named by a "#press=ID" fragment once the
// filters are shown, after typing any other "NAME=VALUE" of the fragment into the field NAME; the
// program never sets it, the tests do (a link could otherwise press a button).
std::string page_html(int focus_slot, int test_hooks);

// What the page shows of each configured slot, with the version of its panel picture.
std::string page_state_json(const ServerView& view, const unsigned panel_versions[SLOT_COUNT]);

// The setup page's choices for slot: its port, whether it may change now (not while connected),
// whether a choice is saved in solvane.ini, and every serial port this computer lists, each with
// the filter (1 to 4) that has it, if any.
std::string page_ports_json(const ServerView& view, int slot, const std::vector<std::string>& ports, int saves);
