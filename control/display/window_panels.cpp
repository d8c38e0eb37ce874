// The main window's panels; see window_panels.h.
#include "control/display/window_panels.h"

#include "control/state/app_state.h"
#include "panels/panel.h"

#include <QScrollBar>

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
}
