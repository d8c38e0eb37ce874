// The spectral model and the solar atlas: colours, transmission, lines, texts, windows, means.
#include "spectral/atlas.h"
#include "spectral/spectral.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

TEST(WavelengthToRgb, MatchesTheKnownColours)
{
    struct Row {
        double angstrom;
        int r, g, b;
    } rows[] = {
        {3800, 0, 0, 0},   {3799.9, 0, 0, 0}, {7000, 0, 0, 0},     {7000.1, 0, 0, 0},   {6562.8, 229, 0, 0},
        {6800, 122, 0, 0}, {5500, 146, 255, 0}, {5000, 0, 227, 154}, {4000, 99, 73, 136}, {4200, 191, 0, 255},
    };
    for (const Row& row : rows) {
        Rgb c = wavelength_to_rgb(row.angstrom);
        EXPECT_EQ(c.r, row.r) << row.angstrom;
        EXPECT_EQ(c.g, row.g) << row.angstrom;
        EXPECT_EQ(c.b, row.b) << row.angstrom;
    }
    Rgb nan = wavelength_to_rgb(std::nan(""));
    EXPECT_EQ(nan.r + nan.g + nan.b, 0);
}

TEST(FilterTransmission, GaussianAndCalciumProfiles)
{
    EXPECT_NEAR(filter_transmission(6563.15, 6562.8, 0.7), 0.5, 1e-4) << "half maximum at half the width";
    EXPECT_DOUBLE_EQ(filter_transmission(6562.8, 6562.8, 0.7), 1.0);
    EXPECT_DOUBLE_EQ(filter_transmission(3933.7, 3933.7, 2.4), 1.0);
    EXPECT_NEAR(filter_transmission(3933.7 + 1.2, 3933.7, 2.4), std::exp(-0.7056 * std::pow(1.2, 1.5)), 1e-12)
        << "the calcium profile is flat-topped, not 0.5 at half the width";
    for (double edge : {3900.0, 4000.0})
        EXPECT_NEAR(filter_transmission(edge + 0.3, edge, 0.6), 0.5, 1e-4) << edge << " uses the Gaussian";
}

TEST(SpectralLines, MatchWithinStrictlyLessThanOneAngstrom)
{
    struct Row {
        double center;
        const char* name;
    } rows[] = {{6563.79, "Hydrogen alpha"}, {6563.8, nullptr}, {5893.0, nullptr}, {5895.0, "Sodium D1"},
                {4861.3, "Hydrogen beta"},   {3933.7, "Calcium II K"}, {6000.0, nullptr}};
    for (const Row& row : rows) {
        const SpectralLine* line = match_spectral_line(row.center);
        if (row.name == nullptr)
            EXPECT_EQ(line, nullptr) << row.center;
        else
            EXPECT_STREQ(line ? line->line_name : "<none>", row.name) << row.center;
    }
    EXPECT_STREQ(spectral_line_table()[5].line_tag, "H-\u03B2 ");
    for (const SpectralLine& line : spectral_line_table()) EXPECT_EQ(line.line_tag[std::strlen(line.line_tag) - 1], ' ');
}

TEST(FormatWavelength, InBothUnits)
{
    EXPECT_EQ(format_wavelength(6562.8, 0), "6562.8\u00C5");
    EXPECT_EQ(format_wavelength(6562.8, 1), "656.28nm");
    EXPECT_EQ(format_wavelength(6558.0, 1), "655.80nm");
}

TEST(SolarAtlas, WindowsAreChosenByStrictBounds)
{
    struct Row {
        double center;
        int window;  // 1-based, 0 = none
    } rows[] = {{6562.8, 5}, {6545.0, 0}, {6580.0, 0}, {3900.0, 1}, {3933.7, 1}, {5890.0, 4}, {5302.9, 3}, {6000, 0}};
    for (const Row& row : rows) {
        const AtlasWindow* w = atlas_window_for(row.center);
        EXPECT_EQ(w ? static_cast<int>(w - atlas_window_table().data()) + 1 : 0, row.window) << row.center;
    }
}

TEST(SolarAtlas, MeansOverMissingShortAndNarrowFiles)
{
    std::string dir = enter_temp_dir();
    EXPECT_EQ(load_solar_atlas_from((dir + "/missing.bin").c_str()), 0);
    for (const AtlasWindow& w : atlas_window_table()) EXPECT_DOUBLE_EQ(atlas_mean_intensity(w, w.start + 1, w.start + 2), 1.0);

    std::string bytes(60000, static_cast<char>(100));
    bytes.front() = static_cast<char>(10);
    bytes.back() = static_cast<char>(250);
    write_file("short.bin", bytes);
    EXPECT_EQ(load_solar_atlas_from("short.bin"), 1);
    const auto& windows = atlas_window_table();
    EXPECT_DOUBLE_EQ(atlas_mean_intensity(windows[0], 3900, 3900.1), 100.0 / 255);
    for (int k = 1; k < 5; ++k) EXPECT_DOUBLE_EQ(atlas_mean_intensity(windows[k], windows[k].start + 1, windows[k].start + 2), 0.0);
    EXPECT_DOUBLE_EQ(atlas_mean_intensity(windows[0], 3900.0001, 3900.0002), 100.0 / 255) << "narrower than a sample: one sample";
    EXPECT_DOUBLE_EQ(atlas_mean_intensity(windows[0], 3800, 3700), 10.0 / 255) << "left of the window: its first sample";
    EXPECT_DOUBLE_EQ(atlas_mean_intensity(windows[0], 4000, 4100), 250.0 / 255) << "right of it: its last sample";
    EXPECT_DOUBLE_EQ(atlas_mean_intensity(windows[0], 3901, 3900), 0.0) << "an empty interval";
    EXPECT_DOUBLE_EQ(atlas_mean_intensity(windows[0], std::nan(""), 3865.0), 10.0 / 255);
}

// The committed atlas, checked by the figures its source's documentation gives: the darkest level
// within 0.3 A of each line and the median level of its window.
TEST(SolarAtlas, TheShippedDataShowsTheSunsLines)
{
    ASSERT_EQ(load_solar_atlas_from(SOLVANE_ATLAS_FILE), 1);
    struct Row {
        const char* line;
        double angstrom;
        int darkest, median;
    } rows[] = {{"H-alpha", 6562.8, 46, 243}, {"Na D1", 5895.9, 14, 251}, {"Na D2", 5890.0, 12, 251},
                {"He D3", 5875.6, 244, 251},  {"H-beta", 4861.3, 38, 229}, {"Ca II H", 3968.5, 17, 129},
                {"Ca II K", 3933.7, 18, 129}, {"CN", 3883.2, 30, 129}};
    for (const Row& row : rows) {
        const AtlasWindow* w = atlas_window_for(row.angstrom);
        ASSERT_NE(w, nullptr);
        int centre = w->first_index + static_cast<int>((row.angstrom - w->start) / ATLAS_STEP);
        int darkest = 255;
        for (int k = centre - 150; k <= centre + 150; ++k) darkest = std::min(darkest, static_cast<int>(solar_atlas[k]));
        std::vector<unsigned char> levels(solar_atlas + w->first_index, solar_atlas + w->first_index + w->samples);
        std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
        EXPECT_EQ(darkest, row.darkest) << row.line;
        EXPECT_EQ(levels[levels.size() / 2], row.median) << row.line;
    }
}

// The converter's output against the reference conversion of the same atlas, when this machine
// has the reference (it lives beside the source tree, not in it).
TEST(SolarAtlas, TheShippedDataAgreesWithTheReferenceConversion)
{
    std::string reference = read_file(SOLVANE_ATLAS_REFERENCE);
    if (reference.empty()) GTEST_SKIP() << "no reference conversion at " << SOLVANE_ATLAS_REFERENCE;
    std::string shipped = read_file(SOLVANE_ATLAS_FILE);
    ASSERT_EQ(shipped.size(), 140000u);
    ASSERT_EQ(reference.size(), 140000u);
    int worst = 0;
    for (size_t k = 0; k < shipped.size(); ++k)
        worst = std::max(worst, std::abs(static_cast<unsigned char>(shipped[k]) - static_cast<unsigned char>(reference[k])));
    EXPECT_LE(worst, 2);
}

}  // namespace
