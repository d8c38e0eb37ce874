// The spectral model; see spectral.h.
#include "spectral/spectral.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

struct ColourSegment {
    double from, to;  // nanometres, closed
    double (*r)(double), (*g)(double), (*b)(double);
};

// Applied in order; a later segment containing x overwrites an earlier one. At a shared
// boundary both give the same colour.
const ColourSegment COLOUR_SEGMENTS[] = {
    {380, 420, [](double) { return 0.7; }, [](double x) { return (420 - x) / 40; }, [](double) { return 1.0; }},
    {420, 460, [](double x) { return 0.7 * (460 - x) / 40; }, [](double) { return 0.0; }, [](double) { return 1.0; }},
    {460, 490, [](double) { return 0.0; }, [](double x) { return 0.8 * (x - 460) / 30; },
     [](double x) { return 1 - 0.2 * (x - 460) / 30; }},
    {490, 520, [](double) { return 0.0; }, [](double x) { return 0.8 + 0.2 * (x - 490) / 30; },
     [](double x) { return 0.8 * (520 - x) / 30; }},
    {520, 580, [](double x) { return (x - 520) / 60; }, [](double) { return 1.0; }, [](double) { return 0.0; }},
    {580, 650, [](double) { return 1.0; }, [](double x) { return (650 - x) / 70; }, [](double) { return 0.0; }},
    {650, 700, [](double) { return 1.0; }, [](double) { return 0.0; }, [](double) { return 0.0; }},
};

// The half-width constants of the two profiles.
constexpr double CALCIUM_HALF_WIDTH_FACTOR = 0.84;
constexpr double GAUSSIAN_HALF_WIDTH_FACTOR = 1.17741;
constexpr double LINE_MATCH_LIMIT = 1.0;

const std::array<SpectralLine, 9> SPECTRAL_LINES = {{
    {"Hydrogen alpha", "H-a ", 6562.8},
    {"Sodium D1", "Na-D1 ", 5895.9},
    {"Sodium D2", "Na-D2 ", 5890.0},
    {"Helium D3", "He-D3 ", 5875.6},
    {"Iron XIV", "Fe-XIV ", 5302.9},
    {"Hydrogen beta", "H-\u03B2 ", 4861.3},
    {"Calcium II H", "Ca-H ", 3968.5},
    {"Calcium II K", "Ca-K ", 3933.7},
    {"Cyanogen", "CN ", 3883.2},
}};

}  // namespace

Rgb wavelength_to_rgb(double angstrom)
{
    const double x = angstrom / 10;
    if (!(x >= 380 && x <= 700)) return {0, 0, 0};
    double r = 0, g = 0, b = 0;
    for (const ColourSegment& s : COLOUR_SEGMENTS) {
        if (x >= s.from && x <= s.to) {
            r = s.r(x);
            g = s.g(x);
            b = s.b(x);
        }
    }
    double f = 1;
    if (x > 650)
        f = (700 - x) / 50;
    else if (x < 420)
        f = (x - 380) / 40;
    const double gamma = x < 420 ? 0.8 + 0.2 * (420 - x) / 40 : 0.8;
    auto channel = [&](double v) { return static_cast<int>(255 * std::pow(v * f, gamma)); };
    return {channel(r), channel(g), channel(b)};
}

double filter_transmission(double lambda, double center, double bandwidth)
{
    if (center > 3900 && center < 4000) {
        const double t = bandwidth / 2 / CALCIUM_HALF_WIDTH_FACTOR;
        return 1 / std::exp(std::pow(std::fabs(lambda - center), 3.5) / (t * t));
    }
    const double s = bandwidth / 2 / GAUSSIAN_HALF_WIDTH_FACTOR;
    return 1 / std::exp((lambda - center) * (lambda - center) / (2 * s * s));
}

const std::array<SpectralLine, 9>& spectral_line_table() { return SPECTRAL_LINES; }

const SpectralLine* match_spectral_line(double center)
{
    for (const SpectralLine& line : SPECTRAL_LINES)
        if (std::fabs(line.line_wavelength - center) < LINE_MATCH_LIMIT) return &line;
    return nullptr;
}

std::string format_wavelength(double angstrom, int units_nm)
{
    char text[64];
    if (units_nm)
        std::snprintf(text, sizeof text, "%.2fnm", angstrom / 10);
    else
        std::snprintf(text, sizeof text, "%.1f\u00C5", angstrom);
    return text;
}

std::string bandwidth_with_unit(const char* bandwidth_text)
{
    const size_t length = std::strlen(bandwidth_text);
    const char last = length > 0 ? bandwidth_text[length - 1] : '\0';
    const bool has_unit = length == 0 || last == 'A' || last == 'a';
    return latin1_to_utf8(bandwidth_text) + (has_unit ? "" : "\u00C5");
}

std::string filter_label(const FilterRecord& r)
{
    if (!r.connected) return "";
    const SpectralLine* line = match_spectral_line(r.center_wavelength);
    return std::string(line ? line->line_tag : "") + bandwidth_with_unit(r.bandwidth_text) + " " +
           latin1_to_utf8(r.edition_text);
}
