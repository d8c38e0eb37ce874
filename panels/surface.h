// The drawing surface the panel painters draw on: a QPainter on a QImage, reduced to the few
// operations the panels use, with the pixel conventions they were designed for.
//
// Coordinates are pixels, x right and y down; a pixel's centre lies on integer coordinates, so a
// one-pixel line from (x, y0) to (x, y1) stays within column x. Without anti-aliasing it covers
// the pixels y0 to y1; with it, its flat ends cover half of the two end pixels. Colours carry an
// 8-bit alpha that blends onto what is there.
#pragma once

#include <QFont>
#include <QString>

#include <cstdint>

class QImage;
class QPainter;

struct Argb {
    std::uint8_t a, r, g, b;
};

constexpr Argb WHITE{255, 255, 255, 255};
constexpr Argb BLACK{255, 0, 0, 0};

struct SurfacePoint {
    double x, y;
};

enum TextAlign { ALIGN_NEAR, ALIGN_CENTER, ALIGN_FAR };

// A text's box at a point and alignment: left, top, width and height in pixels.
struct TextBox {
    double left, top, width, height;
};

struct DrawSurface {
    QPainter* painter = nullptr;
    int antialias = 0;
    TextAlign horizontal = ALIGN_CENTER;
    TextAlign vertical = ALIGN_NEAR;
};

// Begins drawing on image (which must outlive the surface until surface_end).
void surface_begin(DrawSurface& s, QImage& image);
void surface_end(DrawSurface& s);

int surface_width(const DrawSurface& s);
void surface_set_antialias(DrawSurface& s, int on);
void surface_set_text_antialias(DrawSurface& s, int on);

void surface_fill_rect(DrawSurface& s, int x, int y, int width, int height, Argb colour);
void surface_fill_ellipse(DrawSurface& s, double x, double y, double width, double height, Argb colour);
void surface_line(DrawSurface& s, double x1, double y1, double x2, double y2, Argb colour, double width = 1.0);
void surface_polyline(DrawSurface& s, const SurfacePoint* points, int count, Argb colour, double width);
// Fills with the even-odd (alternate) rule.
void surface_fill_polygon(DrawSurface& s, const SurfacePoint* points, int count, Argb colour);

// The panels' fonts: family Arial, falling back to the generic sans-serif face.
enum PanelFont { LABEL_FONT, TITLE_FONT, CAPTION_FONT, VALUE_FONT, HEADING_FONT };
QFont panel_font(PanelFont font);

// Text at a point with the surface's alignment; "\n" starts a new line, nothing is wrapped or
// clipped.
void surface_set_alignment(DrawSurface& s, TextAlign horizontal, TextAlign vertical);
TextBox surface_measure_text(DrawSurface& s, const QString& text, PanelFont font, double x, double y);
void surface_draw_text(DrawSurface& s, const QString& text, PanelFont font, double x, double y, Argb colour);

// Transformations apply to what is drawn after them, innermost first; reset returns to pixels.
void surface_rotate(DrawSurface& s, double degrees);
void surface_translate(DrawSurface& s, double dx, double dy);
void surface_reset_transform(DrawSurface& s);
