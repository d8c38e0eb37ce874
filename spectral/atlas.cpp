// The solar atlas; see atlas.h.
#include "spectral/atlas.h"

#include "spectral/data_files.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

unsigned char solar_atlas[SOLAR_ATLAS_SIZE];

namespace {

const std::array<AtlasWindow, 5> ATLAS_WINDOWS = {{
    {3865, 3985, 0, 60000},       // cyanogen, calcium K and H
    {4845, 4880, 60000, 17500},   // hydrogen beta
    {5285, 5320, 77500, 17500},   // iron XIV
    {5860, 5915, 95000, 27500},   // helium D3, sodium D2 and D1
    {6545, 6580, 122500, 17500},  // hydrogen alpha
}};

std::string loaded_from;

// The sample index of a wavelength, cut toward zero as the file's layout counts, and confined to
// the window (a NaN or an endless value lands on an edge too).
int window_index(const AtlasWindow& w, double angstrom)
{
    double offset = std::trunc((angstrom - w.start) / ATLAS_STEP);
    if (!(offset >= 0)) offset = 0;
    if (offset > w.samples - 1) offset = w.samples - 1;
    return w.first_index + static_cast<int>(offset);
}

}  // namespace

const std::array<AtlasWindow, 5>& atlas_window_table() { return ATLAS_WINDOWS; }

int load_solar_atlas_from(const char* path)
{
    std::FILE* file = path != nullptr && path[0] != '\0' ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        std::memset(solar_atlas, 255, sizeof solar_atlas);
        return 0;
    }
    std::memset(solar_atlas, 0, sizeof solar_atlas);
    size_t n = std::fread(solar_atlas, 1, sizeof solar_atlas, file);
    (void)n;  // a short file leaves the rest black
    std::fclose(file);
    return 1;
}

const char* load_solar_atlas()
{
    loaded_from = find_data_file("solaratlas.bin");
    if (!load_solar_atlas_from(loaded_from.c_str())) loaded_from.clear();
    return loaded_from.c_str();
}

const AtlasWindow* atlas_window_for(double center)
{
    for (const AtlasWindow& w : ATLAS_WINDOWS)
        if (w.start < center && center < w.end) return &w;
    return nullptr;
}

double atlas_mean_intensity(const AtlasWindow& w, double low, double high)
{
    const int u = window_index(w, low), v = window_index(w, high);
    if (v < u) return 0.0;
    long sum = 0;
    for (int k = u; k <= v; ++k) sum += solar_atlas[k];
    return static_cast<double>(sum) / (v - u + 1) / 255;
}
