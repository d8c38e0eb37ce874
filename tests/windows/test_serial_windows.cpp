// The Windows serial file where no port is needed: the device names it opens, the failures it
// reports before or instead of opening, and the record a failure leaves in serial_error.log.
#include "link/solvane_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

TEST(WindowsPortNames, ComTenAndAboveOpenInTheDeviceNamespace)
{
    struct Row {
        const char* name;
        const char* path;
    } rows[] = {
        {"COM1", "COM1"},
        {"COM9", "COM9"},
        {"COM10", "\\\\.\\COM10"},
        {"COM256", "\\\\.\\COM256"},
        {"COM010", "\\\\.\\COM10"},
        {"\\\\.\\COM3", "\\\\.\\COM3"},
        {"\\\\.\\COM12", "\\\\.\\COM12"},
        {"com10", "com10"},     // the match is case-sensitive; the console tool upper-cases first
        {"COM10X", "COM10X"},   // not COMn
        {"LPT1", "LPT1"},
    };
    for (const Row& row : rows) {
        char path[64] = "";
        ASSERT_EQ(resolve_port_path(row.name, path, sizeof path), 1) << row.name;
        EXPECT_STREQ(path, row.path) << row.name;
    }
    char small[6];
    EXPECT_EQ(resolve_port_path("COM10", small, sizeof small), 0) << "\\\\.\\COM10 does not fit 6 bytes";
}

// A private working directory for serial_error.log, removed however the test ends.
struct TempDir {
    fs::path previous = fs::current_path();
    fs::path path;
    TempDir()
    {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path = fs::temp_directory_path() / ("solvane-test-" + std::to_string(stamp));
        fs::create_directories(path);
        fs::current_path(path);
    }
    ~TempDir()
    {
        fs::current_path(previous);
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

std::string read_log()
{
    std::ifstream in("serial_error.log", std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

TEST(WindowsSerialInit, FailuresAreReportedWithoutAPortLeftOpen)
{
    TempDir dir;
    struct Row {
        const char* name;
        const char* port;
        LinkForm form;
        PortFailure failure;
        const char* record;  // the message the windowed form logs; nullptr: no record
    } rows[] = {
        {"an empty name", "", LINK_WINDOWED, PORT_NO_NAME, "serial_init error: COM port not specified."},
        {"a single character", "X", LINK_WINDOWED, PORT_NO_NAME, "serial_init error: COM port not specified."},
        {"a control character is refused unlogged", "COM1\n", LINK_WINDOWED, PORT_REFUSED_NAME, nullptr},
        {"a missing port", "COM199", LINK_WINDOWED, PORT_MISSING, "serial_init error: Unable to open port. "},
        {"the console form logs nothing", "COM198", LINK_CONSOLE, PORT_MISSING, nullptr},
    };
    for (const Row& row : rows) {
        std::error_code ignored;
        fs::remove("serial_error.log", ignored);
        int connected = 0, handle = -1;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(serial_init(connected, handle, row.port, row.form), 0) << row.name;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 1.5) << row.name << ": only a busy port is tried again";
        EXPECT_EQ(connected, 0) << row.name;
        EXPECT_EQ(handle, -1) << row.name;
        EXPECT_EQ(serial_last_error().failure, row.failure) << row.name;
        const std::string log = read_log();
        if (row.record == nullptr) {
            EXPECT_EQ(log, "") << row.name;
            continue;
        }
        // "\n", the asctime line, then the port name as given and the message.
        std::smatch m;
        ASSERT_TRUE(std::regex_match(log, m, std::regex("\n[^\n]{24}\n([\\s\\S]*)"))) << row.name << ": " << log;
        const std::string body = m[1];
        EXPECT_EQ(body.rfind(std::string(row.port) + ": " + row.record, 0), 0u) << row.name << ": " << body;
        if (row.failure == PORT_MISSING) {
            // The system's text with its own line break, then the advice of the home platform.
            EXPECT_NE(body.find("\r\nMaybe another application is using this port?\n"), std::string::npos) << body;
            EXPECT_GT(body.size(), std::string(row.port).size() + std::strlen(row.record) + 50) << body;
        } else {
            EXPECT_EQ(body, std::string(row.port) + ": " + row.record + "\n") << row.name;
        }
    }
}

TEST(WindowsSerialInit, ReasonsForAPersonAreOneLineEndingInAdvice)
{
    int connected = 0, handle = -1;
    ASSERT_EQ(serial_init(connected, handle, "COM197", LINK_CONSOLE), 0);
    const std::string missing = port_error_text(serial_last_error());
    const std::string advice = " Is the filter's cable or USB adapter plugged in?";
    ASSERT_GT(missing.size(), advice.size() + 2) << "the system's text comes first: " << missing;
    EXPECT_EQ(missing.substr(missing.size() - advice.size()), advice);
    EXPECT_EQ(missing[missing.size() - advice.size() - 1], '.') << missing;
    EXPECT_EQ(missing.find_first_of("\r\n"), std::string::npos) << missing;

    const std::string busy = port_error_text(PortError{PORT_BUSY, 5});
    EXPECT_EQ(busy.find_first_of("\r\n"), std::string::npos) << busy;
    EXPECT_NE(busy.find(". Another program is using the port."), std::string::npos) << busy;
}

// Whatever ports this machine has: COMn names by number, each one listed under either form.
TEST(WindowsEnumeration, ListsComPortsByNumberAndKnowsBothForms)
{
    int previous = 0;
    char name[16];
    for (int n = 0; enum_serial_port(name, sizeof name, n); ++n) {
        ASSERT_EQ(std::strncmp(name, "COM", 3), 0) << name;
        const int number = std::atoi(name + 3);
        EXPECT_GT(number, previous) << name;
        previous = number;
        EXPECT_EQ(port_listed(name), 1) << name;
        EXPECT_EQ(port_listed((std::string("\\\\.\\") + name).c_str()), 1) << name;
    }
    EXPECT_EQ(port_listed("COM4242"), 0);
    EXPECT_EQ(port_listed("COM1\n"), 0);
    char tiny[2];
    EXPECT_EQ(enum_serial_port(tiny, sizeof tiny, 0), 0) << "no name fits two bytes";
}

TEST(WindowsSerialPort, AHandleThatIsNotOpenNeitherReadsNorWrites)
{
    char buffer[8] = "x";
    EXPECT_EQ(serial_read(-1, buffer, 4), 0);
    EXPECT_EQ(serial_write(-1, "GI\n", 3), 1);
    int connected = 0, handle = -1;
    EXPECT_EQ(serial_close(connected, handle), 0);
    EXPECT_EQ(serial_line_lost(-1), 0);
}

}  // namespace
