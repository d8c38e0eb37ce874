// The spectral model of the panels: the colour of a wavelength, a filter's modelled
// transmission, the table of solar lines and the wavelength texts. Pure functions, no state.
// Every wavelength, span and bandwidth is in Angstrom; nanometres appear only in texts.
#pragma once

#include "link/solvane_link.h"

#include <array>
#include <string>

struct Rgb {
    int r, g, b;  // 0..255 each
};

// The display colour of a wavelength: black outside 380..700 nm, fading to black at both ends.
Rgb wavelength_to_rgb(double angstrom);

// Transmission 0..1 at lambda of a filter whose curve is centred at center with the full width
// at half maximum bandwidth: the flat-topped calcium profile for centres strictly between 3900
// and 4000 A, else a Gaussian that is 0.5 at half the bandwidth.
double filter_transmission(double lambda, double center, double bandwidth);

struct SpectralLine {
    const char* line_name;  // drawn on the panel
    const char* line_tag;   // prefix of the filter's menu label, ends in one blank
    double line_wavelength;
};

// The nine solar lines, in the order they are matched.
const std::array<SpectralLine, 9>& spectral_line_table();

// The first line within strictly less than 1.0 A of center, or nullptr.
const SpectralLine* match_spectral_line(double center);

// "%.1fÅ" in Angstrom mode, "%.2fnm" of the value / 10 in nanometre mode (units_nm non-zero).
std::string format_wavelength(double angstrom, int units_nm);

// A bandwidth text as every program writes it (UTF-8): the filter's bytes, with an Angstrom sign
// after a bare number ("0.5" gives "0.5Å"); a text that ends in its own unit ("0.7A") or is
// empty stays as it is, so no "0.7AÅ".
std::string bandwidth_with_unit(const char* bandwidth_text);

// The filter as every program labels it (the window's popups, the Alpaca device names, the web
// page): line tag, bandwidth_with_unit, edition
// ("H-a 0.7A PRO"), UTF-8. Empty while the record has no connected filter.
std::string filter_label(const FilterRecord& record);
