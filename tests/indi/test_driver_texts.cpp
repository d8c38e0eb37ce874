// The INDI driver's plain helpers, without a server: traces, element names, checks of what
// clients send.
#include "indi/driver_texts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(DriverTexts, AnExchangeIsTracedWithItsBytesPrintable)
{
    struct Row {
        const char* name;
        ExchangeTrace exchange;
        const char* text;
    } rows[] = {
        {"a status poll and its reply", {"GI\n", "v1.25 0 1\r\n", 1}, "GI\\n -> v1.25 0 1\\r\\n"},
        {"a reply that took three attempts says so", {"GA\n", "7\n", 3}, "GA\\n -> 7\\n (attempt 3)"},
        {"a silent filter", {"GI\n", "", 5}, "GI\\n -> no reply (5 attempts)"},
        {"one attempt is one", {"GI\n", "", 1}, "GI\\n -> no reply (1 attempt)"},
        {"NUL, tab, high bytes and backslashes are escaped", {"GI\n", std::string("\0\t\xFF\\", 4), 1},
         "GI\\n -> \\0\\t\\xFF\\\\"},
    };
    for (const Row& row : rows) EXPECT_EQ(exchange_trace_text(row.exchange), row.text) << row.name;
}

TEST(DriverTexts, PortsBecomeElementsClientsCanName)
{
    const std::string long_name = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3ZQ7-if00-port0-and-more-and-more";
    struct Row {
        const char* name;
        std::string port;
        std::string element;
    } rows[] = {
        {"a COM name is its own element", "COM3", "COM3"},
        {"a device path is its own element", "/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"a name with a blank is numbered", "my port", "PORT_2"},
        {"a name too long for INDI is numbered", std::string(MAXINDINAME, 'A'), "PORT_2"},
    };
    for (const Row& row : rows) EXPECT_EQ(port_element_name(row.port, 1), row.element) << row.name;
    EXPECT_EQ(port_element_label("COM3"), "COM3");
    const std::string label = port_element_label(long_name);
    EXPECT_LT(label.size(), static_cast<size_t>(MAXINDILABEL)) << "a long label keeps its end";
    EXPECT_EQ(label.substr(0, 3), "...");
    EXPECT_EQ(long_name.substr(long_name.size() - (label.size() - 3)), label.substr(3));
}

TEST(DriverTexts, ClientsNumbersAndChoicesAreCheckedBeforeAnythingChanges)
{
    for (double ok : {MIN_POLL_MS, 5000.0, MAX_POLL_MS}) EXPECT_TRUE(polling_period_acceptable(ok)) << ok;
    for (double refused : {999.0, MAX_POLL_MS + 1, std::nan(""), std::numeric_limits<double>::infinity()})
        EXPECT_FALSE(polling_period_acceptable(refused)) << refused;
    EXPECT_EQ(polling_period_refusal(10), "Polling period 10 ms refused: it must be a number from 1000 to 600000 ms.");
    EXPECT_EQ(wing_shift_refusal(2), "Wing shift 2 Å refused: it must be a number from -1.0 to +1.0 Å.");
    EXPECT_EQ(wing_shift_refusal(-1.0000000001).substr(0, 25), "Wing shift -1.0000000001 ") << "quoted as sent";
    EXPECT_EQ(polling_period_refusal(999.5).substr(0, 20), "Polling period 999.5");

    struct Row {
        const char* name;
        const char* choice;
        int index;
    } rows[] = {
        {"empty names the first", "", 0},
        {"a number names its place", "2", 1},
        {"a number beyond the preset names none", "99", -1},
        {"words of the line, in any case", "CALCIUM", -2},
        {"words of no line name none", "oxygen", -1},
    };
    for (const Row& row : rows) {
        const int index = simulated_filter_index(row.choice);
        if (row.index == -2)
            EXPECT_GE(index, 0) << row.name;
        else
            EXPECT_EQ(index, row.index) << row.name;
    }

    char element[] = "SHIFT", other[] = "OTHER";
    char* names[] = {other, element};
    const double values[] = {1, 0.3};
    double value = 0;
    EXPECT_TRUE(number_for("SHIFT", values, names, 2, value));
    EXPECT_DOUBLE_EQ(value, 0.3);
    EXPECT_FALSE(number_for("PERIOD_MS", values, names, 2, value));
    EXPECT_TRUE(std::isnan(value)) << "a missing number reads as NaN, which every check refuses";
}

TEST(DriverTexts, EachStatusClassHasItsLight)
{
    struct Row {
        const char* name;
        int status, sleeping, on_band;
        IPState light;
    } rows[] = {
        {"on band is Ok", 0, 0, 1, IPS_OK},
        {"heating is Busy", 0, 0, 0, IPS_BUSY},
        {"asleep is Idle", 0, 1, 0, IPS_IDLE},
        {"a fault is Alert", 3, 0, 1, IPS_ALERT},
        {"no reply is Alert", STATUS_NO_COMMUNICATION, 0, 0, IPS_ALERT},
    };
    for (const Row& row : rows) {
        FilterRecord r;
        r.status_code = row.status;
        r.sleeping = row.sleeping;
        r.on_band = row.on_band;
        EXPECT_EQ(status_light(r), row.light) << row.name;
    }
}

}  // namespace
