// Panel layers and painting; see panel.h.
#include "panels/panel.h"

#include "spectral/spectral.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPalette>

#include <algorithm>
#include <cmath>

namespace {

constexpr double BANDWIDTH_MIN = 0.01;        // below this the curves use the fallback
constexpr double BANDWIDTH_FALLBACK = 0.6;
constexpr double SPAN_FALLBACK = ZOOM_NORMAL;       // drawn for a span that is no positive number
constexpr int BACKGROUND_COPY_WIDTH = 632;
// The transmission strip and the row above it, copied five rows higher into the background so
// the window copy of the background puts them back at their own rows.
const QRect LIVE_STRIP_SOURCE(32, 182, 600, 67);
const QPoint LIVE_STRIP_TARGET(32, 177);

// In PanelMode order (checked below).
constexpr PanelModeRow PANEL_MODES[PANEL_MODE_COUNT] = {
    {PANEL_SIMPLE, PANEL_WIDTH_SIMPLE, 0, 0},
    {PANEL_FULL, PANEL_WIDTH_FULL, 1, 1},
};
static_assert(PANEL_MODES[PANEL_SIMPLE].mode == PANEL_SIMPLE && PANEL_MODES[PANEL_FULL].mode == PANEL_FULL,
              "the mode table is indexed by PanelMode");

constexpr int SIMPLE_ALONE_HEIGHT = 276;  // one Simple panel: room for the menu bar to wrap

// A logical rectangle's device pixels at the ratio: each edge at its nearest device pixel, so
// neighbouring rectangles neither overlap nor leave a gap at any ratio.
QRect device_rect(const QRect& logical, qreal ratio)
{
    const int left = qRound(logical.left() * ratio), top = qRound(logical.top() * ratio);
    return QRect(QPoint(left, top), QPoint(qRound((logical.right() + 1) * ratio) - 1,
                                           qRound((logical.bottom() + 1) * ratio) - 1));
}

// Copies the logical rectangle from of source to at in target, pixel for pixel. Both layers are
// painted at the same device pixel ratio, so the copy is made in device pixels: QPainter counts
// a source rectangle in the image's own pixels.
void copy_pixels(QImage& target, QPoint at, const QImage& source, const QRect& from)
{
    const qreal ratio = target.devicePixelRatio();
    const QRect pixels = device_rect(from, ratio);
    QPainter p(&target);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.setWorldTransform(QTransform::fromScale(1 / ratio, 1 / ratio));  // device pixels from here
    p.drawImage(QRect(device_rect(QRect(at, from.size()), ratio).topLeft(), pixels.size()), source, pixels);
}

QImage new_layer(int width, qreal ratio)
{
    QImage layer(QSize(width > 0 ? width : 1, PANEL_HEIGHT_FULL) * ratio, QImage::Format_ARGB32_Premultiplied);
    layer.setDevicePixelRatio(ratio);
    layer.fill(Qt::white);
    return layer;
}

// A layer's size in logical pixels, in which the panels are laid out.
QSize logical_size(const QImage& image) { return (QSizeF(image.size()) / image.devicePixelRatio()).toSize(); }

// The sunken 3-D frame of qDrawWinPanel, drawn in logical pixels: Qt draws its own frames one
// device pixel thin on a screen of a higher ratio, which would leave a panel's frame half drawn.
void sunken_frame(QPainter& p, int x, int y, int w, int h, const QPalette& palette)
{
    const QColor outer_top_left = palette.dark().color(), outer_bottom_right = palette.light().color();
    const QColor inner_top_left = palette.shadow().color(), inner_bottom_right = palette.midlight().color();
    p.fillRect(x, y, 1, h - 1, outer_top_left);
    p.fillRect(x, y, w - 1, 1, outer_top_left);
    p.fillRect(x, y + h - 1, w, 1, outer_bottom_right);
    p.fillRect(x + w - 1, y, 1, h, outer_bottom_right);
    p.fillRect(x + 1, y + 1, 1, h - 3, inner_top_left);
    p.fillRect(x + 1, y + 1, w - 3, 1, inner_top_left);
    p.fillRect(x + 1, y + h - 2, w - 2, 1, inner_bottom_right);
    p.fillRect(x + w - 2, y + 1, 1, h - 2, inner_bottom_right);
}

void paint_frame(QImage& window, int i, const PanelModeRow& mode, bool connected)
{
    const int wc = logical_size(window).width(), hc = logical_size(window).height();
    const int h = PANEL_HEIGHT_FULL, w = mode.panel_width;
    const bool full = mode.stacked != 0;
    QPainter painter(&window);
    const QPalette palette = QGuiApplication::palette();
    const QColor face = palette.color(QPalette::Window);
    if (full) {
        if (i * h < hc) sunken_frame(painter, 0, i * h, wc, h - 2, palette);
        const int top = (i + 1) * h - 2, bottom = i == SLOT_COUNT - 1 ? hc : (i + 1) * h + 1;
        if (top < hc) painter.fillRect(QRect(0, top, wc, bottom - top), face);
    } else {
        if (i * w < wc) sunken_frame(painter, i * w, 0, w - 1, hc, palette);
        const int left = (i + 1) * w - 1, right = i == SLOT_COUNT - 1 ? wc : (i + 1) * w + 2;
        if (left < wc) painter.fillRect(QRect(left, 0, right - left, hc), face);
    }
    if (!connected) {
        if (full)
            painter.fillRect(QRect(2, i * h + 2, wc - 4, h - 6), Qt::white);
        else
            painter.fillRect(QRect(i * w + 2, 2, w - 5, hc - 4), Qt::white);
    }
}

}  // namespace

void paint_panel(QImage& window, int rebuild, int i, const FilterRecord& slot, const PanelOptions& options,
                 PanelCache& cache)
{
    const int wc = logical_size(window).width();
    const qreal ratio = window.devicePixelRatio();
    const PanelModeRow& mode = panel_mode_row(options.mode);
    const int h = PANEL_HEIGHT_FULL, w = mode.panel_width;
    const bool full = mode.live_spectrum != 0;

    paint_frame(window, i, mode, slot.connected != 0);
    if (!slot.connected) return;

    const double v = slot.center_wavelength;
    const double e = v + slot.wing_shift;
    const double p = slot.wavelength;
    double b = read_decimal_number(slot.bandwidth_text);
    double g = slot.zoom_span;
    if (!(g > 0) || !std::isfinite(g)) g = SPAN_FALLBACK;
    if (b < BANDWIDTH_MIN) b = BANDWIDTH_FALLBACK;
    const SpectralLine* line = match_spectral_line(v);
    const char* line_name = line ? line->line_name : "";

    if (full && (rebuild || !cache.valid || cache.background.devicePixelRatio() != ratio)) {
        cache.valid = 1;
        cache.background = new_layer(wc, ratio);
        DrawSurface layer;
        surface_begin(layer, cache.background);
        surface_set_text_antialias(layer, 1);
        draw_panel_background(layer, v, g, line_name, options.units_nm);
        surface_end(layer);
    }

    QImage scratch = new_layer(wc, ratio);
    DrawSurface s;
    surface_begin(s, scratch);
    surface_set_antialias(s, 1);
    surface_set_text_antialias(s, 1);
    double x0;
    if (full) {
        draw_live_spectrum(s, v, e, p, b, g);
        surface_end(s);
        copy_pixels(cache.background, LIVE_STRIP_TARGET, scratch, LIVE_STRIP_SOURCE);
        copy_pixels(window, QPoint(2, i * h + 5), cache.background, QRect(0, 0, BACKGROUND_COPY_WIDTH, h - 10));
        surface_begin(s, scratch);
        surface_set_antialias(s, 1);
        surface_set_text_antialias(s, 1);
        x0 = TEXT_LEFT_FULL;
    } else {
        x0 = i * w + TEXT_GAP;
    }
    draw_text_block(s, x0, v, e, p, line_name, slot, options.units_nm);
    surface_end(s);
    if (full)
        copy_pixels(window, QPoint(static_cast<int>(x0), i * h + 5), scratch,
                    QRect(static_cast<int>(x0), 0, wc - 637, h - 10));
    else
        copy_pixels(window, QPoint(i * w + 5, 5), scratch, QRect(i * w + 5, 0, w - 10, h - 10));
}

const PanelModeRow& panel_mode_row(int mode)
{
    return mode >= 0 && mode < PANEL_MODE_COUNT ? PANEL_MODES[mode] : PANEL_MODES[PANEL_FULL];
}

QSize panel_area_size(int mode, int count)
{
    const PanelModeRow& row = panel_mode_row(mode);
    const int n = std::max(1, count);
    if (row.stacked) return QSize(row.panel_width, n * PANEL_HEIGHT_FULL);
    return QSize(n * row.panel_width - 1, n == 1 ? SIMPLE_ALONE_HEIGHT : PANEL_HEIGHT_FULL);
}

QImage render_panel_image(const FilterRecord& slot, int mode, int units_nm, int ratio)
{
    ratio = std::max(1, ratio);
    QImage image(panel_mode_row(mode).panel_width * ratio, PANEL_HEIGHT_FULL * ratio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::white);
    PanelCache cache;
    paint_panel(image, 1, 0, slot, PanelOptions{mode, units_nm}, cache);
    return image;
}

QRect wing_shift_arrow_place(int i, int mode)
{
    const PanelModeRow& row = panel_mode_row(mode);
    if (row.stacked)
        return QRect(TEXT_LEFT_FULL + ARROW_OFFSET_X, i * PANEL_HEIGHT_FULL + ARROW_Y, ARROW_WIDTH, ARROW_HEIGHT);
    return QRect(i * row.panel_width + TEXT_GAP + ARROW_OFFSET_X, ARROW_Y, ARROW_WIDTH, ARROW_HEIGHT);
}
