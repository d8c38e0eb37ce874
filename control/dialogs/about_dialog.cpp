// The About box and the start-up notice, which share one simple way of ending: OK (1) or
// Cancel/Escape (2).
//
// The start-up notice is a window of its own, with a task-bar entry and a sizing border but no
// title bar. Window managers draw a border only together with a title, so the notice is
// frameless to them and draws its border itself; a press on that border hands the resize to the
// window manager.
#include "control/dialogs/dialog_common.h"
#include "control/dialogs/dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <qdrawutil.h>

namespace {

constexpr int SIZING_BORDER = 4;  // pixels: a raised frame and the face inside it

// The edges of the window whose sizing border holds the point.
Qt::Edges border_edges(const QWidget* window, QPoint at)
{
    Qt::Edges edges;
    if (at.x() < SIZING_BORDER) edges |= Qt::LeftEdge;
    if (at.x() >= window->width() - SIZING_BORDER) edges |= Qt::RightEdge;
    if (at.y() < SIZING_BORDER) edges |= Qt::TopEdge;
    if (at.y() >= window->height() - SIZING_BORDER) edges |= Qt::BottomEdge;
    return edges;
}

Qt::CursorShape sizing_cursor(Qt::Edges edges)
{
    const bool left_right = edges & (Qt::LeftEdge | Qt::RightEdge), top_bottom = edges & (Qt::TopEdge | Qt::BottomEdge);
    if (left_right && top_bottom)
        return (edges == (Qt::LeftEdge | Qt::TopEdge) || edges == (Qt::RightEdge | Qt::BottomEdge)) ? Qt::SizeFDiagCursor
                                                                                                    : Qt::SizeBDiagCursor;
    return left_right ? Qt::SizeHorCursor : top_bottom ? Qt::SizeVerCursor : Qt::ArrowCursor;
}

struct SizingBorder : QObject {
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* window = static_cast<QWidget*>(watched);
        switch (event->type()) {
        case QEvent::Paint: {
            QPainter painter(window);
            qDrawWinPanel(&painter, window->rect(), window->palette(), false);
            return true;
        }
        case QEvent::MouseMove:
            window->setCursor(sizing_cursor(border_edges(window, static_cast<QMouseEvent*>(event)->position().toPoint())));
            return false;
        case QEvent::MouseButtonPress: {
            const Qt::Edges edges = border_edges(window, static_cast<QMouseEvent*>(event)->position().toPoint());
            if (edges && window->windowHandle() != nullptr) window->windowHandle()->startSystemResize(edges);
            return false;
        }
        default:
            return false;
        }
    }
};

QLabel* add_text(QDialog* dialog, const QString& text, int x, int y, int width, int height, bool wrap = false)
{
    auto* label = new QLabel(text, dialog);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(wrap);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(label, x, y, width, height);
    return label;
}

void add_icon(QDialog* dialog, int x, int y, int width, int height)
{
    auto* icon = new QLabel(dialog);
    place(icon, x, y, width, height);
    icon->setPixmap(program_icon().pixmap(icon->size()));
}

}  // namespace

int run_about_dialog(QWidget* owner)
{
    QDialog dialog(owner);
    dialog.setWindowTitle(QStringLiteral("About"));
    dialog.setFont(dialog_font("MS Sans Serif", 8));
    add_icon(&dialog, 14, 9, 20, 20);
    add_text(&dialog, QStringLiteral("Velmora Solvane Control v1.0"), 49, 10, 126, 8);
    add_text(&dialog, QStringLiteral("Filter monitor and control for Linux"), 49, 20, 130, 9);
    add_text(&dialog, QStringLiteral("Solar spectrum: NSO/Kitt Peak FTS data\nproduced by NSF/NOAO."), 49, 39, 132, 20);
    add_text(&dialog,
             QStringLiteral("Please contact Velmora Filters for all bug reports, feature requests, or comments "
                            "about this software."),
             49, 63, 160, 20, true);
    auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    place(ok, 186, 6, 39, 15);
    QObject::connect(ok, &QPushButton::clicked, &dialog, [&dialog] { dialog.done(1); });
    fit_dialog(&dialog, 230, 92);
    return dialog.exec() == 1 ? 1 : 2;
}

void show_startup_notice()
{
    QDialog*& notice = window_state().notice;
    // A plain window (not a dialog, which task bars leave out), named in the task bar by its text.
    notice = new QDialog(nullptr, Qt::Window | Qt::FramelessWindowHint);
    notice->setWindowTitle(QStringLiteral("Loading, please wait..."));
    notice->setWindowIcon(program_icon());
    notice->setFont(dialog_font("Microsoft Sans Serif", 12));
    add_text(notice, QStringLiteral("Loading, please wait..."), 31, 12, 74, 8);
    add_icon(notice, 12, 9, 13, 13);
    fit_dialog(notice, 114, 34);
    // The template's client area inside the border; the border lets it grow, never shrink.
    for (QWidget* control : notice->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        control->move(control->pos() + QPoint(SIZING_BORDER, SIZING_BORDER));
    const QSize framed = notice->size() + QSize(2 * SIZING_BORDER, 2 * SIZING_BORDER);
    notice->setMinimumSize(framed);
    notice->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    notice->resize(framed);
    notice->setMouseTracking(true);
    auto* border = new SizingBorder;
    border->setParent(notice);
    notice->installEventFilter(border);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        notice->move(screen->geometry().center() - notice->rect().center());
    notice->show();
    notice->raise();
    notice->activateWindow();
    // Painted now: the loading that follows keeps the event loop busy for a while.
    QApplication::processEvents();
}

void destroy_startup_notice()
{
    QDialog*& notice = window_state().notice;
    delete notice;  // its border's filter goes with it: a child of the notice
    notice = nullptr;
}
