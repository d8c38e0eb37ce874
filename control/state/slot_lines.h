// The window's four filter slots on their filter lines: what the window hands to them, and what
// comes back.
//
// Contents
//   1. Starting and stopping
//   2. Jobs for a slot
//   3. Auto Detect
//   4. Results
//
// Each slot talks to its filter through one line of link/filter_lines.h (slot_line); Auto Detect
// may give a slot another line, so a found filter keeps the port its probe opened. The records of
// filter_slots() are the window's own copies: a command changes them at once, so the menus and
// panels show what was asked for, and each result brings in the line's record, except for the
// fields that a command still on its way is about to change (so holding a wing-shift arrow walks
// on from the value last asked for, never back). A result of a job handed in before the slot was
// last connected or closed is not taken into the record.
//
// Threads: everything here runs on the GUI thread; the shell calls take_slot_results when the
// lines' notify descriptor is readable. The window's set of lines and the tables below are that
// thread's alone.
#pragma once

#include "control/state/app_state.h"
#include "link/filter_lines.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// 1. Starting and stopping
// ---------------------------------------------------------------------------------------------

// Makes the window's set of lines, one per slot (serial_error.log records go to the file in the
// order the jobs were handed in). Returns 1 on success; 0 when the set exists already or could
// not be made.
int slot_lines_start();

// Cuts every job short, closes the ports and ends the set. Results not yet taken are dropped.
void slot_lines_stop();

// The set's notify descriptor (readable while results wait; -1 without a set), its wait for a
// result (1 when one waits) and whether it is idle, as in filter_lines.h.
int slot_lines_notify_descriptor();
int slot_lines_wait(int timeout_ms);
int slot_lines_idle();

// ---------------------------------------------------------------------------------------------
// 2. Jobs for a slot
// ---------------------------------------------------------------------------------------------

// What the window does when a job's result comes back.
enum SlotAfter {
    AFTER_NOTHING,
    AFTER_REPAINT,   // repaint the panels from their cached backgrounds
    AFTER_REBUILD,   // repaint and rebuild the backgrounds
};

// Connects slot n to the port: the slot's jobs are cancelled, then its line closes what was open
// and opens and identifies the filter there. The slot's record reads "not connected" until the
// result comes. Returns the job's id.
std::uint64_t slot_connect(int n, const char* port_name);

// Cancels the slot's jobs and closes its port; the record reads "not connected" at once.
void slot_close(int n);

// Sends a command to slot n's filter, the record already showing what it changes (edit). With
// poll_after the filter is polled once it is sent. A busy command counts in app().command_busy
// until its result is taken (the update skips its polls meanwhile). group, when not 0, names
// the commands a broadcast sends together; after applies when the group's last result is in.
std::uint64_t slot_command(int n, const char* command, LineEdit edit, int poll_after, int busy,
                           SlotAfter after, std::uint64_t group = 0);

// The update's job for a connected slot (the tick policy), by line_tick's rule with
// TICK_WAITS_FOR_TICK: a new one, or the one still on its way (updates never pile up on a slow
// line). Returns its id; 0 for an unconnected slot.
std::uint64_t slot_tick(int n);

// 1 while a connect job of the slot is on its way.
int slot_connecting(int n);

// Jobs handed in whose results have not been taken yet, over all slots.
int slot_jobs_pending();

// A fresh group id for slot_command.
std::uint64_t new_command_group();

// ---------------------------------------------------------------------------------------------
// 3. Auto Detect
// ---------------------------------------------------------------------------------------------

// Closes all four slots and probes the ports (in the given order) for filters. As many ports are
// probed at once as filters are still wanted, counting every probe on its way as a filter found,
// so no port is touched that trying them one at a time would have left alone. Filters fill the
// slots from the first upward in the order of the ports, each keeping the line its probe opened.
void auto_detect_start(const std::vector<std::string>& ports);

// Cuts the probes short; the ports already found stay connected. Detection ends when their
// results are in.
void auto_detect_stop();

int auto_detect_running();

// ---------------------------------------------------------------------------------------------
// 4. Results
// ---------------------------------------------------------------------------------------------

enum SlotEventKind {
    EVENT_RESULT,       // a slot's job ended
    EVENT_PROBE_FOUND,  // Auto Detect found a filter and gave it to slot
    EVENT_PROBE_EMPTY,  // a probed port held no filter; slot is the one it was tried for
    EVENT_DETECT_DONE,  // Auto Detect has ended; slot is the number of slots it filled
};

struct SlotEvent {
    SlotEventKind kind = EVENT_RESULT;
    int slot = -1;
    int merged = 0;          // the result's record was taken into filter_slots()[slot]
    SlotAfter after = AFTER_NOTHING;  // to do now (for a group: when its last result is in)
    LineResult result;
};

// Takes the lines' waiting results into the slot records and returns what happened, in order.
// The units of the filter connected last (in the order the connects were handed in) become the
// program's units.
void take_slot_results(std::vector<SlotEvent>& events);

// Code that wants to see the events too (an open dialog) registers here; the shell passes every
// event on after its own handling. Returns a handle for remove_slot_observer.
int add_slot_observer(std::function<void(const SlotEvent&)> observer);
void remove_slot_observer(int handle);
void notify_slot_observers(const SlotEvent& event);
