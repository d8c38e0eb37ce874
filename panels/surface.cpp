// The drawing surface; see surface.h.
//
// QPainter puts pixel centres at half-integer coordinates: an anti-aliased one-pixel line at x = 32
// would smear across columns 31 and 32. The panels are laid out with centres on integers, so while
// anti-aliasing is on everything is drawn half a pixel further right and down. Aliased drawing at
// one device pixel a pixel already fills the pixel right of and below a point and needs no
// offset; on an image of a higher device pixel ratio a logical pixel is several device pixels, and
// an aliased line covers exactly its logical pixels only when drawn through their centres too.
#include "panels/surface.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <vector>

namespace {

constexpr double PIXEL_CENTRE = 0.5;

QColor colour_of(Argb c) { return QColor(c.r, c.g, c.b, c.a); }

// The device transform below the panel's own transform: the half-pixel offset when smoothing.
bool needs_offset(const DrawSurface& s) { return s.antialias || s.painter->device()->devicePixelRatio() != 1; }

void apply_offset(DrawSurface& s, const QTransform& user)
{
    QTransform offset;
    if (needs_offset(s)) offset.translate(PIXEL_CENTRE, PIXEL_CENTRE);
    s.painter->setWorldTransform(user * offset);
}

QTransform user_transform(DrawSurface& s)
{
    QTransform world = s.painter->worldTransform();
    if (needs_offset(s)) {
        QTransform back;
        back.translate(-PIXEL_CENTRE, -PIXEL_CENTRE);
        world = world * back;
    }
    return world;
}

QPen line_pen(Argb colour, double width)
{
    QPen pen(colour_of(colour));
    pen.setWidthF(width);
    pen.setCapStyle(Qt::FlatCap);
    pen.setJoinStyle(Qt::MiterJoin);
    return pen;
}

}  // namespace

void surface_begin(DrawSurface& s, QImage& image)
{
    s.painter = new QPainter(&image);
    s.antialias = 0;
    s.horizontal = ALIGN_CENTER;
    s.vertical = ALIGN_NEAR;
    s.painter->setRenderHint(QPainter::Antialiasing, false);
    s.painter->setRenderHint(QPainter::TextAntialiasing, false);
    apply_offset(s, QTransform());
}

void surface_end(DrawSurface& s)
{
    delete s.painter;
    s.painter = nullptr;
}

int surface_width(const DrawSurface& s)
{
    const QPaintDevice* device = s.painter->device();
    return qRound(device->width() / device->devicePixelRatio());
}

void surface_set_antialias(DrawSurface& s, int on)
{
    QTransform user = user_transform(s);
    s.antialias = on ? 1 : 0;
    s.painter->setRenderHint(QPainter::Antialiasing, s.antialias);
    apply_offset(s, user);
}

void surface_set_text_antialias(DrawSurface& s, int on)
{
    s.painter->setRenderHint(QPainter::TextAntialiasing, on != 0);
}

void surface_fill_rect(DrawSurface& s, int x, int y, int width, int height, Argb colour)
{
    // A filled rectangle covers whole pixels whatever the smoothing.
    QTransform user = user_transform(s);
    s.painter->setWorldTransform(user);
    s.painter->fillRect(QRect(x, y, width, height), colour_of(colour));
    apply_offset(s, user);
}

void surface_fill_ellipse(DrawSurface& s, double x, double y, double width, double height, Argb colour)
{
    s.painter->setPen(Qt::NoPen);
    s.painter->setBrush(colour_of(colour));
    s.painter->drawEllipse(QRectF(x, y, width, height));
    s.painter->setBrush(Qt::NoBrush);
}

void surface_line(DrawSurface& s, double x1, double y1, double x2, double y2, Argb colour, double width)
{
    QPen pen = line_pen(colour, width);
    if (!s.antialias) pen.setCapStyle(Qt::SquareCap);  // both end pixels, as a pixel line has
    s.painter->setPen(pen);
    s.painter->drawLine(QPointF(x1, y1), QPointF(x2, y2));
}

void surface_polyline(DrawSurface& s, const SurfacePoint* points, int count, Argb colour, double width)
{
    if (count < 2) return;
    QPolygonF line;
    line.reserve(count);
    for (int i = 0; i < count; ++i) line << QPointF(points[i].x, points[i].y);
    s.painter->setPen(line_pen(colour, width));
    s.painter->setBrush(Qt::NoBrush);
    s.painter->drawPolyline(line);
}

void surface_fill_polygon(DrawSurface& s, const SurfacePoint* points, int count, Argb colour)
{
    if (count < 3) return;
    QPolygonF polygon;
    polygon.reserve(count);
    for (int i = 0; i < count; ++i) polygon << QPointF(points[i].x, points[i].y);
    s.painter->setPen(Qt::NoPen);
    s.painter->setBrush(colour_of(colour));
    s.painter->drawPolygon(polygon, Qt::OddEvenFill);
    s.painter->setBrush(Qt::NoBrush);
}

QFont panel_font(PanelFont font)
{
    struct FontRow {
        int points;
        bool bold;
    };
    static const FontRow FONTS[] = {{10, false}, {8, false}, {12, false}, {24, true}, {12, true}};
    const FontRow& row = FONTS[font];
    QFont f(QStringLiteral("Arial"), row.points, row.bold ? QFont::Bold : QFont::Normal);
    f.setStyleHint(QFont::SansSerif);  // a machine without Arial (or its metric twin) draws sans-serif
    return f;
}

void surface_set_alignment(DrawSurface& s, TextAlign horizontal, TextAlign vertical)
{
    s.horizontal = horizontal;
    s.vertical = vertical;
}

TextBox surface_measure_text(DrawSurface& s, const QString& text, PanelFont font, double x, double y)
{
    QFontMetricsF metrics(panel_font(font), s.painter->device());
    QSizeF size = metrics.size(0, text);
    TextBox box{x, y, size.width(), size.height()};
    if (s.horizontal == ALIGN_CENTER) box.left = x - size.width() / 2;
    if (s.horizontal == ALIGN_FAR) box.left = x - size.width();
    if (s.vertical == ALIGN_CENTER) box.top = y - size.height() / 2;
    if (s.vertical == ALIGN_FAR) box.top = y - size.height();
    return box;
}

void surface_draw_text(DrawSurface& s, const QString& text, PanelFont font, double x, double y, Argb colour)
{
    TextBox box = surface_measure_text(s, text, font, x, y);
    int flags = Qt::AlignTop;
    flags |= s.horizontal == ALIGN_NEAR ? Qt::AlignLeft : s.horizontal == ALIGN_FAR ? Qt::AlignRight : Qt::AlignHCenter;
    s.painter->setFont(panel_font(font));
    s.painter->setPen(colour_of(colour));
    s.painter->drawText(QRectF(box.left, box.top, box.width, box.height), flags, text);
}

void surface_rotate(DrawSurface& s, double degrees) { s.painter->rotate(degrees); }

void surface_translate(DrawSurface& s, double dx, double dy) { s.painter->translate(dx, dy); }

void surface_reset_transform(DrawSurface& s)
{
    apply_offset(s, QTransform());
}
