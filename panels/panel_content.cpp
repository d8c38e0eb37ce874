// What a filter panel shows; see panel.h.
#include "panels/panel.h"

#include "spectral/spectral.h"
#include "panels/strips.h"
#include "link/filter_policy.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr Argb GREY{255, 128, 128, 128};
constexpr Argb CURRENT_FILL{160, 0, 0, 0};
constexpr std::uint8_t TARGET_LINE_ALPHA = 160;
constexpr std::uint8_t TARGET_FILL_ALPHA = 32;

constexpr double VISIBLE_LOW = 3800, VISIBLE_HIGH = 7000;
constexpr int SCALE_TOP = 156;        // the scale labels' top, below the solar strip
constexpr int SCALE_TICKS = 5;
constexpr int SCALE_LOOP_LIMIT = 64;  // far above the five ticks of any span the menus offer
constexpr int PLOT_RIGHT = PLOT_LEFT + PLOT_WIDTH;  // 632
constexpr int MARKER_Y = 211;

struct StripTitle {
    const char* text;
    double ox;
};
// Rotated a quarter turn counter-clockwise, then placed by (ox, 2): anchors (4, 26), (4, 126), (4, 210).
constexpr StripTitle STRIP_TITLES[] = {{"Visible\nSpectrum", -13}, {"Solar\nSpectrum", -63}, {"Filter\nTransmission", -105}};

// A pixel position from a computed one, cut toward zero. Positions far off the layer (a span of
// almost nothing) are held where the conversion stays defined.
int to_pixel(double x)
{
    if (!(x > -1e6)) return -1000000;
    if (x > 1e6) return 1000000;
    return static_cast<int>(x);
}

QString wavelength_text(double angstrom, int units_nm) { return QString::fromUtf8(format_wavelength(angstrom, units_nm)); }

// Moves x so the text's box lies within the strip's columns, measured once before either shift.
double keep_inside_strip(DrawSurface& s, const QString& text, double x, double y)
{
    TextBox box = surface_measure_text(s, text, LABEL_FONT, x, y);
    if (box.left < PLOT_LEFT) x += PLOT_LEFT - box.left;
    if (box.left + box.width > PLOT_RIGHT) x -= box.left + box.width - PLOT_RIGHT;
    return x;
}

Argb with_alpha(Rgb c, std::uint8_t alpha)
{
    return Argb{alpha, static_cast<std::uint8_t>(c.r), static_cast<std::uint8_t>(c.g), static_cast<std::uint8_t>(c.b)};
}

// The scale: five labelled ticks a span. A span of 0, a negative one or one too small to step
// draws no ticks rather than looping without end. Returns the height of a label.
double draw_scale(DrawSurface& s, double v, double g, int units_nm)
{
    surface_set_alignment(s, ALIGN_CENTER, ALIGN_NEAR);
    double label_height = surface_measure_text(s, QStringLiteral("0"), LABEL_FONT, 0, 0).height;
    const double step = g / SCALE_TICKS;
    if (std::isfinite(v) && std::isfinite(g) && step > 0) {
        double x = std::ceil((v - g / 2) / step) * step;
        for (int n = 0; n < SCALE_LOOP_LIMIT && x <= v + g / 2; ++n) {
            const QString text = wavelength_text(x, units_nm);
            const int px = to_pixel((x - v + g / 2) * (PLOT_WIDTH / g) + PLOT_LEFT);
            const TextBox box = surface_measure_text(s, text, LABEL_FONT, px, SCALE_TOP);
            const double origin = keep_inside_strip(s, text, px, SCALE_TOP);
            surface_draw_text(s, text, LABEL_FONT, origin, SCALE_TOP, BLACK);
            surface_set_antialias(s, 0);
            const int y2 = static_cast<int>(SCALE_TOP + box.height);
            surface_line(s, px, SCALE_TOP, px, SCALE_TOP - 4, BLACK);
            surface_line(s, px, y2, px, y2 + 4, BLACK);
            surface_set_antialias(s, 1);
            label_height = box.height;
            if (x + step == x) break;
            x += step;
        }
    }
    return label_height;
}

}  // namespace

void draw_panel_background(DrawSurface& s, double v, double g, const char* line_name, int units_nm)
{
    surface_fill_rect(s, 0, 0, surface_width(s), 258, WHITE);
    surface_set_antialias(s, 0);
    draw_visible_strip(s, VISIBLE_LOW, VISIBLE_HIGH, PLOT_LEFT, PLOT_TOP, PLOT_WIDTH, STRIP_HEIGHT);
    const bool drawn = draw_solar_strip(s, v, g, PLOT_LEFT, SOLAR_TOP, PLOT_WIDTH, STRIP_HEIGHT);
    surface_set_antialias(s, 1);

    if (drawn) {
        // The zoom funnel joins the solar strip's upper corners to the span's place on the
        // visible strip.
        const int ul = to_pixel((v - g / 2 - VISIBLE_LOW) * PLOT_WIDTH / (VISIBLE_HIGH - VISIBLE_LOW));
        const int ur = to_pixel((v + g / 2 - VISIBLE_LOW) * PLOT_WIDTH / (VISIBLE_HIGH - VISIBLE_LOW));
        surface_line(s, 32, 101, 32, 98, BLACK);
        surface_line(s, 32, 98, 32 + ul, 55, BLACK);
        surface_line(s, 32 + ul, 52, 32 + ul, 55, BLACK);
        surface_line(s, 631, 101, 631, 98, BLACK);
        surface_line(s, 631, 98, 32 + ur, 55, BLACK);
        surface_line(s, 32 + ur, 52, 32 + ur, 55, BLACK);
    }

    const double label_height = draw_scale(s, v, g, units_nm);

    // The line label, centred over the nominal line, joined to the solar strip.
    char label[96];
    if (units_nm == 1)
        std::snprintf(label, sizeof label, "%.2fnm %s", v / 10, line_name);
    else
        std::snprintf(label, sizeof label, "%.1f\u00C5 %s", v, line_name);
    const int px = to_pixel((v - v + g / 2) * (PLOT_WIDTH / g) + PLOT_LEFT);
    surface_draw_text(s, QString::fromUtf8(label), LABEL_FONT, px, 98 - label_height, BLACK);
    surface_line(s, px, 98, px, 101, BLACK);

    for (const StripTitle& title : STRIP_TITLES) {
        surface_rotate(s, -90);
        surface_translate(s, title.ox, 2);
        surface_draw_text(s, QString::fromUtf8(title.text), TITLE_FONT, title.ox, 2, BLACK);
        surface_reset_transform(s);
    }
}

void draw_live_spectrum(DrawSurface& s, double v, double e, double p, double b, double g)
{
    const Rgb target = wavelength_to_rgb(e);
    const Argb target_line = with_alpha(target, TARGET_LINE_ALPHA);
    draw_transmission_curve(s, e, b, v, g, PLOT_LEFT, CURVE_TOP, PLOT_WIDTH, CURVE_HEIGHT, target_line,
                            with_alpha(target, TARGET_FILL_ALPHA));
    draw_transmission_curve(s, p, b, v, g, PLOT_LEFT, CURVE_TOP, PLOT_WIDTH, CURVE_HEIGHT, BLACK, CURRENT_FILL);

    const MarkerPlaces m = marker_places(v, e, p, b, g);
    const QString current = QStringLiteral("Current"), target_text = QStringLiteral("Target");
    surface_set_alignment(s, m.current_align, ALIGN_CENTER);
    surface_draw_text(s, current, LABEL_FONT, keep_inside_strip(s, current, m.current_x, MARKER_Y), MARKER_Y, BLACK);
    surface_set_alignment(s, m.target_align, ALIGN_CENTER);
    // The curve keeps its line's colour; its label is that colour made readable on the strip's white
    // (sodium's yellow is 1.2:1 as the curve has it).
    surface_draw_text(s, target_text, LABEL_FONT, keep_inside_strip(s, target_text, m.target_x, MARKER_Y), MARKER_Y,
                      readable_label_colour(target_line, WHITE));
    surface_set_alignment(s, ALIGN_CENTER, ALIGN_NEAR);
}

MarkerPlaces marker_places(double v, double e, double p, double b, double g)
{
    const double k = PLOT_WIDTH / g;
    if (e + 0.05 >= p)
        return {(p - v + g / 2 - b / 2) * k + PLOT_LEFT - 5, ALIGN_FAR, (e - v + g / 2 + b / 2) * k + PLOT_LEFT + 5,
                ALIGN_NEAR};
    return {(p - v + g / 2 + b / 2) * k + PLOT_LEFT + 5, ALIGN_NEAR, (e - v + g / 2 - b / 2) * k + PLOT_LEFT - 10,
            ALIGN_FAR};
}

QString wing_shift_text(double v, double e, int units_nm)
{
    char text[64];
    if (e == v)
        std::snprintf(text, sizeof text, units_nm ? "Wing shift: 0.00" : "Wing shift: 0.0\u00C5");
    else if (units_nm)
        std::snprintf(text, sizeof text, "Wing shift: %0.2f %s", std::fabs(e - v) / 10, e > v ? "red" : "blue");
    else
        std::snprintf(text, sizeof text, "Wing shift: %0.1f\u00C5 %s", std::fabs(e - v), e > v ? "red" : "blue");
    return QString::fromUtf8(text);
}

namespace {

double channel_luminance(std::uint8_t value)
{
    const double c = value / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(Argb c)
{
    return 0.2126 * channel_luminance(c.r) + 0.7152 * channel_luminance(c.g) + 0.0722 * channel_luminance(c.b);
}

std::uint8_t blend(std::uint8_t top, std::uint8_t under, std::uint8_t alpha)
{
    return static_cast<std::uint8_t>(std::lround((top * alpha + under * (255 - alpha)) / 255.0));
}

}  // namespace

double contrast_ratio(Argb a, Argb b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

Argb readable_label_colour(Argb colour, Argb background)
{
    const Argb shown{255, blend(colour.r, background.r, colour.a), blend(colour.g, background.g, colour.a),
                     blend(colour.b, background.b, colour.a)};
    Argb label = shown;
    // Steps of 1 %: at most a hundred, and black (21:1 on white) ends them.
    for (int percent = 99; percent >= 0 && contrast_ratio(label, background) < LABEL_CONTRAST_MIN; --percent) {
        const auto scaled = [percent](std::uint8_t v) { return static_cast<std::uint8_t>(v * percent / 100); };
        label = Argb{255, scaled(shown.r), scaled(shown.g), scaled(shown.b)};
    }
    return label;
}

Argb status_colour(const FilterRecord& slot)
{
    const unsigned rgb = condition_row(classify_status(slot)).panel_rgb;
    return Argb{255, static_cast<std::uint8_t>(rgb >> 16), static_cast<std::uint8_t>(rgb >> 8),
                static_cast<std::uint8_t>(rgb)};
}

QString panel_title_text(const FilterRecord& slot)
{
    // Texts the filter sent are its bytes, shown one character each.
    return QString::fromStdString(bandwidth_with_unit(slot.bandwidth_text)) + QStringLiteral(" Solvane ") +
           QString::fromLatin1(slot.edition_text);
}

void draw_text_block(DrawSurface& s, double x0, double v, double e, double p, const char* line_name,
                     const FilterRecord& slot, int units_nm)
{
    surface_set_alignment(s, ALIGN_NEAR, ALIGN_NEAR);
    const QString title = panel_title_text(slot);
    char status[STATUS_TEXT_SIZE];
    status_text(slot, status);

    struct Row {
        QString text;
        PanelFont font;
        Argb colour;
        double dx, y;
    };
    const Row rows[] = {
        {title, HEADING_FONT, BLACK, 0, 5},
        {QString::fromUtf8(line_name) + QLatin1Char(':'), CAPTION_FONT, GREY, 0, 25},
        {wavelength_text(v, units_nm), VALUE_FONT, BLACK, 0, 40},
        {QStringLiteral("Target:"), CAPTION_FONT, GREY, 0, 80},
        {wavelength_text(e, units_nm), VALUE_FONT, BLACK, 0, 95},
        {wing_shift_text(v, e, units_nm), CAPTION_FONT, BLACK, 3, 128},
        {QStringLiteral("Current:"), CAPTION_FONT, GREY, 0, 155},
        {wavelength_text(p, units_nm), VALUE_FONT, BLACK, 0, 170},
        {QStringLiteral("Status:"), CAPTION_FONT, GREY, 0, 210},
        {QString::fromLatin1(status), HEADING_FONT, BLACK, 2, 230},
    };
    for (const Row& row : rows) surface_draw_text(s, row.text, row.font, x0 + row.dx, row.y, row.colour);
    surface_fill_ellipse(s, x0 + 60, 211, 15, 15, status_colour(slot));
}
