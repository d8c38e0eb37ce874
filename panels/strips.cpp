// The strip renderers; see strips.h.
#include "panels/strips.h"

#include "spectral/atlas.h"
#include "spectral/spectral.h"

#include <cmath>
#include <vector>

namespace {

constexpr double CURVE_LINE_WIDTH = 3.0;

void column(DrawSurface& s, int x, int y0, int height, Rgb c)
{
    surface_line(s, x, y0, x, y0 + height - 1,
                 Argb{255, static_cast<std::uint8_t>(c.r), static_cast<std::uint8_t>(c.g), static_cast<std::uint8_t>(c.b)});
}

}  // namespace

void draw_visible_strip(DrawSurface& s, double low, double high, int x0, int y0, int width, int height)
{
    for (int i = 0; i < width; ++i) column(s, x0 + i, y0, height, wavelength_to_rgb(low + i * (high - low) / (width + 1)));
}

bool draw_solar_strip(DrawSurface& s, double center, double span, int x0, int y0, int width, int height)
{
    const AtlasWindow* window = atlas_window_for(center);
    if (window == nullptr) return false;
    const double step = span / (width + 1);
    for (int i = 0; i < width; ++i) {
        const double lambda = center + i * step - span / 2;
        const Rgb rgb = wavelength_to_rgb(lambda);
        const double m = atlas_mean_intensity(*window, lambda - step / 2, lambda + step / 2);
        column(s, x0 + i, y0, height,
               Rgb{static_cast<int>(rgb.r * m), static_cast<int>(rgb.g * m), static_cast<int>(rgb.b * m)});
    }
    return true;
}

std::vector<SurfacePoint> transmission_curve_points(double curve_center, double bandwidth, double display_center,
                                                    double span, int x0, int y0, int width, int height)
{
    std::vector<SurfacePoint> points;
    points.reserve(static_cast<size_t>(width > 0 ? width : 0) + 2);
    for (int i = 0; i < width; ++i) {
        const double lambda = i * span / (width + 1) + display_center - span / 2;
        const double t = filter_transmission(lambda, curve_center, bandwidth);
        double y = std::trunc(y0 + (1 - t) * height + 0.1);
        if (!std::isfinite(y)) y = y0 + height;  // a curve that cannot be computed lies flat
        points.push_back({static_cast<double>(x0 + i), y});
    }
    return points;
}

void draw_transmission_curve(DrawSurface& s, double curve_center, double bandwidth, double display_center,
                             double span, int x0, int y0, int width, int height, Argb line, Argb fill)
{
    if (width <= 0) return;
    std::vector<SurfacePoint> points =
        transmission_curve_points(curve_center, bandwidth, display_center, span, x0, y0, width, height);
    points.push_back({points.back().x, static_cast<double>(y0 + height)});
    points.push_back({static_cast<double>(x0), static_cast<double>(y0 + height)});
    surface_fill_polygon(s, points.data(), static_cast<int>(points.size()), fill);
    surface_polyline(s, points.data(), width, line, CURVE_LINE_WIDTH);
}
