// The filter panels: what a panel shows and how it reaches the window.
//
// Contents
//   1. Geometry
//   2. Panel content: cached background, live spectrum, text block
//   3. Layers and painting: paint_filter_panel and the cached backgrounds
//
// A panel is composed from two off-screen layers as wide as the window's client area and one
// panel high: the cached spectrum background, rebuilt only when the layout or span changes, and a
// scratch layer made for every paint, which holds the live transmission curves and the text block.
// Painting reads the slot records and the display options; it never talks to a filter.
#pragma once

#include "control/display/surface.h"
#include "link/solvane_link.h"

#include <QImage>

// ---------------------------------------------------------------------------------------------
// 1. Geometry (pixels, panel-local)
// ---------------------------------------------------------------------------------------------

constexpr int PLOT_LEFT = 32;
constexpr int PLOT_TOP = 2;
constexpr int PLOT_WIDTH = 600;
constexpr int STRIP_HEIGHT = 50;
constexpr int STRIP_GAP = 50;
constexpr int CURVE_GAP = 27;
constexpr int CURVE_HEIGHT = 65;
constexpr int TEXT_GAP = 3;

constexpr int SOLAR_TOP = PLOT_TOP + STRIP_HEIGHT + STRIP_GAP;                   // 102
constexpr int CURVE_TOP = PLOT_TOP + 2 * STRIP_HEIGHT + STRIP_GAP + CURVE_GAP + 4;  // 183
constexpr int TEXT_LEFT_FULL = PLOT_LEFT + PLOT_WIDTH + TEXT_GAP;                // 635

// The wing-shift arrows' place relative to the text block: level with "Target:".
constexpr int ARROW_OFFSET_X = 75;
constexpr int ARROW_Y = 85;
constexpr int ARROW_WIDTH = 32;
constexpr int ARROW_HEIGHT = 16;

// ---------------------------------------------------------------------------------------------
// 2. Panel content (V nominal line, E target, P current, B bandwidth, G span, all Angstrom)
// ---------------------------------------------------------------------------------------------

// Into a fresh background layer: the visible and solar strips, the zoom funnel joining them, the
// wavelength scale, the line label and the three rotated strip titles.
void draw_panel_background(DrawSurface& layer, double v, double g, const char* line_name, int units_nm);

// Into the scratch layer (Full mode): the target and current transmission curves and their
// "Target" and "Current" markers.
void draw_live_spectrum(DrawSurface& scratch, double v, double e, double p, double b, double g);

// Where the "Current" and "Target" markers stand (before they are kept inside the strip): beside
// the half-width points of their curves, on the outer sides; 5 pixels off, or 10 for "Target"
// when it stands left of a current passband that lies above it.
struct MarkerPlaces {
    double current_x;
    TextAlign current_align;
    double target_x;
    TextAlign target_align;
};
MarkerPlaces marker_places(double v, double e, double p, double b, double g);

// Into the scratch layer from left edge x0: title, nominal, target and current wavelengths, the
// wing shift, the status dot and the status text of the slot.
void draw_text_block(DrawSurface& scratch, double x0, double v, double e, double p, const char* line_name,
                     const FilterRecord& slot, int units_nm);

// The wing-shift line of the text block ("Wing shift: 0.5Å red").
QString wing_shift_text(double v, double e, int units_nm);

// The colour of the status dot: red for a fault, blue asleep, green on band, else amber.
Argb status_colour(const FilterRecord& slot);

// ---------------------------------------------------------------------------------------------
// 3. Layers and painting
// ---------------------------------------------------------------------------------------------

// The cached spectrum background of each panel and whether it holds a finished picture.
extern QImage panel_background[4];
extern int background_valid[4];

// Paints panel i completely into window, the client area's back buffer: frame and separator,
// white when unconnected, the arrow control's place (on request), then the layers. rebuild 1
// redraws the cached background (Full mode). Reads filter_slots and the application state.
void paint_filter_panel(QImage& window, int rebuild, int i);
