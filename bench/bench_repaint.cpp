// What the cached panel backgrounds save: one timer repaint of four Full panels (live curves and
// texts over the cached backgrounds) against one repaint that rebuilds the four backgrounds
// (strips, solar atlas averages, scale, titles).
#include "control/display/atlas.h"
#include "control/display/panel.h"
#include "control/shell/app_state.h"
#include "sim/simulator.h"

#include <QApplication>
#include <QImage>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double median_ms(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    reset_app_state();
    load_solar_atlas();
    std::vector<SimFilter> preset = sim_preset();
    for (int i = 0; i < SLOT_COUNT; ++i) {
        FilterRecord& slot = filter_slots[i];
        slot.connected = 1;
        slot.center_wavelength = preset[static_cast<size_t>(i)].center_wavelength;
        slot.wing_shift = -0.2;
        slot.wavelength = slot.center_wavelength - 0.1;
        slot.sleeping = 0;
        slot.zoom_span = i == 1 ? 30.0 : 10.0;
        copy_text(slot.bandwidth_text, BANDWIDTH_TEXT_SIZE, preset[static_cast<size_t>(i)].bandwidth_text.c_str(), 10);
    }
    QImage window(797, 4 * PANEL_HEIGHT_FULL, QImage::Format_ARGB32_Premultiplied);
    window.fill(Qt::white);

    auto time_repaint = [&](int rebuild) {
        std::vector<double> ms;
        for (int r = 0; r < rounds; ++r) {
            auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < SLOT_COUNT; ++i) paint_filter_panel(window, rebuild, i);
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        return median_ms(ms);
    };
    time_repaint(1);  // warm the font caches
    const double cached = time_repaint(0), rebuilt = time_repaint(1);
    std::printf("%-44s %9s %9s %7s\n", "figure", "cached", "rebuild", "ratio");
    std::printf("%-44s %7.2fms %7.2fms %7.3f\n", "repaint of four Full panels (797 x 1032)", cached, rebuilt, cached / rebuilt);
    std::printf("(median of %d repaints each, off screen)\n", rounds);
    return 0;
}
