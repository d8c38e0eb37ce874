// The main window: creation, its message handling, placement, fitting and painting.
//
// The window keeps what was drawn: panels are painted into a back buffer the size of the panel
// area, and the panel area's paint event copies that buffer to the screen. A repaint the program
// asks for paints the panels into the buffer and shows it; an exposure by the window system paints
// them again (rebuild 0) before showing it.
//
// The client area below the menu bar is a scroll area around the panel area. The panel area
// follows the client area's size as on the original platform, but never gets smaller than the
// panels up to the highest connected filter: a window made smaller than that (or a screen too
// small for it) scrolls, and the wing-shift arrows scroll with their panels. The buffer is painted
// at the screen's device pixel ratio, so the panels are as sharp as the screen allows; their
// geometry stays in logical pixels.
#include "control/shell/shell.h"

#include "control/dialogs/dialogs.h"
#include "control/display/window_panels.h"
#include "control/resources/resources.h"

#include <QApplication>
#include <QEvent>
#include <QImage>
#include <QMainWindow>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QTimerEvent>
#include <QWidget>

#include <map>

namespace {

// Placement sizes outside these bounds come from a damaged settings file, not from a window.
constexpr int PLACEMENT_SIZE_MIN = 50;
constexpr int PLACEMENT_SIZE_MAX = 20000;
constexpr int WING_BAR_X = 710, WING_BAR_Y = 84, WING_BAR_STEP = 20;


void ensure_buffer()
{
    WindowState& state = window_state();
    if (state.client == nullptr) return;
    const qreal ratio = state.client->devicePixelRatioF();
    const QSize pixels = state.client->size().expandedTo(QSize(1, 1)) * ratio;
    if (!state.buffer.isNull() && state.buffer.size() == pixels && state.buffer.devicePixelRatio() == ratio) return;
    state.buffer = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
    state.buffer.setDevicePixelRatio(ratio);
    state.buffer.fill(Qt::white);  // the class background of the client area
}

// The panels shown: up to the highest connected slot, or a higher one whose filter did not
// connect, so that its panel can say why.
int highest_shown_slot()
{
    for (int i = SLOT_COUNT - 1; i >= 0; --i)
        if (filter_slots()[i].connected || !window_state().slot_problem[i].empty()) return i;
    return -1;
}

// The client size Fit Window gives: as many panels as the highest shown slot needs.
QSize fitted_panel_size() { return panel_area_size(app().full_display, highest_shown_slot() + 1); }

QList<QRect> available_areas()
{
    QList<QRect> areas;
    for (QScreen* screen : QGuiApplication::screens()) areas << screen->availableGeometry();
    return areas;
}

void paint_all_panels(int rebuild)
{
    ensure_buffer();
    if (window_state().buffer.isNull()) return;
    for (int i = 0; i < SLOT_COUNT; ++i) paint_filter_panel(window_state().buffer, rebuild, i);
}

// The window system's frame around the main window, where it is known (not before a window
// manager has framed the window).
QMargins frame_margins(const QWidget* window)
{
    const QRect frame = window->frameGeometry(), inner = window->geometry();
    return QMargins(inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
                    frame.bottom() - inner.bottom());
}

// The saved normal geometry, kept on the screens as they are now (a monitor may have gone).
void apply_placement()
{
    const WindowPlacement& p = app().placement;
    const int width = p.right - p.left, height = p.bottom - p.top;
    if (width < PLACEMENT_SIZE_MIN || height < PLACEMENT_SIZE_MIN || width > PLACEMENT_SIZE_MAX ||
        height > PLACEMENT_SIZE_MAX)
        return;
    app().main_window->winId();  // the platform's window, whose frame some platforms know before showing it
    const QMargins frame = frame_margins(app().main_window);
    const QRect saved = QRect(p.left, p.top, width, height).marginsAdded(frame);
    app().main_window->setGeometry(place_on_screens(saved, available_areas(), 0).marginsRemoved(frame));
}

void show_with_placement()
{
    switch (app().placement.show_command) {
    case SHOW_MAXIMIZED: app().main_window->showMaximized(); break;
    case SHOW_MINIMIZED: app().main_window->showMinimized(); break;
    default: app().main_window->show(); break;
    }
}

// Fit Window; may_move 0 leaves the window's place to the window manager (a first start).
void fit(int may_move)
{
    app().clear_pending = 1;
    read_placement();
    if (app().main_window == nullptr || window_state().client == nullptr) return;
    QMainWindow* window = app().main_window;
    // The window system's frame around the window, and the menu bar above the client area.
    const QMargins decoration = frame_margins(window);
    const QSize menu = window->size() - window_state().client_area->size();
    if (window->isMaximized() || window->isMinimized()) window->showNormal();
    update_panel_area();
    const QPoint corner = QPoint(app().placement.left, app().placement.top) - QPoint(decoration.left(), decoration.top());
    const QSize around = menu + QSize(decoration.left() + decoration.right(), decoration.top() + decoration.bottom());
    QSize wanted = fitted_panel_size() + around;
    // On a screen too small for the panels the client area scrolls: room for the scroll bar
    // across the direction that is cut, so the other direction is not cut by it too.
    const int bar = window->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, window);
    const QList<QRect> areas = available_areas();
    QRect fitted = place_on_screens(QRect(corner, wanted), areas, may_move);
    if (fitted.height() < wanted.height()) wanted.rwidth() += bar;
    if (fitted.width() < wanted.width()) wanted.rheight() += bar;
    fitted = place_on_screens(QRect(corner, wanted), areas, may_move);
    const QRect placed = fitted.marginsRemoved(decoration);
    if (fitted.topLeft() == corner)
        window->resize(placed.size());
    else
        window->setGeometry(placed);
    // A changed size rebuilds the panels from the resize; this repaint serves a window whose size
    // stayed, and clears the client area as fit_window promises.
    repaint_panels(0);
}

// A window manager frames the window only as it maps it (X11): once the window shows, a restored
// window whose frame (a title bar, say) now reaches off the screen is brought back onto it.

void keep_frame_on_screen()
{
    QMainWindow* window = app().main_window;
    if (window == nullptr || window->windowState() != Qt::WindowNoState) return;
    const QRect outer = window->frameGeometry();
    const QRect placed = place_on_screens(outer, available_areas(), 0);
    if (placed != outer) window->setGeometry(placed.marginsRemoved(frame_margins(window)));
}

// The main window's message handling, as one function over the event kinds it cares about.
struct WindowProcedure : QObject {
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == app().main_window) {
            switch (event->type()) {
            case QEvent::Move:
                read_placement();
                break;
            case QEvent::Show:
                if (app().fit_after_show) {
                    app().fit_after_show = 0;
                    fit(0);  // a first start: the window manager places the window
                }
                break;
            case QEvent::Timer:
                for (const auto& [id, timer] : window_state().armed_timers)
                    if (timer.qt_id == static_cast<QTimerEvent*>(event)->timerId()) {
                        on_timer(id);
                        return true;
                    }
                break;
            default:
                break;
            }
        } else if (watched == window_state().client) {
            if (event->type() == QEvent::Resize) {
                read_placement();
                window_state().buffer = QImage();
                repaint_panels(1);
            } else if (event->type() == QEvent::Paint) {
                if (window_state().frame_check_pending) {
                    window_state().frame_check_pending = false;
                    QTimer::singleShot(0, keep_frame_on_screen);  // not while painting
                }
                read_placement();
                if (!window_state().buffer_current) paint_all_panels(0);
                window_state().buffer_current = false;
                QPainter painter(window_state().client);
                painter.drawImage(0, 0, window_state().buffer);
                return true;
            }
        }
        return false;
    }
};


}  // namespace

QImage& client_buffer()
{
    ensure_buffer();
    return window_state().buffer;
}

QWidget* client_widget() { return window_state().client; }

void fit_window() { fit(1); }

QRect place_on_screens(const QRect& window, const QList<QRect>& areas, int inside)
{
    if (areas.isEmpty() || window.isEmpty()) return window;
    // The area holding most of the window; for a window on none, the nearest one.
    int chosen = -1;
    long long most = 0, nearest = -1;
    for (int k = 0; k < areas.size(); ++k) {
        const QRect common = areas[k].intersected(window);
        const long long overlap = static_cast<long long>(common.width()) * common.height();
        if (overlap > most) {
            most = overlap;
            chosen = k;
        }
    }
    const bool off_screen = chosen < 0;
    for (int k = 0; off_screen && k < areas.size(); ++k) {
        const QPoint c = window.center();
        const long long dx = std::max({areas[k].left() - c.x(), 0, c.x() - areas[k].right()});
        const long long dy = std::max({areas[k].top() - c.y(), 0, c.y() - areas[k].bottom()});
        if (nearest < 0 || dx * dx + dy * dy < nearest) {
            nearest = dx * dx + dy * dy;
            chosen = k;
        }
    }
    const QRect& area = areas[chosen];
    QRect placed(window.topLeft(), window.size().boundedTo(area.size()));
    // A window cut to the area's size is moved within it too: its far edge would be off screen.
    if (off_screen || inside || placed.size() != window.size()) {
        if (placed.right() > area.right()) placed.moveRight(area.right());
        if (placed.bottom() > area.bottom()) placed.moveBottom(area.bottom());
        if (placed.left() < area.left()) placed.moveLeft(area.left());
        if (placed.top() < area.top()) placed.moveTop(area.top());
    }
    return placed;
}

void update_panel_area()
{
    if (window_state().client != nullptr) window_state().client->setMinimumSize(fitted_panel_size());
}

int highest_connected_slot()
{
    for (int i = SLOT_COUNT - 1; i >= 0; --i)
        if (filter_slots()[i].connected) return i;
    return -1;
}

void read_placement()
{
    if (app().main_window == nullptr) return;
    WindowPlacement& p = app().placement;
    p.length = PLACEMENT_BYTES;
    p.flags = 0;
    p.show_command = app().main_window->isMinimized() ? SHOW_MINIMIZED
                     : app().main_window->isMaximized() ? SHOW_MAXIMIZED
                                                      : SHOW_NORMAL;
    p.min_x = p.min_y = p.max_x = p.max_y = -1;
    QRect normal = app().main_window->normalGeometry();
    if (!normal.isValid()) normal = app().main_window->geometry();
    p.left = normal.x();
    p.top = normal.y();
    p.right = normal.x() + normal.width();
    p.bottom = normal.y() + normal.height();
    app().placement_valid = 1;
}

void repaint_panels(int rebuild)
{
    if (window_state().client == nullptr) return;
    paint_all_panels(rebuild);
    window_state().buffer_current = true;
    window_state().client->update();
}

void refresh_panels() { repaint_panels(0); }

void arm_timer(int timer_id, int period_ms)
{
    if (app().main_window == nullptr) return;
    auto found = window_state().armed_timers.find(timer_id);
    if (found != window_state().armed_timers.end() && found->second.qt_id != 0)
        app().main_window->killTimer(found->second.qt_id);
    window_state().armed_timers[timer_id] = ArmedTimer{app().main_window->startTimer(period_ms, Qt::PreciseTimer), period_ms};
}

int timer_period(int timer_id)
{
    auto found = window_state().armed_timers.find(timer_id);
    return found == window_state().armed_timers.end() ? 0 : found->second.period_ms;
}

int create_main_window()
{
    auto* window = new QMainWindow;
    window->setWindowTitle(QString::fromUtf8(WINDOW_TITLE));
    window->setWindowIcon(program_icon());
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    build_main_menu(window);
    window_state().client_area = new QScrollArea(window);
    window_state().client_area->setFrameShape(QFrame::NoFrame);
    window_state().client_area->setWidgetResizable(true);  // the panel area follows it, down to the panels' size
    window_state().client = new QWidget;
    window_state().client->setAttribute(Qt::WA_OpaquePaintEvent);
    window_state().client->setAttribute(Qt::WA_NoSystemBackground);
    window_state().client_area->setWidget(window_state().client);
    window->setCentralWidget(window_state().client_area);
    window->resize(INITIAL_CLIENT_WIDTH, INITIAL_CLIENT_HEIGHT + window->menuBar()->sizeHint().height());
    window_state().window_procedure = new WindowProcedure;
    window_state().window_procedure->setParent(window);  // goes with its window
    window->installEventFilter(window_state().window_procedure);
    window_state().client->installEventFilter(window_state().window_procedure);

    // A placement read from the settings file is applied; without one (a first start) the window
    // manager places the window.
    const bool placement_read = app().placement_valid != 0;

    // The create handling runs before the window is known to the rest of the program.
    if (app().open_connections_at_start) {
        open_connections(nullptr);
        // The window shows once the chosen filters have answered, fitted to them.
        wait_for_slot_jobs();
        app().open_connections_at_start = 0;
        app().fit_after_show = 1;
    }
    app().main_window = window;
    window_state().armed_timers.clear();  // timers of an earlier window went with it
    arm_timer(UPDATE_TIMER_ID, UPDATE_INTERVALS_MS[app().update_interval_index]);
    if (!app().placement_valid) read_placement();

    for (int i = 0; i < SLOT_COUNT; ++i) {
        auto* bar = new QScrollBar(Qt::Horizontal, window_state().client);
        bar->setGeometry(WING_BAR_X, WING_BAR_Y + WING_BAR_STEP * i, 32, 16);
        bar->setToolTip(QStringLiteral("Wing Shift"));
        // The bar is used for its two arrows only; a wide range keeps both enabled.
        bar->setRange(-1000, 1000);
        bar->setValue(0);
        connect_wing_shift_bar(bar);
        bar->hide();
        app().wing_shift_bar[i] = bar;
    }

    update_panel_area();
    if (placement_read) apply_placement();
    window_state().frame_check_pending = placement_read;
    if (termination_signal_arrived()) return 1;  // ended during the connections dialog: never shown
    show_with_placement();
    repaint_panels(0);
    return 1;
}
