// The main window's panels: its entry point to the painter of panels/panel.h, with the window's
// own part of painting (the fit's clearing of the client area, the wing-shift arrows' places) and
// the panels' caches, which the window state holds. GUI thread only.
#pragma once

#include <QImage>

// Panel i into the window's back buffer: clears the whole client area first when a fit asked for
// it (clear_pending), places the slot's wing-shift arrows when asked (scrollbar_reset), then
// paint_panel with the slot's record, the window's display options and the slot's panel cache.
// rebuild 1 redraws the cached background (Full mode). Then the slot's problem line, when it
// has one (window_state().slot_problem, see control/display/slot_problem.h).
void paint_filter_panel(QImage& window, int rebuild, int i);
