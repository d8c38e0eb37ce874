// make-solar-atlas: turns a 1-D solar spectrum in FITS form into solaratlas.bin, the five
// wavelength windows the panels draw the Sun's spectrum from.
//
// Each window is sampled every 0.002 A by linear interpolation between the source's samples and
// scaled on its own, so that a chosen percentile of its relative flux (the 99.9th by default)
// becomes 255; brighter samples are clipped, values are rounded to the nearest level. Per-window
// scaling keeps the deep calcium lines and the bright red continuum equally legible.
#include "spectral/atlas.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char USAGE[] =
    "Usage: make-solar-atlas INPUT.fits OUTPUT.bin [options]\n"
    "Resamples a 1-D solar spectrum (FITS primary image, linear wavelength axis) into the\n"
    "140,000-byte solaratlas.bin: five windows sampled every 0.002 A, one byte per sample.\n"
    "\n"
    "  --percentile P   scale each window so its P-th percentile of flux is 255 (default 99.9)\n"
    "  --flux F         scale every window so that flux F is 255 instead\n"
    "  --unit U         wavelength unit of the FITS axis: m, nm or A (default: from CUNIT1,\n"
    "                   else metres when CRVAL1 is below 1e-3, else Angstrom)\n"
    "  --shift A        add A Angstrom to every source wavelength (e.g. a vacuum-to-air offset)\n"
    "  --help           show this text\n";

struct FitsSpectrum {
    std::vector<double> flux;
    double crval1 = 0, crpix1 = 1, cdelt1 = 0;
    std::string cunit1;
};

std::string card_value(const std::string& card)
{
    std::string value = card.size() > 10 ? card.substr(10) : "";
    size_t slash = value.find('/');
    if (value.find('\'') == std::string::npos && slash != std::string::npos) value.resize(slash);
    size_t a = value.find('\''), b = value.rfind('\'');
    if (a != std::string::npos && b > a) value = value.substr(a + 1, b - a - 1);
    size_t first = value.find_first_not_of(' ');
    size_t last = value.find_last_not_of(' ');
    return first == std::string::npos ? "" : value.substr(first, last - first + 1);
}

constexpr size_t FITS_BLOCK = 2880, FITS_CARD = 80;

// The header cards of a FITS file up to END, keyword to value; at is left at the first byte
// after the header. Returns 0 when there is no END card.
int read_fits_header(const std::string& content, std::map<std::string, std::string>& header, size_t& at)
{
    at = 0;
    while (at + FITS_CARD <= content.size()) {
        std::string card = content.substr(at, FITS_CARD);
        at += FITS_CARD;
        std::string key = card.substr(0, 8);
        key.erase(key.find_last_not_of(' ') + 1);
        if (key == "END") return 1;
        if (!key.empty() && card.size() > 9 && card[8] == '=') header[key] = card_value(card);
    }
    return 0;
}

// One big-endian sample of BITPIX bitpix into value. Returns 0 for a BITPIX FITS does not know.
int fits_sample(const unsigned char* p, int bitpix, double& value)
{
    const size_t width = static_cast<size_t>(std::abs(bitpix) / 8);
    std::uint64_t raw = 0;
    for (size_t k = 0; k < width; ++k) raw = (raw << 8) | p[k];  // FITS is big-endian
    switch (bitpix) {
    case 8: value = static_cast<double>(raw); return 1;
    case 16: value = static_cast<std::int16_t>(raw); return 1;
    case 32: value = static_cast<std::int32_t>(raw); return 1;
    case -32: { std::uint32_t u = static_cast<std::uint32_t>(raw); float f; std::memcpy(&f, &u, 4); value = f; return 1; }
    case -64: { double d; std::memcpy(&d, &raw, 8); value = d; return 1; }
    default: return 0;
    }
}

// Reads a FITS primary image of one axis. Returns an empty flux on any error, with a message.
FitsSpectrum read_fits(const char* path, std::string& error)
{
    FitsSpectrum s;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = std::string("cannot open ") + path;
        return s;
    }
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::map<std::string, std::string> header;
    size_t at = 0;
    if (!read_fits_header(content, header, at)) {
        error = "no END card in the FITS header";
        return s;
    }
    size_t data = (at + FITS_BLOCK - 1) / FITS_BLOCK * FITS_BLOCK;
    int bitpix = std::atoi(header["BITPIX"].c_str());
    long count = std::atol(header["NAXIS1"].c_str());
    if (std::atoi(header["NAXIS"].c_str()) != 1 || count <= 0) {
        error = "the FITS image is not a one-axis spectrum";
        return s;
    }
    double bscale = header.count("BSCALE") ? std::atof(header["BSCALE"].c_str()) : 1.0;
    double bzero = header.count("BZERO") ? std::atof(header["BZERO"].c_str()) : 0.0;
    size_t width = static_cast<size_t>(std::abs(bitpix) / 8);
    if (width == 0 || data + width * static_cast<size_t>(count) > content.size()) {
        error = "the FITS data is shorter than NAXIS1 samples of BITPIX " + std::to_string(bitpix);
        return s;
    }
    s.flux.resize(static_cast<size_t>(count));
    for (long i = 0; i < count; ++i) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(content.data() + data + width * static_cast<size_t>(i));
        double value;
        if (!fits_sample(p, bitpix, value)) {
            error = "unsupported BITPIX " + std::to_string(bitpix);
            s.flux.clear();
            return s;
        }
        s.flux[static_cast<size_t>(i)] = value * bscale + bzero;
    }
    s.crval1 = std::atof(header["CRVAL1"].c_str());
    s.crpix1 = header.count("CRPIX1") ? std::atof(header["CRPIX1"].c_str()) : 1.0;
    s.cdelt1 = std::atof(header["CDELT1"].c_str());
    s.cunit1 = header["CUNIT1"];
    if (s.cdelt1 == 0) {
        error = "CDELT1 is missing or zero";
        s.flux.clear();
    }
    return s;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    double position = p / 100.0 * static_cast<double>(values.size() - 1);
    size_t below = static_cast<size_t>(std::floor(position));
    size_t above = std::min(below + 1, values.size() - 1);
    return values[below] + (values[above] - values[below]) * (position - static_cast<double>(below));
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(USAGE, stdout);
            return 0;
        }
    if (argc < 3) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    double pct = 99.9, fixed_flux = 0, shift = 0;
    std::string unit;
    for (int i = 3; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--percentile" && has_value) pct = std::atof(argv[++i]);
        else if (arg == "--flux" && has_value) fixed_flux = std::atof(argv[++i]);
        else if (arg == "--unit" && has_value) unit = argv[++i];
        else if (arg == "--shift" && has_value) shift = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "make-solar-atlas: unknown option %s\n%s", arg.c_str(), USAGE);
            return 2;
        }
    }
    if (!(pct > 0 && pct <= 100)) {
        std::fprintf(stderr, "make-solar-atlas: the percentile must lie in (0, 100]\n");
        return 2;
    }

    std::string error;
    FitsSpectrum s = read_fits(argv[1], error);
    if (s.flux.empty()) {
        std::fprintf(stderr, "make-solar-atlas: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    if (unit.empty()) unit = !s.cunit1.empty() ? s.cunit1 : (std::fabs(s.crval1) < 1e-3 ? "m" : "A");
    double to_angstrom = unit == "m" ? 1e10 : unit == "nm" ? 10 : unit == "A" || unit == "Angstrom" ? 1 : 0;
    if (to_angstrom == 0) {
        std::fprintf(stderr, "make-solar-atlas: unknown wavelength unit %s\n", unit.c_str());
        return 2;
    }
    // Wavelength of sample i (0-based): CRVAL1 + (i + 1 - CRPIX1) x CDELT1, as given; rounding
    // CDELT1 to a nicer value would drift by a hundredth of an Angstrom across the red windows.
    const double first_a = s.crval1 * to_angstrom + shift, step_a = s.cdelt1 * to_angstrom;
    const double sample_zero = first_a + (1 - s.crpix1) * step_a;

    std::vector<unsigned char> atlas(SOLAR_ATLAS_SIZE, 0);
    std::printf("%-8s %10s %10s %9s %12s\n", "window", "from (A)", "to (A)", "samples", "255 = flux");
    for (const AtlasWindow& w : atlas_window_table()) {
        std::vector<double> flux(static_cast<size_t>(w.samples));
        for (int j = 0; j < w.samples; ++j) {
            double lambda = w.start + j * ATLAS_STEP;
            double position = (lambda - sample_zero) / step_a;
            if (position < 0 || position > static_cast<double>(s.flux.size() - 1)) {
                std::fprintf(stderr, "make-solar-atlas: the source does not cover %.3f A\n", lambda);
                return 1;
            }
            size_t below = static_cast<size_t>(std::floor(position));
            size_t above = std::min(below + 1, s.flux.size() - 1);
            double t = position - static_cast<double>(below);
            flux[static_cast<size_t>(j)] = s.flux[below] * (1 - t) + s.flux[above] * t;
        }
        double white = fixed_flux > 0 ? fixed_flux : percentile(flux, pct);
        if (!(white > 0)) white = 1;
        for (int j = 0; j < w.samples; ++j) {
            double level = std::round(flux[static_cast<size_t>(j)] / white * 255);
            atlas[static_cast<size_t>(w.first_index + j)] = static_cast<unsigned char>(std::clamp(level, 0.0, 255.0));
        }
        std::printf("%-8d %10.1f %10.1f %9d %12.4f\n", static_cast<int>(&w - atlas_window_table().data()) + 1,
                    w.start, w.end, w.samples, white);
    }

    std::FILE* out = std::fopen(argv[2], "wb");
    if (out == nullptr || std::fwrite(atlas.data(), 1, atlas.size(), out) != atlas.size() || std::fclose(out) != 0) {
        std::fprintf(stderr, "make-solar-atlas: cannot write %s\n", argv[2]);
        return 1;
    }
    std::printf("wrote %s (%zu bytes)\n", argv[2], atlas.size());
    return 0;
}
