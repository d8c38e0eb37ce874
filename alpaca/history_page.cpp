// The history as solvane-alpaca serves it; see history_page.h.
#include "alpaca/history_page.h"

#include "link/filter_history.h"
#include "link/solvane_link.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Json = nlohmann::ordered_json;

// A reading at the precision the filter reports it: more digits would only lengthen the answer.
double rounded(float value, double scale) { return std::round(static_cast<double>(value) * scale) / scale; }

// A whole decimal number within [low, high], nothing else.
int read_whole(const std::string& text, long long low, long long high, long long& value)
{
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
    value = std::stoll(text);
    return value >= low && value <= high;
}

}  // namespace

int parse_history_query(const std::string& query, HistoryQuery& request, std::string& problem)
{
    request = HistoryQuery{};
    for (size_t at = 0; at <= query.size();) {
        const size_t end = std::min(query.find('&', at), query.size());
        const std::string field = query.substr(at, end - at);
        at = end + 1;
        const size_t eq = field.find('=');
        const std::string name = field.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : field.substr(eq + 1);
        long long number = 0;
        if (name == "max") {
            if (!read_whole(value, 1, static_cast<long long>(HISTORY_ANSWER_MAX), number)) {
                problem = "max takes a number of samples from 1 to " + std::to_string(HISTORY_ANSWER_MAX) + ", not '" +
                          value.substr(0, 20) + "'.";
                return 0;
            }
            request.max_samples = static_cast<std::size_t>(number);
        } else if (name == "span") {
            if (!read_whole(value, 0, 10LL * 365 * 24 * 3600, number)) {
                problem = "span takes the seconds before now to answer for (0: since the start), not '" +
                          value.substr(0, 20) + "'.";
                return 0;
            }
            request.span_s = number;
        }
    }
    return 1;
}

std::string history_json(const FilterHistory* history, int slot, const HistoryQuery& request, std::int64_t now_ms)
{
    const std::int64_t since_ms = request.span_s > 0 ? now_ms - request.span_s * 1000 : 0;
    Json samples = Json::array();
    for (const HistorySample& s : history_samples(history, slot, since_ms, request.max_samples))
        samples.push_back({s.time_ms, rounded(s.current, 100), rounded(s.target, 100), rounded(s.wing_shift, 10),
                           rounded(s.temperature_c, 10), rounded(s.heater_power, 1), s.status_code, s.on_band,
                           s.sleeping});
    Json marks = Json::array();
    for (const HistoryMark& m : history_marks(history, slot, since_ms))
        marks.push_back({{"time_ms", m.time_ms}, {"kind", history_mark_name(m.kind)}, {"text", latin1_to_utf8(m.text)}});
    const ReadyEstimate ready = history_time_to_on_band(history, slot);
    Json answer = {{"format", HISTORY_FORMAT},
                   {"device", slot},
                   {"now_ms", now_ms},
                   {"held", history_sample_count(history, slot)},
                   {"columns", {"time_ms", "current", "target", "wing_shift", "temperature_c", "heater_power",
                                "status_code", "on_band", "sleeping"}},
                   {"samples", std::move(samples)},
                   {"marks", std::move(marks)},
                   {"ready_s", ready.known ? Json(std::lround(ready.seconds)) : Json(nullptr)},
                   {"ready_text", ready.known ? Json(ready_estimate_text(ready)) : Json(nullptr)}};
    return answer.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string history_csv_file_name(std::int64_t now_ms)
{
    const std::time_t seconds = static_cast<std::time_t>(now_ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char name[64];
    std::strftime(name, sizeof name, "solvane-history-%Y-%m-%dT%H%MZ.csv", &utc);
    return name;
}

namespace {

const char STYLE[] = R"STYLE(
.history h3 { font-size: 1em; margin: .8em 0 .3em; display: flex; justify-content: space-between; }
.history .ready { color: #9fd8a8; font-weight: bold; min-height: 1.2em; }
.history .note { color: #f3b0a8; font-size: .9em; }
.plot-title { font-size: .85em; color: #aaa; margin-top: .4em; }
/* A plot follows its box's width; the page keeps its scroll bar, so that showing the plots (which
   lengthens the page) does not narrow it under plots already drawn. */
html { overflow-y: scroll; }
.plot { position: relative; height: 150px; width: 100%; overflow: hidden; }
.marks { font-size: .8em; color: #aaa; margin-top: .3em; }
#history-span { font-size: .9em; padding: .3em; margin-left: .5em; }
)STYLE";

const char SCRIPT[] = R"SCRIPT(
'use strict';
// Each filter's history, fetched from /history/N.json every HISTORY_REFRESH_MS (and when the span
// changes) and drawn with Chart.js on a linear axis of minutes before the server's now, labelled
// with the clock time (no date adapter needed).
const HISTORY_REFRESH_MS = 10000;
const MARK_COLOURS = { 'on band': '#2f9e47', 'off band': '#e0a020', 'line lost': '#ff4d4d', 'line back': '#99aabb',
                       'command': '#6fa0ff' };
const PLOTS = [
  { name: 'temperature', title: 'Temperature (\u00b0C)',
    lines: [{ label: 'Temperature', colour: '#ff9f40', value: (s) => s[4] }] },
  // Power on its whole range, 0 to 100 %, a little room around it so that 0 shows above the frame.
  { name: 'power', title: 'Heater power (%)',
    lines: [{ label: 'Heater power', colour: '#ff6384', value: (s) => s[5] }],
    y: { min: -5, max: 105, afterBuildTicks: (axis) => { axis.ticks = [0, 25, 50, 75, 100].map((value) => ({ value })); } } },
  { name: 'passband', title: 'Passband from the line (\u00c5): current, target dashed',
    lines: [{ label: 'Current', colour: '#4bc0c0', value: (s) => s[1] - (s[2] - s[3]) },
            { label: 'Target', colour: '#d0d0d0', dashed: true, value: (s) => s[3] }] },
];
const histories = {};
let chartScript = 'loading';  // then 'ready' or 'missing'
let historySpan = 3600;

// The clock time of a sample; with seconds on an axis of a few minutes, where minutes repeat.
function clockText(ms, seconds) {
  const parts = seconds ? { hour: '2-digit', minute: '2-digit', second: '2-digit' } : { hour: '2-digit', minute: '2-digit' };
  return new Date(ms).toLocaleTimeString([], parts);
}

// Marks as dashed vertical lines across the plot, in their kind's colour.
const markPlugin = {
  id: 'marks',
  afterDatasetsDraw(chart) {
    const x = chart.scales.x, area = chart.chartArea, ctx = chart.ctx;
    ctx.save();
    ctx.setLineDash([3, 3]);
    ctx.lineWidth = 1;
    for (const m of chart.$marks || []) {
      if (m.x < x.min || m.x > x.max) continue;
      const px = x.getPixelForValue(m.x);
      ctx.strokeStyle = m.colour;
      ctx.beginPath();
      ctx.moveTo(px, area.top);
      ctx.lineTo(px, area.bottom);
      ctx.stroke();
    }
    ctx.restore();
  },
};

function loadChartScript() {
  const script = document.createElement('script');
  script.src = '/chart.js';
  script.onload = () => { chartScript = typeof Chart === 'undefined' ? 'missing' : 'ready'; refreshHistories(); };
  script.onerror = () => { chartScript = 'missing'; refreshHistories(); };
  document.head.append(script);
  const span = make('select', { id: 'history-span', 'aria-label': 'History span' });
  for (const [seconds, label] of [[900, 'last 15 min'], [3600, 'last hour'], [0, 'since start']])
    span.append(make('option', { value: String(seconds) }, label));
  span.value = String(historySpan);
  span.addEventListener('change', () => { historySpan = Number(span.value); refreshHistories(); });
  const label = make('label', {}, 'History: ');
  label.append(span);
  document.querySelector('header').append(label);
}

function historyBlock(n) {
  const h = { n, block: make('div', { class: 'history', id: 'history-' + n, hidden: '' }), canvases: {}, charts: {},
              last: -Infinity, busy: false, connected: false };
  h.ready = make('div', { class: 'ready', id: 'ready-' + n });
  h.note = make('div', { class: 'note', id: 'history-note-' + n });
  h.marks = make('div', { class: 'marks', id: 'marks-' + n });
  h.block.append(make('h3', {}, 'History'), h.ready, h.note);
  for (const plot of PLOTS) {
    const box = make('div', { class: 'plot' });
    const canvas = make('canvas', { id: 'plot-' + plot.name + '-' + n, role: 'img',
                                    'aria-label': plot.title + ', filter ' + (n + 1) });
    box.append(canvas);
    h.block.append(make('div', { class: 'plot-title' }, plot.title), box);
    h.canvases[plot.name] = canvas;
  }
  h.block.append(h.marks);
  histories[n] = h;
  return h.block;
}

// Called with every state the page reads: fetches the history when it is due.
function historyShow(f) {
  const h = histories[f.device];
  if (!h) return;
  h.connected = f.connected;
  if (performance.now() - h.last >= HISTORY_REFRESH_MS) fetchHistory(h);
}

function refreshHistories() { for (const n in histories) fetchHistory(histories[n]); }

async function fetchHistory(h) {
  if (h.busy || chartScript === 'loading') return;
  h.busy = true;
  h.last = performance.now();
  // No more samples than the plot has device pixels across.
  const width = h.canvases.temperature.clientWidth || 400;
  const max = Math.min(5000, Math.max(100, Math.round(width * (window.devicePixelRatio || 1))));
  try {
    const reply = await fetch('/history/' + h.n + '.json?max=' + max + '&span=' + historySpan, { cache: 'no-store' });
    if (reply.ok) drawHistory(h, await reply.json());
  } catch (error) {
    h.note.textContent = 'No history from the server: ' + error;
  }
  h.busy = false;
}

function drawHistory(h, d) {
  h.block.hidden = d.held === 0 && !h.connected;
  h.block.dataset.samples = d.samples.length;
  h.ready.textContent = d.ready_text ? 'On band in ' + d.ready_text : '';
  h.marks.textContent = d.marks.slice(-6).map((m) => clockText(m.time_ms) + ' ' + (m.text || m.kind)).join(' \u00b7 ');
  if (chartScript !== 'ready') {
    h.note.textContent = 'The plots need the package libjs-chart.js on the server.';
    return;
  }
  h.note.textContent = '';
  const minutes = (t) => (t - d.now_ms) / 60000;
  const marks = d.marks.map((m) => ({ x: minutes(m.time_ms), colour: MARK_COLOURS[m.kind] || '#999' }));
  for (const plot of PLOTS) {
    const datasets = plot.lines.map((line) => ({
      label: line.label, borderColor: line.colour, backgroundColor: line.colour, borderWidth: 2, pointRadius: 0,
      borderDash: line.dashed ? [6, 4] : [], data: d.samples.map((s) => ({ x: minutes(s[0]), y: line.value(s) })) }));
    let chart = h.charts[plot.name];
    if (!chart) {
      chart = new Chart(h.canvases[plot.name], {
        type: 'line', data: { datasets }, plugins: [markPlugin],
        options: {
          animation: false, responsive: true, maintainAspectRatio: false, parsing: false, normalized: true,
          interaction: { mode: 'nearest', axis: 'x', intersect: false },
          plugins: {
            legend: { display: plot.lines.length > 1, labels: { color: '#ccc', boxHeight: 2 } },
            tooltip: { callbacks: { title: (items) => items.length ? clockText(chart.$now + items[0].parsed.x * 60000, true) : '' } },
          },
          scales: {
            x: { type: 'linear', grid: { color: '#3a3d44' },
                 ticks: { color: '#aaa', maxTicksLimit: 6, callback(value) { return clockText(this.chart.$now + value * 60000, this.max - this.min < 10); } } },
            // Room above and below the data, so a curve at its extreme is not hidden by the frame.
            y: Object.assign({ grace: '8%', grid: { color: '#3a3d44' }, ticks: { color: '#aaa', maxTicksLimit: 5 } }, plot.y),
          },
        },
      });
      h.charts[plot.name] = chart;
    }
    chart.data.datasets = datasets;
    chart.$now = d.now_ms;
    chart.$marks = marks;
    // The axis starts with the data when they are younger than the span.
    const first = d.samples.length ? minutes(d.samples[0][0]) : -historySpan / 60;
    chart.options.scales.x.min = historySpan > 0 ? Math.max(-historySpan / 60, first) : first;
    chart.options.scales.x.max = 0;
    chart.update('none');
    if (hooks) exposePlot(chart, h.canvases[plot.name]);
  }
}

// Test hook: the plot's picture and where its first curve's points are, in device pixels.
function exposePlot(chart, canvas) {
  const points = chart.data.datasets[0].data;
  if (points.length === 0) return;
  const ratio = chart.currentDevicePixelRatio;
  const picks = [points[0], points[Math.floor(points.length / 2)], points[points.length - 1]];
  canvas.dataset.at = JSON.stringify(picks.map((p) => [Math.round(chart.scales.x.getPixelForValue(p.x) * ratio),
                                                      Math.round(chart.scales.y.getPixelForValue(p.y) * ratio)]));
  canvas.dataset.colour = chart.data.datasets[0].borderColor;
  canvas.dataset.png = canvas.toDataURL('image/png');
}
)SCRIPT";

}  // namespace

const char* history_page_style() { return STYLE; }
const char* history_page_script() { return SCRIPT; }

int read_chart_js(const std::string& path, std::string& bytes, std::string& problem)
{
    bytes.clear();
    // Never blocks: a FIFO opens at once and is then refused as no regular file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem = errno == ENOENT ? "The plots need Chart.js: install the package libjs-chart.js on the server (" + path +
                                        " is missing)."
                                  : "Cannot read " + path + ": " + std::strerror(errno);
        return 0;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(CHART_JS_MAX)) {
        ::close(fd);
        problem = path + " is not a regular file of at most " + std::to_string(CHART_JS_MAX / 1024) + " KiB; it is not served.";
        return 0;
    }
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    int error = 0;
    while (got < bytes.size()) {
        const ssize_t k = ::read(fd, &bytes[got], bytes.size() - got);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) error = errno;
        if (k <= 0) break;
        got += static_cast<size_t>(k);
    }
    ::close(fd);
    if (got != bytes.size()) {
        // Shorter than its size said (changed while read) or unreadable: a script cut short would not run.
        problem = "Cannot read " + path + " whole" + (error != 0 ? std::string(": ") + std::strerror(error) : "") + ".";
        bytes.clear();
        return 0;
    }
    return 1;
}
