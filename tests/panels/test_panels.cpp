// Panels drawn off screen and probed pixel by pixel at the places the layout fixes. Window
// coordinates: a Full panel's local (x, y) lands at (x + 2, y + 5) for the strips.
#include "panels/panel.h"
#include "panels/strips.h"
#include "spectral/atlas.h"
#include "spectral/spectral.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include <cmath>

namespace {

constexpr QRgb UNTOUCHED = qRgb(255, 0, 255);

struct PanelTest : ::testing::Test {
    QImage window;
    FilterRecord slot;  // Filter 1, painted in Full mode in Angstrom
    PanelCache cache;
    void SetUp() override
    {
        load_solar_atlas_from(SOLVANE_ATLAS_FILE);
        slot.connected = 1;
        slot.center_wavelength = 6562.8;
        slot.wavelength = 6562.8;
        slot.sleeping = 0;
        copy_text(slot.bandwidth_text, BANDWIDTH_TEXT_SIZE, "0.7A", 10);
        copy_text(slot.edition_text, EDITION_TEXT_SIZE, "PRO", 10);
    }
    void paint(int width = 797)
    {
        window = QImage(width, PANEL_HEIGHT_FULL, QImage::Format_ARGB32_Premultiplied);
        window.fill(UNTOUCHED);
        paint_panel(window, 1, 0, slot, PanelOptions{}, cache);
    }
    QColor at(int x, int y) const { return window.pixelColor(x, y); }
    bool dark(int x, int y) const { return at(x, y).lightness() < 100; }
    bool white(int x, int y) const { return at(x, y) == QColor(Qt::white); }
};

TEST_F(PanelTest, TheVisibleStripShowsOneColourAColumn)
{
    paint();
    for (int i : {0, 60, 150, 300, 450, 599}) {
        Rgb c = wavelength_to_rgb(3800 + i * 3200.0 / 601);
        for (int y : {7, 30, 56}) EXPECT_EQ(at(34 + i, y), QColor(c.r, c.g, c.b)) << "column " << i << " row " << y;
        EXPECT_TRUE(white(34 + i, 6)) << "above the strip, column " << i;
    }
    EXPECT_TRUE(white(33, 30));
    EXPECT_TRUE(white(634 - 0, 30) || at(634, 30).rgb() == UNTOUCHED);
}

TEST_F(PanelTest, TheSolarStripDarkensTheHydrogenAlphaCore)
{
    paint();
    QColor core = at(334, 130), wing = at(234, 130);
    EXPECT_LT(core.red(), wing.red() * 0.4) << "core " << core.red() << " wing " << wing.red();
    EXPECT_GT(wing.red(), 150);
    for (int y : {107, 156}) EXPECT_EQ(at(234, y), wing) << "row " << y << " is in the strip";
    EXPECT_TRUE(white(234, 106));
}

TEST_F(PanelTest, TheFunnelJoinsTheSpanToTheVisibleStrip)
{
    paint();
    // For 6562.8 A at 10 A the span's ends lie at local x 549 and 550 (uL 517, uR 518).
    for (int y : {58, 59}) {
        EXPECT_TRUE(dark(551, y)) << "left funnel top, row " << y;
        EXPECT_TRUE(dark(552, y)) << "right funnel top, row " << y;
        EXPECT_TRUE(white(555, y)) << "beside the funnel, row " << y;
    }
    EXPECT_TRUE(dark(34, 104)) << "left corner post";
    EXPECT_TRUE(dark(633, 104)) << "right corner post";
}

// Ticks lie at the wavelength's place on the strip, cut to a whole column (one column less where
// the wavelength's arithmetic falls a hair short of it).
TEST_F(PanelTest, ScaleTicksStandWhereTheirWavelengthsFall)
{
    struct Row {
        double span;
        int ticks[5];  // panel-local columns of 6558 ... 6566 A and so on
    } rows[] = {{10.0, {44, 164, 284, 404, 524}}, {2.5, {140, 260, 380, 500, 620}}, {30.0, {116, 236, 356, 476, 596}}};
    for (const Row& row : rows) {
        slot.zoom_span = row.span;
        paint();
        for (int px : row.ticks) {
            EXPECT_TRUE(dark(px + 2, 158) || dark(px + 1, 158)) << "span " << row.span << " tick at local " << px;
            EXPECT_TRUE(white(px + 2 + 4, 158)) << "span " << row.span << " beside tick " << px;
            EXPECT_TRUE(white(px + 2 - 4, 158)) << "span " << row.span << " beside tick " << px;
        }
        int ticks = 0;
        for (int x = 34; x < 634; ++x) ticks += dark(x, 158) && !dark(x - 1, 158);
        EXPECT_EQ(ticks, 5) << "span " << row.span;
    }
}

TEST_F(PanelTest, ACentreOutsideTheAtlasDrawsNoSolarStripNorFunnel)
{
    slot.center_wavelength = 6000.0;
    slot.wavelength = 6000.0;
    paint();
    EXPECT_TRUE(white(334, 130));
    EXPECT_TRUE(white(445, 59)) << "no funnel at the span's place";
    EXPECT_TRUE(dark(94, 158) || dark(93, 158)) << "the scale is drawn all the same: 5996 A at local 92";
}

TEST_F(PanelTest, TheStatusDotTakesTheStatusColour)
{
    struct Row {
        const char* name;
        FilterStatusCode code;
        int sleeping, on_band;
        QColor colour;
    } rows[] = {
        {"a fault while sleeping is red", 3, 1, 0, QColor(255, 0, 0)},
        {"asleep is blue", 0, 1, 1, QColor(0, 0, 255)},
        {"on band is green", 0, 0, 1, QColor(0, 255, 0)},
        {"under way is amber", 0, 0, 0, QColor(255, 192, 0)},
    };
    for (const Row& row : rows) {
        slot.status_code = row.code;
        slot.sleeping = row.sleeping;
        slot.on_band = row.on_band;
        paint();
        EXPECT_EQ(at(635 + 67, 5 + 218), row.colour) << row.name;
    }
}

TEST_F(PanelTest, TheTextBlockStartsAtColumn635AndLeavesTheGap)
{
    paint();
    int ink_left = 797;
    for (int y = 10; y < 30; ++y)
        for (int x = 634; x < 700; ++x)
            if (dark(x, y)) ink_left = std::min(ink_left, x);
    EXPECT_GE(ink_left, 635);
    EXPECT_LE(ink_left, 640);
    for (int y = 5; y < 253; ++y) ASSERT_EQ(at(634, y).rgb(), UNTOUCHED) << "row " << y;
}

TEST(PanelTexts, TheTitleWritesTheUnitSignOnceAsTheMenuLabelDoes)
{
    struct Row {
        const char* bandwidth;
        const char* title;
    } rows[] = {{"0.7A", "0.7A Solvane PRO"}, {"0.7a", "0.7a Solvane PRO"}, {"0.5", "0.5\u00C5 Solvane PRO"},
                {"", " Solvane PRO"},         {"\xB5", "\u00B5\u00C5 Solvane PRO"}};
    for (const Row& row : rows) {
        FilterRecord slot;
        copy_text(slot.bandwidth_text, BANDWIDTH_TEXT_SIZE, row.bandwidth, 10);
        copy_text(slot.edition_text, EDITION_TEXT_SIZE, "PRO", 10);
        EXPECT_EQ(panel_title_text(slot), QString::fromUtf8(row.title)) << row.bandwidth;
    }
}

TEST(PanelTexts, EveryLinesTargetLabelKeepsItsHueAndReachesThreeToOneOnWhite)
{
    for (const SpectralLine& line : spectral_line_table())
        for (double shift : {-1.0, 0.0, 1.0}) {
            const Rgb rgb = wavelength_to_rgb(line.line_wavelength + shift);
            const Argb drawn{160, static_cast<std::uint8_t>(rgb.r), static_cast<std::uint8_t>(rgb.g),
                             static_cast<std::uint8_t>(rgb.b)};
            const Argb label = readable_label_colour(drawn, WHITE);
            EXPECT_GE(contrast_ratio(label, WHITE), LABEL_CONTRAST_MIN) << line.line_name << shift;
            const int hue = QColor(label.r, label.g, label.b).hsvHue(), wanted = QColor(rgb.r, rgb.g, rgb.b).hsvHue();
            if (wanted >= 0) {
                EXPECT_NEAR(hue, wanted, 3) << line.line_name << shift;
            }
        }
    // Sodium's yellow as the curve has it is 1.2:1; black and the grey captions stay as they are.
    EXPECT_LT(contrast_ratio(Argb{255, 0xFF, 0xEE, 0x5F}, WHITE), 1.3);
    EXPECT_EQ(readable_label_colour(BLACK, WHITE).r, 0);
    const Argb grey{255, 128, 128, 128};
    EXPECT_EQ(readable_label_colour(grey, WHITE).r, 128);
}

TEST_F(PanelTest, MarkersStandBesideTheirCurves)
{
    // Current 0.2 A above target: "Current" right of its curve, "Target" left with a 10-pixel gap.
    MarkerPlaces above = marker_places(6562.8, 6562.8, 6563.0, 0.7, 10);
    EXPECT_DOUBLE_EQ(above.current_x, (6563.0 - 6562.8 + 5 + 0.35) * 60 + 32 + 5);
    EXPECT_EQ(above.current_align, ALIGN_NEAR);
    EXPECT_DOUBLE_EQ(above.target_x, (5 - 0.35) * 60 + 32 - 10);
    EXPECT_EQ(above.target_align, ALIGN_FAR);
    // Current below (or within 0.05 A above) target: the other way round, 5 pixels each.
    MarkerPlaces below = marker_places(6562.8, 6562.8, 6562.84, 0.7, 10);
    EXPECT_DOUBLE_EQ(below.current_x, (6562.84 - 6562.8 + 5 - 0.35) * 60 + 32 - 5);
    EXPECT_EQ(below.current_align, ALIGN_FAR);
    EXPECT_DOUBLE_EQ(below.target_x, (5 + 0.35) * 60 + 32 + 5);
    EXPECT_EQ(below.target_align, ALIGN_NEAR);

    slot.wavelength = 6563.0;
    paint();
    auto ink_between = [&](int from, int to) {
        for (int y = 205; y <= 217; ++y)
            for (int x = from; x < to; ++x)
                if (dark(x, y)) return true;
        return false;
    };
    const int current_right = static_cast<int>(above.current_x) + 2;
    EXPECT_TRUE(ink_between(current_right, current_right + 50)) << "\"Current\" right of its curve";
}

TEST_F(PanelTest, AMarkerThatWouldStartLeftOfTheStripIsPushedRight)
{
    slot.wavelength = 6557.9;  // near the left edge of a 10 A span, below target
    paint();
    int ink_left = 797;
    for (int y = 205; y <= 217; ++y)
        for (int x = 31; x < 200; ++x)  // right of the rotated strip titles
            if (dark(x, y) && at(x, y).saturation() < 50) ink_left = std::min(ink_left, x);
    EXPECT_GE(ink_left, 34) << "the marker's box starts at the strip's left edge";
}

// At a device pixel ratio of 2 every logical pixel is four device pixels: the layout stays and the
// copies between layers take the same logical rectangles.
TEST_F(PanelTest, AtDevicePixelRatioTwoThePanelIsTheSamePanelInFinerPixels)
{
    slot.wavelength = 6563.0;  // the current curve beside the target's
    paint();
    const QImage single = window;
    window = QImage(797 * 2, PANEL_HEIGHT_FULL * 2, QImage::Format_ARGB32_Premultiplied);
    window.setDevicePixelRatio(2);
    window.fill(UNTOUCHED);
    paint_panel(window, 1, 0, slot, PanelOptions{}, cache);

    struct Probe {
        const char* name;
        int x, y;
    } probes[] = {
        {"visible strip, blue end", 40, 30},     {"visible strip, red end", 600, 7},
        {"solar strip, line core", 334, 130},    {"solar strip, wing", 234, 156},
        {"above the visible strip", 300, 6},     {"the panel's frame", 0, 100},
        {"the gap left of the text", 634, 120},  {"the status dot", 635 + 67, 5 + 218},
        {"under the current curve", 345, 5 + 245}, {"beside \"Target:\" in the text block", 700, 5 + 85},
    };
    for (const Probe& probe : probes)
        for (int dx : {0, 1})
            for (int dy : {0, 1})
                EXPECT_EQ(window.pixelColor(2 * probe.x + dx, 2 * probe.y + dy), single.pixelColor(probe.x, probe.y))
                    << probe.name << " (" << probe.x << ", " << probe.y << ") device offset " << dx << dy;
}

TEST(TransmissionCurve, RowsFollowTheTransmission)
{
    // Column 0 sits exactly on the curve's centre: T = 1 on the strip's top row.
    std::vector<SurfacePoint> peak = transmission_curve_points(6557.8, 0.7, 6562.8, 10, 32, 183, 600, 65);
    ASSERT_EQ(peak.size(), 600u);
    EXPECT_DOUBLE_EQ(peak[0].x, 32);
    EXPECT_DOUBLE_EQ(peak[0].y, 183);
    EXPECT_DOUBLE_EQ(peak[599].y, 183 + 65) << "T = 0 on the bottom line";
    std::vector<SurfacePoint> far = transmission_curve_points(7000, 0.7, 6562.8, 10, 32, 183, 600, 65);
    for (const SurfacePoint& p : far) ASSERT_DOUBLE_EQ(p.y, 248);
}

TEST(WingShiftText, ReadsTheShiftAndItsSide)
{
    EXPECT_EQ(wing_shift_text(6562.8, 6562.8 + 0.5, 0), QString::fromUtf8("Wing shift: 0.5\u00C5 red"));
    EXPECT_EQ(wing_shift_text(6562.8, 6562.8 + 0.5, 1), QString::fromUtf8("Wing shift: 0.05 red"));
    EXPECT_EQ(wing_shift_text(6562.8, 6562.8 - 0.3, 0), QString::fromUtf8("Wing shift: 0.3\u00C5 blue"));
    EXPECT_EQ(wing_shift_text(6562.8, 6562.8, 0), QString::fromUtf8("Wing shift: 0.0\u00C5"));
    EXPECT_EQ(wing_shift_text(6562.8, 6562.8, 1), QString::fromUtf8("Wing shift: 0.00"));
}

TEST_F(PanelTest, AnySpanPaintsAndEnds)
{
    for (double span : {0.0, -10.0, 1e-300, 1e300, std::nan(""), HUGE_VAL, 0.001}) {
        slot.zoom_span = span;
        paint();
        EXPECT_FALSE(window.isNull()) << span;
    }
}

}  // namespace
