// Fuzz target: whatever a device sends as a status, age or value reply. The reply reaches the
// decoders as the link delivers it: at most 83 bytes with a zero byte after them.
#include "link/solvane_link.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    char reply[REPLY_BUFFER_SIZE];
    const size_t n = size < REPLY_MAX ? size : REPLY_MAX;
    std::memcpy(reply, data, n);
    reply[n] = '\0';

    for (double version : {0.0, 1.24, 1.25, 2.0}) {
        FilterRecord r;
        r.firmware_version = read_firmware_version(reply, version);
        StatusFields fields;
        int count = decode_status_line(reply, is_hex_firmware(r.firmware_version), fields);
        if (count < 0 || count > 10) __builtin_trap();
        apply_status_fields(r, fields);
        if (std::strlen(r.firmware_text) > FIRMWARE_TEXT_SIZE - 1) __builtin_trap();
        // Every checked field is inside its range or the slot is flagged.
        bool plausible = r.wavelength >= 1000 && r.wavelength <= 12000 && r.temperature >= -100 &&
                         r.temperature <= 300 && r.supply_voltage >= 1 && r.supply_voltage <= 100;
        if (count == 10 && !plausible && r.status_code != STATUS_BAD_CONNECTION) __builtin_trap();
        if (!(r.heater_power >= 0 && r.heater_power <= 100)) __builtin_trap();
        apply_age_reply(r, reply, is_hex_firmware(version));
        if (r.age_minutes_total < 0 || r.age_minutes < 0 || r.age_minutes > 59) __builtin_trap();
        decode_reply_value(reply, version);
        char text[STATUS_TEXT_SIZE];
        if (std::strlen(status_text(r, text)) > STATUS_TEXT_SIZE - 1) __builtin_trap();
    }
    read_decimal_number(reply);
    return 0;
}
