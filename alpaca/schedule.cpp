// The wake and sleep schedule; see schedule.h.
#include "alpaca/schedule.h"

#include <libnova/julian_day.h>
#include <libnova/ln_types.h>
#include <libnova/precession.h>
#include <libnova/rise_set.h>
#include <libnova/sidereal_time.h>
#include <libnova/solar.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

namespace {

constexpr std::int64_t DAY_S = 86400;
constexpr int OFFSET_MAX_S = 12 * 3600;
constexpr double UNIX_EPOCH_JD = 2440587.5;

std::string lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Reads an unsigned decimal number (digits, an optional fraction) at text[at]. Returns false when
// none is there.
bool read_number(const std::string& text, size_t& at, double& value)
{
    const size_t start = at;
    while (at < text.size() && (std::isdigit(static_cast<unsigned char>(text[at])) || text[at] == '.')) ++at;
    if (at == start || at - start > 12) return false;
    char* end = nullptr;
    const std::string digits = text.substr(start, at - start);
    value = std::strtod(digits.c_str(), &end);
    return *end == '\0';
}

// "+1h30m", "-45m", "+90s": a sign, then one or more number-unit groups.
bool read_offset(const std::string& text, size_t at, int& offset_s, std::string& error)
{
    offset_s = 0;
    if (at == text.size()) return true;
    const int sign = text[at] == '+' ? 1 : text[at] == '-' ? -1 : 0;
    if (sign == 0 || ++at == text.size()) {
        error = "an offset is a sign and a time, as in +10m, -1h or +1h30m";
        return false;
    }
    double total = 0;
    while (at < text.size()) {
        double amount = 0;
        if (!read_number(text, at, amount) || at == text.size()) {
            error = "an offset's number needs a unit: h, m or s (as in -30m)";
            return false;
        }
        const char unit = text[at++];
        const double scale = unit == 'h' ? 3600 : unit == 'm' ? 60 : unit == 's' ? 1 : 0;
        if (scale == 0) {
            error = std::string("'") + unit + "' is no unit of an offset: h, m or s";
            return false;
        }
        total += amount * scale;
    }
    if (total > OFFSET_MAX_S) {
        error = "an offset is at most 12 hours";
        return false;
    }
    offset_s = sign * static_cast<int>(std::lround(total));
    return true;
}

std::string offset_text(int offset_s)
{
    if (offset_s == 0) return "";
    std::string text = offset_s < 0 ? "-" : "+";
    int left = std::abs(offset_s);
    if (left >= 3600) text += std::to_string(left / 3600) + "h", left %= 3600;
    if (left >= 60) text += std::to_string(left / 60) + "m", left %= 60;
    if (left > 0) text += std::to_string(left) + "s";
    return text;
}

// The local calendar day that holds t: its start and the start of the next (23 to 25 hours later
// on the days the clocks change).
struct LocalDay {
    std::tm date{};  // year, month, day of the day
    std::int64_t start_s = 0, end_s = 0;
};

std::int64_t local_time_of(const std::tm& date, int seconds)
{
    std::tm t{};
    t.tm_year = date.tm_year;
    t.tm_mon = date.tm_mon;
    t.tm_mday = date.tm_mday;
    t.tm_hour = seconds / 3600;
    t.tm_min = seconds / 60 % 60;
    t.tm_sec = seconds % 60;
    t.tm_isdst = -1;  // the zone's own rule for that date
    return static_cast<std::int64_t>(std::mktime(&t));
}

LocalDay local_day(std::int64_t t_s)
{
    LocalDay day;
    const std::time_t t = static_cast<std::time_t>(t_s);
    localtime_r(&t, &day.date);
    day.start_s = local_time_of(day.date, 0);
    std::tm next = day.date;
    next.tm_mday += 1;
    next.tm_hour = 12;
    next.tm_isdst = -1;
    std::mktime(&next);  // normalises the month and year
    day.end_s = local_time_of(next, 0);
    return day;
}

std::int64_t seconds_from_jd(double jd) { return std::llround((jd - UNIX_EPOCH_JD) * DAY_S); }

// libnova's rise, set and transit for the UT date of jd, and whether the sun crosses horizon then:
// 0 it does, 1 it stays above, -1 it stays below.
struct SunCrossing {
    int status = 0;
    std::int64_t rise_s = 0, set_s = 0;
};

// The sun's place for the equinox of the date. libnova gives the sun for the J2000 equinox and
// compares it with the sidereal time of the date in its own solar rise and set, which puts every
// event early by the precession since 2000 (two minutes by 2026, growing); precessed, the times
// agree with the almanacs.
void sun_of_date(double jd, ln_equ_posn* place)
{
    ln_equ_posn j2000{};
    ln_get_solar_equ_coords(jd, &j2000);
    ln_get_equ_prec(&j2000, jd, place);
}

SunCrossing sun_crossing(const Site& site, double jd, double horizon)
{
    ln_lnlat_posn observer{site.longitude, site.latitude};  // east positive, as libnova counts
    ln_rst_time rst{};
    SunCrossing c;
    c.status = ln_get_body_rst_horizon(jd, &observer, sun_of_date, horizon, &rst);
    c.rise_s = seconds_from_jd(rst.rise);
    c.set_s = seconds_from_jd(rst.set);
    return c;
}

// The sun's transit nearest t_s: libnova fills no transit on a day the sun stays above or below
// the horizon, but noon comes every day, so it is found here from the hour angle.
std::int64_t transit_near(const Site& site, std::int64_t t_s)
{
    double t = static_cast<double>(t_s);
    for (int k = 0; k < 4; ++k) {
        const double jd = UNIX_EPOCH_JD + t / DAY_S;
        ln_equ_posn sun{};
        sun_of_date(jd, &sun);
        double hour_angle = std::fmod(ln_get_apparent_sidereal_time(jd) * 15 + site.longitude - sun.ra, 360.0);
        if (hour_angle >= 180) hour_angle -= 360;
        if (hour_angle < -180) hour_angle += 360;
        t -= hour_angle / 360.9856 * DAY_S;  // the sun's hour angle grows 360.9856 degrees a day, near enough
    }
    return std::llround(t);
}

std::string altitude_text(double degrees)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g°", degrees);
    return text;
}

// Why a solar event is missing on a day where the sun stays above (status 1) or below (-1) the
// altitude it needs.
std::string missing_reason(const When& when, int status)
{
    if (when.kind == WHEN_ALTITUDE)
        return status > 0 ? "the sun stays above " + altitude_text(when.altitude_deg) + " all day"
                          : "the sun does not climb to " + altitude_text(when.altitude_deg);
    if (status > 0) return "the sun stays above the horizon all day (midnight sun)";
    if (status < 0) return "the sun stays below the horizon all day (polar night)";
    return "the sun does not cross the horizon on this local day";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// 1. WHEN and the site
// ---------------------------------------------------------------------------------------------

int parse_when(const std::string& given, When& when, std::string& error)
{
    const std::string text = lower(given);
    When read;
    int hours = 0, minutes = 0, seconds = 0, used = 0;
    if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0]))) {
        const bool with_seconds = std::sscanf(text.c_str(), "%2d:%2d:%2d%n", &hours, &minutes, &seconds, &used) == 3;
        if (!with_seconds) {
            seconds = 0;
            used = 0;
            std::sscanf(text.c_str(), "%2d:%2d%n", &hours, &minutes, &used);
        }
        if (used == 0 || static_cast<size_t>(used) != text.size() || hours > 23 || minutes > 59 || seconds > 59 ||
            text.find(':') == 0) {
            error = "'" + given + "' is no clock time: 07:30 or 07:30:15 (24 hours), and no offset";
            return 0;
        }
        read.kind = WHEN_CLOCK;
        read.clock_s = hours * 3600 + minutes * 60 + seconds;
        when = read;
        return 1;
    }
    struct Word {
        const char* name;
        WhenKind kind;
    } const words[] = {{"sunrise", WHEN_SUNRISE}, {"sunset", WHEN_SUNSET}, {"noon", WHEN_NOON},
                       {"altitude", WHEN_ALTITUDE}};
    size_t at = 0;
    for (const Word& word : words) {
        const std::string name = word.name;
        if (text.compare(0, name.size(), name) != 0) continue;
        read.kind = word.kind;
        at = name.size();
        break;
    }
    if (read.kind == WHEN_NONE) {
        error = "'" + given + "' is neither a clock time (07:30) nor sunrise, sunset, noon or altitudeN with an "
                "offset (sunrise-30m)";
        return 0;
    }
    if (read.kind == WHEN_ALTITUDE && (!read_number(text, at, read.altitude_deg) || read.altitude_deg >= 90)) {
        error = "'" + given + "': altitude takes the sun's altitude in degrees, 0 to 89 (altitude10)";
        return 0;
    }
    std::string offset_error;
    if (!read_offset(text, at, read.offset_s, offset_error)) {
        error = "'" + given + "': " + offset_error;
        return 0;
    }
    when = read;
    return 1;
}

std::string when_text(const When& when)
{
    char text[32];
    switch (when.kind) {
    case WHEN_NONE: return "";
    case WHEN_CLOCK:
        if (when.clock_s % 60 != 0)
            std::snprintf(text, sizeof text, "%02d:%02d:%02d", when.clock_s / 3600, when.clock_s / 60 % 60, when.clock_s % 60);
        else
            std::snprintf(text, sizeof text, "%02d:%02d", when.clock_s / 3600, when.clock_s / 60 % 60);
        return text;
    case WHEN_SUNRISE: return "sunrise" + offset_text(when.offset_s);
    case WHEN_SUNSET: return "sunset" + offset_text(when.offset_s);
    case WHEN_NOON: return "noon" + offset_text(when.offset_s);
    case WHEN_ALTITUDE:
        std::snprintf(text, sizeof text, "altitude%g", when.altitude_deg);
        return text + offset_text(when.offset_s);
    }
    return "";
}

int parse_site(const std::string& text, Site& site, std::string& error)
{
    double values[3] = {0, 0, 0};
    int count = 0;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, ',')) {
        char* end = nullptr;
        if (count == 3 || part.empty()) break;
        values[count] = std::strtod(part.c_str(), &end);
        if (*end != '\0' || !std::isfinite(values[count])) break;
        ++count;
    }
    const bool whole = (count == 2 || count == 3) && std::count(text.begin(), text.end(), ',') == count - 1;
    if (!whole || std::fabs(values[0]) > 90 || std::fabs(values[1]) > 180 || values[2] < -500 || values[2] > 9000) {
        error = "'" + text.substr(0, 60) + "' is no site: LAT,LON or LAT,LON,ELEVATION in degrees (north and east "
                "positive) and metres, as in 52.37,4.89";
        return 0;
    }
    site = Site{values[0], values[1], values[2]};
    return 1;
}

std::string site_text(const Site& site)
{
    char text[96];
    std::snprintf(text, sizeof text, "%.6g,%.6g,%.6g", site.latitude, site.longitude, site.elevation);
    return text;
}

bool when_needs_site(const When& when) { return when.kind != WHEN_NONE && when.kind != WHEN_CLOCK; }

int schedule_active(const Schedule& s)
{
    return s.wake.kind != WHEN_NONE || s.sleep.kind != WHEN_NONE || s.ready_by.kind != WHEN_NONE;
}

int schedule_valid(const Schedule& s, std::string& error)
{
    if (s.wake.kind != WHEN_NONE && s.ready_by.kind != WHEN_NONE) {
        error = "--wake and --ready-by both say when to wake the filters: give one of them";
        return 0;
    }
    if (!s.site_known && (when_needs_site(s.wake) || when_needs_site(s.sleep) || when_needs_site(s.ready_by))) {
        error = "a time by the sun needs the site: --site LAT,LON (or site= in solvane-site.ini)";
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------
// 2. Event times
// ---------------------------------------------------------------------------------------------

DayEvent event_on_day(const When& when, const Site& site, std::int64_t day_s)
{
    DayEvent event;
    const LocalDay day = local_day(day_s);
    if (when.kind == WHEN_NONE) return event;
    if (when.kind == WHEN_CLOCK) {
        // A time the clocks skip (02:30 on the day they go forward) is the zone's reading of it.
        event.found = 1;
        event.utc_s = local_time_of(day.date, when.clock_s);
        return event;
    }
    if (when.kind == WHEN_NOON) {
        event.found = 1;
        event.utc_s = transit_near(site, (day.start_s + day.end_s) / 2) + when.offset_s;
        return event;
    }
    const double horizon = when.kind == WHEN_ALTITUDE ? when.altitude_deg : SUN_RISE_SET_ALTITUDE;
    // libnova answers for a UT date; a local day spans up to three of them, so every candidate of
    // the neighbouring dates is taken and the one inside the local day kept.
    int status_at_noon = 0;
    const std::int64_t local_noon = (day.start_s + day.end_s) / 2;
    std::int64_t best = 0;
    int found = 0;
    for (std::int64_t ut_day = (day.start_s - DAY_S) / DAY_S - 1; ut_day <= day.end_s / DAY_S + 1; ++ut_day) {
        const double jd = UNIX_EPOCH_JD + static_cast<double>(ut_day) + 0.5;
        const SunCrossing c = sun_crossing(site, jd, horizon);
        if (local_noon >= ut_day * DAY_S && local_noon < (ut_day + 1) * DAY_S) status_at_noon = c.status;
        if (c.status != 0) continue;
        const std::int64_t t = when.kind == WHEN_SUNSET ? c.set_s : c.rise_s;
        if (t < day.start_s || t >= day.end_s) continue;
        if (!found || t < best) best = t;
        found = 1;
    }
    if (!found) {
        event.reason = missing_reason(when, status_at_noon);
        return event;
    }
    event.found = 1;
    event.utc_s = best + when.offset_s;
    return event;
}

NextEvent next_event(const When& when, const Site& site, std::int64_t after_s)
{
    NextEvent next;
    if (when.kind == WHEN_NONE) return next;
    // An offset may move an event into the day before, so the search starts a day early.
    std::int64_t day_s = local_day(after_s - DAY_S).start_s + DAY_S / 2;
    for (int n = 0; n < EVENT_SEARCH_DAYS + 2; ++n) {
        const LocalDay day = local_day(day_s);
        const DayEvent event = event_on_day(when, site, day_s);
        if (event.found && event.utc_s > after_s) {
            next.found = 1;
            next.utc_s = event.utc_s;
            return next;
        }
        if (!event.found && day.end_s > after_s) {
            if (next.days_skipped++ == 0) next.first_skipped = local_date_text(day.start_s) + ": " + event.reason;
        }
        day_s = day.end_s + DAY_S / 2;
    }
    return next;
}

// utc_s written by strftime's format, in UTC or in the computer's time zone.
static std::string time_text(std::int64_t utc_s, bool local, const char* format)
{
    const std::time_t t = static_cast<std::time_t>(utc_s);
    std::tm tm{};
    if (local)
        localtime_r(&t, &tm);
    else
        gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, format, &tm);
    return text;
}

std::string iso8601_seconds(std::int64_t utc_s) { return time_text(utc_s, false, "%Y-%m-%dT%H:%M:%SZ"); }

std::string local_clock_text(std::int64_t utc_s) { return time_text(utc_s, true, "%H:%M"); }

std::string local_date_text(std::int64_t utc_s) { return time_text(utc_s, true, "%Y-%m-%d"); }

// ---------------------------------------------------------------------------------------------
// 3. Firing each event once
// ---------------------------------------------------------------------------------------------

// When no event was found ahead, the source is asked again this much later (a schedule edited in
// the meantime restarts the timer anyway).
constexpr std::int64_t REPLAN_AFTER_S = 6 * 3600;

void timer_start(EventTimer& timer, std::int64_t now_s)
{
    timer = EventTimer{};
    timer.handled_s = now_s;
}

void timer_replan(EventTimer& timer)
{
    timer.planned = 0;
    timer.replan_s = 0;
}

TimerOutcome timer_step(EventTimer& timer, const EventSource& source, std::int64_t now_s)
{
    TimerOutcome outcome;
    if (!timer.planned) {
        if (timer.replan_s != 0 && now_s < timer.replan_s) return outcome;
        timer.next = source(timer.handled_s);
        timer.planned = timer.next.found;
        timer.replan_s = timer.planned ? 0 : now_s + REPLAN_AFTER_S;
        if (!timer.planned) return outcome;
    }
    if (now_s < timer.next.utc_s) return outcome;
    outcome.event_s = timer.next.utc_s;
    timer.planned = 0;
    if (now_s - outcome.event_s <= EVENT_LATE_MAX_S) {
        timer.handled_s = outcome.event_s;
        outcome.step = TIMER_FIRE;
        return outcome;
    }
    // Everything up to the late bound is past; an event within it is still fired next.
    timer.handled_s = now_s - EVENT_LATE_MAX_S;
    outcome.step = TIMER_MISSED;
    return outcome;
}

bool observer_overrides(ScheduleKind kind, std::int64_t event_s, std::int64_t last_event_s,
                        const ObserverCommand& command)
{
    if (!command.known || command.kind == kind) return false;
    if (command.time_s <= last_event_s || command.time_s > event_s) return false;
    return local_date_text(command.time_s) == local_date_text(event_s);
}

// ---------------------------------------------------------------------------------------------
// 4. Heating times
// ---------------------------------------------------------------------------------------------

double heating_observe(HeatingWatch& watch, const FilterRecord& record, std::int64_t time_ms)
{
    if (!record.connected || record.status_code == STATUS_NO_COMMUNICATION) {
        watch = HeatingWatch{};
        return 0;
    }
    if (record.sleeping) {
        watch.asleep_seen = 1;
        watch.heating = 0;
        return 0;
    }
    if (watch.asleep_seen) {
        // Woken: a filter on band at once was warm already and tells nothing of its heating.
        watch.asleep_seen = 0;
        watch.heating = !record.on_band;
        watch.woke_ms = time_ms;
        return 0;
    }
    if (watch.heating && record.on_band) {
        watch.heating = 0;
        return static_cast<double>(time_ms - watch.woke_ms) / 1000.0;
    }
    return 0;
}

int ready_lead_s(double heating_s)
{
    if (heating_s <= 0) return HEATING_DEFAULT_S;
    return static_cast<int>(std::ceil(heating_s + std::max(120.0, heating_s / 10)));
}

const HeatingEntry* heating_find(const HeatingTable& table, const std::string& serial_number,
                                 const std::string& port_name)
{
    for (const HeatingEntry& e : table)
        if (serial_number.empty() ? e.port_name == port_name : e.serial_number == serial_number) return &e;
    return nullptr;
}

void heating_put(HeatingTable& table, const HeatingEntry& entry)
{
    table.erase(std::remove_if(table.begin(), table.end(),
                               [&](const HeatingEntry& e) { return e.serial_number == entry.serial_number; }),
                table.end());
    for (HeatingEntry& e : table)
        if (e.port_name == entry.port_name) e.port_name.clear();
    table.push_back(entry);
    std::stable_sort(table.begin(), table.end(),
                     [](const HeatingEntry& a, const HeatingEntry& b) { return a.measured_s > b.measured_s; });
    if (table.size() > HEATING_ENTRIES_MAX) table.resize(HEATING_ENTRIES_MAX);
}

// ---------------------------------------------------------------------------------------------
// 5. The files
// ---------------------------------------------------------------------------------------------

namespace {

bool has_control(const std::string& text)
{
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

std::string trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::string site_file_text(const Schedule& s)
{
    std::string text = "# The wake and sleep schedule of solvane-alpaca; its setup page writes this file.\n";
    if (s.site_known) text += "site=" + site_text(s.site) + "\n";
    text += "wake=" + when_text(s.wake) + "\n";
    text += "sleep=" + when_text(s.sleep) + "\n";
    text += "ready-by=" + when_text(s.ready_by) + "\n";
    return text;
}

void parse_site_file(const std::string& text, Schedule& schedule, std::string& problems)
{
    std::stringstream stream(text);
    std::string line;
    int number = 0;
    while (std::getline(stream, line) && number < 100) {
        ++number;
        line = trimmed(line);
        if (line.empty() || line[0] == '#') continue;
        const size_t equals = line.find('=');
        const std::string key = trimmed(line.substr(0, equals));
        const std::string value = equals == std::string::npos ? "" : trimmed(line.substr(equals + 1));
        std::string error;
        When* when = key == "wake" ? &schedule.wake : key == "sleep" ? &schedule.sleep
                   : key == "ready-by" ? &schedule.ready_by : nullptr;
        if (equals != std::string::npos && key == "site") {
            if (parse_site(value, schedule.site, error)) schedule.site_known = 1;
        } else if (equals != std::string::npos && when != nullptr) {
            if (value.empty()) *when = When{};
            else parse_when(value, *when, error);
        } else {
            error = "'" + line.substr(0, 40) + "' is no setting (site, wake, sleep, ready-by)";
        }
        if (!error.empty()) problems += "line " + std::to_string(number) + ": " + error + "\n";
    }
}

std::string heating_file_text(const HeatingTable& table)
{
    std::string text = "# Heating times of the filters solvane-alpaca woke: serial number, seconds, when measured\n"
                       "# (UTC seconds), port. --ready-by wakes each filter this long and a margin early.\n";
    for (const HeatingEntry& e : table)
        text += e.serial_number + "\t" + std::to_string(e.seconds) + "\t" + std::to_string(e.measured_s) + "\t" +
                e.port_name + "\n";
    return text;
}

HeatingTable parse_heating_file(const std::string& text)
{
    HeatingTable table;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line) && table.size() < HEATING_ENTRIES_MAX) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        std::stringstream parts(line);
        std::string field;
        while (std::getline(parts, field, '\t')) fields.push_back(field);
        if (fields.size() < 3 || fields[0].empty() || has_control(fields[0])) continue;
        HeatingEntry e;
        e.serial_number = fields[0];
        char* end = nullptr;
        const long seconds = std::strtol(fields[1].c_str(), &end, 10);
        if (*end != '\0' || seconds <= 0 || seconds > 24 * 3600) continue;
        e.seconds = static_cast<int>(seconds);
        e.measured_s = std::strtoll(fields[2].c_str(), nullptr, 10);
        if (fields.size() > 3 && !has_control(fields[3])) e.port_name = fields[3];
        table.push_back(e);
    }
    return table;
}
