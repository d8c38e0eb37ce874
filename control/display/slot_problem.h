// Why a slot shows no working filter, in the observer's words: one line with the port and the
// reason, shown in the slot's panel area and as its greyed menu item's tooltip.
//
// The texts come from the facts of a connect result (link/filter_lines.h: failure, port_error)
// and from the update's news that a connected filter stopped answering. They are made here
// alone, so that the window can take them from the link's shared observer texts once those
// exist, by changing this one function. GUI thread only (the texts go into the window state).
#pragma once

#include "link/solvane_link.h"

#include <string>

// "COM3: nothing answered at 9600 baud", "COM2: permission denied: add yourself to dialout".
// port_name is the slot's configured name (its bytes, shown as Latin-1); failure and port_error
// as a connect result holds them; lost 1 for a filter that was connected and stopped answering
// (failure and port_error are then not read). UTF-8; empty when there is nothing to tell (a
// connect that succeeded or was cut short).
std::string slot_problem_text(const char* port_name, ConnectFailure failure, const PortError& port_error, int lost);
