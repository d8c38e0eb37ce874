// The solar atlas: five windows of a high-resolution solar spectrum around the filters' lines,
// one byte per 0.002 A (0 dark, 255 the window's brightest level), read from solaratlas.bin.
#pragma once

#include <array>

constexpr int SOLAR_ATLAS_SIZE = 140000;
constexpr double ATLAS_STEP = 0.002;  // Angstrom per sample

struct AtlasWindow {
    double start, end;  // Angstrom; sample j of the window lies at start + j x 0.002
    int first_index;    // of its first sample in the table
    int samples;
};

// The table the panels read; all 0 before loading, read-only after it.
extern unsigned char solar_atlas[SOLAR_ATLAS_SIZE];

// The five windows, in file order.
const std::array<AtlasWindow, 5>& atlas_window_table();

// Loads solaratlas.bin from the current directory, else from the program's data directory. No
// file fills the table with 255 (the strip then shows plain spectrum colours); a short file
// fills what it holds and leaves the rest 0. Silent either way. Returns the file used, or "".
const char* load_solar_atlas();

// Loads the table from one file path by the same rules (a missing file fills it with 255).
// Returns 1 when the file was read.
int load_solar_atlas_from(const char* path);

// The first window with start < center < end, or nullptr.
const AtlasWindow* atlas_window_for(double center);

// The mean of the samples from low to high (Angstrom) as 0..1; indices are confined to the
// window, so an interval reaching past its edge averages the edge samples.
double atlas_mean_intensity(const AtlasWindow& window, double low, double high);
