// The filter history: its bounds and order, its marks, the time-to-on-band estimate against the
// simulator's heating model run over simulated hours, and the CSV export read back.
#include "link/filter_history.h"
#include "sim/simulator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>

namespace {

using History = std::unique_ptr<FilterHistory, void (*)(FilterHistory*)>;

History make_history(int filters, std::size_t samples = HISTORY_SAMPLES_DEFAULT)
{
    return History(history_make(filters, samples), history_end);
}

constexpr std::int64_t T0 = 1796800000000;  // 2026-12-09T07:06:40Z

FilterRecord answered(double temperature_f = 100, int on_band = 0, int sleeping = 0)
{
    FilterRecord r;
    r.connected = 1;
    r.center_wavelength = 6562.8;
    r.wavelength = 6562.0;
    r.temperature = temperature_f;
    r.heater_power = 40;
    r.on_band = on_band;
    r.sleeping = sleeping;
    return r;
}

FilterRecord silent()
{
    FilterRecord r = answered();
    r.status_code = STATUS_NO_COMMUNICATION;
    return r;
}

TEST(History, KeepsTheNewestSamplesInTimeOrderWithinItsBound)
{
    struct Row {
        const char* name;
        std::size_t capacity;
        int polls;
        int step_ms;
        std::size_t kept;
        std::int64_t oldest;  // offset from T0
    } rows[] = {
        {"fewer than the bound", 10, 4, 1000, 4, 0},
        {"exactly the bound", 10, 10, 1000, 10, 0},
        {"past the bound, the oldest go first", 10, 25, 1000, 10, 15000},
        {"a day at 1 s, and a minute more", HISTORY_SAMPLES_DEFAULT, 24 * 3600 + 60, 1000, HISTORY_SAMPLES_DEFAULT, 60000},
    };
    for (const Row& row : rows) {
        History h = make_history(2, row.capacity);
        for (int k = 0; k < row.polls; ++k) history_add_poll(h.get(), 1, answered(60 + k % 50), T0 + std::int64_t(k) * row.step_ms);
        const std::vector<HistorySample> samples = history_samples(h.get(), 1);
        ASSERT_EQ(samples.size(), row.kept) << row.name;
        EXPECT_EQ(samples.front().time_ms, T0 + row.oldest) << row.name;
        EXPECT_EQ(samples.back().time_ms, T0 + std::int64_t(row.polls - 1) * row.step_ms) << row.name;
        for (std::size_t k = 1; k < samples.size(); ++k)
            ASSERT_EQ(samples[k].time_ms - samples[k - 1].time_ms, row.step_ms) << row.name << " at " << k;
        EXPECT_EQ(history_sample_count(h.get(), 0), 0u) << "the other filter holds nothing";
    }
}

TEST(History, ReadsBackASpanThinnedEvenlyAndConvertsTheReadings)
{
    History h = make_history(1, 1000);
    for (int k = 0; k < 1000; ++k) history_add_poll(h.get(), 0, answered(32 + k * 0.18), T0 + k * 1000);
    // Polls of a filter that is not connected, or out of range, are not taken.
    FilterRecord closed = answered();
    closed.connected = 0;
    history_add_poll(h.get(), 0, closed, T0 + 2000000);
    history_add_poll(h.get(), 5, answered(), T0 + 2000000);
    EXPECT_EQ(history_sample_count(h.get(), 0), 1000u);

    const std::vector<HistorySample> last_minute = history_samples(h.get(), 0, T0 + 940000);
    ASSERT_EQ(last_minute.size(), 60u);
    const std::vector<HistorySample> thinned = history_samples(h.get(), 0, 0, 100);
    ASSERT_EQ(thinned.size(), 100u);
    EXPECT_EQ(thinned.front().time_ms, T0);
    EXPECT_EQ(thinned.back().time_ms, T0 + 999000);
    const HistorySample& s = thinned.front();
    EXPECT_FLOAT_EQ(s.temperature_c, 0.0f);
    EXPECT_FLOAT_EQ(s.target, 6562.8f);
    EXPECT_FLOAT_EQ(s.current, 6562.0f);
    EXPECT_FLOAT_EQ(s.heater_power, 40.0f);
    EXPECT_NEAR(last_minute.back().temperature_c, (32 + 999 * 0.18 - 32) * 5 / 9, 1e-3);

    // A clock set back keeps the samples in order: the step reads as a pause.
    history_add_poll(h.get(), 0, answered(), T0 - 3600000);
    EXPECT_EQ(history_samples(h.get(), 0).back().time_ms, T0 + 999000);
}

TEST(History, MarksWhereAFilterCameOnBandLostItsLineAndWasCommanded)
{
    History h = make_history(1, 100);
    const FilterRecord polls[] = {answered(), answered(100, 1), answered(100, 1), silent(), silent(), answered(100, 1),
                                  answered(100, 0), answered(100, 1, 1)};
    std::int64_t t = T0;
    for (const FilterRecord& r : polls) history_add_poll(h.get(), 0, r, t += 1000);
    history_add_command(h.get(), 0, "Sleep", t + 1);
    std::vector<std::string> seen;
    for (const HistoryMark& m : history_marks(h.get(), 0))
        seen.push_back(std::to_string((m.time_ms - T0) / 1000) + " " + history_mark_name(m.kind) + (m.text[0] ? std::string(" ") + m.text : ""));
    EXPECT_EQ(seen, (std::vector<std::string>{"2 on band", "4 line lost", "6 line back", "7 off band", "8 command Sleep"}));
    EXPECT_EQ(history_sample_count(h.get(), 0), 6u) << "an unanswered poll adds no sample";
    EXPECT_EQ(history_marks(h.get(), 0, T0 + 6000).size(), 3u);

    // What a setting leaves, the same from every program (the wing shift as the filter takes it).
    struct Setting {
        FilterSetting setting;
        double value;
        const char* mark;
    } settings[] = {{SETTING_SLEEP, 0, "Wake"},          {SETTING_SLEEP, 1, "Sleep"},
                    {SETTING_WING_SHIFT, 0.35, "Wing shift +0.3 A"}, {SETTING_WING_SHIFT, -0.1, "Wing shift -0.1 A"},
                    {SETTING_PANEL_LOCK, 1, "Lock panel"},  {SETTING_UNITS, 1, ""}};
    for (const Setting& row : settings) EXPECT_EQ(setting_mark_text(row.setting, row.value), row.mark) << row.mark;
}

// The simulator's element heated from ambient at 1 s polls: the estimate against the time the
// filter really came on band.
TEST(History, TheTimeToOnBandFollowsTheHeatingCurveOnceItsTrendIsClear)
{
    struct Row {
        double time_constant_s;
        double ambient_f;
    } rows[] = {{90, 60}, {600, 40}, {1500, 70}};
    for (const Row& row : rows) {
        SimFilter f;
        f.time_constant_s = row.time_constant_s;
        f.ambient_temperature = row.ambient_f;
        f.sleeping = 0;
        sim_advance(f, 0);
        History h = make_history(1);
        struct Asked {
            int t;
            ReadyEstimate estimate;
        };
        std::vector<Asked> asked;
        int on_band_at = -1;
        for (int t = 0; t < 6 * 3600 && on_band_at < 0; ++t) {
            FilterRecord r;
            r.connected = 1;
            r.center_wavelength = f.center_wavelength;
            r.wing_shift = f.wing_shift_tenths / 10.0;
            r.wavelength = sim_passband(f);
            r.temperature = f.temperature;
            r.sleeping = 0;
            r.on_band = f.within_target_s >= f.settle_s;
            history_add_poll(h.get(), 0, r, T0 + std::int64_t(t) * 1000);
            if (r.on_band) on_band_at = t;
            else if (t % 15 == 0) asked.push_back({t, history_time_to_on_band(h.get(), 0)});
            sim_advance(f, 1.0);
        }
        ASSERT_GT(on_band_at, 0) << "tau " << row.time_constant_s;
        int shown = 0;
        for (const Asked& a : asked) {
            if (a.t < HEATING_TREND_MIN_MS / 1000) {
                EXPECT_FALSE(a.estimate.known) << "no guess from less than a minute, at " << a.t << " s";
                continue;
            }
            if (!a.estimate.known) continue;
            ++shown;
            // Within a tenth of the time left, and the filter's own settling time (10 s) besides.
            const double left = on_band_at - a.t;
            EXPECT_NEAR(a.estimate.seconds, left, 0.1 * left + f.settle_s + 2)
                << "tau " << row.time_constant_s << " at " << a.t << " s";
        }
        // Shown for most of the heating (the first minute and the settling aside).
        EXPECT_GT(shown, static_cast<int>(asked.size()) * 3 / 4) << "tau " << row.time_constant_s;
    }
}

TEST(History, NoEstimateForASleepingFilterOneOnBandOrOneThatDoesNotApproach)
{
    struct Row {
        const char* name;
        double start_f, step_f;  // temperature per poll
        int sleeping, on_band;
    } rows[] = {{"asleep", 60, 0.1, 1, 0},
                {"on band", 120, 0, 0, 1},
                {"drifting away", 100, -0.05, 0, 0},
                {"flat", 100, 0, 0, 0},
                {"noise", 100, 0, 0, 0}};
    for (const Row& row : rows) {
        History h = make_history(1);
        for (int t = 0; t < 300; ++t) {
            FilterRecord r = answered(row.start_f + row.step_f * t, row.on_band, row.sleeping);
            r.wavelength = 6562.8 + (r.temperature - 120) / 17.0 + (std::string(row.name) == "noise" ? 0.3 * ((t * 7919) % 13 - 6) / 6.0 : 0);
            history_add_poll(h.get(), 0, r, T0 + t * 1000);
        }
        EXPECT_FALSE(history_time_to_on_band(h.get(), 0).known) << row.name;
    }
    EXPECT_EQ(ready_estimate_text(ReadyEstimate{}), "");
    EXPECT_EQ(ready_estimate_text(ReadyEstimate{1, 20}), "under a minute");
    EXPECT_EQ(ready_estimate_text(ReadyEstimate{1, 389}), "about 6 min");
    EXPECT_EQ(ready_estimate_text(ReadyEstimate{1, 4200}), "about 1 h 10 min");
}

TEST(History, TheCsvNamesItsUnitsAndHoldsEveryFiltersRowsInTimeOrder)
{
    History h = make_history(2, 100);
    history_add_poll(h.get(), 1, answered(212, 0), T0 + 250);
    history_add_command(h.get(), 0, "Wake", T0 + 500);
    history_add_poll(h.get(), 0, answered(32, 1), T0 + 1000);
    history_add_poll(h.get(), 1, silent(), T0 + 1500);
    EXPECT_EQ(history_csv(h.get()),
              "time (UTC),filter,status code,on band,current wavelength (A),target wavelength (A),wing shift (A),"
              "temperature (C),heater power (%),marks\r\n"
              "2026-12-09T07:06:40.250Z,2,0,0,6562.00,6562.80,0.0,100.0,40,\r\n"
              "2026-12-09T07:06:41.000Z,1,0,1,6562.00,6562.80,0.0,0.0,40,\"Wake; on band\"\r\n"
              "2026-12-09T07:06:41.500Z,2,,,,,,,,\"line lost\"\r\n");
    EXPECT_EQ(history_csv(h.get(), T0 + 1200).substr(history_csv(h.get(), T0 + 1200).find('\n') + 1),
              "2026-12-09T07:06:41.500Z,2,,,,,,,,\"line lost\"\r\n");
    EXPECT_EQ(iso8601_utc(-1), "1969-12-31T23:59:59.999Z");
}

}  // namespace
