// The history as solvane-alpaca serves it: the JSON the page plots, the CSV for spreadsheets, and
// the charting script the page draws with, read from where the system's package installs it.
//
// Contents
//   1. The JSON of one filter's history
//   2. The CSV of every filter's
//   3. The charting script
//
// Threads: pure functions but for the file read of section 3; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct FilterHistory;

// ---------------------------------------------------------------------------------------------
// 1. JSON
// ---------------------------------------------------------------------------------------------

// The format of the history answer; a client that knows an older major number reads on.
constexpr int HISTORY_FORMAT = 1;

// Samples in one answer: a phone's plot has fewer pixels across than the default, and the most a
// client may ask for keeps an answer near 300 KB (about 55 bytes a sample).
constexpr std::size_t HISTORY_ANSWER_DEFAULT = 1000;
constexpr std::size_t HISTORY_ANSWER_MAX = 5000;

// What a history request asks for: max=N samples at most (1 to HISTORY_ANSWER_MAX), span=S the
// last S seconds only (0 or none: since the start).
struct HistoryQuery {
    std::size_t max_samples = HISTORY_ANSWER_DEFAULT;
    std::int64_t span_s = 0;
};

// Reads a request's query string ("max=1500&span=3600"; other names are ignored). Returns 0 with
// problem set, as a sentence, when max or span is no number in its range.
int parse_history_query(const std::string& query, HistoryQuery& request, std::string& problem);

// Filter slot's history as JSON (HISTORY_FORMAT): the server's time now_ms, how many samples the
// filter holds in all, the samples of the span, oldest first, evenly thinned to the query's
// maximum (the first and last kept) as rows of "columns", the marks of the span, and the time to
// on band ("about 6 min") when the trend supports one, else null. Times are UTC milliseconds.
std::string history_json(const FilterHistory* history, int slot, const HistoryQuery& request, std::int64_t now_ms);

// ---------------------------------------------------------------------------------------------
// 2. CSV
// ---------------------------------------------------------------------------------------------

// The file name a CSV download is offered under: "solvane-history-2026-12-09T0741Z.csv" for the
// time it was asked (UTC).
std::string history_csv_file_name(std::int64_t now_ms);

// ---------------------------------------------------------------------------------------------
// 3. The page's plots and the charting script
// ---------------------------------------------------------------------------------------------

// The style and the script of the status page's plots, put into the page by page_html. The
// script gives each filter's card a History block (historyBlock(n)), which show(f) keeps current
// (historyShow(f)): a plot each of temperature, heater power and passband over the span chosen at
// the top, with the marks and the time to on band, drawn with the charting script at /chart.js;
// without it the block says which package the plots need and the rest of the page works on.
// With the page's test hooks, each drawn plot carries its picture (data-png) and the device
// pixels of its first curve's first, middle and last points (data-at).
const char* history_page_style();
const char* history_page_script();

// ---------------------------------------------------------------------------------------------
// 4. The charting script
// ---------------------------------------------------------------------------------------------

// Where Debian's libjs-chart.js installs the script the page draws with.
constexpr const char* CHART_JS_FILE = "/usr/share/javascript/chart.js/chart.min.js";

// The largest script taken (the package's is about 200 KB); a larger file is not served, since a
// script cut short would not run.
constexpr std::size_t CHART_JS_MAX = 2 * 1024 * 1024;

// Reads the script at path: only a regular file, without blocking, at most CHART_JS_MAX bytes.
// Returns 1 with bytes set; 0 with problem saying why (missing: the package is not installed).
int read_chart_js(const std::string& path, std::string& bytes, std::string& problem);
