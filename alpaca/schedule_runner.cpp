// The schedule at work in the filter server; see schedule_runner.h.
#include "alpaca/schedule_runner.h"

#include "link/settings_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <tuple>

// ---------------------------------------------------------------------------------------------
// 1. Options and files
// ---------------------------------------------------------------------------------------------

const char SCHEDULE_USAGE[] =
    "  --site LAT,LON[,M]   the observing site for times by the sun: degrees north and east,\n"
    "                       metres above the sea (default: site= of solvane-site.ini)\n"
    "  --wake WHEN          wake the filters then: a local clock time (07:30) or sunrise, sunset,\n"
    "                       noon or altitudeN (the sun's centre at N degrees in the morning) with an\n"
    "                       offset (sunrise-30m, noon+1h)\n"
    "  --sleep WHEN         put the filters to sleep then\n"
    "  --ready-by WHEN      wake each filter early enough to be on band then, from the heating time\n"
    "                       it took last time (45 minutes until one is measured); not with --wake\n"
    "  --print-schedule     print the next wake and sleep (UTC) and each filter's wake for\n"
    "                       --ready-by, then exit\n";

int take_schedule_option(int argc, char** argv, int& i, ScheduleArguments& arguments, std::string& error)
{
    const std::string arg = argv[i];
    if (arg == "--print-schedule") {
        arguments.print = 1;
        return 1;
    }
    std::string* target = arg == "--site" ? &arguments.site : arg == "--wake" ? &arguments.wake
                        : arg == "--sleep" ? &arguments.sleep : arg == "--ready-by" ? &arguments.ready_by : nullptr;
    if (target == nullptr) return 0;
    if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        error = arg + " needs a value";
        return -1;
    }
    *target = argv[++i];
    return 1;
}

int load_schedule(const ScheduleArguments& arguments, Schedule& schedule, std::string& error, std::string& notes)
{
    std::string bytes, problem;
    if (read_small_file(SITE_FILE, bytes, problem, "site file") == SETTINGS_READ) {
        std::string problems;
        parse_site_file(bytes, schedule, problems);
        if (!problems.empty()) notes += std::string(SITE_FILE) + ": " + problems;
    } else if (!problem.empty()) {
        notes += problem + "\n";
    }
    struct Given {
        const std::string& text;
        When& when;
        const char* option;
    } const given[] = {{arguments.wake, schedule.wake, "--wake"},
                       {arguments.sleep, schedule.sleep, "--sleep"},
                       {arguments.ready_by, schedule.ready_by, "--ready-by"}};
    for (const Given& g : given) {
        if (g.text.empty()) continue;
        if (!parse_when(g.text, g.when, error)) {
            error = std::string(g.option) + ": " + error;
            return 0;
        }
    }
    // One way of waking from the command line replaces the file's other one.
    if (!arguments.wake.empty() && arguments.ready_by.empty()) schedule.ready_by = When{};
    if (!arguments.ready_by.empty() && arguments.wake.empty()) schedule.wake = When{};
    if (!arguments.site.empty()) {
        if (!parse_site(arguments.site, schedule.site, error)) {
            error = "--site: " + error;
            return 0;
        }
        schedule.site_known = 1;
    }
    return schedule_valid(schedule, error);
}

int save_site_file(const Schedule& schedule, std::string& problem)
{
    return write_file_replacing(SITE_FILE, site_file_text(schedule), problem, "the schedule");
}

HeatingTable load_heating_file()
{
    std::string bytes, problem;
    if (read_small_file(HEATING_FILE, bytes, problem, "heating file") != SETTINGS_READ) return {};
    return parse_heating_file(bytes);
}

int save_heating_file(const HeatingTable& table, std::string& problem)
{
    return write_file_replacing(HEATING_FILE, heating_file_text(table), problem, "the heating times");
}

// ---------------------------------------------------------------------------------------------
// 2. --print-schedule
// ---------------------------------------------------------------------------------------------

namespace {

const char* kind_name(ScheduleKind kind) { return kind == SCHEDULE_WAKE ? "wake" : "sleep"; }

// The next wake of a filter whose lead is lead_s: the ready-by time less the lead, or the wake.
NextEvent next_wake(const Schedule& s, int lead_s, std::int64_t after_s)
{
    if (s.ready_by.kind == WHEN_NONE) return next_event(s.wake, s.site, after_s);
    NextEvent next = next_event(s.ready_by, s.site, after_s + lead_s);
    next.utc_s -= lead_s;
    return next;
}

std::string minutes_text(int seconds)
{
    if (seconds < 60) return std::to_string(seconds) + " s";
    const int minutes = (seconds + 30) / 60;
    return minutes >= 60 ? std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min"
                         : std::to_string(minutes) + " min";
}

// How long before ready-by a filter is woken, and the sentence saying why.
int lead_for(const HeatingTable& heating, const std::string& serial, const std::string& port, std::string& why)
{
    const HeatingEntry* entry = heating_find(heating, serial, serial.empty() ? port : "");
    if (entry == nullptr) {
        why = "heating time not measured yet: " + minutes_text(HEATING_DEFAULT_S);
        return HEATING_DEFAULT_S;
    }
    const int lead = ready_lead_s(entry->seconds);
    why = "heated in " + minutes_text(entry->seconds) + " on " + local_date_text(entry->measured_s) + " (" +
          entry->serial_number + "), woken " + minutes_text(lead) + " early";
    return lead;
}

std::string skipped_note(const char* kind, const When& when, const NextEvent& next)
{
    if (next.days_skipped == 0 && next.found) return "";
    if (!next.found)
        return std::string("note ") + kind + " " + when_text(when) + ": none within " +
               std::to_string(EVENT_SEARCH_DAYS) + " days (" + next.first_skipped + ")\n";
    return std::string("note ") + kind + " " + when_text(when) + ": skipped on " + std::to_string(next.days_skipped) +
           (next.days_skipped == 1 ? " day" : " days") + " from " + next.first_skipped + "\n";
}

std::string event_text(const NextEvent& next) { return next.found ? iso8601_seconds(next.utc_s) : "none"; }

}  // namespace

std::string schedule_printout(const Schedule& schedule, const std::vector<std::string>& ports,
                              const HeatingTable& heating, std::int64_t now_s)
{
    std::string filters, notes;
    NextEvent wake = next_wake(schedule, 0, now_s);
    if (schedule.ready_by.kind != WHEN_NONE) {
        wake = NextEvent{};
        const NextEvent ready = next_event(schedule.ready_by, schedule.site, now_s);
        for (size_t n = 0; n < ports.size(); ++n) {
            if (ports[n].empty()) continue;
            std::string why;
            const int lead = lead_for(heating, "", ports[n], why);
            const NextEvent mine = next_wake(schedule, lead, now_s);
            if (mine.found && (!wake.found || mine.utc_s < wake.utc_s)) wake = mine;
            filters += "filter " + std::to_string(n + 1) + " " + ports[n] + ": wake " + event_text(mine) +
                       " to be on band by " + event_text(next_event(schedule.ready_by, schedule.site, mine.utc_s + lead - 1)) +
                       " (" + why + ")\n";
        }
        if (!wake.found) wake = next_wake(schedule, HEATING_DEFAULT_S, now_s);
        notes += skipped_note("ready-by", schedule.ready_by, ready);
    } else if (schedule.wake.kind != WHEN_NONE) {
        notes += skipped_note("wake", schedule.wake, wake);
    }
    const NextEvent sleep = next_event(schedule.sleep, schedule.site, now_s);
    if (schedule.sleep.kind != WHEN_NONE) notes += skipped_note("sleep", schedule.sleep, sleep);
    return "wake " + event_text(wake) + "\nsleep " + event_text(sleep) + "\n" + filters + notes;
}

// ---------------------------------------------------------------------------------------------
// 3. The runner
// ---------------------------------------------------------------------------------------------

namespace {

struct RunnerSlot {
    int seen = 0;                  // its timers run (the slot has a port)
    EventTimer timer[2];           // by ScheduleKind
    int lead_s = HEATING_DEFAULT_S;
    std::string lead_why;
    std::int64_t last_event_s = 0; // the last event the schedule acted on for this filter
    // The event waiting for the filter's answer: tried again at every step until it answers, an
    // observer commands it, or a newer event replaces it.
    int pending = 0;
    ScheduleKind pending_kind = SCHEDULE_WAKE;
    std::int64_t pending_event_s = 0;
    int in_flight = 0;
    int tries = 0;
    std::int64_t tried_s = 0;      // when it was last handed in
    int reported = 0;
    HeatingWatch watch;
    std::string serial_number, port_name;
    std::string said;              // the last ready-by plan the log gave for it
};

struct Due {
    ScheduleKind kind;
    TimerStep step;
    std::int64_t event_s;
    int slot;
};

}  // namespace

struct ScheduleRunner {
    Schedule schedule;
    ScheduleHooks hooks;
    int retry_s = 1;
    std::vector<RunnerSlot> slot;
    HeatingTable heating;
    std::string skip_logged[2];  // the last days-without note logged, by kind
};

namespace {

std::string filter_name(int slot) { return "filter " + std::to_string(slot + 1); }

// The sentence for an event a filter was left out of by an observer's command.
std::string left_text(int slot, const ObserverCommand& c)
{
    return filter_name(slot) + (c.kind == SCHEDULE_SLEEP ? " left asleep: an observer put it to sleep at "
                                                         : " left awake: an observer woke it at ") +
           local_clock_text(c.time_s);
}

void runner_send(ScheduleRunner* r, int n, std::int64_t now_s)
{
    RunnerSlot& s = r->slot[static_cast<size_t>(n)];
    s.tried_s = now_s;
    if (r->hooks.send(n, s.pending_kind)) {
        s.in_flight = 1;
        ++s.tries;
    }
}

// The event sources of a slot's two timers.
EventSource source_of(const ScheduleRunner* r, int n, ScheduleKind kind)
{
    const Schedule& s = r->schedule;
    if (kind == SCHEDULE_SLEEP) return [&s](std::int64_t after) { return next_event(s.sleep, s.site, after); };
    const int lead = r->slot[static_cast<size_t>(n)].lead_s;
    return [&s, lead](std::int64_t after) { return next_wake(s, lead, after); };
}

const When& when_of_kind(const Schedule& s, ScheduleKind kind)
{
    return kind == SCHEDULE_SLEEP ? s.sleep : s.ready_by.kind != WHEN_NONE ? s.ready_by : s.wake;
}

void log_skipped(ScheduleRunner* r, ScheduleKind kind, const NextEvent& next)
{
    const std::string note = skipped_note(kind_name(kind), when_of_kind(r->schedule, kind), next);
    if (note.empty() || note == r->skip_logged[kind]) return;
    r->skip_logged[kind] = note;
    r->hooks.log("schedule: " + note.substr(5, note.size() - 6) +
                 (next.found ? "; the next " + std::string(kind_name(kind)) + " is " + iso8601_seconds(next.utc_s) : ""));
}

// Acts on one event for the slots it is due for: one log line.
void fire(ScheduleRunner* r, ScheduleKind kind, std::int64_t event_s, const std::vector<int>& slots,
          const std::vector<ScheduleSlot>& info, std::int64_t now_s)
{
    std::string acted, left;
    for (int n : slots) {
        RunnerSlot& s = r->slot[static_cast<size_t>(n)];
        const ScheduleSlot& i = info[static_cast<size_t>(n)];
        const std::int64_t before = s.last_event_s;
        s.last_event_s = event_s;
        if (observer_overrides(kind, event_s, before, i.observer)) {
            left += "; " + left_text(n, i.observer);
            continue;
        }
        if (kind == SCHEDULE_SLEEP && !i.connected) {
            left += "; " + filter_name(n) + " is not connected";
            continue;
        }
        s.pending = 1;
        s.pending_kind = kind;
        s.pending_event_s = event_s;
        s.in_flight = s.tries = s.reported = 0;
        r->hooks.mark(n, kind == SCHEDULE_WAKE ? "Wake (schedule)" : "Sleep (schedule)");
        acted += (acted.empty() ? "" : ", ") + filter_name(n) + (i.connected ? "" : " (connecting)");
        runner_send(r, n, now_s);
    }
    r->hooks.log("schedule: " + std::string(kind_name(kind)) + " at " + iso8601_seconds(event_s) + " (" +
                 when_text(when_of_kind(r->schedule, kind)) + "): " + (acted.empty() ? "no filter" : acted) + left);
}

void missed(ScheduleRunner* r, ScheduleKind kind, std::int64_t event_s, std::int64_t now_s)
{
    r->hooks.log("schedule: the " + std::string(kind_name(kind)) + " of " + iso8601_seconds(event_s) +
                 " was missed: the server found it " + minutes_text(static_cast<int>(std::min<std::int64_t>(now_s - event_s, 1 << 30))) +
                 " late (the computer was suspended or its clock jumped); nothing was sent");
}

}  // namespace

ScheduleRunner* runner_make(const Schedule& schedule, int slots, const ScheduleHooks& hooks, std::int64_t now_s,
                            int retry_s)
{
    if (!schedule_active(schedule) || slots <= 0) return nullptr;
    auto* r = new ScheduleRunner;
    r->hooks = hooks;
    r->retry_s = std::max(1, retry_s);
    r->slot.resize(static_cast<size_t>(slots));
    r->heating = load_heating_file();
    runner_change(r, schedule, now_s);
    return r;
}

void runner_end(ScheduleRunner* runner) { delete runner; }

void runner_change(ScheduleRunner* r, const Schedule& schedule, std::int64_t now_s)
{
    if (r == nullptr) return;
    r->schedule = schedule;
    r->skip_logged[0].clear();
    r->skip_logged[1].clear();
    for (RunnerSlot& s : r->slot) {
        s.seen = 0;
        s.pending = 0;
        s.in_flight = 0;
    }
    runner_step(r, now_s);
    const ScheduleSummary summary = runner_summary(r);
    r->hooks.log("schedule: " + summary.schedule + "; next wake " + summary.wake + ", next sleep " + summary.sleep);
}

// Filters that did not answer an event are tried again at the retry interval, unless an observer
// has told them since.
static void retry_unanswered(ScheduleRunner* r, const std::vector<ScheduleSlot>& info, std::int64_t now_s)
{
    for (size_t n = 0; n < r->slot.size(); ++n) {
        RunnerSlot& s = r->slot[n];
        if (!s.pending || s.in_flight || !info[n].configured || now_s - s.tried_s < r->retry_s) continue;
        const ObserverCommand& c = info[n].observer;
        if (c.known && c.time_s >= s.pending_event_s) {
            s.pending = 0;
            r->hooks.log("schedule: " + filter_name(static_cast<int>(n)) + " is no longer tried: an observer told it to " +
                         kind_name(c.kind) + " at " + local_clock_text(c.time_s));
            continue;
        }
        runner_send(r, static_cast<int>(n), now_s);
    }
}

void runner_step(ScheduleRunner* r, std::int64_t now_s)
{
    if (r == nullptr) return;
    std::vector<ScheduleSlot> info(r->slot.size());
    std::vector<Due> due;
    for (size_t n = 0; n < r->slot.size(); ++n) {
        RunnerSlot& s = r->slot[n];
        info[n] = r->hooks.slot(static_cast<int>(n));
        if (!info[n].configured) {
            s.seen = 0;
            continue;
        }
        if (!s.seen) {
            for (EventTimer& t : s.timer) timer_start(t, now_s);
            s.seen = 1;
        }
        s.port_name = info[n].port_name;
        if (!info[n].serial_number.empty()) s.serial_number = info[n].serial_number;
        if (r->schedule.ready_by.kind != WHEN_NONE) {
            const int lead = lead_for(r->heating, s.serial_number, s.port_name, s.lead_why);
            if (lead != s.lead_s) timer_replan(s.timer[SCHEDULE_WAKE]);
            s.lead_s = lead;
        }
        for (ScheduleKind kind : {SCHEDULE_WAKE, SCHEDULE_SLEEP}) {
            if (when_of_kind(r->schedule, kind).kind == WHEN_NONE) continue;
            const EventSource source = source_of(r, static_cast<int>(n), kind);
            for (int k = 0; k < 8; ++k) {  // a suspended computer: a miss, then perhaps one in time
                const TimerOutcome o = timer_step(s.timer[kind], source, now_s);
                if (o.step == TIMER_WAIT) break;
                due.push_back({kind, o.step, o.event_s, static_cast<int>(n)});
            }
            if (s.timer[kind].planned || s.timer[kind].replan_s != 0) log_skipped(r, kind, s.timer[kind].next);
        }
        // --ready-by says when it wakes each filter and why, again whenever that changes.
        const EventTimer& wake = s.timer[SCHEDULE_WAKE];
        if (r->schedule.ready_by.kind != WHEN_NONE && wake.planned) {
            const std::string plan = filter_name(static_cast<int>(n)) + " is woken at " + iso8601_seconds(wake.next.utc_s) +
                                     " to be on band by " + iso8601_seconds(wake.next.utc_s + s.lead_s) + " (" + s.lead_why + ")";
            if (plan != s.said) r->hooks.log("schedule: " + plan);
            s.said = plan;
        }
    }
    // One log line an event: the filters it is due for together.
    std::map<std::tuple<std::int64_t, int, int>, std::vector<int>> events;
    for (const Due& d : due) events[{d.event_s, d.kind, d.step}].push_back(d.slot);
    for (const auto& [key, slots] : events) {
        const auto [event_s, kind, step] = key;
        if (step == TIMER_MISSED) missed(r, static_cast<ScheduleKind>(kind), event_s, now_s);
        else fire(r, static_cast<ScheduleKind>(kind), event_s, slots, info, now_s);
    }
    retry_unanswered(r, info, now_s);
}

void runner_result(ScheduleRunner* r, int slot, ScheduleKind kind, int answered)
{
    if (r == nullptr || slot < 0 || slot >= static_cast<int>(r->slot.size())) return;
    RunnerSlot& s = r->slot[static_cast<size_t>(slot)];
    if (!s.pending || s.pending_kind != kind) return;
    s.in_flight = 0;
    if (answered) {
        s.pending = 0;
        if (s.tries > 1)
            r->hooks.log("schedule: " + filter_name(slot) + " answered the " + kind_name(kind) + " at try " +
                         std::to_string(s.tries));
        return;
    }
    if (!s.reported)
        r->hooks.log("schedule: " + filter_name(slot) + " did not answer the " + kind_name(kind) +
                     "; it is tried again at every update");
    s.reported = 1;
}

void runner_poll(ScheduleRunner* r, int slot, const FilterRecord& record, std::int64_t time_ms)
{
    if (r == nullptr || slot < 0 || slot >= static_cast<int>(r->slot.size())) return;
    RunnerSlot& s = r->slot[static_cast<size_t>(slot)];
    const double seconds = heating_observe(s.watch, record, time_ms);
    if (seconds <= 0 || record.serial_number_text[0] == '\0') return;
    HeatingEntry entry;
    entry.serial_number = record.serial_number_text;
    entry.port_name = s.port_name;
    entry.seconds = static_cast<int>(std::lround(seconds));
    entry.measured_s = time_ms / 1000;
    heating_put(r->heating, entry);
    std::string problem;
    const int saved = save_heating_file(r->heating, problem);
    r->hooks.log("schedule: " + filter_name(slot) + " (" + entry.serial_number + ") came on band " +
                 minutes_text(entry.seconds) + " after its wake" +
                 (r->schedule.ready_by.kind != WHEN_NONE ? "; --ready-by wakes it " + minutes_text(ready_lead_s(seconds)) + " early from now on" : "") +
                 (saved ? "" : " (" + problem + ")"));
}

ScheduleSummary runner_summary(const ScheduleRunner* r)
{
    ScheduleSummary summary;
    if (r == nullptr) return summary;
    summary.active = 1;
    const Schedule& s = r->schedule;
    std::string text;
    if (s.wake.kind != WHEN_NONE) text += "wake " + when_text(s.wake);
    if (s.ready_by.kind != WHEN_NONE) text += "on band by " + when_text(s.ready_by);
    if (s.sleep.kind != WHEN_NONE) text += (text.empty() ? "" : ", ") + std::string("sleep ") + when_text(s.sleep);
    if (s.site_known) text += " at " + site_text(s.site);
    summary.schedule = text;
    NextEvent next[2];
    for (size_t n = 0; n < r->slot.size(); ++n) {
        const RunnerSlot& slot = r->slot[n];
        if (!slot.seen) continue;
        for (int kind : {SCHEDULE_WAKE, SCHEDULE_SLEEP}) {
            const EventTimer& t = slot.timer[kind];
            if (t.planned && (!next[kind].found || t.next.utc_s < next[kind].utc_s)) next[kind] = t.next;
        }
        if (s.ready_by.kind != WHEN_NONE)
            summary.filters.push_back(filter_name(static_cast<int>(n)) + ": wake " +
                                      event_text(slot.timer[SCHEDULE_WAKE].planned ? slot.timer[SCHEDULE_WAKE].next : NextEvent{}) +
                                      " (" + slot.lead_why + ")");
    }
    summary.wake = event_text(next[SCHEDULE_WAKE]);
    summary.sleep = event_text(next[SCHEDULE_SLEEP]);
    return summary;
}
