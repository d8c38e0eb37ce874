// The three pictorial strips of a panel, drawn into a pixel rectangle of a surface. Column i of a
// strip is pixel column x0 + i. The strips divide their wavelength range by width + 1, so the last
// column lies one step short of the range's end. All wavelengths and spans are in Angstrom.
#pragma once

#include "panels/surface.h"

// The visible spectrum from low to high, one opaque one-pixel line a column.
void draw_visible_strip(DrawSurface& s, double low, double high, int x0, int y0, int width, int height);

// The solar spectrum over center +- span / 2: each column's colour darkened by the atlas's mean
// intensity there. Returns false, drawing nothing, when no atlas window covers center.
bool draw_solar_strip(DrawSurface& s, double center, double span, int x0, int y0, int width, int height);

#include <vector>

// The curve's points, one a column: (x0 + i, trunc(y0 + (1 - T) x height + 0.1)), so T = 1 lies on
// row y0 and T = 0 on row y0 + height.
std::vector<SurfacePoint> transmission_curve_points(double curve_center, double bandwidth, double display_center,
                                                    double span, int x0, int y0, int width, int height);

// The transmission curve of a filter centred at curve_center with the given bandwidth, over
// display_center +- span / 2: the area under it filled first, then a 3-pixel line on top.
// T = 1 reaches row y0, T = 0 row y0 + height.
void draw_transmission_curve(DrawSurface& s, double curve_center, double bandwidth, double display_center,
                             double span, int x0, int y0, int width, int height, Argb line, Argb fill);
