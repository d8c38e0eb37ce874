// One line per filter: each filter's serial exchanges on a thread of its own.
//
// Contents
//   1. Jobs
//   2. Results
//   3. Making and ending a set of lines
//   4. Handing in jobs, cancelling them
//   5. The update tick: no second poll on a busy line
//   6. Taking results on the caller's thread
//
// A program makes a set of lines (lines_make) and ends it (lines_end), as a serial library hands
// out a port handle; every function takes the set. Sets share nothing: each has its own lines,
// job ids, results and serial_error.log order, so a test, a window or a server makes its own.
//
// A line owns one filter's port (its descriptor and the terminal settings it found) and a
// FilterRecord that its jobs keep up to date. Its thread runs the jobs handed to it strictly in the
// order they came, through the link functions of solvane_link.h (connect_slot, poll_filter_status,
// serial_exchange, ...), so the bytes on each port, their retries, pauses and time-outs are those
// of a program that talks to that one filter alone. Lines share nothing with each other: four
// filters on four ports are talked to at the same time.
//
// The caller keeps its own copy of each record for painting, menus and properties, and updates it
// from the copies that come back with the results (merge_line_record). It never sees a line's
// descriptor, so it can never use one that the line has closed.
//
// Threads: a set belongs to the thread that made it, its consumer: that thread alone ends it and
// takes its results (lines_take_results, lines_wait, lines_idle): SolvaneControl through its Qt
// event loop, the INDI driver through libindi's, a server through its dispatcher. line_submit,
// line_tick, line_cancel and lines_last_id may be called from any thread while the set lives.
// Inside a set, each line's queue and state are guarded by the line's own mutex; the results
// waiting to be taken, the job ids and the log order by the set's results mutex; a line's
// FilterRecord and port belong to its thread alone.
#pragma once

#include "link/solvane_link.h"

#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// 1. Jobs
// ---------------------------------------------------------------------------------------------

enum LineJobKind {
    JOB_CONNECT,      // close what is open, then open port_name and identify the filter
    JOB_TICK,         // the update policy: status poll, re-open a lost line, age every 60th poll
    JOB_POLL_STATUS,  // one status poll ("GI")
    JOB_POLL_AGE,     // one age poll ("GY")
    JOB_COMMAND,      // apply the edit, send command; with poll_after, then one status poll
    JOB_REOPEN,       // open the same port again after the device was lost and came back
    JOB_CLOSE,        // close the port, its terminal settings put back
};

// What a command changes in the record before it is sent, as the caller's own copy already shows
// it: a setting of filter_settings.h and the value the filter is told (setting_job fills it). A
// command whose exchange fails keeps the change, as a program without lines does.
struct LineEdit {
    int setting = -1;  // a FilterSetting; -1 changes nothing
    double value = 0;
};

struct LineJob {
    LineJobKind kind = JOB_POLL_STATUS;
    char port_name[PORT_NAME_SIZE] = {};     // JOB_CONNECT: the port to open
    char command[COMMAND_BUFFER_SIZE] = {};  // JOB_COMMAND: its exact bytes, line feed included
    int poll_after = 0;                      // JOB_COMMAND: poll the status once it is sent
    LineEdit edit;                           // JOB_COMMAND
    std::uint64_t tag = 0;                   // the caller's own; comes back with the result
};

// The job forms the callers use.
LineJob connect_job(const char* port_name);
LineJob command_job(const char* command, int poll_after = 0, LineEdit edit = {});
LineJob simple_job(LineJobKind kind);

// ---------------------------------------------------------------------------------------------
// 2. Results
// ---------------------------------------------------------------------------------------------

// Exactly one result comes back for every job handed in, done or cancelled.
struct LineResult {
    int line = -1;
    std::uint64_t id = 0;           // as line_submit returned it; ids grow with every job
    std::uint64_t tag = 0;
    LineJobKind kind = JOB_POLL_STATUS;
    int cancelled = 0;              // 1: cut short or never run; the record then means nothing
    int answered = 0;               // connect: identified; command, poll, tick: a reply came
    int acknowledged = 0;           // JOB_COMMAND: the reply acknowledges the setting
    ConnectFailure failure = CONNECT_OK;  // JOB_CONNECT
    PortError port_error;           // JOB_CONNECT with CONNECT_PORT_FAILED
    char reply[REPLY_BUFFER_SIZE] = {};   // JOB_COMMAND: the command's reply
    DeviceAnswer device_answer;     // JOB_CONNECT: what the device said to identification
    std::string log_records;        // serial_error.log records the job composed, as the file takes them
    std::vector<ExchangeTrace> exchanges;  // every exchange of the job, while the set traces them
    FilterRecord record;            // the line's record after the job (port_handle is always -1)
};

// Takes what a line knows into the caller's copy of a record: everything the filter reported and
// the state of the link, but not the caller's own configuration (slot_index, port_name,
// zoom_span), and never a descriptor.
void merge_line_record(FilterRecord& mine, const FilterRecord& from_line);

// ---------------------------------------------------------------------------------------------
// 3. Making and ending a set of lines
// ---------------------------------------------------------------------------------------------

struct FilterLines;  // a set of lines; made by lines_make, ended by lines_end

struct LinesOptions {
    int write_error_log = 1;  // 1: serial_error.log records go to the file, in the order the jobs were handed in
    int trace_exchanges = 0;  // 1: each result carries the exchanges its job made (lines_trace_exchanges)
};

// Makes count lines (1 or more), numbered 0 to count - 1, each with its thread waiting for jobs.
// The count has no ceiling of its own: each line costs a thread and two descriptors, so the
// machine's limits are the set's. Returns the set; null when count is below 1 or a thread or
// descriptor could not be made (nothing is left running then).
FilterLines* lines_make(int count, const LinesOptions& options = {});

// Cancels every job, lets the running ones end (at once: their waits are cut short), closes every
// port with its terminal settings put back, joins the threads and frees the set. Results not yet
// taken are dropped. Null is ignored. The consumer's thread, with no other thread still handing in.
void lines_end(FilterLines* lines);

// Starts or stops tracing of exchanges for the jobs that start from now on (any thread). Off, a
// job records nothing: one pointer test per exchange.
void lines_trace_exchanges(FilterLines* lines, int on);

// ---------------------------------------------------------------------------------------------
// 4. Handing in jobs
// ---------------------------------------------------------------------------------------------

// Queues a job on a line. Returns its id (above 0; ids grow with every job of the set), or 0 when
// the line does not exist or is stopping (no result will come then).
std::uint64_t line_submit(FilterLines* lines, int line, const LineJob& job);

// Drops the jobs queued on the line (each comes back cancelled) and cuts the running one short:
// its reads and pauses end at once, it writes no serial_error.log record, and it comes back
// cancelled. The port stays as that job left it. Jobs handed in afterwards run normally.
void line_cancel(FilterLines* lines, int line);

// The id of the last job handed in to the set, on any line; 0 before the first.
std::uint64_t lines_last_id(FilterLines* lines);

// ---------------------------------------------------------------------------------------------
// 5. The update tick: no second poll on a busy line
// ---------------------------------------------------------------------------------------------

// A job is on its way from the moment it is handed in until the consumer has taken its result.
// The update's rule, for every program: a tick (JOB_TICK) goes to a line only when the jobs the
// program's update waits for are not on their way, so polls never pile up on a slow or silent
// line. What a tick waits for:
enum TickWaits {
    TICK_WAITS_FOR_TICK,      // the line's last tick only; a tick follows a command (SolvaneControl,
                              // whose commands are made to wait by the window itself)
    TICK_WAITS_FOR_ANY_JOB,   // everything on the line: a command, a connection or the last tick
                              // (the INDI driver, the Alpaca server)
};

// Hands the line a tick by that rule. Returns the id of the new tick, or, when the rule holds it
// back, the id of the tick on its way (0 when what is on its way is no tick, or the line does not
// exist or is stopping). handed_in, when given, is 1 when this call handed a tick in.
std::uint64_t line_tick(FilterLines* lines, int line, TickWaits waits, int* handed_in = nullptr);

// ---------------------------------------------------------------------------------------------
// 6. Taking results (the consumer's thread)
// ---------------------------------------------------------------------------------------------

// A descriptor that is readable while results wait to be taken, for an event loop to watch. It
// lives as long as the set.
int lines_notify_descriptor(FilterLines* lines);

// Moves every waiting result into out (appended, in the order the jobs ended) and returns how
// many. Writes the serial_error.log records of the set's jobs in the order the jobs were handed
// in (a record waits for those of earlier jobs), when the set writes the log.
int lines_take_results(FilterLines* lines, std::vector<LineResult>& out);

// Waits until a result is waiting or timeout_ms have passed. Returns 1 when one is waiting.
int lines_wait(FilterLines* lines, int timeout_ms);

// 1 when no line has a job queued or running and no result waits to be taken.
int lines_idle(FilterLines* lines);
