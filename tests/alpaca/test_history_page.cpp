// The history as the server answers it, without sockets: the query's bounds, the span of samples
// and marks an answer holds, and the charting script read only from a whole regular file.
#include "alpaca/history_page.h"
#include "link/filter_history.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Json = nlohmann::json;

TEST(HistoryPage, AQueryIsReadWithinItsBoundsAndRefusedOutsideThem)
{
    struct Row {
        const char* name;
        const char* query;
        int read;
        size_t max_samples;
        long long span_s;
    } rows[] = {
        {"nothing asked gives the defaults", "", 1, HISTORY_ANSWER_DEFAULT, 0},
        {"both are taken, other names ignored", "v=3&max=120&span=900", 1, 120, 900},
        {"the largest answer is allowed", "max=5000", 1, HISTORY_ANSWER_MAX, 0},
        {"one more is refused", "max=5001", 0, 0, 0},
        {"a sign is no count", "max=-5", 0, 0, 0},
        {"a span in words is refused", "span=hour", 0, 0, 0},
    };
    for (const Row& row : rows) {
        HistoryQuery query;
        std::string problem;
        EXPECT_EQ(parse_history_query(row.query, query, problem), row.read) << row.name;
        if (!row.read) {
            EXPECT_FALSE(problem.empty()) << row.name;
            continue;
        }
        EXPECT_EQ(query.max_samples, row.max_samples) << row.name;
        EXPECT_EQ(query.span_s, row.span_s) << row.name;
    }
}

// Ten minutes of one poll a minute and a mark a minute, read back over spans and maxima.
TEST(HistoryPage, AnAnswerHoldsTheSpanAskedForThinnedToItsMaximum)
{
    constexpr std::int64_t START = 1796800000000;
    FilterHistory* history = history_make(2);
    FilterRecord record;
    record.connected = 1;
    record.sleeping = 0;
    record.center_wavelength = 6562.8;
    for (int minute = 0; minute < 10; ++minute) {
        record.wavelength = 6560.0 + minute * 0.25;
        record.temperature = 68.0 + minute;  // Fahrenheit, as the filter reports
        history_add_poll(history, 0, record, START + minute * 60000);
        history_add_command(history, 0, "Wake", START + minute * 60000 + 1);
    }
    const std::int64_t now = START + 9 * 60000 + 500;
    struct Row {
        const char* name;
        HistoryQuery query;
        size_t samples;
        size_t marks;
        double first_current;
    } rows[] = {
        {"since the start, everything", {HISTORY_ANSWER_DEFAULT, 0}, 10, 10, 6560.0},
        {"the last three minutes", {HISTORY_ANSWER_DEFAULT, 180}, 3, 3, 6561.75},
        {"thinned, the first and the last kept", {3, 0}, 3, 10, 6560.0},
    };
    for (const Row& row : rows) {
        const Json answer = Json::parse(history_json(history, 0, row.query, now));
        EXPECT_EQ(answer["format"], HISTORY_FORMAT) << row.name;
        EXPECT_EQ(answer["held"], 10) << row.name;
        EXPECT_EQ(answer["now_ms"], now) << row.name;
        ASSERT_EQ(answer["samples"].size(), row.samples) << row.name;
        EXPECT_EQ(answer["marks"].size(), row.marks) << row.name;
        const Json& first = answer["samples"].front();
        ASSERT_EQ(first.size(), answer["columns"].size()) << row.name;
        EXPECT_EQ(first[1], row.first_current) << row.name;
        EXPECT_EQ(answer["samples"].back()[0], START + 9 * 60000) << row.name;
        EXPECT_EQ(answer["samples"].back()[4], 25.0) << row.name << ": 77 F in Celsius";
    }
    const Json other = Json::parse(history_json(history, 1, HistoryQuery{}, now));
    EXPECT_EQ(other["held"], 0);
    EXPECT_TRUE(other["samples"].empty());
    EXPECT_TRUE(other["ready_text"].is_null()) << "no estimate from nothing";
    history_end(history);
}

// The answer carries the history's own estimate, in seconds and as the window words it.
TEST(HistoryPage, AHeatingFilterAnswersItsTimeToOnBand)
{
    constexpr std::int64_t START = 1796800000000;
    FilterHistory* history = history_make(1);
    FilterRecord record;
    record.connected = 1;
    record.sleeping = 0;
    record.center_wavelength = 6562.8;
    for (int second = 0; second <= 180; second += 5) {
        record.wavelength = 6562.8 - 2.0 * std::exp(-second / 300.0);  // an exponential approach
        history_add_poll(history, 0, record, START + second * 1000);
    }
    const ReadyEstimate estimate = history_time_to_on_band(history, 0);
    ASSERT_EQ(estimate.known, 1);
    const Json answer = Json::parse(history_json(history, 0, HistoryQuery{}, START + 180000));
    EXPECT_EQ(answer["ready_s"], std::lround(estimate.seconds));
    EXPECT_EQ(answer["ready_text"], ready_estimate_text(estimate));
    history_end(history);
}

TEST(HistoryPage, TheChartingScriptIsServedOnlyFromAWholeRegularFile)
{
    const std::string dir = make_temp_dir();
    write_file(dir + "/chart.min.js", "/*! Chart.js */ window.Chart = 1;");
    ASSERT_EQ(::mkfifo((dir + "/fifo.js").c_str(), 0600), 0);
    // Sparse: as large as the bound and one byte more, without writing it.
    write_file(dir + "/large.js", "x");
    ASSERT_EQ(::truncate((dir + "/large.js").c_str(), static_cast<off_t>(CHART_JS_MAX) + 1), 0);
    struct Row {
        const char* name;
        std::string path;
        int read;
        const char* problem;
    } rows[] = {
        {"a regular file is read whole", dir + "/chart.min.js", 1, ""},
        {"a missing file names the package", dir + "/none.js", 0, "libjs-chart.js"},
        {"a directory is no script", dir, 0, "not a regular file"},
        {"a FIFO is refused without blocking", dir + "/fifo.js", 0, "not a regular file"},
        {"a file over the bound is not cut short", dir + "/large.js", 0, "not a regular file of at most 2048 KiB"},
    };
    for (const Row& row : rows) {
        std::string bytes, problem;
        EXPECT_EQ(read_chart_js(row.path, bytes, problem), row.read) << row.name;
        if (row.read) EXPECT_EQ(bytes, read_file(row.path)) << row.name;
        else EXPECT_NE(problem.find(row.problem), std::string::npos) << row.name << ": " << problem;
        if (!row.read) EXPECT_TRUE(bytes.empty()) << row.name;
    }
}

}  // namespace
