// Numeric decoding, the status line, scaling, range checks, the age and the status texts.
#include "link/solvane_link.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DecodeReplyValue, FollowsTheFirmwareVersion)
{
    struct Row {
        const char* name;
        const char* reply;
        double version;
        std::int32_t value;
    } rows[] = {
        {"version 1.24 reads 65628 as decimal", "65628\r\n", 1.24, 65628},
        {"version 1.25 reads 10030 as hexadecimal", "10030\r\n", 1.25, 0x10030},
        {"a new slot (version 0) starts in decimal", "120\r\n", 0, 120},
        {"hexadecimal 1005C is 65628", "1005C\r\n", 1.30, 65628},
        {"hexadecimal FFFFD8F0 is -10000", "FFFFD8F0\r\n", 1.30, -10000},
        {"a decimal reply stops at the first non-digit", "  -12abc", 1.0, -12},
        {"a decimal reply without digits is 0", "OK\r\n", 1.0, 0},
        {"a hexadecimal reply without digits is 0", "OK\r\n", 1.30, 0},
        {"an empty reply is 0", "", 1.30, 0},
        {"an endless decimal number saturates", "99999999999999999999", 1.0, 2147483647},
    };
    for (const Row& row : rows)
        EXPECT_EQ(decode_reply_value(row.reply, row.version), row.value) << row.name;
}

TEST(FirmwareVersion, IsReadFromALeadingV)
{
    EXPECT_DOUBLE_EQ(read_firmware_version("v1.30 0 1", 1.2), 1.30);
    EXPECT_DOUBLE_EQ(read_firmware_version("GI\n", 1.2), 1.2);
    EXPECT_DOUBLE_EQ(read_firmware_version("vX", 0), 0);
    EXPECT_DOUBLE_EQ(read_firmware_version("vnan 0", 1.2), 1.2);
}

// A slot as the poll leaves it, for a status line decoded by its own version.
FilterRecord polled(const char* reply, FilterRecord r = FilterRecord{})
{
    apply_status_reply(r, reply);
    return r;
}

TEST(StatusLine, DecimalLineIsScaled)
{
    FilterRecord r = polled("v1.20 3 0 65630 5 10 20 7050 1250 100\r\n");
    EXPECT_STREQ(r.firmware_text, "v1.20");
    EXPECT_EQ(r.status_code, 3);
    EXPECT_EQ(r.on_band, 0);
    EXPECT_DOUBLE_EQ(r.wavelength, 6563.0);
    EXPECT_DOUBLE_EQ(r.wing_shift, 0.5);
    EXPECT_DOUBLE_EQ(r.heater_power, 50.0);
    EXPECT_EQ(r.sleeping, 0);
    EXPECT_DOUBLE_EQ(r.temperature, 70.5);
    EXPECT_DOUBLE_EQ(r.supply_voltage, 12.5);
    EXPECT_DOUBLE_EQ(r.calibration_screw, 0.01);
}

TEST(StatusLine, HexadecimalLineSignsItsNarrowFields)
{
    FilterRecord r = polled("v1.30 0 1 10030 F6 A 14 FF9C 4E2 FFFFFF9C\r\n");
    EXPECT_DOUBLE_EQ(r.firmware_version, 1.30);
    EXPECT_EQ(r.on_band, 1);
    EXPECT_DOUBLE_EQ(r.wavelength, 6558.4);
    EXPECT_DOUBLE_EQ(r.wing_shift, -1.0);       // F6 is -10
    EXPECT_DOUBLE_EQ(r.temperature, -1.0);      // FF9C is -100
    EXPECT_DOUBLE_EQ(r.supply_voltage, 12.5);   // 4E2 is 1250
    EXPECT_DOUBLE_EQ(r.calibration_screw, -0.01);
    EXPECT_DOUBLE_EQ(r.heater_power, 50.0);
    EXPECT_EQ(r.status_code, 0);
}

TEST(StatusLine, ImplausibleValuesFallBackAndFlagBadConnection)
{
    struct Row {
        const char* name;
        const char* reply;
        double FilterRecord::*field;
        double value;
    } rows[] = {
        {"a wing shift of 31 tenths", "v1.20 3 0 65630 31 10 20 7050 1250 100", &FilterRecord::wing_shift, 0},
        {"a wing shift of 30 tenths is accepted", "v1.20 0 0 65630 30 10 20 7050 1250 100", &FilterRecord::wing_shift, 3.0},
        {"a voltage of 0.5 V", "v1.20 0 0 65630 5 10 20 7050 50 100", &FilterRecord::supply_voltage, 12},
        {"a voltage of 1 V is accepted", "v1.20 0 0 65630 5 10 20 7050 100 100", &FilterRecord::supply_voltage, 1},
        {"a wavelength of 999.9 A", "v1.20 0 0 9999 5 10 20 7050 1250 100", &FilterRecord::wavelength, 6562.8},
        {"a wavelength of 12000 A is accepted", "v1.20 0 0 120000 5 10 20 7050 1250 100", &FilterRecord::wavelength, 12000},
        {"a temperature of 300.01 F", "v1.20 0 0 65630 5 10 20 30001 1250 100", &FilterRecord::temperature, 120},
        {"a temperature of -100 F is accepted", "v1.20 0 0 65630 5 10 20 -10000 1250 100", &FilterRecord::temperature, -100},
        {"a calibration screw of 3.0001 A", "v1.20 0 0 65630 5 10 20 7050 1250 30001", &FilterRecord::calibration_screw, 0},
        {"a wavelength of nan", "v1.20 0 0 nan 5 10 20 7050 1250 100", &FilterRecord::wavelength, 6562.8},
        {"a temperature of inf", "v1.20 0 0 65630 5 10 20 inf 1250 100", &FilterRecord::temperature, 120},
    };
    for (const Row& row : rows) {
        FilterRecord r = polled(row.reply);
        EXPECT_DOUBLE_EQ(r.*row.field, row.value) << row.name;
        bool accepted = std::string(row.name).find("accepted") != std::string::npos;
        EXPECT_EQ(r.status_code, accepted ? 0 : STATUS_BAD_CONNECTION) << row.name;
    }
}

TEST(StatusLine, HeaterPowerAndTheSleepingRule)
{
    struct Row {
        const char* name;
        const char* reply;
        double power;
        int sleeping;
    } rows[] = {
        {"25 of 20 is full power", "v1.20 0 0 65630 0 25 20 7050 1250 0", 100, 0},
        {"a cycle of 0 gives no power and leaves sleeping", "v1.20 0 0 65630 0 5 0 7050 1250 0", 0, 1},
        {"5 of 20 is a quarter", "v1.20 0 0 65630 0 5 20 7050 1250 0", 25, 0},
        {"a negative cycle gives no power", "v1.20 0 0 65630 0 5 -20 7050 1250 0", 0, 1},
        {"a negative on-count gives no power, not a negative one", "v1.20 0 0 65630 0 -5 20 7050 1250 0", 0, 1},
        {"found by fuzzing: a hexadecimal on-count with the top bit set",
         "v1.3\xd2\xdf\xcf\xdf" "1 10030 F6 A 14 FF9CFFF9C\r\nFFFF9C\r\n", 0, 1},
    };
    for (const Row& row : rows) {
        FilterRecord r = polled(row.reply);
        EXPECT_DOUBLE_EQ(r.heater_power, row.power) << row.name;
        EXPECT_EQ(r.sleeping, row.sleeping) << row.name;
    }
}

TEST(StatusLine, AShortLineChangesOnlyTheFieldsItCarries)
{
    FilterRecord before = polled("v1.20 0 0 65630 5 10 20 7050 1250 100");
    FilterRecord r = polled("v1.20 3 1 65628\r\n", before);
    EXPECT_EQ(r.status_code, 3);
    EXPECT_EQ(r.on_band, 1);
    EXPECT_DOUBLE_EQ(r.wavelength, 6562.8);
    EXPECT_DOUBLE_EQ(r.wing_shift, 0.5);        // kept, not divided again
    EXPECT_DOUBLE_EQ(r.temperature, 70.5);
    EXPECT_DOUBLE_EQ(r.supply_voltage, 12.5);
    EXPECT_DOUBLE_EQ(r.calibration_screw, 0.01);
    EXPECT_DOUBLE_EQ(r.heater_power, 50);

    FilterRecord empty = polled("\r\n", before);
    EXPECT_STREQ(empty.firmware_text, "");
    EXPECT_DOUBLE_EQ(empty.wavelength, 6563.0);
}

TEST(StatusLine, AReplyWithoutStatusCodeAndOnBandFlagIsImplausible)
{
    FilterRecord on_band = polled("v1.20 0 1 65628 0 10 20 12000 1250 0");
    ASSERT_EQ(on_band.status_code, 0);
    struct Row {
        const char* name;
        std::string reply;
        int status;
    } rows[] = {
        {"NUL bytes", std::string("\0\0\0", 3), STATUS_BAD_CONNECTION},
        {"a line end alone", "\r\n", STATUS_BAD_CONNECTION},
        {"noise", "#$%&", STATUS_BAD_CONNECTION},
        {"the version alone", "v1.20\r\n", STATUS_BAD_CONNECTION},
        {"version and code without the flag", "v1.20 0\r\n", STATUS_BAD_CONNECTION},
        {"code and flag: the short-line rule", "v1.20 0 1\r\n", 0},
    };
    for (const Row& row : rows) {
        FilterRecord r = polled(row.reply.c_str(), on_band);
        EXPECT_EQ(r.status_code, row.status) << row.name;
        char text[STATUS_TEXT_SIZE];
        if (row.status != 0) {
            EXPECT_STREQ(status_text(r, text), "Bad connection") << row.name;
        }
    }
}

TEST(StatusLine, ALongFirstTokenIsCutWithoutShiftingTheFields)
{
    std::string token = "v1.20" + std::string(78, 'x');  // 83 bytes, a whole reply
    FilterRecord r = polled(token.c_str());
    EXPECT_EQ(std::string(r.firmware_text), token.substr(0, 19));
    StatusFields fields;
    EXPECT_EQ(decode_status_line((std::string(60, 'v') + " 0 1 65628 0 10 20 12000 1250 0").c_str(), 0, fields), 10);
    EXPECT_EQ(fields.on_band, 1);
}

TEST(StatusLine, AFirstTokenWithoutVKeepsTheVersion)
{
    FilterRecord hex;
    hex.firmware_version = 1.30;
    FilterRecord r = polled("GI 0 1 10030 F6 A 14 FF9C 4E2 0", hex);
    EXPECT_DOUBLE_EQ(r.firmware_version, 1.30);
    EXPECT_DOUBLE_EQ(r.wing_shift, -1.0);
}

TEST(Age, BreaksMinutesDown)
{
    struct Row {
        const char* name;
        const char* reply;
        int hex;
        int years, months, days, hours, minutes;
    } rows[] = {
        {"600000 minutes", "0 600000\r\n", 0, 1, 1, 20, 19, 36},
        {"a negative age is zero", "0 -5\r\n", 0, 0, 0, 0, 0, 0},
        {"one year of 365.25 days", "7 525960", 0, 1, 0, 0, 0, 0},
        {"1500 minutes", "0 1500", 0, 0, 0, 1, 1, 0},
        {"hexadecimal 927C0 is 600000", "0 927C0\r\n", 1, 1, 1, 20, 19, 36},
        {"hexadecimal FFFFFFFB is negative", "0 FFFFFFFB", 1, 0, 0, 0, 0, 0},
    };
    for (const Row& row : rows) {
        FilterRecord r;
        r.age_minutes_total = 99;
        EXPECT_EQ(apply_age_reply(r, row.reply, row.hex), 1) << row.name;
        EXPECT_EQ(r.age_years, row.years) << row.name;
        EXPECT_EQ(r.age_months, row.months) << row.name;
        EXPECT_EQ(r.age_days, row.days) << row.name;
        EXPECT_EQ(r.age_hours, row.hours) << row.name;
        EXPECT_EQ(r.age_minutes, row.minutes) << row.name;
    }
    FilterRecord r;
    r.age_minutes_total = 99;
    EXPECT_EQ(apply_age_reply(r, "12\r\n", 0), 0);
    EXPECT_EQ(r.age_minutes_total, 99) << "a reply without minutes keeps the last age";
}

TEST(StatusText, ShowsEveryCode)
{
    struct Row {
        const char* name;
        FilterStatusCode code;
        int sleeping, on_band;
        double wavelength;
        const char* text;
    } rows[] = {
        {"current above target + 0.05 is cooling", 0, 0, 0, 6563.36, "Cooling..."},
        {"current below target - 0.05 is heating", 0, 0, 0, 6563.2, "Heating..."},
        {"current within 0.05 is stabilizing", 0, 0, 0, 6563.28, "Stabilizing..."},
        {"on band", 0, 0, 1, 6563.3, "On band"},
        {"sleep wins over on band", 0, 1, 1, 6563.3, "Sleep, heater off."},
        {"dead battery", 1, 0, 0, 0, "Dead battery"},
        {"too cold", 2, 0, 0, 0, "Too cold outside"},
        {"low battery", 3, 1, 0, 0, "Low battery"},
        {"voltage too high", 4, 0, 0, 0, "Voltage too high!"},
        {"too hot", 5, 0, 0, 0, "Too hot outside"},
        {"broken thermistor", 10, 0, 0, 0, "Broken thermistor wire"},
        {"shorted thermistor", 11, 0, 0, 0, "Shorted thermistor wire"},
        {"open heater", 20, 0, 0, 0, "Open heater wire"},
        {"bad connection although the filter answered", STATUS_BAD_CONNECTION, 0, 1, 0, "Bad connection"},
        {"no communication", STATUS_NO_COMMUNICATION, 0, 0, 0, "No communication"},
        {"code 6", 6, 0, 0, 0, "Error 6"},
        {"code 21", 21, 0, 0, 0, "Error 21"},
        {"code -1", -1, 0, 0, 0, "Error -1"},
        {"the lowest code still fits", -2147483647 - 1, 0, 0, 0, "Error -2147483648"},
    };
    for (const Row& row : rows) {
        FilterRecord r;
        r.status_code = row.code;
        r.sleeping = row.sleeping;
        r.on_band = row.on_band;
        r.center_wavelength = 6562.8;
        r.wing_shift = 0.5;
        r.wavelength = row.wavelength;
        char text[STATUS_TEXT_SIZE];
        EXPECT_STREQ(status_text(r, text), row.text) << row.name;
    }
}

}  // namespace
