// The History window; see dialogs.h.
//
// Three plots share one time axis: the element's temperature, the heater's power and the passband
// (the passband's centre and, dashed, its target, both as their distance from the filter's line,
// so filters of different lines share one scale). Each filter keeps its colour on every plot: the
// colour of its line as the panels draw it, made readable on the palette's background, and a dash
// pattern of its own so two filters of one line stay apart. The series hold at most two points a
// pixel of the plot's width (history_samples thins a day evenly), so a redraw costs the same
// after a minute or a day. Everything here runs on the GUI thread.
#include "control/dialogs/dialogs.h"

#include "control/shell/commands.h"
#include "control/shell/shell.h"
#include "link/filter_history.h"
#include "panels/panel.h"
#include "spectral/spectral.h"

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGraphicsLineItem>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMainWindow>
#include <QMouseEvent>
#include <QPushButton>
#include <QSaveFile>
#include <QScatterSeries>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

// The ranges of the range box, in its order; 0 is since the start.
constexpr std::int64_t RANGE_MS[] = {15 * 60 * 1000, 60 * 60 * 1000, 0};
constexpr int RANGE_DEFAULT = 1;
constexpr int REDRAW_INTERVAL_MS = 1000;
constexpr int HISTORY_WIDTH = 760, HISTORY_HEIGHT = 640;

enum Plot { PLOT_TEMPERATURE, PLOT_HEATER, PLOT_PASSBAND, PLOT_COUNT };
const char* const PLOT_TITLES[PLOT_COUNT] = {"Temperature (\u00B0C)", "Heater power (%)",
                                             "Passband from the line (\u00C5), dashed: target"};
const Qt::PenStyle SLOT_DASHES[] = {Qt::SolidLine, Qt::DashLine, Qt::DotLine, Qt::DashDotLine};
static_assert(std::size(SLOT_DASHES) == SLOT_COUNT, "a dash pattern for every slot");

class HistoryWindow;

// A plot that moves the cursor of all plots with the mouse.
class PlotView : public QChartView {
  public:
    PlotView(QChart* chart, HistoryWindow* owner) : QChartView(chart), owner_(owner)
    {
        setRenderHint(QPainter::Antialiasing);
        setMouseTracking(true);
    }

  protected:
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    HistoryWindow* owner_;
};

struct PlotParts {
    QChart* chart = nullptr;
    PlotView* view = nullptr;
    QDateTimeAxis* time_axis = nullptr;
    QValueAxis* value_axis = nullptr;
    QLineSeries* series[SLOT_COUNT] = {};
    QLineSeries* target[SLOT_COUNT] = {};  // the passband plot's targets
    QScatterSeries* marks[SLOT_COUNT] = {};  // the temperature plot's marks
    QGraphicsLineItem* cursor = nullptr;
};

class HistoryWindow : public QWidget {
  public:
    explicit HistoryWindow(QWidget* owner);
    void redraw();
    void move_cursor(const QPointF& scene_point, PlotView* from);
    int range_index() const { return range_->currentIndex(); }
    QElapsedTimer since_redraw;
    PlotParts plots[PLOT_COUNT];

  private:
    QComboBox* range_ = nullptr;
    QLabel* ready_ = nullptr;
    QLabel* readout_ = nullptr;
};

bool dark_palette() { return QApplication::palette().color(QPalette::Window).lightness() < 128; }

// A filter's colour on this palette: its line's colour, lightened (on a dark background) or
// darkened until it stands out from the background at 3:1.
QColor slot_colour(int n)
{
    const FilterRecord& r = filter_slots()[n];
    const Rgb line = wavelength_to_rgb(r.center_wavelength > 0 ? r.center_wavelength : 6562.8);
    const QColor background = QApplication::palette().color(QPalette::Base);
    const QColor toward = dark_palette() ? QColor(Qt::white) : QColor(Qt::black);
    const auto argb = [](const QColor& c) {
        return Argb{255, static_cast<std::uint8_t>(c.red()), static_cast<std::uint8_t>(c.green()), static_cast<std::uint8_t>(c.blue())};
    };
    QColor colour(line.r, line.g, line.b);
    for (int step = 1; step <= 10 && contrast_ratio(argb(colour), argb(background)) < 3.0; ++step) {
        const double t = step / 10.0;
        colour = QColor::fromRgbF(static_cast<float>(line.r / 255.0 * (1 - t) + toward.redF() * t),
                                  static_cast<float>(line.g / 255.0 * (1 - t) + toward.greenF() * t),
                                  static_cast<float>(line.b / 255.0 * (1 - t) + toward.blueF() * t));
    }
    return colour;
}

QString slot_name(int n)
{
    const QString label = filter_label(n);
    return label.isEmpty() ? QStringLiteral("Filter %1").arg(n + 1) : QStringLiteral("Filter %1 (%2)").arg(n + 1).arg(label);
}

void style_chart(QChart* chart)
{
    const QPalette palette = QApplication::palette();
    chart->setBackgroundBrush(palette.color(QPalette::Base));
    chart->setPlotAreaBackgroundVisible(false);
    chart->setTitleBrush(palette.color(QPalette::Text));
    chart->legend()->setLabelColor(palette.color(QPalette::Text));
    chart->setMargins(QMargins(4, 2, 4, 2));
    for (QAbstractAxis* axis : chart->axes()) {
        axis->setLabelsColor(palette.color(QPalette::Text));
        axis->setLinePenColor(palette.color(QPalette::Mid));
        axis->setGridLineColor(palette.color(dark_palette() ? QPalette::Dark : QPalette::Midlight));
    }
}

// A plot's chart, axes and series, a line series a filter (and on the passband plot a dashed
// target, on the temperature plot the marks), with its view and its cursor.
void make_plot(PlotParts& parts, Plot p, HistoryWindow* owner)
{
    parts.chart = new QChart;
    parts.chart->setTitle(QString::fromUtf8(PLOT_TITLES[p]));
    parts.time_axis = new QDateTimeAxis;
    parts.value_axis = new QValueAxis;
    parts.chart->addAxis(parts.time_axis, Qt::AlignBottom);
    parts.chart->addAxis(parts.value_axis, Qt::AlignLeft);
    parts.chart->legend()->setVisible(p == PLOT_TEMPERATURE);
    parts.chart->legend()->setAlignment(Qt::AlignTop);
    const auto attach = [&](QXYSeries* series) {
        parts.chart->addSeries(series);
        series->attachAxis(parts.time_axis);
        series->attachAxis(parts.value_axis);
    };
    for (int n = 0; n < SLOT_COUNT; ++n) {
        parts.series[n] = new QLineSeries;
        attach(parts.series[n]);
        if (p == PLOT_PASSBAND) {
            parts.target[n] = new QLineSeries;
            attach(parts.target[n]);
        }
        if (p == PLOT_TEMPERATURE) {
            parts.marks[n] = new QScatterSeries;
            parts.marks[n]->setMarkerSize(9);
            attach(parts.marks[n]);
        }
    }
    style_chart(parts.chart);
    parts.view = new PlotView(parts.chart, owner);
    parts.view->setObjectName(QStringLiteral("history-plot-%1").arg(p));
    parts.cursor = new QGraphicsLineItem;
    parts.cursor->setPen(QPen(QApplication::palette().color(QPalette::Text), 1, Qt::DotLine));
    parts.cursor->setVisible(false);
    parts.chart->scene()->addItem(parts.cursor);
}

// A window of its own beside the main window, which owns it: it goes with the main window and
// never keeps the program running after the main window has closed.
HistoryWindow::HistoryWindow(QWidget* owner) : QWidget(owner, Qt::Window)
{
    setWindowTitle(QStringLiteral("Filter History"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    range_ = new QComboBox;
    range_->setObjectName(QStringLiteral("history-range"));
    range_->addItems({QStringLiteral("Last 15 minutes"), QStringLiteral("Last hour"), QStringLiteral("Since start")});
    range_->setCurrentIndex(RANGE_DEFAULT);
    QObject::connect(range_, &QComboBox::currentIndexChanged, [this] { redraw(); });
    auto* save = new QPushButton(QStringLiteral("&Save CSV..."));
    QObject::connect(save, &QPushButton::clicked, [this] { ask_and_save_history(this); });
    ready_ = new QLabel;
    ready_->setObjectName(QStringLiteral("history-ready"));
    top->addWidget(range_);
    top->addWidget(ready_, 1);
    top->addWidget(save);
    layout->addLayout(top);
    for (int p = 0; p < PLOT_COUNT; ++p) {
        make_plot(plots[p], static_cast<Plot>(p), this);
        layout->addWidget(plots[p].view, 1);
    }
    readout_ = new QLabel(QStringLiteral("Move the pointer over a plot to read its values."));
    readout_->setObjectName(QStringLiteral("history-readout"));
    readout_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(readout_);
    resize(HISTORY_WIDTH, HISTORY_HEIGHT);
}

// The samples of a plot: x the time, y the plot's quantity.
double plot_value(Plot plot, const HistorySample& s, const FilterRecord& r, bool target)
{
    switch (plot) {
    case PLOT_TEMPERATURE: return s.temperature_c;
    case PLOT_HEATER: return s.heater_power;
    case PLOT_PASSBAND: return (target ? s.target : s.current) - r.center_wavelength;
    default: return 0;
    }
}

// Where the plots begin: range before now, or the first sample of any filter for "since start";
// at least a minute before now.
std::int64_t plots_since(const FilterHistory* history, std::int64_t now, std::int64_t range)
{
    std::int64_t since = range > 0 ? now - range : now;
    if (range == 0)
        for (int n = 0; n < SLOT_COUNT; ++n) {
            const std::vector<HistorySample> first = history_samples(history, n, 0, 1);
            if (!first.empty()) since = std::min(since, first.front().time_ms);
        }
    return since < now ? since : now - 60 * 1000;
}

// The temperature plot's marks of filter n, each on the curve: the temperature of the last sample
// at or before it.
QList<QPointF> mark_points(const FilterHistory* history, int n, std::int64_t since, const std::vector<HistorySample>& samples)
{
    QList<QPointF> at;
    if (samples.empty()) return at;
    for (const HistoryMark& m : history_marks(history, n, since)) {
        auto after = std::upper_bound(samples.begin(), samples.end(), m.time_ms,
                                      [](std::int64_t t, const HistorySample& s) { return t < s.time_ms; });
        const HistorySample& s = after == samples.begin() ? *after : *(after - 1);
        at.append(QPointF(static_cast<qreal>(m.time_ms), s.temperature_c));
    }
    return at;
}

// Filter n's series on one plot from its samples, widening low and high to the values drawn.
void draw_filter(PlotParts& parts, Plot p, int n, const std::vector<HistorySample>& samples,
                 const QList<QPointF>& marks, double& low, double& high)
{
    const FilterRecord& r = filter_slots()[n];
    const QColor colour = slot_colour(n);
    const auto fill = [&](QLineSeries* series, bool target) {
        QList<QPointF> line;
        line.reserve(static_cast<qsizetype>(samples.size()));
        for (const HistorySample& s : samples) {
            const double y = plot_value(p, s, r, target);
            line.append(QPointF(static_cast<qreal>(s.time_ms), y));
            low = std::min(low, y);
            high = std::max(high, y);
        }
        series->replace(line);
        QPen pen(colour, 2, target ? Qt::DashLine : SLOT_DASHES[n]);
        pen.setCosmetic(true);
        series->setPen(pen);
    };
    fill(parts.series[n], false);
    parts.series[n]->setName(slot_name(n));
    if (parts.target[n] != nullptr) fill(parts.target[n], true);
    if (parts.marks[n] != nullptr) {
        parts.marks[n]->replace(marks);
        parts.marks[n]->setColor(colour);
        parts.marks[n]->setBorderColor(QApplication::palette().color(QPalette::Text));
    }
    // The legend names the filters that have samples.
    for (QLegendMarker* marker : parts.chart->legend()->markers(parts.series[n])) marker->setVisible(!samples.empty());
    for (QAbstractSeries* other : {static_cast<QAbstractSeries*>(parts.target[n]), static_cast<QAbstractSeries*>(parts.marks[n])})
        if (other != nullptr)
            for (QLegendMarker* marker : parts.chart->legend()->markers(other)) marker->setVisible(false);
}

// "Filter 1: on band in about 6 min", from its last sample and its heating trend.
QString ready_text(const FilterHistory* history, int n, const HistorySample& last)
{
    const std::string estimate = ready_estimate_text(history_time_to_on_band(history, n));
    const QString state = last.sleeping ? QStringLiteral("asleep")
                          : last.on_band ? QStringLiteral("on band")
                          : estimate.empty() ? QStringLiteral("heating")
                                             : QStringLiteral("on band in %1").arg(QString::fromStdString(estimate));
    return QStringLiteral("Filter %1: %2").arg(n + 1).arg(state);
}

// A plot's axes: the time from since to now, the values from low to high, opened to a least span
// so a flat curve does not fill the plot with noise.
void set_axes(PlotParts& parts, Plot p, std::int64_t since, std::int64_t now, bool short_range, double low, double high)
{
    parts.time_axis->setRange(QDateTime::fromMSecsSinceEpoch(since), QDateTime::fromMSecsSinceEpoch(now));
    parts.time_axis->setFormat(QStringLiteral("HH:mm"));
    parts.time_axis->setTickCount(short_range ? 4 : 5);
    if (low > high) low = 0, high = 1;
    if (high - low < (p == PLOT_PASSBAND ? 0.2 : 2)) {
        const double middle = (high + low) / 2, half = p == PLOT_PASSBAND ? 0.1 : 1;
        low = middle - half;
        high = middle + half;
    }
    parts.value_axis->setRange(low, high);
    parts.value_axis->setTickCount(5);
    parts.value_axis->applyNiceNumbers();
    parts.value_axis->setLabelFormat(p == PLOT_PASSBAND ? QStringLiteral("%.2f") : QStringLiteral("%.0f"));
}

void HistoryWindow::redraw()
{
    since_redraw.restart();
    FilterHistory* history = window_history();
    const std::int64_t now = history_now_ms();
    const std::int64_t range = RANGE_MS[range_->currentIndex()];
    const std::int64_t since = plots_since(history, now, range);
    const std::size_t points = static_cast<std::size_t>(std::max(200, 2 * plots[0].view->width()));
    QStringList ready;
    for (int p = 0; p < PLOT_COUNT; ++p) {
        double low = INFINITY, high = -INFINITY;
        for (int n = 0; n < SLOT_COUNT; ++n) {
            const std::vector<HistorySample> samples = history_samples(history, n, since, points);
            const QList<QPointF> marks = p == PLOT_TEMPERATURE ? mark_points(history, n, since, samples) : QList<QPointF>();
            draw_filter(plots[p], static_cast<Plot>(p), n, samples, marks, low, high);
            if (p == 0 && !samples.empty()) ready << ready_text(history, n, samples.back());
        }
        set_axes(plots[p], static_cast<Plot>(p), since, now, range == RANGE_MS[0], low, high);
    }
    ready_->setText(ready.isEmpty() ? QStringLiteral("No filter has been polled yet.") : ready.join(QStringLiteral(" \u00B7 ")));
}

void HistoryWindow::move_cursor(const QPointF& scene_point, PlotView* from)
{
    PlotParts* source = nullptr;
    for (PlotParts& parts : plots)
        if (parts.view == from) source = &parts;
    if (source == nullptr) return;
    const QPointF value = source->chart->mapToValue(scene_point, source->series[0]);
    const std::int64_t t = static_cast<std::int64_t>(value.x());
    for (PlotParts& parts : plots) {
        const QRectF area = parts.chart->plotArea();
        const double x = parts.chart->mapToPosition(QPointF(static_cast<qreal>(t), 0), parts.series[0]).x();
        parts.cursor->setLine(x, area.top(), x, area.bottom());
        parts.cursor->setVisible(x >= area.left() && x <= area.right());
    }
    readout_->setText(history_cursor_text(t));
}

void PlotView::mouseMoveEvent(QMouseEvent* event)
{
    owner_->move_cursor(mapToScene(event->position().toPoint()), this);
    QChartView::mouseMoveEvent(event);
}

HistoryWindow* open_window() { return static_cast<HistoryWindow*>(window_state().history_window.data()); }

}  // namespace

void show_history_window()
{
    HistoryWindow* window = open_window();
    if (window == nullptr) {
        window = new HistoryWindow(app().main_window);
        window_state().history_window = window;
    }
    window->show();
    window->raise();
    window->activateWindow();
    window->redraw();
}

void refresh_history_window(int force)
{
    HistoryWindow* window = open_window();
    if (window == nullptr || !window->isVisible()) return;
    if (force || !window->since_redraw.isValid() || window->since_redraw.elapsed() >= REDRAW_INTERVAL_MS) window->redraw();
}

QString history_cursor_text(std::int64_t time_ms)
{
    FilterHistory* history = window_history();
    QStringList lines;
    lines << QDateTime::fromMSecsSinceEpoch(time_ms).toString(QStringLiteral("HH:mm:ss"));
    // Marks count as near within a hundredth of the shown range (at least 5 s).
    const HistoryWindow* window = open_window();
    const std::int64_t range = window != nullptr && RANGE_MS[window->range_index()] > 0 ? RANGE_MS[window->range_index()] : 3600 * 1000;
    const std::int64_t near_ms = std::max<std::int64_t>(5000, range / 100);
    for (int n = 0; n < SLOT_COUNT; ++n) {
        const std::vector<HistorySample> around = history_samples(history, n, time_ms - near_ms);
        if (around.empty()) continue;
        const HistorySample* best = &around.front();
        for (const HistorySample& s : around) {
            if (std::llabs(s.time_ms - time_ms) < std::llabs(best->time_ms - time_ms)) best = &s;
            if (s.time_ms > time_ms) break;
        }
        if (std::llabs(best->time_ms - time_ms) > near_ms) continue;
        QString line = QStringLiteral("Filter %1: %2 \u00B0C, heater %3 %, passband %4 \u00C5 (target %5 \u00C5)")
                           .arg(n + 1)
                           .arg(best->temperature_c, 0, 'f', 1)
                           .arg(best->heater_power, 0, 'f', 0)
                           .arg(best->current, 0, 'f', 2)
                           .arg(best->target, 0, 'f', 2);
        QStringList marks;
        for (const HistoryMark& m : history_marks(history, n, time_ms - near_ms))
            if (m.time_ms <= time_ms + near_ms)
                marks << (m.kind == MARK_COMMAND ? QString::fromLatin1(m.text) : QString::fromUtf8(history_mark_name(m.kind)));
        if (!marks.isEmpty()) line += QStringLiteral("; ") + marks.join(QStringLiteral(", "));
        lines << line;
    }
    return lines.join(QLatin1Char('\n'));
}

int save_history_csv(const QString& path, QString& problem)
{
    // Through a temporary file beside it: an old export is never left half overwritten.
    QSaveFile file(path);
    const std::string csv = history_csv(window_history());
    if (!file.open(QIODevice::WriteOnly) || file.write(csv.data(), static_cast<qint64>(csv.size())) != static_cast<qint64>(csv.size()) ||
        !file.commit()) {
        problem = QStringLiteral("The history could not be saved as %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return 0;
    }
    return 1;
}

int ask_and_save_history(QWidget* owner)
{
    const QString suggested = QDir::current().absoluteFilePath(
        QStringLiteral("solvane-history-%1.csv").arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd"))));
    const QString path = QFileDialog::getSaveFileName(owner, QStringLiteral("Save History"), suggested,
                                                      QStringLiteral("CSV files (*.csv);;All files (*)"));
    if (path.isEmpty()) return 0;
    QString problem;
    if (save_history_csv(path, problem)) return 1;
    tell_observer(QStringLiteral("Save History"), problem);
    return 0;
}
