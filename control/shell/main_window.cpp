// The main window: creation, its message handling, placement, fitting and painting.
//
// The window keeps what was drawn: panels are painted into a back buffer the size of the client
// area, and the client widget's paint event copies that buffer to the screen. A repaint the
// program asks for paints the panels into the buffer and shows it; an exposure by the window
// system paints them again (rebuild 0) before showing it.
#include "control/shell/shell.h"

#include "control/dialogs/dialogs.h"
#include "control/display/panel.h"
#include "control/resources/resources.h"

#include <QApplication>
#include <QEvent>
#include <QImage>
#include <QMainWindow>
#include <QMenuBar>
#include <QPainter>
#include <QScrollBar>
#include <QTimerEvent>
#include <QWidget>

#include <map>

namespace {

// Placement sizes outside these bounds come from a damaged settings file, not from a window.
constexpr int PLACEMENT_SIZE_MIN = 50;
constexpr int PLACEMENT_SIZE_MAX = 20000;
constexpr int WING_BAR_X = 710, WING_BAR_Y = 84, WING_BAR_STEP = 20;

QWidget* client = nullptr;
QImage buffer;
bool buffer_current = false;

struct ArmedTimer {
    int qt_id;
    int period_ms;
};
std::map<int, ArmedTimer> armed_timers;  // by the program's timer identifier

void ensure_buffer()
{
    if (client == nullptr) return;
    if (buffer.size() == client->size() && !buffer.isNull()) return;
    buffer = QImage(client->size().expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
    buffer.fill(Qt::white);  // the class background of the client area
}

void paint_all_panels(int rebuild)
{
    ensure_buffer();
    if (buffer.isNull()) return;
    for (int i = 0; i < SLOT_COUNT; ++i) paint_filter_panel(buffer, rebuild, i);
}

void apply_placement()
{
    const WindowPlacement& p = app.placement;
    const int width = p.right - p.left, height = p.bottom - p.top;
    if (width >= PLACEMENT_SIZE_MIN && height >= PLACEMENT_SIZE_MIN && width <= PLACEMENT_SIZE_MAX &&
        height <= PLACEMENT_SIZE_MAX)
        app.main_window->setGeometry(p.left, p.top, width, height);
}

void show_with_placement()
{
    switch (app.placement.show_command) {
    case SHOW_MAXIMIZED: app.main_window->showMaximized(); break;
    case SHOW_MINIMIZED: app.main_window->showMinimized(); break;
    default: app.main_window->show(); break;
    }
}

// The main window's message handling, as one function over the event kinds it cares about.
struct WindowProcedure : QObject {
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == app.main_window) {
            switch (event->type()) {
            case QEvent::Move:
                read_placement();
                break;
            case QEvent::Show:
                if (app.fit_after_show) {
                    app.fit_after_show = 0;
                    fit_window();
                }
                break;
            case QEvent::Timer:
                for (const auto& [id, timer] : armed_timers)
                    if (timer.qt_id == static_cast<QTimerEvent*>(event)->timerId()) {
                        on_timer(id);
                        return true;
                    }
                break;
            default:
                break;
            }
        } else if (watched == client) {
            if (event->type() == QEvent::Resize) {
                read_placement();
                buffer = QImage();
                repaint_panels(1);
            } else if (event->type() == QEvent::Paint) {
                read_placement();
                if (!buffer_current) paint_all_panels(0);
                buffer_current = false;
                QPainter painter(client);
                painter.drawImage(0, 0, buffer);
                return true;
            }
        }
        return false;
    }
};

WindowProcedure* window_procedure = nullptr;

}  // namespace

QImage& client_buffer()
{
    ensure_buffer();
    return buffer;
}

QWidget* client_widget() { return client; }

int highest_connected_slot()
{
    for (int i = SLOT_COUNT - 1; i >= 0; --i)
        if (filter_slots[i].connected) return i;
    return -1;
}

void read_placement()
{
    if (app.main_window == nullptr) return;
    WindowPlacement& p = app.placement;
    p.length = PLACEMENT_BYTES;
    p.flags = 0;
    p.show_command = app.main_window->isMinimized() ? SHOW_MINIMIZED
                     : app.main_window->isMaximized() ? SHOW_MAXIMIZED
                                                      : SHOW_NORMAL;
    p.min_x = p.min_y = p.max_x = p.max_y = -1;
    QRect normal = app.main_window->normalGeometry();
    if (!normal.isValid()) normal = app.main_window->geometry();
    p.left = normal.x();
    p.top = normal.y();
    p.right = normal.x() + normal.width();
    p.bottom = normal.y() + normal.height();
    app.placement_valid = 1;
}

void fit_window()
{
    const int n = std::max(1, highest_connected_slot() + 1);
    app.clear_pending = 1;
    read_placement();
    if (app.main_window == nullptr || client == nullptr) return;
    QSize wanted = app.full_display ? QSize(PANEL_WIDTH_FULL, n * PANEL_HEIGHT_FULL)
                                    : QSize(n * PANEL_WIDTH_SIMPLE - 1, n == 1 ? 276 : PANEL_HEIGHT_FULL);
    if (app.main_window->isMaximized() || app.main_window->isMinimized()) app.main_window->showNormal();
    const QSize frame = app.main_window->size() - client->size();  // the menu bar above the panels
    app.main_window->setGeometry(QRect(QPoint(app.placement.left, app.placement.top), wanted + frame));
    // A changed size rebuilds the panels from the resize; this repaint serves a window whose size
    // stayed, and clears the client area as fit_window promises.
    repaint_panels(0);
}

void repaint_panels(int rebuild)
{
    if (client == nullptr) return;
    paint_all_panels(rebuild);
    buffer_current = true;
    client->update();
}

void refresh_panels() { repaint_panels(0); }

void arm_timer(int timer_id, int period_ms)
{
    if (app.main_window == nullptr) return;
    auto found = armed_timers.find(timer_id);
    if (found != armed_timers.end()) app.main_window->killTimer(found->second.qt_id);
    armed_timers[timer_id] = ArmedTimer{app.main_window->startTimer(period_ms, Qt::PreciseTimer), period_ms};
}

int timer_period(int timer_id)
{
    auto found = armed_timers.find(timer_id);
    return found == armed_timers.end() ? 0 : found->second.period_ms;
}

int create_main_window()
{
    armed_timers.clear();  // timers of an earlier window (tests make several) are gone with it
    auto* window = new QMainWindow;
    window->setWindowTitle(QString::fromUtf8(WINDOW_TITLE));
    window->setWindowIcon(program_icon());
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    build_main_menu(window);
    client = new QWidget(window);
    // Painting asked for after the window is gone (a filter's result arriving late) finds no client.
    QObject::connect(window, &QObject::destroyed, [] {
        client = nullptr;
        buffer = QImage();
    });
    client->setAttribute(Qt::WA_OpaquePaintEvent);
    client->setAttribute(Qt::WA_NoSystemBackground);
    window->setCentralWidget(client);
    window->resize(INITIAL_CLIENT_WIDTH, INITIAL_CLIENT_HEIGHT + window->menuBar()->sizeHint().height());
    window_procedure = new WindowProcedure;
    window->installEventFilter(window_procedure);
    client->installEventFilter(window_procedure);

    // The create handling runs before the window is known to the rest of the program.
    if (app.open_connections_at_start) {
        open_connections(nullptr);
        // The window shows once the chosen filters have answered, fitted to them.
        wait_for_slot_jobs();
        app.open_connections_at_start = 0;
        app.fit_after_show = 1;
    }
    app.main_window = window;
    arm_timer(UPDATE_TIMER_ID, UPDATE_PERIODS_MS[app.update_interval_index]);
    if (!app.placement_valid) read_placement();

    for (int i = 0; i < SLOT_COUNT; ++i) {
        auto* bar = new QScrollBar(Qt::Horizontal, client);
        bar->setGeometry(WING_BAR_X, WING_BAR_Y + WING_BAR_STEP * i, 32, 16);
        bar->setToolTip(QStringLiteral("Wing Shift"));
        // The bar is used for its two arrows only; a wide range keeps both enabled.
        bar->setRange(-1000, 1000);
        bar->setValue(0);
        connect_wing_shift_bar(bar);
        bar->hide();
        app.wing_shift_bar[i] = bar;
    }

    apply_placement();
    if (termination_signal_arrived()) return 1;  // ended during the connections dialog: never shown
    show_with_placement();
    repaint_panels(0);
    return 1;
}
