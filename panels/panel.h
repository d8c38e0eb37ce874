// The filter panels: what a panel shows and how it is painted into a window of panels.
//
// Contents
//   1. Geometry
//   2. Panel content: cached background, live spectrum, text block
//   3. Layers and painting: paint_panel and the cached backgrounds
//
// A panel is composed from two off-screen layers as wide as the window's client area and one
// panel high: the cached spectrum background, rebuilt only when the layout or span changes, and a
// scratch layer made for every paint, which holds the live transmission curves and the text block.
// The painters take what they paint (a record, the display options, the panel's cache) and read
// no program state; the window keeps its caches and its wing-shift arrows itself. Painting never
// talks to a filter. QtGui only: the window, the Alpaca server and solvane-render-panel share it.
#pragma once

#include "panels/surface.h"
#include "link/solvane_link.h"

#include <QImage>
#include <QRect>

// ---------------------------------------------------------------------------------------------
// 1. Geometry (pixels, panel-local)
// ---------------------------------------------------------------------------------------------

// A Full panel spans the client width Fit Window gives and stands one above the other; Simple
// panels stand side by side.
constexpr int PANEL_HEIGHT_FULL = 258;
constexpr int PANEL_WIDTH_FULL = 797;
constexpr int PANEL_WIDTH_SIMPLE = 170;

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

// The window's display modes, by the number solvane.ini stores (its full_display value).
enum PanelMode { PANEL_SIMPLE, PANEL_FULL, PANEL_MODE_COUNT };

// How a mode lays out and paints its panels. A new mode is a row here and its menu item.
struct PanelModeRow {
    PanelMode mode;
    int panel_width;    // one panel, logical pixels (PANEL_HEIGHT_FULL high)
    int stacked;        // 1: one below another, as wide as the window; 0: side by side
    int live_spectrum;  // 1: the spectrum strips and transmission curves beside the text block
};

// The row of a stored mode number; any number without a row of its own is Full, as solvane.ini
// has always read it (0 Simple, anything else Full).
const PanelModeRow& panel_mode_row(int mode);

// The client area Fit Window gives count panels (at least one) in the mode: Full 797 x (n x 258),
// Simple (n x 170 - 1) x 258, one Simple panel 276 high.
QSize panel_area_size(int mode, int count);

// Where panel i's wing-shift arrows stand in a window of panels (logical pixels).
QRect wing_shift_arrow_place(int i, int mode);

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

// The title row of the text block: the bandwidth with the unit-sign rule of the menu label
// (bandwidth_with_unit), then " Solvane " and the edition ("0.7A Solvane PRO", "0.5Å Solvane LTD").
QString panel_title_text(const FilterRecord& slot);

// The wing-shift line of the text block ("Wing shift: 0.5Å red").
QString wing_shift_text(double v, double e, int units_nm);

// The contrast of two opaque colours, 1 to 21 (the relative-luminance ratio of WCAG 2).
double contrast_ratio(Argb a, Argb b);

// A label's colour as it is drawn on a light background: colour blended onto background at its
// alpha, then darkened with every channel scaled alike (hue and saturation kept) until its
// contrast with the background is at least 3:1. Opaque. A colour that already reaches 3:1 is
// only blended.
constexpr double LABEL_CONTRAST_MIN = 3.0;
Argb readable_label_colour(Argb colour, Argb background);

// The colour of the status dot: red for a fault, blue asleep, green on band, else amber.
Argb status_colour(const FilterRecord& slot);

// ---------------------------------------------------------------------------------------------
// 3. Layers and painting
// ---------------------------------------------------------------------------------------------

// What a panel is painted with besides its record: the window's display options.
struct PanelOptions {
    int mode = PANEL_FULL;  // a PanelMode, as solvane.ini stores it
    int units_nm = 0;
};

// A panel's cached spectrum background (Full mode) and whether it holds a finished picture.
struct PanelCache {
    QImage background;
    int valid = 0;
};

// Paints panel i of a window of panels completely into window: frame and separator, white when
// the slot is not connected, then the layers. rebuild 1 redraws the cached background (Full mode).
void paint_panel(QImage& window, int rebuild, int i, const FilterRecord& slot, const PanelOptions& options,
                 PanelCache& cache);

// One filter's panel on its own, as the main window shows Filter 1: 797 x 258 pixels in Full
// mode, 170 x 258 in Simple mode. For pictures without a window (solvane-render-panel, the web page
// of the Alpaca server). ratio draws it in finer pixels for a screen of that device pixel ratio
// (the same panel, ratio times as many pixels each way). The caller loads the solar atlas first.
QImage render_panel_image(const FilterRecord& slot, int mode, int units_nm, int ratio = 1);
