// Filter history; see filter_history.h.
#include "link/filter_history.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>

namespace {

// The distance to the target within which a filter reads "on target" (as status_text has it).
constexpr double ON_TARGET_TOLERANCE_A = 0.05;

// Longest estimate shown: beyond this the trend is too flat to say anything useful.
constexpr double READY_ESTIMATE_MAX_S = 12 * 3600;

struct FilterTrack {
    std::vector<HistorySample> ring;  // grows to capacity, then wraps
    std::size_t first = 0;            // index of the oldest sample once wrapped
    std::deque<HistoryMark> marks;
    int polled = 0;                   // a poll was taken before
    int answered = 0;                 // the last poll was answered
    int on_band = 0;                  // the last answered poll was on band

    std::size_t size() const { return ring.size(); }
    const HistorySample& at(std::size_t k) const { return ring[(first + k) % ring.size()]; }
};

void add_mark(FilterTrack& track, HistoryMarkKind kind, const char* text, std::int64_t time_ms)
{
    HistoryMark mark;
    mark.time_ms = time_ms;
    mark.kind = kind;
    copy_text(mark.text, HISTORY_MARK_TEXT_SIZE, text != nullptr ? text : "", HISTORY_MARK_TEXT_SIZE - 1);
    if (track.marks.size() >= HISTORY_MARKS_MAX) track.marks.pop_front();
    track.marks.push_back(mark);
}

// The first sample at or after since_ms (the samples are in time order).
std::size_t first_since(const FilterTrack& track, std::int64_t since_ms)
{
    std::size_t low = 0, high = track.size();
    while (low < high) {
        const std::size_t middle = (low + high) / 2;
        if (track.at(middle).time_ms < since_ms) low = middle + 1;
        else high = middle;
    }
    return low;
}

}  // namespace

struct FilterHistory {
    mutable std::mutex mutex;  // guards tracks
    std::vector<FilterTrack> tracks;
    std::size_t capacity = 0;  // set at make, read-only after
};

const char* history_mark_name(HistoryMarkKind kind)
{
    switch (kind) {
    case MARK_ON_BAND: return "on band";
    case MARK_OFF_BAND: return "off band";
    case MARK_LOST: return "line lost";
    case MARK_BACK: return "line back";
    case MARK_COMMAND: return "command";
    }
    return "";
}

FilterHistory* history_make(int filters, std::size_t samples_per_filter)
{
    if (filters <= 0 || samples_per_filter == 0) return nullptr;
    auto* history = new FilterHistory;
    history->tracks.resize(static_cast<std::size_t>(filters));
    history->capacity = samples_per_filter;
    return history;
}

void history_end(FilterHistory* history) { delete history; }

std::string setting_mark_text(FilterSetting setting, double value)
{
    const int argument = setting_argument(setting, value);
    switch (setting) {
    case SETTING_SLEEP: return argument ? "Sleep" : "Wake";
    case SETTING_PANEL_LOCK: return argument ? "Lock panel" : "Unlock panel";
    case SETTING_WING_SHIFT: {
        char text[HISTORY_MARK_TEXT_SIZE];
        std::snprintf(text, sizeof text, "Wing shift %+.1f A", argument / 10.0);
        return text;
    }
    default: return "";
    }
}

std::int64_t history_now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void history_add_poll(FilterHistory* history, int filter, const FilterRecord& record, std::int64_t time_ms)
{
    if (history == nullptr || filter < 0 || filter >= static_cast<int>(history->tracks.size()) || !record.connected)
        return;
    std::lock_guard<std::mutex> lock(history->mutex);
    FilterTrack& track = history->tracks[static_cast<std::size_t>(filter)];
    const bool answered = record.status_code != STATUS_NO_COMMUNICATION;
    if (!answered) {
        if (track.polled && track.answered) add_mark(track, MARK_LOST, "", time_ms);
        track.polled = 1;
        track.answered = 0;
        return;
    }
    if (track.polled && !track.answered) add_mark(track, MARK_BACK, "", time_ms);
    const int on_band = record.on_band != 0 && !record.sleeping;
    if (on_band && !track.on_band) add_mark(track, MARK_ON_BAND, "", time_ms);
    if (!on_band && track.on_band) add_mark(track, MARK_OFF_BAND, "", time_ms);
    track.polled = track.answered = 1;
    track.on_band = on_band;

    HistorySample sample;
    sample.time_ms = time_ms;
    sample.current = static_cast<float>(record.wavelength);
    sample.target = static_cast<float>(record.center_wavelength + record.wing_shift);
    sample.wing_shift = static_cast<float>(record.wing_shift);
    sample.temperature_c = static_cast<float>((record.temperature - 32.0) * 5.0 / 9.0);
    sample.heater_power = static_cast<float>(record.heater_power);
    sample.status_code = record.status_code;
    sample.on_band = static_cast<std::uint8_t>(on_band);
    sample.sleeping = static_cast<std::uint8_t>(record.sleeping != 0);
    // A clock set back: the samples stay in time order, the step shows as a pause.
    if (track.size() > 0) sample.time_ms = std::max(sample.time_ms, track.at(track.size() - 1).time_ms);
    if (track.ring.size() < history->capacity) {
        // Grown in steps, so a short night costs what it holds, not a day's worth.
        if (track.ring.size() == track.ring.capacity())
            track.ring.reserve(std::min(history->capacity, std::max<std::size_t>(1024, track.ring.capacity() * 2)));
        track.ring.push_back(sample);
    } else {
        track.ring[track.first] = sample;
        track.first = (track.first + 1) % track.ring.size();
    }
}

void history_add_command(FilterHistory* history, int filter, const char* text, std::int64_t time_ms)
{
    if (history == nullptr || filter < 0 || filter >= static_cast<int>(history->tracks.size())) return;
    std::lock_guard<std::mutex> lock(history->mutex);
    add_mark(history->tracks[static_cast<std::size_t>(filter)], MARK_COMMAND, text, time_ms);
}

std::vector<HistorySample> history_samples(const FilterHistory* history, int filter, std::int64_t since_ms,
                                           std::size_t max_samples)
{
    std::vector<HistorySample> out;
    if (history == nullptr || filter < 0 || filter >= static_cast<int>(history->tracks.size()) || max_samples == 0)
        return out;
    std::lock_guard<std::mutex> lock(history->mutex);
    const FilterTrack& track = history->tracks[static_cast<std::size_t>(filter)];
    const std::size_t from = first_since(track, since_ms);
    const std::size_t count = track.size() - from;
    if (count <= max_samples) {
        out.reserve(count);
        for (std::size_t k = from; k < track.size(); ++k) out.push_back(track.at(k));
        return out;
    }
    // Evenly thinned, the first and the last kept.
    out.reserve(max_samples);
    for (std::size_t k = 0; k < max_samples; ++k) {
        const std::size_t index = max_samples == 1 ? count - 1 : k * (count - 1) / (max_samples - 1);
        out.push_back(track.at(from + index));
    }
    return out;
}

std::vector<HistoryMark> history_marks(const FilterHistory* history, int filter, std::int64_t since_ms)
{
    std::vector<HistoryMark> out;
    if (history == nullptr || filter < 0 || filter >= static_cast<int>(history->tracks.size())) return out;
    std::lock_guard<std::mutex> lock(history->mutex);
    for (const HistoryMark& mark : history->tracks[static_cast<std::size_t>(filter)].marks)
        if (mark.time_ms >= since_ms) out.push_back(mark);
    return out;
}

std::size_t history_sample_count(const FilterHistory* history, int filter)
{
    if (history == nullptr || filter < 0 || filter >= static_cast<int>(history->tracks.size())) return 0;
    std::lock_guard<std::mutex> lock(history->mutex);
    return history->tracks[static_cast<std::size_t>(filter)].size();
}

ReadyEstimate history_time_to_on_band(const FilterHistory* history, int filter)
{
    ReadyEstimate estimate;
    if (history == nullptr || filter < 0 || filter >= static_cast<int>(history->tracks.size())) return estimate;
    std::lock_guard<std::mutex> lock(history->mutex);
    const FilterTrack& track = history->tracks[static_cast<std::size_t>(filter)];
    if (track.size() == 0 || !track.answered) return estimate;
    const HistorySample& last = track.at(track.size() - 1);
    const double distance_now = std::fabs(static_cast<double>(last.target) - last.current);
    if (last.sleeping || last.on_band || distance_now <= ON_TARGET_TOLERANCE_A) return estimate;

    // The samples of the trend window since the filter last woke or was given another target.
    std::size_t from = first_since(track, last.time_ms - HEATING_TREND_MS);
    for (std::size_t k = track.size() - 1; k > from; --k) {
        const HistorySample& s = track.at(k - 1);
        if (s.sleeping || s.target != last.target) {
            from = k;
            break;
        }
    }
    // ln(distance) against time (seconds before the last sample): a straight line for an
    // exponential approach.
    double n = 0, sum_t = 0, sum_y = 0, sum_tt = 0, sum_ty = 0, sum_yy = 0;
    for (std::size_t k = from; k < track.size(); ++k) {
        const HistorySample& s = track.at(k);
        const double distance = std::fabs(static_cast<double>(s.target) - s.current);
        if (distance <= ON_TARGET_TOLERANCE_A / 10) continue;
        const double t = static_cast<double>(s.time_ms - last.time_ms) / 1000.0;
        const double y = std::log(distance);
        n += 1;
        sum_t += t;
        sum_y += y;
        sum_tt += t * t;
        sum_ty += t * y;
        sum_yy += y * y;
    }
    const double span_s = static_cast<double>(last.time_ms - track.at(from).time_ms) / 1000.0;
    if (n < HEATING_TREND_MIN_SAMPLES || span_s * 1000 < HEATING_TREND_MIN_MS) return estimate;
    const double var_t = sum_tt - sum_t * sum_t / n;
    const double var_y = sum_yy - sum_y * sum_y / n;
    const double cov = sum_ty - sum_t * sum_y / n;
    if (var_t <= 0 || var_y <= 0) return estimate;
    const double slope = cov / var_t;  // per second; negative while approaching
    const double r_squared = cov * cov / (var_t * var_y);
    if (slope >= 0 || r_squared < 0.9) return estimate;
    const double intercept = (sum_y - slope * sum_t) / n;  // ln(distance) now, as the fit has it
    const double seconds = (std::log(ON_TARGET_TOLERANCE_A) - intercept) / slope;
    if (!(seconds >= 0) || seconds > READY_ESTIMATE_MAX_S) return estimate;
    estimate.known = 1;
    estimate.seconds = seconds;
    return estimate;
}

std::string ready_estimate_text(const ReadyEstimate& estimate)
{
    if (!estimate.known) return "";
    if (estimate.seconds < 60) return "under a minute";
    const long minutes = std::lround(estimate.seconds / 60);
    if (minutes < 60) return "about " + std::to_string(minutes) + " min";
    return "about " + std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min";
}

std::string iso8601_utc(std::int64_t time_ms)
{
    const std::time_t seconds = static_cast<std::time_t>(time_ms >= 0 ? time_ms / 1000 : (time_ms - 999) / 1000);
    const int millis = static_cast<int>(time_ms - static_cast<std::int64_t>(seconds) * 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[80];  // room for any year the time type holds
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

std::string history_csv(const FilterHistory* history, std::int64_t since_ms)
{
    std::string csv = "time (UTC),filter,status code,on band,current wavelength (A),target wavelength (A),"
                      "wing shift (A),temperature (C),heater power (%),marks\r\n";
    if (history == nullptr) return csv;
    struct Cursor {
        std::vector<HistorySample> samples;
        std::vector<HistoryMark> marks;
        std::size_t next = 0, next_mark = 0;
    };
    std::vector<Cursor> cursors(history->tracks.size());
    for (std::size_t f = 0; f < cursors.size(); ++f) {
        cursors[f].samples = history_samples(history, static_cast<int>(f), since_ms);
        cursors[f].marks = history_marks(history, static_cast<int>(f), since_ms);
    }
    // A filter's next row: its next sample with the marks since its last, or, after its last
    // sample, a mark of its own (its line lost, say) with the values left empty.
    auto next_time = [](const Cursor& c) {
        if (c.next < c.samples.size()) return c.samples[c.next].time_ms;
        return c.next_mark < c.marks.size() ? c.marks[c.next_mark].time_ms : INT64_MAX;
    };
    char row[320];
    while (true) {
        // The earliest next row of all filters (ties: the lower filter number first).
        std::size_t pick = cursors.size();
        for (std::size_t f = 0; f < cursors.size(); ++f)
            if (next_time(cursors[f]) != INT64_MAX && (pick == cursors.size() || next_time(cursors[f]) < next_time(cursors[pick])))
                pick = f;
        if (pick == cursors.size()) break;
        Cursor& c = cursors[pick];
        const bool sample = c.next < c.samples.size();
        const std::int64_t time_ms = next_time(c);
        std::string marks;
        while (c.next_mark < c.marks.size() && c.marks[c.next_mark].time_ms <= time_ms) {
            const HistoryMark& m = c.marks[c.next_mark++];
            if (!marks.empty()) marks += "; ";
            marks += m.kind == MARK_COMMAND ? latin1_to_utf8(m.text) : history_mark_name(m.kind);
        }
        if (sample) {
            const HistorySample& s = c.samples[c.next++];
            std::snprintf(row, sizeof row, "%s,%zu,%d,%d,%.2f,%.2f,%.1f,%.1f,%.0f,", iso8601_utc(s.time_ms).c_str(), pick + 1,
                          s.status_code, s.on_band, s.current, s.target, s.wing_shift, s.temperature_c, s.heater_power);
        } else {
            std::snprintf(row, sizeof row, "%s,%zu,,,,,,,,", iso8601_utc(time_ms).c_str(), pick + 1);
        }
        csv += row;
        if (!marks.empty()) {
            std::string quoted;
            for (char ch : marks) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
            csv += "\"" + quoted + "\"";
        }
        csv += "\r\n";
    }
    return csv;
}
