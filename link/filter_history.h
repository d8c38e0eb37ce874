// Filter history: what every status poll of each filter read, since the program started, with
// marks where a filter came on band, lost its line or was commanded.
//
// Contents
//   1. Samples and marks
//   2. The history (a handle)
//   3. Reading it back: samples, marks, time to on band, CSV
//
// Any program that polls filters keeps one: the window, the Alpaca server. The history is bounded
// (HISTORY_SAMPLES_DEFAULT a filter: 24 hours at the 1 s update), the oldest samples going first,
// and holds about 32 bytes a sample. Threads: a history is guarded by a mutex of its own, so the
// thread that polls adds to it while others read it.
#pragma once

#include "link/filter_settings.h"
#include "link/solvane_link.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// 1. Samples and marks
// ---------------------------------------------------------------------------------------------

// One status poll's readings. Wavelengths in Angstrom, the element's temperature in degrees
// Celsius (the filter reports Fahrenheit), heater power in percent.
struct HistorySample {
    std::int64_t time_ms = 0;  // UTC, milliseconds since 1970
    float current = 0;         // the passband's centre now
    float target = 0;          // the filter's line plus its wing shift
    float wing_shift = 0;
    float temperature_c = 0;
    float heater_power = 0;
    std::int32_t status_code = 0;
    std::uint8_t on_band = 0;  // the filter said it is on band
    std::uint8_t sleeping = 0;
};

enum HistoryMarkKind {
    MARK_ON_BAND,     // the filter came on band
    MARK_OFF_BAND,    // it was on band and is not any more (a new target, a fault)
    MARK_LOST,        // its line stopped answering
    MARK_BACK,        // it answered again after a lost line
    MARK_COMMAND,     // a program commanded it (wake, sleep, a wing shift); text says what
};

constexpr int HISTORY_MARK_TEXT_SIZE = 32;

struct HistoryMark {
    std::int64_t time_ms = 0;
    HistoryMarkKind kind = MARK_COMMAND;
    char text[HISTORY_MARK_TEXT_SIZE] = {};  // "Wake", "Sleep", "Wing shift +0.3 A"; empty for the others
};

// The short name of a mark's kind ("on band", "off band", "line lost", "line back", "command").
const char* history_mark_name(HistoryMarkKind kind);

// ---------------------------------------------------------------------------------------------
// 2. The history
// ---------------------------------------------------------------------------------------------

constexpr std::size_t HISTORY_SAMPLES_DEFAULT = 24 * 3600;  // a filter: 24 hours at 1 s
constexpr std::size_t HISTORY_MARKS_MAX = 4096;             // a filter; the oldest go first

struct FilterHistory;

// A history of filters filters (SLOT_COUNT for a program's slots), each holding at most
// samples_per_filter samples. Returns nullptr for 0 filters or 0 samples.
FilterHistory* history_make(int filters, std::size_t samples_per_filter = HISTORY_SAMPLES_DEFAULT);
void history_end(FilterHistory* history);

// Adds a status poll's result for filter: a sample when it answered (STATUS_NO_COMMUNICATION adds
// none), and the marks its change from the last poll implies (on band, off band, lost, back).
// Polls of a filter that is not connected are not taken. Out-of-range filters are ignored.
void history_add_poll(FilterHistory* history, int filter, const FilterRecord& record, std::int64_t time_ms);

// A command mark: text as the observer would say it ("Wake", "Sleep", "Wing shift -0.2 A").
void history_add_command(FilterHistory* history, int filter, const char* text, std::int64_t time_ms);

// The mark a setting sent to a filter leaves, the same in every program: "Wake", "Sleep",
// "Wing shift +0.3 A", "Lock panel", "Unlock panel"; empty for the settings that change only the
// filter's own display (no mark).
std::string setting_mark_text(FilterSetting setting, double value);

// The present time as the history counts it (UTC milliseconds).
std::int64_t history_now_ms();

// ---------------------------------------------------------------------------------------------
// 3. Reading it back
// ---------------------------------------------------------------------------------------------

// filter's samples from since_ms on, oldest first; at most max_samples of them, evenly thinned
// (the first and last kept) when there are more, so a plot of a day needs no more points than
// it has pixels.
std::vector<HistorySample> history_samples(const FilterHistory* history, int filter, std::int64_t since_ms = 0,
                                           std::size_t max_samples = SIZE_MAX);
std::vector<HistoryMark> history_marks(const FilterHistory* history, int filter, std::int64_t since_ms = 0);
std::size_t history_sample_count(const FilterHistory* history, int filter);

// The time a heating filter still needs to reach its target, from the trend of its distance to
// it: the distance of the last HEATING_TREND_MS, fitted as the exponential approach a heated
// element makes. known is 0 (and nothing should be shown) unless the filter is awake, not on band,
// more than the on-band tolerance away, has been approaching for at least HEATING_TREND_MIN_MS with
// at least HEATING_TREND_MIN_SAMPLES samples, and the fit explains the trend well (R^2 >= 0.9).
constexpr std::int64_t HEATING_TREND_MS = 5 * 60 * 1000;
constexpr std::int64_t HEATING_TREND_MIN_MS = 60 * 1000;
constexpr int HEATING_TREND_MIN_SAMPLES = 8;
struct ReadyEstimate {
    int known = 0;
    double seconds = 0;  // from the last sample's time
};
ReadyEstimate history_time_to_on_band(const FilterHistory* history, int filter);

// "about 6 min", "about 1 h 10 min", "under a minute"; empty when not known.
std::string ready_estimate_text(const ReadyEstimate& estimate);

// The history since since_ms as CSV: a header naming each column and its unit, then a row per
// sample of every filter in time order: ISO 8601 UTC time to the millisecond, the filter's number
// (1 to 4), status code, on band (0/1), current and target wavelength (A), wing shift (A),
// temperature (C), heater power (%), and the marks of that filter since the row before.
std::string history_csv(const FilterHistory* history, std::int64_t since_ms = 0);

// An ISO 8601 UTC time to the millisecond: "2026-12-09T07:41:05.250Z".
std::string iso8601_utc(std::int64_t time_ms);
