// The wake and sleep schedule without a server: WHEN and the site read and written back, the sun's
// times against published almanac figures, the fire-once rules on a clock the test moves, the
// observer's commands, and the ready-by lead from the simulator's heating curve.
#include "alpaca/schedule.h"
#include "alpaca/schedule_runner.h"
#include "sim/simulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

// Runs the test in a time zone and puts the old one back.
struct InZone {
    explicit InZone(const char* zone)
    {
        const char* old = std::getenv("TZ");
        had = old != nullptr;
        if (had) saved = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~InZone()
    {
        if (had) ::setenv("TZ", saved.c_str(), 1);
        else ::unsetenv("TZ");
        ::tzset();
    }
    bool had = false;
    std::string saved;
};

// UTC seconds of a local time in the current zone.
std::int64_t local(int year, int month, int day, int hour = 12, int minute = 0, int second = 0)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&t));
}

When when_of(const std::string& text)
{
    When when;
    std::string error;
    EXPECT_TRUE(parse_when(text, when, error)) << text << ": " << error;
    return when;
}

Site site_of(const std::string& text)
{
    Site site;
    std::string error;
    EXPECT_TRUE(parse_site(text, site, error)) << text << ": " << error;
    return site;
}

TEST(Schedule, WhenAndTheSiteAreReadAsTypedAndWrittenBackTheSame)
{
    struct Row {
        const char* text;
        const char* written;  // nullptr: refused
    } rows[] = {
        {"07:30", "07:30"},          {"7:05", "07:05"},           {"07:30:15", "07:30:15"},
        {"sunrise-30m", "sunrise-30m"}, {"SUNSET+10m", "sunset+10m"}, {"noon", "noon"},
        {"noon-1h30m", "noon-1h30m"}, {"altitude10", "altitude10"}, {"altitude12.5+90s", "altitude12.5+1m30s"},
        {"24:00", nullptr},          {"07:60", nullptr},          {"07:30+5m", nullptr},
        {"sunrise-30", nullptr},     {"sunrise+", nullptr},       {"sunrise-13h", nullptr},
        {"dawn", nullptr},           {"altitude", nullptr},       {"altitude95", nullptr},
        {"", nullptr},               {"sunrise-30x", nullptr},
    };
    for (const Row& row : rows) {
        When when;
        std::string error;
        const int read = parse_when(row.text, when, error);
        EXPECT_EQ(read, row.written != nullptr) << row.text;
        if (read) EXPECT_EQ(when_text(when), row.written) << row.text;
        else EXPECT_FALSE(error.empty()) << row.text;
    }
    struct SiteRow {
        const char* text;
        int read;
    } sites[] = {{"52.37,4.89", 1}, {"-33.87,151.21,58", 1}, {"78.22,15.65,10", 1}, {"91,4", 0},
                 {"52.37", 0},      {"52.37,4.89,", 0},      {"52.37,east", 0},     {"1,2,3,4", 0}};
    for (const SiteRow& row : sites) {
        Site site;
        std::string error;
        EXPECT_EQ(parse_site(row.text, site, error), row.read) << row.text;
    }
}

// Published almanac figures (local clock times, to the minute), each from the source kind named
// in its row; ours may differ by two minutes (the year of the table, rounding, a city's point).
TEST(Schedule, TheSunsTimesAgreeWithPublishedAlmanacFigures)
{
    struct Row {
        const char* name;
        const char* zone;
        const char* site;
        int year, month, day;
        const char* sunrise;  // "none": the sun does not rise (or stays up: see sunset)
        const char* sunset;
        const char* source;
    } rows[] = {
        {"Amsterdam at midwinter", "Europe/Amsterdam", "52.37,4.89", 2026, 12, 21, "08:48", "16:29",
         "almanac figures (newspaper, winter solstice)"},
        {"Amsterdam FIR point in January, UTC", "UTC", "52,5", 2026, 1, 1, "07:48", "15:39",
         "almanac figures (aeronautical information publication, daylight period less and plus 15 min)"},
        {"Amsterdam FIR point in June, UTC", "UTC", "52,5", 2026, 6, 1, "03:26", "19:50",
         "almanac figures (aeronautical information publication, daylight period less and plus 15 min)"},
        {"Amsterdam on the day the clocks go forward", "Europe/Amsterdam", "52.37,4.89", 2026, 3, 29, "07:20",
         "-", "almanac figures (newspaper list of summer-time sunrises, 10-minute steps, 2020)"},
        {"Sydney in early summer", "Australia/Sydney", "-33.87,151.21", 2026, 12, 1, "05:38", "19:51",
         "almanac figures (city sun table, 1st of the month)"},
        {"Sydney in early winter", "Australia/Sydney", "-33.87,151.21", 2026, 6, 1, "06:52", "16:55",
         "almanac figures (city sun table, 1st of the month)"},
        {"Tromso in the polar night", "Europe/Oslo", "69.65,18.96", 2026, 12, 21, "none", "none",
         "almanac figures (polar night 27 Nov to 15 Jan)"},
        {"Tromso under the midnight sun", "Europe/Oslo", "69.65,18.96", 2026, 6, 21, "none", "none",
         "almanac figures (midnight sun 20 May to 22 Jul)"},
        {"Longyearbyen in the polar night", "Arctic/Longyearbyen", "78.22,15.65", 2026, 12, 9, "none", "none",
         "almanac figures (polar night 26 Oct to 15 Feb)"},
    };
    for (const Row& row : rows) {
        InZone zone(row.zone);
        const Site site = site_of(row.site);
        const std::int64_t day = local(row.year, row.month, row.day);
        for (const auto& [what, expected] : {std::pair{"sunrise", row.sunrise}, std::pair{"sunset", row.sunset}}) {
            const DayEvent event = event_on_day(when_of(what), site, day);
            SCOPED_TRACE(std::string(row.name) + ", " + what + ", " + row.source);
            if (std::string(expected) == "-") continue;  // no published figure
            if (std::string(expected) == "none") {
                EXPECT_FALSE(event.found) << local_clock_text(event.utc_s);
                EXPECT_FALSE(event.reason.empty());
                continue;
            }
            ASSERT_TRUE(event.found) << event.reason;
            int hour = 0, minute = 0;
            std::sscanf(expected, "%d:%d", &hour, &minute);
            const std::int64_t published = local(row.year, row.month, row.day, hour, minute);
            EXPECT_NEAR(static_cast<double>(event.utc_s), static_cast<double>(published), 120 + 30)
                << "ours " << local_clock_text(event.utc_s) << ", published " << expected;
            // Noon lies halfway between them.
            if (std::string(what) == "sunset") {
                const std::int64_t rise = event_on_day(when_of("sunrise"), site, day).utc_s;
                EXPECT_NEAR(static_cast<double>(event_on_day(when_of("noon"), site, day).utc_s),
                            static_cast<double>(rise + event.utc_s) / 2, 60);
            }
        }
    }
}

TEST(Schedule, DaysWithoutTheEventAreSkippedWithTheirReason)
{
    struct Row {
        const char* name;
        const char* zone;
        const char* site;
        const char* when;
        int year, month, day;      // searched from this local noon on
        int skipped_min, skipped_max;  // days without the event
        const char* reason;        // in the first skipped day's text
    } rows[] = {
        {"Longyearbyen waits for the sun's return", "Arctic/Longyearbyen", "78.22,15.65", "sunrise-30m", 2026, 12, 9,
         64, 72, "polar night"},
        {"Tromso waits for the first sunset after the midnight sun", "Europe/Oslo", "69.65,18.96", "sunset", 2026, 6, 21,
         28, 36, "midnight sun"},
        {"Tromso in December never has the sun at 10 degrees", "Europe/Oslo", "69.65,18.96", "altitude10", 2026, 12, 9,
         50, 90, "does not climb to 10°"},
        {"noon comes in the polar night too", "Arctic/Longyearbyen", "78.22,15.65", "noon", 2026, 12, 9, 0, 0, ""},
        {"Amsterdam has a sunrise every day", "Europe/Amsterdam", "52.37,4.89", "sunrise", 2026, 12, 9, 0, 0, ""},
    };
    for (const Row& row : rows) {
        InZone zone(row.zone);
        const std::int64_t from = local(row.year, row.month, row.day);
        const NextEvent next = next_event(when_of(row.when), site_of(row.site), from);
        ASSERT_TRUE(next.found) << row.name;
        EXPECT_GE(next.days_skipped, row.skipped_min) << row.name;
        EXPECT_LE(next.days_skipped, row.skipped_max) << row.name;
        EXPECT_NE(next.first_skipped.find(row.reason), std::string::npos) << row.name << ": " << next.first_skipped;
        EXPECT_GT(next.utc_s, from) << row.name;
    }
}

TEST(Schedule, ClockTimesFollowTheZoneAcrossItsClockChanges)
{
    InZone zone("Europe/Amsterdam");
    struct Row {
        const char* when;
        int month, day;
        const char* utc;  // the event of that local day
    } rows[] = {
        {"07:30", 3, 28, "2026-03-28T06:30:00Z"}, {"07:30", 3, 29, "2026-03-29T05:30:00Z"},
        {"02:30", 3, 29, "2026-03-29T01:30:00Z"},  // skipped by the clocks: read as 03:30 summer time
        {"07:30", 10, 25, "2026-10-25T06:30:00Z"}, {"07:30", 10, 24, "2026-10-24T05:30:00Z"},
    };
    for (const Row& row : rows) {
        const DayEvent event = event_on_day(when_of(row.when), Site{}, local(2026, row.month, row.day));
        EXPECT_EQ(iso8601_seconds(event.utc_s), row.utc) << row.when << " on " << row.month << "-" << row.day;
    }
    // A minute-by-minute walk over both weekends fires each time once a day: the hour the clocks
    // repeat in October does not repeat 02:30.
    for (const char* when : {"02:30", "07:30", "sunrise"}) {
        for (int month : {3, 10}) {
            const When w = when_of(when);
            const Site site = site_of("52.37,4.89");
            const EventSource source = [&](std::int64_t after) { return next_event(w, site, after); };
            EventTimer timer;
            const std::int64_t start = local(2026, month, 24, 0, 0);
            timer_start(timer, start);
            int fired = 0;
            for (std::int64_t t = start; t < start + 6 * 86400; t += 60)
                for (TimerOutcome o; (o = timer_step(timer, source, t)).step != TIMER_WAIT;) fired += o.step == TIMER_FIRE;
            EXPECT_EQ(fired, 6) << when << " in month " << month;
        }
    }
}

// Daily events at 07:30 UTC, the source a timer takes.
constexpr std::int64_t DAY = 86400;
constexpr std::int64_t EVENT = 1796800000 / DAY * DAY + 7 * 3600 + 1800;  // 2026-12-09T07:30:00Z

NextEvent daily(std::int64_t after)
{
    NextEvent next;
    next.found = 1;
    next.utc_s = EVENT + ((after - EVENT) >= 0 ? (after - EVENT) / DAY + 1 : -((EVENT - after - 1) / DAY)) * DAY;
    return next;
}

TEST(Schedule, EachEventFiresOnceWhateverTheClockDoes)
{
    struct Step {
        std::int64_t now;  // from the first event
        TimerStep expect;
    };
    struct Row {
        const char* name;
        std::int64_t start;  // from the first event
        std::vector<Step> steps;
    } rows[] = {
        {"an event fires at its time and not again", -600, {{-1, TIMER_WAIT}, {0, TIMER_FIRE}, {1, TIMER_WAIT}, {3600, TIMER_WAIT}}},
        {"a clock set back an hour after the event does not fire it again", -600,
         {{30, TIMER_FIRE}, {-3600, TIMER_WAIT}, {-1, TIMER_WAIT}, {0, TIMER_WAIT}, {60, TIMER_WAIT}}},
        {"a computer woken five minutes after the event still fires it", -600, {{300, TIMER_FIRE}, {301, TIMER_WAIT}}},
        {"ten minutes late is the last chance", -600, {{EVENT_LATE_MAX_S, TIMER_FIRE}}},
        {"a computer suspended over the event reports it missed, once", -600,
         {{EVENT_LATE_MAX_S + 1, TIMER_MISSED}, {EVENT_LATE_MAX_S + 2, TIMER_WAIT}, {3 * 3600, TIMER_WAIT}}},
        {"three days asleep: one miss, then the next day's event in time", -600,
         {{3 * DAY + 3600, TIMER_MISSED}, {3 * DAY + 3601, TIMER_WAIT}, {4 * DAY, TIMER_FIRE}}},
        {"woken three days later within ten minutes of that day's event: missed, then fired", -600,
         {{3 * DAY + 120, TIMER_MISSED}, {3 * DAY + 120, TIMER_FIRE}, {3 * DAY + 121, TIMER_WAIT}}},
        {"a clock set forward past the event and back fires nothing", -600,
         {{-60, TIMER_WAIT}, {7200, TIMER_MISSED}, {-30, TIMER_WAIT}, {10, TIMER_WAIT}, {DAY, TIMER_FIRE}}},
        {"a server started after the event waits for the next day", 60, {{61, TIMER_WAIT}, {DAY, TIMER_FIRE}}},
    };
    for (const Row& row : rows) {
        EventTimer timer;
        timer_start(timer, EVENT + row.start);
        int n = 0;
        for (const Step& step : row.steps) {
            const TimerOutcome o = timer_step(timer, daily, EVENT + step.now);
            EXPECT_EQ(o.step, step.expect) << row.name << ", step " << n++;
        }
    }
}

TEST(Schedule, AnObserversLaterCommandThatDayStands)
{
    InZone zone("Europe/Amsterdam");
    const std::int64_t wake = local(2026, 12, 9, 8, 0), last = local(2026, 12, 8, 17, 0);
    struct Row {
        const char* name;
        ObserverCommand command;
        ScheduleKind event;
        bool overrides;
    } rows[] = {
        {"put to sleep this morning before the wake: left asleep", {1, SCHEDULE_SLEEP, local(2026, 12, 9, 7, 0)}, SCHEDULE_WAKE, true},
        {"woken this morning before the wake: woken anyway (no harm)", {1, SCHEDULE_WAKE, local(2026, 12, 9, 7, 0)}, SCHEDULE_WAKE, false},
        {"put to sleep yesterday night, after the last event: another day", {1, SCHEDULE_SLEEP, local(2026, 12, 8, 22, 0)}, SCHEDULE_WAKE, false},
        {"put to sleep before the schedule last acted: not in between", {1, SCHEDULE_SLEEP, local(2026, 12, 8, 16, 0)}, SCHEDULE_WAKE, false},
        {"no command at all", {0, SCHEDULE_SLEEP, 0}, SCHEDULE_WAKE, false},
        {"woken at noon: the evening sleep leaves it awake", {1, SCHEDULE_WAKE, local(2026, 12, 9, 12, 0)}, SCHEDULE_SLEEP, true},
    };
    for (const Row& row : rows) {
        const std::int64_t event = row.event == SCHEDULE_WAKE ? wake : local(2026, 12, 9, 17, 0);
        const std::int64_t before = row.event == SCHEDULE_WAKE ? last : wake;
        EXPECT_EQ(observer_overrides(row.event, event, before, row.command), row.overrides) << row.name;
    }
}

// The simulator's filter heated from ambient, polled every 5 s as the server polls it.
TEST(Schedule, TheReadyByLeadComesFromTheHeatingTheFilterTookLastTime)
{
    struct Row {
        double time_constant_s;
        double ambient_f;
    } rows[] = {{90, 60}, {600, 40}, {1500, 70}};
    for (const Row& row : rows) {
        SimFilter f;
        f.time_constant_s = row.time_constant_s;
        f.ambient_temperature = row.ambient_f;
        f.sleeping = 1;
        sim_advance(f, 600);
        HeatingWatch watch;
        double measured = 0;
        int on_band_at = -1;
        constexpr int POLL_S = 5;
        for (int t = 0; t < 6 * 3600 && measured == 0; t += POLL_S) {
            if (t == 60) f.sleeping = 0;  // the wake
            FilterRecord r;
            r.connected = 1;
            r.sleeping = f.sleeping;
            r.on_band = f.within_target_s >= f.settle_s;
            if (r.on_band && on_band_at < 0) on_band_at = t;
            measured = heating_observe(watch, r, std::int64_t(t) * 1000);
            sim_advance(f, POLL_S);
        }
        ASSERT_GT(on_band_at, 60) << "tau " << row.time_constant_s;
        EXPECT_NEAR(measured, on_band_at - 60, POLL_S) << "tau " << row.time_constant_s;
        const int lead = ready_lead_s(measured);
        EXPECT_GE(lead, measured + 120);
        EXPECT_LE(lead, measured * 1.1 + 121);
    }
    EXPECT_EQ(ready_lead_s(0), HEATING_DEFAULT_S);
    // No heating is measured from a filter that was never seen asleep, nor across a lost line.
    HeatingWatch watch;
    FilterRecord awake;
    awake.connected = 1;
    awake.sleeping = 0;
    FilterRecord on_band = awake;
    on_band.on_band = 1;
    FilterRecord lost = awake;
    lost.status_code = STATUS_NO_COMMUNICATION;
    FilterRecord asleep = awake;
    asleep.sleeping = 1;
    EXPECT_EQ(heating_observe(watch, awake, 0), 0);
    EXPECT_EQ(heating_observe(watch, on_band, 1000), 0);
    heating_observe(watch, asleep, 2000);
    heating_observe(watch, awake, 3000);
    heating_observe(watch, lost, 4000);
    EXPECT_EQ(heating_observe(watch, on_band, 5000), 0);
}

TEST(Schedule, TheFilesBesideSolvaneIniKeepWhatTheyAreGiven)
{
    Schedule schedule;
    schedule.site = site_of("-33.87,151.21,58");
    schedule.site_known = 1;
    schedule.wake = when_of("sunrise-30m");
    schedule.sleep = when_of("18:00");
    Schedule back;
    std::string problems;
    parse_site_file(site_file_text(schedule), back, problems);
    EXPECT_EQ(problems, "");
    EXPECT_EQ(site_file_text(back), site_file_text(schedule));
    parse_site_file("site=95,4\nwake=dawn\ncolour=red\nsleep=\n", back, problems);
    EXPECT_EQ(std::count(problems.begin(), problems.end(), '\n'), 3) << problems;
    EXPECT_EQ(back.sleep.kind, WHEN_NONE);
    EXPECT_EQ(when_text(back.wake), "sunrise-30m");

    HeatingTable table;
    heating_put(table, {"SV-0001", "COM1", 2400, 100});
    heating_put(table, {"SV-0002", "COM2", 600, 200});
    heating_put(table, {"SV-0001", "COM2", 2000, 300});  // moved to COM2 and measured again
    const HeatingTable read = parse_heating_file(heating_file_text(table) + "bad\tline\nX\t-5\t0\tCOM4\n");
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(heating_find(read, "SV-0001", "")->seconds, 2000);
    EXPECT_EQ(heating_find(read, "", "COM2")->serial_number, "SV-0001");
    EXPECT_EQ(heating_find(read, "", "COM1"), nullptr);
    for (int n = 0; n < HEATING_ENTRIES_MAX + 5; ++n) heating_put(table, {"S" + std::to_string(n), "", 60, 1000 + n});
    EXPECT_EQ(table.size(), static_cast<size_t>(HEATING_ENTRIES_MAX));
    EXPECT_EQ(heating_find(table, "S0", ""), nullptr);  // the oldest measured went first
}

// The runner against two filters the test plays: what it sends, what it logs.
TEST(Schedule, TheRunnerWakesEveryFilterTriesSilentOnesAgainAndLeavesAnObserversCommand)
{
    InZone zone("UTC");
    struct Filters {
        ScheduleSlot slot[2];
        std::vector<std::string> sent, log;
    } f;
    f.slot[0] = {1, 1, "COM1", "SV-1", {}};
    f.slot[1] = {1, 0, "COM2", "", {}};
    ScheduleHooks hooks;
    hooks.slot = [&](int n) { return f.slot[n]; };
    hooks.send = [&](int n, ScheduleKind kind) {
        f.sent.push_back(std::to_string(n) + (kind == SCHEDULE_WAKE ? " wake" : " sleep"));
        return 1;
    };
    hooks.mark = [](int, const char*) {};
    hooks.log = [&](const std::string& line) { f.log.push_back(line); };
    Schedule schedule;
    schedule.wake = when_of("07:30");
    schedule.sleep = when_of("17:00");
    const std::int64_t day = local(2026, 12, 9, 0, 0);
    ScheduleRunner* runner = runner_make(schedule, 2, hooks, day + 7 * 3600, 2);  // tried again every 2 s
    ASSERT_NE(runner, nullptr);
    const auto step = [&](std::int64_t at) {
        f.sent.clear();
        f.log.clear();
        runner_step(runner, day + at);
        return f.sent;
    };
    using Sent = std::vector<std::string>;
    EXPECT_EQ(step(7 * 3600 + 1799), Sent{});
    EXPECT_EQ(step(7 * 3600 + 1800), (Sent{"0 wake", "1 wake"}));
    ASSERT_EQ(f.log.size(), 1u);
    EXPECT_NE(f.log[0].find("wake at 2026-12-09T07:30:00Z (07:30): filter 1, filter 2 (connecting)"), std::string::npos) << f.log[0];
    EXPECT_EQ(runner_summary(runner).wake, "2026-12-10T07:30:00Z");
    runner_result(runner, 0, SCHEDULE_WAKE, 1);
    EXPECT_EQ(step(7 * 3600 + 1801), Sent{});  // filter 2's wake is still under way
    runner_result(runner, 1, SCHEDULE_WAKE, 0);
    runner_result(runner, 1, SCHEDULE_WAKE, 0);  // a stray second result changes nothing
    EXPECT_EQ(step(7 * 3600 + 1802), Sent{"1 wake"});
    runner_result(runner, 1, SCHEDULE_WAKE, 0);
    EXPECT_EQ(step(7 * 3600 + 1803), Sent{});  // not before the next update
    EXPECT_EQ(step(7 * 3600 + 1804), Sent{"1 wake"});
    EXPECT_TRUE(f.log.empty());  // reported once
    runner_result(runner, 1, SCHEDULE_WAKE, 1);
    EXPECT_NE(f.log.at(0).find("filter 2 answered the wake at try 3"), std::string::npos);
    EXPECT_EQ(step(7 * 3600 + 1806), Sent{});
    // An observer woke filter 2 at noon after putting it to sleep: the evening sleep leaves it.
    f.slot[1].connected = 1;
    f.slot[1].observer = {1, SCHEDULE_WAKE, day + 12 * 3600};
    EXPECT_EQ(step(17 * 3600), Sent{"0 sleep"});
    EXPECT_NE(f.log.at(0).find("filter 2 left awake: an observer woke it at 12:00"), std::string::npos) << f.log[0];
    runner_result(runner, 0, SCHEDULE_SLEEP, 1);
    // Suspended over the next morning's wake: missed, nothing sent, then the day goes on.
    EXPECT_EQ(step(86400 + 9 * 3600), Sent{});
    EXPECT_NE(f.log.at(0).find("wake of 2026-12-10T07:30:00Z was missed"), std::string::npos) << f.log[0];
    EXPECT_EQ(step(86400 + 17 * 3600), (Sent{"0 sleep", "1 sleep"}));
    runner_end(runner);
}

}  // namespace
