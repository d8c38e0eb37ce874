// The wake and sleep schedule of the filter server: when the filters are woken and put to sleep,
// by the clock or by the sun, as plain values and pure functions (no Qt, no ports), so that a test
// runs a year of days in milliseconds.
//
// Contents
//   1. WHEN and the site: parsing and writing
//   2. Event times (the sun from libnova, clock times through the system's time zone)
//   3. Firing each event once, whatever the clock does
//   4. Heating times for --ready-by
//   5. solvane-site.ini and solvane-heating.ini
//
// Times are UTC seconds since 1970 (std::int64_t). Local clock times and local days are those of
// the time zone the process runs in (TZ, else /etc/localtime); a caller that changes TZ calls
// tzset() first.
#pragma once

#include "link/solvane_link.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// 1. WHEN and the site
// ---------------------------------------------------------------------------------------------

enum WhenKind {
    WHEN_NONE,      // no event of this kind
    WHEN_CLOCK,     // a local clock time: 07:30 or 07:30:15
    WHEN_SUNRISE,   // the sun's upper limb on the horizon, refraction included (the almanac rule)
    WHEN_SUNSET,
    WHEN_NOON,      // the sun on the meridian
    WHEN_ALTITUDE,  // the sun's centre at altitude_deg in the morning (altitude10)
};

struct When {
    WhenKind kind = WHEN_NONE;
    int clock_s = 0;            // WHEN_CLOCK: seconds after local midnight
    double altitude_deg = 0;    // WHEN_ALTITUDE
    int offset_s = 0;           // solar events: +1h, -30m, +90s (at most a day either way)
};

// Reads a WHEN: "07:30", "07:30:15", "sunrise", "sunset+10m", "noon-1h", "altitude10",
// "altitude12.5+15m"; offsets in h, m or s, which may follow one another ("+1h30m"). Any case.
// Returns 1; 0 with error saying what is wrong (when is left as it was).
int parse_when(const std::string& text, When& when, std::string& error);

// The WHEN as parse_when reads it back ("sunrise-30m", "07:30"); empty for WHEN_NONE.
std::string when_text(const When& when);

// The observing site. Latitude north positive, longitude east positive, degrees; elevation in
// metres. The almanac rule the event times follow is for a sea horizon: the elevation is kept and
// shown, not used (trees, domes and hills shift a real horizon far more than the dip does).
struct Site {
    double latitude = 0;
    double longitude = 0;
    double elevation = 0;
};

// Reads "LAT,LON" or "LAT,LON,ELEVATION" (decimal degrees, metres). Returns 1; 0 with error.
int parse_site(const std::string& text, Site& site, std::string& error);
std::string site_text(const Site& site);

// A whole schedule as the options, the setup page and solvane-site.ini give it.
struct Schedule {
    When wake, sleep, ready_by;  // wake and ready_by exclude each other
    Site site;
    int site_known = 0;
};

// Whether the schedule can run: no wake together with a ready-by, a site for every solar event.
// Returns 1; 0 with error.
int schedule_valid(const Schedule& schedule, std::string& error);
int schedule_active(const Schedule& schedule);  // it has any event at all
bool when_needs_site(const When& when);

// ---------------------------------------------------------------------------------------------
// 2. Event times
// ---------------------------------------------------------------------------------------------

// The almanac's horizon for the sun's rise and set: the upper limb (16') on the horizon with 34'
// of refraction, as the published tables count it.
constexpr double SUN_RISE_SET_ALTITUDE = -0.8333;

// The days searched ahead for an event: beyond the longest polar night or day of an inhabited
// site (Longyearbyen's is under four months).
constexpr int EVENT_SEARCH_DAYS = 200;

// The event of when on the local day that holds day_s, offset included. found is 0 when the sun
// does not do it at the site that day; reason then says why in a sentence.
struct DayEvent {
    int found = 0;
    std::int64_t utc_s = 0;
    std::string reason;
};
DayEvent event_on_day(const When& when, const Site& site, std::int64_t day_s);

// The first event of when strictly after after_s. days_skipped counts the local days from
// after_s's on that had no such event (first_skipped names the first, with its reason); found is
// 0 when none comes within EVENT_SEARCH_DAYS.
struct NextEvent {
    int found = 0;
    std::int64_t utc_s = 0;
    int days_skipped = 0;
    std::string first_skipped;  // "2026-12-09: the sun stays below the horizon all day"
};
NextEvent next_event(const When& when, const Site& site, std::int64_t after_s);

// "2026-12-09T07:41:05Z"; and the local clock time "08:41" of the process's time zone.
std::string iso8601_seconds(std::int64_t utc_s);
std::string local_clock_text(std::int64_t utc_s);
std::string local_date_text(std::int64_t utc_s);  // "2026-12-09"

// ---------------------------------------------------------------------------------------------
// 3. Firing each event once
// ---------------------------------------------------------------------------------------------

// An event found later than this after its time (a suspended computer, a clock set forward) is
// not fired but reported missed: waking a filter hours late helps no one, and a sleep that late
// would undo what an observer did since.
constexpr std::int64_t EVENT_LATE_MAX_S = 10 * 60;

// A source of events: the first strictly after a time (next_event with a when and a site, or a
// ready-by time less a filter's lead).
using EventSource = std::function<NextEvent(std::int64_t after_s)>;

// One stream of events (the wakes of one filter, say) waited for. Every event fired or missed is
// handled; an event at or before the last handled one is never fired again, so a clock set back
// (by hand, by a time server) or a day of 23 or 25 hours cannot fire one twice.
struct EventTimer {
    std::int64_t handled_s = 0;   // events at or before this are past
    int planned = 0;              // next holds the event waited for
    NextEvent next;
    std::int64_t replan_s = 0;    // no event was found: look again from this time on
};

enum TimerStep {
    TIMER_WAIT,    // nothing due
    TIMER_FIRE,    // event_s is due now: act on it
    TIMER_MISSED,  // event_s passed more than EVENT_LATE_MAX_S ago: report it, do nothing
};
struct TimerOutcome {
    TimerStep step = TIMER_WAIT;
    std::int64_t event_s = 0;
};

// Starts (or restarts, after the schedule changed) a timer at now_s: events before it are past.
void timer_start(EventTimer& timer, std::int64_t now_s);

// Forgets the event planned, keeping what was handled (a filter's lead changed).
void timer_replan(EventTimer& timer);

// What is due at now_s. A caller steps again at once after TIMER_FIRE or TIMER_MISSED until it
// gets TIMER_WAIT (a suspended computer may have several events behind it).
TimerOutcome timer_step(EventTimer& timer, const EventSource& source, std::int64_t now_s);

// What an observer last told a filter (a wake or a sleep from any client), kept by the server.
enum ScheduleKind { SCHEDULE_WAKE, SCHEDULE_SLEEP };
struct ObserverCommand {
    int known = 0;
    ScheduleKind kind = SCHEDULE_WAKE;
    std::int64_t time_s = 0;
};

// Whether the schedule leaves a filter alone at an event of kind at event_s: an observer told it
// the other thing after the schedule last acted on it (last_event_s) and on the event's local day.
// A schedule never undoes an observer's later command that day.
bool observer_overrides(ScheduleKind kind, std::int64_t event_s, std::int64_t last_event_s,
                        const ObserverCommand& command);

// ---------------------------------------------------------------------------------------------
// 4. Heating times
// ---------------------------------------------------------------------------------------------

// The lead until a filter's heating time is known.
constexpr int HEATING_DEFAULT_S = 45 * 60;

// Watches one filter's polls for a heating: from the first poll that shows it awake after one
// that showed it asleep, to the first that shows it on band. Owned by the thread that merges polls.
struct HeatingWatch {
    int asleep_seen = 0;
    int heating = 0;
    std::int64_t woke_ms = 0;
};

// Takes one answered poll of a connected filter. Returns the heating time in seconds when this
// poll ends one, else 0. A poll that shows it asleep again, or a lost line, ends the watch.
double heating_observe(HeatingWatch& watch, const FilterRecord& record, std::int64_t time_ms);

// How long before a ready-by time a filter is woken: its last heating time and a tenth more
// (at least two minutes) as margin; HEATING_DEFAULT_S when none is known (heating_s <= 0).
int ready_lead_s(double heating_s);

// A filter's measured heating, by its serial number, and the port it was last seen on (so that
// --print-schedule can name a filter's lead without opening its port).
struct HeatingEntry {
    std::string serial_number;
    std::string port_name;
    int seconds = 0;
    std::int64_t measured_s = 0;
};
using HeatingTable = std::vector<HeatingEntry>;

// The entry of a serial number, or of a port when serial_number is empty; nullptr when none.
const HeatingEntry* heating_find(const HeatingTable& table, const std::string& serial_number,
                                 const std::string& port_name);
// Puts entry in, replacing one of the same serial number; a port is kept by one entry only.
void heating_put(HeatingTable& table, const HeatingEntry& entry);

// ---------------------------------------------------------------------------------------------
// 5. The files beside solvane.ini
// ---------------------------------------------------------------------------------------------

constexpr const char* SITE_FILE = "solvane-site.ini";
constexpr const char* HEATING_FILE = "solvane-heating.ini";
constexpr int HEATING_ENTRIES_MAX = 64;  // filters remembered; the oldest measured go first

// "key=value" lines: site, wake, sleep, ready-by. Unknown keys and damaged values are skipped
// (problems says which); what the text does not hold stays as schedule had it.
std::string site_file_text(const Schedule& schedule);
void parse_site_file(const std::string& text, Schedule& schedule, std::string& problems);

// One line a filter: SERIAL SECONDS MEASURED_UTC_S PORT. Damaged lines are skipped.
std::string heating_file_text(const HeatingTable& table);
HeatingTable parse_heating_file(const std::string& text);
