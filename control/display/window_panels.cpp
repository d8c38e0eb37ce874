// The main window's panels; see window_panels.h.
#include "control/display/window_panels.h"

#include "control/state/app_state.h"
#include "panels/panel.h"

#include <QPainter>
#include <QScrollBar>

namespace {

constexpr QRgb PROBLEM_COLOUR = 0xFFB00000;  // dark red: 6.9:1 on white
constexpr int PROBLEM_MARGIN = 10;

// The slot's problem line over what paint_panel drew: in the empty panel of a filter that did not
// connect (at its top; wrapped in a narrow Simple panel), or, for a connected filter that stopped
// answering, in a white box at the top of its transmission strip (Full mode; a Simple panel has
// no room beside its text, its menu item's tooltip still says it). Nothing else of the panel
// changes.
void paint_slot_problem(QImage& window, int i, const FilterRecord& slot, int full_display, const std::string& problem)
{
    if (problem.empty() || (slot.connected && !full_display)) return;
    const QString text = QString::fromStdString(problem);
    QPainter p(&window);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setFont(panel_font(CAPTION_FONT));
    p.setPen(QColor::fromRgba(PROBLEM_COLOUR));
    const int width = qRound(window.width() / window.devicePixelRatio());
    const int height = qRound(window.height() / window.devicePixelRatio());
    if (slot.connected) {
        QRect box = p.fontMetrics().boundingRect(text).adjusted(-4, -2, 4, 2);
        box.moveTopLeft(QPoint(PLOT_LEFT + 4, i * PANEL_HEIGHT_FULL + CURVE_TOP + 2));
        p.fillRect(box, Qt::white);
        p.drawText(box, Qt::AlignCenter, text);
    } else if (full_display) {
        p.drawText(QRect(PROBLEM_MARGIN, i * PANEL_HEIGHT_FULL + PROBLEM_MARGIN, width - 2 * PROBLEM_MARGIN,
                         PANEL_HEIGHT_FULL - 2 * PROBLEM_MARGIN),
                   Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
    } else {
        p.drawText(QRect(i * PANEL_WIDTH_SIMPLE + PROBLEM_MARGIN, PROBLEM_MARGIN, PANEL_WIDTH_SIMPLE - 2 * PROBLEM_MARGIN,
                         height - 2 * PROBLEM_MARGIN),
                   Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text);
    }
}

}  // namespace

void paint_filter_panel(QImage& window, int rebuild, int i)
{
    WindowState& state = window_state();
    AppState& a = state.app;
    if (a.clear_pending) {
        window.fill(Qt::white);
        a.clear_pending = 0;
    }
    if (a.scrollbar_reset[static_cast<size_t>(i)] && a.wing_shift_bar[i] != nullptr) {
        QScrollBar* bar = a.wing_shift_bar[i];
        bar->setGeometry(wing_shift_arrow_place(i, a.full_display));
        bar->setVisible(state.filter_slots[i].connected != 0);
        a.scrollbar_reset[static_cast<size_t>(i)] = 0;
    }
    paint_panel(window, rebuild, i, state.filter_slots[i], PanelOptions{a.full_display, a.units_nm}, state.panel_cache[i]);
    paint_slot_problem(window, i, state.filter_slots[i], a.full_display, state.slot_problem[i]);
}
