// SolvaneCommand: the console tool for scripts at the start and end of an observing night.
//
// Contents
//   1. The command line: actions, ports and the wait
//   2. The console link: retried queries and the status read
//   3. The run: actions, status blocks, waiting, exit status
#pragma once

#include "link/remote_link.h"
#include "link/solvane_link.h"

#include <cstdio>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// 1. The command line
// ---------------------------------------------------------------------------------------------

enum ConsoleAction { ACTION_SLEEP, ACTION_STATUS, ACTION_WAKE, ACTION_SET_SHIFT };

constexpr int CONSOLE_MAX_FILTERS = SLOT_COUNT;
constexpr int ARGUMENT_LINE_MAX = 255;  // characters of the joined argument line
constexpr int ARGUMENT_WORDS_MAX = 8;
constexpr int WAIT_SECONDS_MAX = 3600;

struct ConsoleSlot {
    FilterRecord filter;        // port_name holds the name as typed, cut to 99 characters
    std::string full_name;      // the whole name, for telling ports apart
    int name_too_long = 0;      // longer than port_name holds: never opened under a cut name
    ConsoleAction action = ACTION_STATUS;
    double shift = 0;           // Angstrom, for ACTION_SET_SHIFT
    int served = 0;             // 1: an alpaca:// name, a filter served by solvane-alpaca
    RemoteLine remote;          // its server, while served
    std::string open_failure;   // served: why it did not connect, for standard error
};

struct ConsoleRun {
    ConsoleSlot slots[CONSOLE_MAX_FILTERS];
    int filter_count = 0;
    int wait_seconds = 0;       // 0: do not wait
    int exit_status = 0;
    // One line for every word the tool ignores, saying which and why (for standard error). A
    // script must not believe a filter woke because a word it meant as an action was dropped.
    std::vector<std::string> ignored;
};

// Reads the arguments into run: joined with a blank after each, cut to 255 characters, upper-cased
// (a port word naming a device path keeps its case), split into at most eight words; then WAIT
// and port words as the usage text explains. Every word that is not taken is listed in
// run.ignored with its reason; standard output never hears of it.
void parse_command_line(int argc, const char* const* argv, ConsoleRun& run);

// A complete decimal number: optional sign, digits with at most one point (at least one digit),
// optional exponent E with optional sign and digits, and nothing else. Returns 1 with value set;
// 0 (value unchanged) for anything else: "SLEPP", "0,3", "0.3X", "", "1E", "INF".
int read_complete_decimal(const std::string& text, double& value);

// A complete whole number: optional sign, digits, nothing else. Returns 1 with value set
// (saturated far beyond any useful value instead of overflowing); 0 for anything else.
int read_whole_number(const std::string& text, long& value);

// ---------------------------------------------------------------------------------------------
// 2. The console link
// ---------------------------------------------------------------------------------------------

// Up to five single-attempt exchanges of command until one brings a reply, with one 2000 ms pause
// before the fourth. Returns 1 when answered; reply holds the last attempt's reply. A slot whose
// port is not open is never answered and costs no time.
int console_query(FilterRecord& slot, const char* command, char reply[REPLY_BUFFER_SIZE]);

// The console status poll: "GI\n" through console_query, decoded by the firmware version the line
// itself carries, scaled and range-checked as in the windowed poll; no reply sets
// STATUS_NO_COMMUNICATION and keeps every other field.
void console_poll_status(FilterRecord& slot);

// The status poll, then GH (sleeping), GX (nominal wavelength), GQ (series) and GB (bandwidth).
void read_console_status(FilterRecord& slot);

// The console tool's port for a slot: its serial port, or its served filter's device connected
// on the server (its record then holds everything the status block prints). Returns 1 when open.
int console_open(ConsoleSlot& slot);

// The status of an open slot: read_console_status, or the server's record.
void console_read_status(ConsoleSlot& slot);
void console_poll(ConsoleSlot& slot);

// Sends the slot's setting (SLEEP, WAKE or a wing shift) and reports whether it was acknowledged.
int console_send_setting(ConsoleSlot& slot);

// Closes the slot's port, its terminal settings put back; a served filter stays on its server.
void console_close(ConsoleSlot& slot);

// ---------------------------------------------------------------------------------------------
// 3. The run
// ---------------------------------------------------------------------------------------------

// The usage text, naming the slot count.
std::string console_usage();

// The version line --version prints.
std::string console_version();

// The bytes a SLEEP, WAKE or wing-shift word sends, from the filter settings table, into out.
char* console_setting_command(const ConsoleSlot& slot, char out[COMMAND_BUFFER_SIZE]);

// The whole tool: usage or time stamp, actions, waiting, closing. Writes its messages and status
// blocks to out, and what went wrong beyond them (ignored words and why, the reason a port did
// not open, filters still off band when a wait ran out) to err. Returns the exit code: 1 also for
// an ignored word and for a wait that ran out with a woken or shifted filter off band. --help or
// -h (the usage) and --version anywhere on the line answer on out with 0 and touch no port.
int run_console_tool(int argc, const char* const* argv, std::FILE* out, std::FILE* err);
