// Decoding of numeric replies and the status line, and the periodic status and age polls.
//
// Firmware below 1.25 answers in decimal; from 1.25 on numeric fields are hexadecimal without
// prefix, with the wing shift in the low 8 bits and the temperature in the low 16 bits of their
// fields as two's complement. The status line itself carries the version, and decides the
// decoding of the very reply it starts.
#include "link/solvane_link.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <limits>
#include <string>

namespace {

// Plausible ranges (both ends included) and the fallbacks that replace an implausible value.
constexpr double WAVELENGTH_MIN = 1000, WAVELENGTH_MAX = 12000, WAVELENGTH_FALLBACK = 6562.8;
constexpr double RAW_WING_SHIFT_LIMIT = 30;  // tenths of an Angstrom
constexpr double TEMPERATURE_MIN = -100, TEMPERATURE_MAX = 300, TEMPERATURE_FALLBACK = 120;
constexpr double VOLTAGE_MIN = 1, VOLTAGE_MAX = 100, VOLTAGE_FALLBACK = 12;
constexpr double SCREW_LIMIT = 3, SCREW_FALLBACK = 0;

// Minutes in the age breakdown: a year of 365.25 days and a month of 30.6 days.
constexpr int MINUTES_PER_YEAR = 525960;
constexpr int MINUTES_PER_MONTH = 44064;
constexpr int MINUTES_PER_DAY = 1440;
constexpr int MINUTES_PER_HOUR = 60;

// A NaN or infinity from "%lf" ("nan", "inf" are numbers to scanf) is never plausible.
bool in_range(double value, double low, double high) { return value >= low && value <= high; }

std::int32_t saturate(long long value)
{
    if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

// A hexadecimal field is a 32-bit value read as signed. Fields are read as long long, which has
// 64 bits on every platform (long has 32 on Windows, where a wider value would not saturate).
std::int32_t low32(unsigned long long value) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(value)); }

}  // namespace

int is_hex_firmware(double firmware_version) { return firmware_version >= HEX_REPLY_VERSION; }

std::int32_t decode_decimal_value(const char* reply)
{
    if (reply == nullptr) return 0;
    const char* p = reply;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    long long value = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        if (value < (1LL << 40)) value = value * 10 + (*p - '0');
        ++p;
    }
    return saturate(negative ? -value : value);
}

double read_decimal_number(const char* text)
{
    if (text == nullptr) return 0.0;
    auto digits = [](const char*& p) {
        int count = 0;
        while (std::isdigit(static_cast<unsigned char>(*p))) {
            ++p;
            ++count;
        }
        return count;
    };
    const char* start = text;
    while (std::isspace(static_cast<unsigned char>(*start))) ++start;
    const char* p = start;
    if (*p == '+' || *p == '-') ++p;
    int count = digits(p);
    if (*p == '.') count += digits(++p);
    if (count == 0) return 0.0;
    if (*p == 'E' || *p == 'e') {
        const char* q = p + 1;
        if (*q == '+' || *q == '-') ++q;
        if (digits(q) > 0) p = q;
    }
    // Only the accepted characters reach strtod, which alone would also take INF, NAN and
    // hexadecimal forms.
    return std::strtod(std::string(start, p).c_str(), nullptr);
}

std::int32_t decode_reply_value(const char* reply, double firmware_version)
{
    if (reply == nullptr) return 0;
    if (!is_hex_firmware(firmware_version)) return decode_decimal_value(reply);
    unsigned long long value = 0;
    if (std::sscanf(reply, "%llx", &value) != 1) return 0;
    return low32(value);
}

double read_firmware_version(const char* reply, double previous)
{
    double version = 0;
    if (reply == nullptr || std::sscanf(reply, "v%lf ", &version) != 1) return previous;
    return std::isfinite(version) ? version : previous;
}

int decode_status_line(const char* reply, int hexadecimal, StatusFields& f)
{
    f = StatusFields{};
    if (reply == nullptr) return 0;
    // The first token is read whole into a buffer as large as a reply, so a long token can
    // neither overflow nor shift the following fields; the firmware field cuts it later.
    int count;
    if (hexadecimal) {
        unsigned long long v[9] = {};
        count = std::sscanf(reply, "%83s %llx %llx %llx %llx %llx %llx %llx %llx %llx", f.firmware_text,
                            &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8]);
        f.status_code = low32(v[0]);
        f.on_band = low32(v[1]);
        f.wavelength = low32(v[2]);
        f.wing_shift = static_cast<std::int8_t>(v[3] & 0xFF);
        f.heater_on = low32(v[4]);
        f.heater_cycle = low32(v[5]);
        f.temperature = static_cast<std::int16_t>(v[6] & 0xFFFF);
        f.supply_voltage = low32(v[7]);
        f.calibration_screw = low32(v[8]);
    } else {
        long long status = 0, on_band = 0, heater_on = 0, heater_cycle = 0;
        count = std::sscanf(reply, "%83s %lld %lld %lf %lf %lld %lld %lf %lf %lf", f.firmware_text,
                            &status, &on_band, &f.wavelength, &f.wing_shift, &heater_on,
                            &heater_cycle, &f.temperature, &f.supply_voltage,
                            &f.calibration_screw);
        f.status_code = saturate(status);
        f.on_band = saturate(on_band);
        f.heater_on = saturate(heater_on);
        f.heater_cycle = saturate(heater_cycle);
    }
    f.count = count < 0 ? 0 : count;
    return f.count;
}

void apply_status_fields(FilterRecord& r, const StatusFields& f)
{
    const int n = f.count;
    r.firmware_text[0] = '\0';
    if (n >= 1) copy_text(r.firmware_text, FIRMWARE_TEXT_SIZE, f.firmware_text, FIRMWARE_TEXT_SIZE - 1);
    if (n >= 2) r.status_code = f.status_code;
    if (n >= 3) r.on_band = f.on_band;
    // A reply without a status code and an on-band flag (NUL bytes, noise) says nothing about the
    // filter: implausible data, never the last good status left standing.
    if (n < 3) r.status_code = STATUS_BAD_CONNECTION;
    if (n >= 4) {
        r.wavelength = f.wavelength / 10;
        if (!in_range(r.wavelength, WAVELENGTH_MIN, WAVELENGTH_MAX)) {
            r.status_code = STATUS_BAD_CONNECTION;
            r.wavelength = WAVELENGTH_FALLBACK;
        }
    }
    if (n >= 5) {
        double raw = f.wing_shift;
        if (!in_range(raw, -RAW_WING_SHIFT_LIMIT, RAW_WING_SHIFT_LIMIT)) {
            r.status_code = STATUS_BAD_CONNECTION;
            raw = 0;
        }
        // The filter's own value replaces whatever the program last commanded.
        r.wing_shift = raw / 10;
    }
    if (n >= 6) r.heater_on = f.heater_on;
    if (n >= 7) r.heater_cycle = f.heater_cycle;
    if (n >= 8) {
        r.temperature = f.temperature / 100;
        if (!in_range(r.temperature, TEMPERATURE_MIN, TEMPERATURE_MAX)) {
            r.status_code = STATUS_BAD_CONNECTION;
            r.temperature = TEMPERATURE_FALLBACK;
        }
    }
    if (n >= 9) {
        r.supply_voltage = f.supply_voltage / 100;
        if (!in_range(r.supply_voltage, VOLTAGE_MIN, VOLTAGE_MAX)) {
            r.status_code = STATUS_BAD_CONNECTION;
            r.supply_voltage = VOLTAGE_FALLBACK;
        }
    }
    if (n >= 10) {
        r.calibration_screw = f.calibration_screw / 10000;
        if (!in_range(r.calibration_screw, -SCREW_LIMIT, SCREW_LIMIT)) {
            r.status_code = STATUS_BAD_CONNECTION;
            r.calibration_screw = SCREW_FALLBACK;
        }
    }
    // A negative on-count is no heating: power stays within 0 to 100 percent.
    if (r.heater_cycle <= 0 || r.heater_on <= 0)
        r.heater_power = 0;
    else if (r.heater_on < r.heater_cycle)
        r.heater_power = static_cast<double>(r.heater_on) * 100 / r.heater_cycle;
    else
        r.heater_power = 100;
    if (r.heater_power > 0) r.sleeping = 0;
}

void break_down_age(FilterRecord& r)
{
    int rest = r.age_minutes_total < 0 ? 0 : r.age_minutes_total;
    r.age_years = rest / MINUTES_PER_YEAR;
    rest -= r.age_years * MINUTES_PER_YEAR;
    r.age_months = rest / MINUTES_PER_MONTH;
    rest -= r.age_months * MINUTES_PER_MONTH;
    r.age_days = rest / MINUTES_PER_DAY;
    rest -= r.age_days * MINUTES_PER_DAY;
    r.age_hours = rest / MINUTES_PER_HOUR;
    r.age_minutes = rest - r.age_hours * MINUTES_PER_HOUR;
}

int apply_age_reply(FilterRecord& r, const char* reply, int hexadecimal)
{
    if (reply == nullptr) return 0;
    std::int32_t minutes = 0;
    int count;
    if (hexadecimal) {
        unsigned long long first = 0, second = 0;
        count = std::sscanf(reply, "%llx %llx", &first, &second);
        minutes = low32(second);
    } else {
        long long first = 0, second = 0;
        count = std::sscanf(reply, "%lld %lld", &first, &second);
        minutes = saturate(second);
    }
    if (count < 2) return 0;  // no minutes value: the last age stands
    r.age_minutes_total = minutes < 0 ? 0 : minutes;
    break_down_age(r);
    return 1;
}

void apply_status_reply(FilterRecord& r, const char* reply)
{
    r.firmware_version = read_firmware_version(reply, r.firmware_version);
    StatusFields fields;
    decode_status_line(reply, is_hex_firmware(r.firmware_version), fields);
    apply_status_fields(r, fields);
}

void poll_filter_status(FilterRecord& r)
{
    char reply[REPLY_BUFFER_SIZE];
    if (serial_exchange(r.connected, r.port_handle, CMD_STATUS, reply) == 0) {
        r.status_code = STATUS_NO_COMMUNICATION;
        return;
    }
    apply_status_reply(r, reply);
}

void poll_filter_age(FilterRecord& r)
{
    char reply[REPLY_BUFFER_SIZE];
    if (serial_exchange(r.connected, r.port_handle, CMD_AGE, reply) == 0) {
        r.status_code = STATUS_NO_COMMUNICATION;
        return;
    }
    apply_age_reply(r, reply, is_hex_firmware(r.firmware_version));
}
