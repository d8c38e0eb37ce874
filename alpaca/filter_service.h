// The filters behind the Alpaca server: one filter line per slot, the update tick, the server's
// copy of each record and the rendered panels, shared between the main thread and the HTTP
// threads.
//
// Contents
//   1. Starting and stopping (main thread)
//   2. Reading the filters (any thread)
//   3. Handing in work and waiting for it (HTTP threads)
//   4. Measurements
//
// Threads. The main thread runs the Qt event loop and owns the Qt objects made here (a socket
// notifier on the lines' result descriptor, the update timer). It alone takes the lines' results,
// merges them into the server's records, submits the ticks and renders the panels. The HTTP
// threads read that state and hand in jobs. The shared state (records, panel PNGs, pending-job
// counts, the waits of synchronous writes) is guarded by one mutex, the service mutex; the main
// thread changes it only under that mutex and signals a condition variable after each batch of
// results. A thread that waits for a result must not be the main thread.
#pragma once

#include "alpaca/alpaca_api.h"
#include "link/filter_policy.h"

#include <memory>
#include <string>

struct FilterHistory;

// ---------------------------------------------------------------------------------------------
// 1. Starting and stopping
// ---------------------------------------------------------------------------------------------

struct ServiceOptions {
    std::string ports[SLOT_COUNT];            // empty: no filter in that slot
    double zoom_span[SLOT_COUNT] = {};          // 0: the normal span
    int full_display = 1;                       // panels drawn Full (1) or Simple (0)
    int interval_ms = UPDATE_INTERVAL_DEFAULT_MS;                    // update period of each connected filter
    int connect_at_start = 0;                   // connect every slot at once, without a client
    int write_error_log = 1;                    // serial_error.log in the working directory
    int ports_in_settings_file = 0;             // a port chosen on the setup page is written to
                                                // solvane.ini of the working directory
    Schedule schedule;                          // wake and sleep by the clock or the sun (none: never)
};

// Starts four filter lines, the result notifier and the update timer. A QGuiApplication must
// exist. Returns 1; 0 when the lines could not start (nothing is left running then).
int service_start(const ServiceOptions& options);

// Stops the timer and the lines (every port closed with its terminal settings put back). Waits
// of HTTP threads end with "not finished".
void service_stop();

// ---------------------------------------------------------------------------------------------
// 2. Reading
// ---------------------------------------------------------------------------------------------

// A snapshot of every slot as the API sees it.
ServerView service_view();

// The PNG of a slot's panel as the window would draw it, and its version (it grows with every new
// picture; 0 while there is none). Empty for a slot without a port. ratio is the asking screen's
// device pixel ratio (1 to PANEL_RATIO_MAX): the picture is drawn for the finest screen that asked
// recently, so a phone gets sharp text and a desktop browser scales it down.
constexpr int PANEL_RATIO_MAX = 3;
std::string service_panel_png(int slot, unsigned* version = nullptr, int ratio = 1);
unsigned service_panel_version(int slot);

// The filters' history since the service started (filter_history.h): each poll of a connected
// filter, the update's and a connection's first, and the mark of each setting a client sent, at
// the time it was handed to the line. Null while the service is not running. Any thread: the
// history has a lock of its own, so a reader holds this pointer and reads without the service
// mutex; a history the service let go ends with its last holder.
std::shared_ptr<FilterHistory> service_history();

// ---------------------------------------------------------------------------------------------
// 3. Handing in work
// ---------------------------------------------------------------------------------------------

// The settings a slot takes queued at once, the running one included. Each waiting setting holds
// an HTTP thread for up to its wait; against a silent filter a deeper queue only holds more of
// them and delays whatever comes after. A setting beyond it is refused at once (queue_full).
constexpr int WRITE_QUEUE_MAX = 4;

// Runs a write the API asked for on slot's line and waits up to wait_ms for its result: a switch
// setting (WRITE_JOB with job), a connection (WRITE_CONNECT: joins a connection already under way,
// finishes at once when connected) or a disconnection, which first cancels what is queued on the
// line and cuts the running exchange short. The returned record is the server's copy
// after the result was merged.
WriteOutcome service_run_write(int slot, ApiWrite write, const LineJob& job, int wait_ms, FilterRecord* record);

// Starts a connection or disconnection (WRITE_CONNECT_START, WRITE_DISCONNECT_START) without
// waiting; Connecting reads true until its result is in.
void service_start_write(int slot, ApiWrite write);

// Gives slot another port (the setup page), while its filter is not connected. Only a port that
// this computer lists as a serial port is taken (the name comes from the network: nothing else is
// ever opened), and none that another slot has. A slot without a port becomes Alpaca device n.
// With ports_in_settings_file the choice is also written to solvane.ini, the window's other
// settings kept. message says what happened in a sentence for the page; any HTTP thread.
enum PortChoice {
    PORT_CHOSEN,            // in use from now on (and saved, where the server saves)
    PORT_CHOSEN_NOT_SAVED,  // in use from now on, but solvane.ini could not be written: message says why
    PORT_NOT_LISTED,        // not a serial port of this computer
    PORT_TAKEN,             // another slot has it
    PORT_SLOT_BUSY,         // the slot's filter is connected, or connecting or closing
    PORT_STOPPING,          // the server is shutting down
};
PortChoice service_choose_port(int slot, const std::string& port_name, std::string& message);
int service_saves_ports();  // ports_in_settings_file of the running service

// The setup page's schedule (schedule_valid checked by the caller): saved in solvane-site.ini and
// taken up at the next update, every timer starting afresh. Returns 1; 0 with message saying why
// it could not be saved (it runs anyway until the server stops). Any HTTP thread.
int service_set_schedule(const Schedule& schedule, std::string& message);
Schedule service_schedule();  // the schedule now in force (any thread)

// ---------------------------------------------------------------------------------------------
// 4. Measurements
// ---------------------------------------------------------------------------------------------

// Time from handing in a tick to the main thread having merged its result: what a poll costs
// the observer, the serial exchange included.
struct PollDelays {
    int count = 0;
    double mean_ms = 0;
    double max_ms = 0;
};
PollDelays service_poll_delays(int reset);
