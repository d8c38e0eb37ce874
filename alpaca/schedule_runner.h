// The schedule at work in the filter server: its options and files, --print-schedule, and the
// runner that wakes and puts to sleep the served filters when schedule.h says so.
//
// Contents
//   1. Options and files
//   2. --print-schedule
//   3. The runner (a handle)
//
// The runner knows the filters only through the hooks the server gives it, so that what it does
// at an event (connecting, the setting's job, the log line, the history mark) stays the server's.
// Threads: a runner is made, stepped and ended on one thread, the server's main thread; it calls
// its hooks on that thread only.
#pragma once

#include "alpaca/schedule.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// 1. Options and files
// ---------------------------------------------------------------------------------------------

// The schedule's options as typed; empty when not given.
struct ScheduleArguments {
    std::string site, wake, sleep, ready_by;
    int print = 0;  // --print-schedule
};

// The options text for the program's usage.
extern const char SCHEDULE_USAGE[];

// Takes argv[i] when it is a schedule option (its value argv[i + 1], i then moved past it).
// Returns 1 taken, 0 not a schedule option, -1 with error for a missing or unreadable value.
int take_schedule_option(int argc, char** argv, int& i, ScheduleArguments& arguments, std::string& error);

// The schedule: solvane-site.ini of the current directory, then the options over it. Returns 1;
// 0 with error when an option or the whole is unusable. notes holds what the file held that was
// skipped (a damaged line), for the log.
int load_schedule(const ScheduleArguments& arguments, Schedule& schedule, std::string& error, std::string& notes);

// Writes solvane-site.ini (the setup page) as settings_file.h writes solvane.ini. Returns 1; 0
// with problem.
int save_site_file(const Schedule& schedule, std::string& problem);

// solvane-heating.ini of the current directory (empty when missing or unreadable), and writing it.
HeatingTable load_heating_file();
int save_heating_file(const HeatingTable& table, std::string& problem);

// ---------------------------------------------------------------------------------------------
// 2. --print-schedule
// ---------------------------------------------------------------------------------------------

// "wake <ISO 8601 UTC>" and "sleep <ISO 8601 UTC>" ("none" for an event not scheduled, or when
// none comes within EVENT_SEARCH_DAYS), then for --ready-by a line per configured port (ports[n]
// empty: no filter n), then "note ..." lines for days without the event. The ports are not opened:
// a filter's heating time is the one measured last on its port.
std::string schedule_printout(const Schedule& schedule, const std::vector<std::string>& ports,
                              const HeatingTable& heating, std::int64_t now_s);

// ---------------------------------------------------------------------------------------------
// 3. The runner
// ---------------------------------------------------------------------------------------------

// What the runner needs of a filter slot, read when it steps.
struct ScheduleSlot {
    int configured = 0;
    int connected = 0;
    std::string port_name;
    std::string serial_number;  // empty until the filter was identified
    ObserverCommand observer;   // the last wake or sleep a client sent it
};

struct ScheduleHooks {
    std::function<ScheduleSlot(int slot)> slot;
    // Hands in the wake or the sleep for a slot (a wake connects a filter that is not connected
    // first). Returns 1 when handed in: runner_result then follows with its outcome.
    std::function<int(int slot, ScheduleKind kind)> send;
    std::function<void(int slot, const char* text)> mark;  // the history's command mark
    std::function<void(const std::string& line)> log;       // one line of the server's log
};

// What the page and the Action list show.
struct ScheduleSummary {
    int active = 0;
    std::string wake, sleep;  // ISO 8601 UTC, or "none"
    std::string schedule;     // "wake sunrise-30m, sleep sunset at 52.37,4.89,0"
    std::vector<std::string> filters;  // a sentence per filter of --ready-by
};

struct ScheduleRunner;

// A runner for slots slots, starting at now_s (nothing before it fires). A filter that did not
// answer is tried again every retry_s seconds (the server's update interval: an unplugged filter
// costs no more serial_error.log records than its polls would). Returns nullptr for a schedule
// without events.
ScheduleRunner* runner_make(const Schedule& schedule, int slots, const ScheduleHooks& hooks, std::int64_t now_s,
                            int retry_s);
void runner_end(ScheduleRunner* runner);

// The schedule from now on (the setup page changed it): every timer starts again at now_s.
void runner_change(ScheduleRunner* runner, const Schedule& schedule, std::int64_t now_s);

// The events due at now_s, and the retries of filters that did not answer. Called about once a
// second.
void runner_step(ScheduleRunner* runner, std::int64_t now_s);

// The outcome of what send handed in: answered 0 is tried again at the next step.
void runner_result(ScheduleRunner* runner, int slot, ScheduleKind kind, int answered);

// A merged poll of slot, for its heating time.
void runner_poll(ScheduleRunner* runner, int slot, const FilterRecord& record, std::int64_t time_ms);

ScheduleSummary runner_summary(const ScheduleRunner* runner);
