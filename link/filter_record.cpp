// Filter record helpers and the status texts shown by both programs.
#include "link/solvane_link.h"
#include "link/link_thread.h"

#include <cstdio>
#include <cstring>

void copy_text(char* field, int field_size, const char* text, int max_chars)
{
    if (field == nullptr || field_size <= 0) return;
    int limit = field_size - 1;
    if (max_chars >= 0 && max_chars < limit) limit = max_chars;
    int n = 0;
    if (text != nullptr) {
        while (n < limit && text[n] != '\0') {
            field[n] = text[n];
            ++n;
        }
    }
    field[n] = '\0';
}

namespace {

struct StatusTextRow {
    FilterStatusCode code;
    const char* text;
};

// Codes with a text of their own; every other non-zero code reads "Error %d".
constexpr StatusTextRow STATUS_TEXTS[] = {
    {1, "Dead battery"},
    {2, "Too cold outside"},
    {3, "Low battery"},
    {4, "Voltage too high!"},
    {5, "Too hot outside"},
    {10, "Broken thermistor wire"},
    {11, "Shorted thermistor wire"},
    {20, "Open heater wire"},
    {STATUS_BAD_CONNECTION, "Bad connection"},
    {STATUS_NO_COMMUNICATION, "No communication"},
};

// The passband counts as at its target within this many Angstrom on either side.
constexpr double ON_TARGET_TOLERANCE = 0.05;

}  // namespace

const char* status_text(const FilterRecord& slot, char out[STATUS_TEXT_SIZE])
{
    const char* text = nullptr;
    if (slot.status_code == 0) {
        double target = slot.center_wavelength + slot.wing_shift;
        if (slot.sleeping != 0)
            text = "Sleep, heater off.";
        else if (slot.on_band != 0)
            text = "On band";
        else if (target + ON_TARGET_TOLERANCE < slot.wavelength)
            text = "Cooling...";
        else if (slot.wavelength < target - ON_TARGET_TOLERANCE)
            text = "Heating...";
        else
            text = "Stabilizing...";
    } else {
        for (const StatusTextRow& row : STATUS_TEXTS)
            if (row.code == slot.status_code) text = row.text;
    }
    if (text != nullptr)
        copy_text(out, STATUS_TEXT_SIZE, text, STATUS_TEXT_SIZE - 1);
    else
        std::snprintf(out, STATUS_TEXT_SIZE, "Error %d", static_cast<int>(slot.status_code));
    return out;
}

std::string latin1_to_utf8(const char* text)
{
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        if (*p < 0x80) {
            out += static_cast<char>(*p);
        } else {
            out += static_cast<char>(0xC0 | (*p >> 6));
            out += static_cast<char>(0x80 | (*p & 0x3F));
        }
    }
    return out;
}

LinkThread& link_thread()
{
    thread_local LinkThread mine;
    return mine;
}
