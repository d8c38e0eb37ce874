// solvane-render-panel: draws one connected filter panel into a PNG, exactly as the main window
// shows Filter 1, without a window. For documentation, tests and observers who want a picture of
// a setting.
#include "spectral/atlas.h"
#include "panels/panel.h"

#include <QGuiApplication>
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char USAGE[] =
    "Usage: solvane-render-panel [options] --out FILE.png\n"
    "Draws the panel of one connected filter as the main window shows Filter 1.\n"
    "\n"
    "  --center A       the filter's nominal line in Angstrom (default 6562.8)\n"
    "  --shift A        wing shift in Angstrom (default 0)\n"
    "  --current A      current passband centre (default: on target)\n"
    "  --bandwidth TEXT bandwidth text as the filter reports it (default 0.7A)\n"
    "  --span A         displayed span: 30, 10 or 2.5 (default 10)\n"
    "  --edition TEXT   edition text (default PRO)\n"
    "  --status CODE    status code (default 0)\n"
    "  --sleeping       the heater is off\n"
    "  --on-band        the filter reports on band\n"
    "  --nm             nanometre units\n"
    "  --simple         Simple display (text only, 170 pixels wide)\n"
    "  --out FILE       the PNG to write\n";

int usage_error(const char* message)
{
    std::fprintf(stderr, "solvane-render-panel: %s\n%s", message, USAGE);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication application(argc, argv);

    FilterRecord slot;
    int full_display = 1, units_nm = 0;
    slot.connected = 1;
    slot.center_wavelength = 6562.8;
    slot.sleeping = 0;
    copy_text(slot.bandwidth_text, BANDWIDTH_TEXT_SIZE, "0.7A", BANDWIDTH_TEXT_SIZE - 1);
    copy_text(slot.edition_text, EDITION_TEXT_SIZE, "PRO", EDITION_TEXT_SIZE - 1);
    bool current_given = false;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto number = [&](double& target) {
            if (value == nullptr) return false;
            char* end = nullptr;
            target = std::strtod(value, &end);
            ++i;
            return end != value && *end == '\0';
        };
        if (arg == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (arg == "--center") {
            if (!number(slot.center_wavelength)) return usage_error("--center needs a number");
        } else if (arg == "--shift") {
            if (!number(slot.wing_shift)) return usage_error("--shift needs a number");
        } else if (arg == "--current") {
            if (!number(slot.wavelength)) return usage_error("--current needs a number");
            current_given = true;
        } else if (arg == "--span") {
            if (!number(slot.zoom_span)) return usage_error("--span needs a number");
        } else if (arg == "--bandwidth" && value) {
            copy_text(slot.bandwidth_text, BANDWIDTH_TEXT_SIZE, argv[++i], BANDWIDTH_TEXT_SIZE - 1);
        } else if (arg == "--edition" && value) {
            copy_text(slot.edition_text, EDITION_TEXT_SIZE, argv[++i], EDITION_TEXT_SIZE - 1);
        } else if (arg == "--status") {
            double code = 0;
            if (!number(code)) return usage_error("--status needs a number");
            slot.status_code = static_cast<FilterStatusCode>(code);
        } else if (arg == "--sleeping") {
            slot.sleeping = 1;
        } else if (arg == "--on-band") {
            slot.on_band = 1;
        } else if (arg == "--nm") {
            units_nm = 1;
        } else if (arg == "--simple") {
            full_display = 0;
        } else if (arg == "--out" && value) {
            out = argv[++i];
        } else {
            return usage_error(("unknown option " + arg).c_str());
        }
    }
    if (out.empty()) return usage_error("--out FILE is needed");
    if (!current_given) slot.wavelength = slot.center_wavelength + slot.wing_shift;

    load_solar_atlas();
    const QImage window = render_panel_image(slot, full_display, units_nm);
    if (!window.save(QString::fromLocal8Bit(out.c_str()), "PNG")) {
        std::fprintf(stderr, "solvane-render-panel: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
