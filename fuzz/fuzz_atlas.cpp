// Fuzz target: any file as solaratlas.bin, and any interval averaged over it.
#include "spectral/atlas.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    static const std::string path = "/tmp/solvane-fuzz-atlas-" + std::to_string(::getpid()) + ".bin";
    // The first 24 bytes choose a display centre and an interval; the rest is the file.
    double numbers[3] = {6562.8, 6560.0, 6565.0};
    const size_t head = size < sizeof numbers ? size : sizeof numbers;
    std::memcpy(numbers, data, head);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data + head, 1, size - head, file);
    std::fclose(file);
    load_solar_atlas_from(path.c_str());

    for (const AtlasWindow* window : {atlas_window_for(numbers[0]), &atlas_window_table()[0], &atlas_window_table()[4]}) {
        if (window == nullptr) continue;
        double mean = atlas_mean_intensity(*window, numbers[1], numbers[2]);
        if (!(mean >= 0.0 && mean <= 1.0)) __builtin_trap();
    }
    return 0;
}
