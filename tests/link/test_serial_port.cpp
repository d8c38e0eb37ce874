// Opening, configuring, reading and writing a serial port, over real pseudo-terminals.
#include "link/solvane_link.h"
#include "tests/support/fake_device.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <thread>

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct SerialPortTest : ::testing::Test {
    std::string dir = enter_temp_dir();
    std::unique_ptr<FakePort> port =
        open_fake_port(dir, "COM1", table_responder({{"PING\n", "0123456789"}}));
    int connected = 0;
    int handle = -1;
    void TearDown() override { serial_close(connected, handle); }
};

// The body of the one record in serial_error.log, after its blank line and time stamp.
std::string only_log_record()
{
    std::string log = read_file("serial_error.log");
    static const std::regex record(
        "\n[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d{2}:\\d{2}:\\d{2} \\d{4}\n");
    std::smatch m;
    if (!std::regex_search(log, m, record) || m.position(0) != 0) return "<no record: " + log + ">";
    std::string rest = m.suffix();
    if (std::regex_search(rest, m, record)) return "<more than one record: " + log + ">";
    return rest;
}

TEST_F(SerialPortTest, OpensWithTheFilterLineSettings)
{
    ASSERT_EQ(serial_init(connected, handle, port->path.c_str()), 1);
    EXPECT_EQ(connected, 1);
    termios tio{};
    ASSERT_EQ(tcgetattr(handle, &tio), 0);
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | INPCK | ISTRIP | ICRNL), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_FALSE(file_exists("serial_error.log"));
}

TEST_F(SerialPortTest, PortNamesResolveThroughThePortDirectory)
{
    setenv("SOLVANE_PORT_DIR", dir.c_str(), 1);
    ASSERT_EQ(serial_init(connected, handle, "COM1"), 1);
    unsetenv("SOLVANE_PORT_DIR");
}

TEST(PortNames, ResolveToDevicePaths)
{
    struct Row {
        const char* name;
        const char* port_dir;
        const char* path;
    } rows[] = {
        {"COM1", nullptr, "/dev/ttyS0"},
        {"COM10", nullptr, "/dev/ttyS9"},
        {"COM0", nullptr, "/dev/COM0"},
        {"COM3X", nullptr, "/dev/COM3X"},
        {"com3", nullptr, "/dev/com3"},
        {"ttyUSB0", nullptr, "/dev/ttyUSB0"},
        {"/dev/serial/by-id/usb-X", nullptr, "/dev/serial/by-id/usb-X"},
        {"COM3", "/run/ports", "/run/ports/COM3"},
        {"/dev/ttyACM0", "/run/ports", "/dev/ttyACM0"},
    };
    for (const Row& row : rows) {
        if (row.port_dir) setenv("SOLVANE_PORT_DIR", row.port_dir, 1); else unsetenv("SOLVANE_PORT_DIR");
        char path[64];
        ASSERT_EQ(resolve_port_path(row.name, path, sizeof path), 1) << row.name;
        EXPECT_STREQ(path, row.path) << row.name;
    }
    unsetenv("SOLVANE_PORT_DIR");
    char tiny[8];
    EXPECT_EQ(resolve_port_path("ttyUSB0", tiny, sizeof tiny), 0);
}

TEST_F(SerialPortTest, FailuresLogTheirRecordAndLeaveTheSlotClosed)
{
    struct Row {
        const char* name;
        const char* message;
    } rows[] = {
        {"", "serial_init error: COM port not specified."},
        {"X", "serial_init error: COM port not specified."},
        {"/nonexistent/COM7",
         "serial_init error: Unable to open port. No such file or directory\n"
         "Maybe another application is using this port?\n"},
        {"/dev/null", "serial_init error: Unable to set comm state."},
    };
    for (const Row& row : rows) {
        std::remove("serial_error.log");
        int descriptors = open_descriptor_count();
        auto start = TestClock::now();
        EXPECT_EQ(serial_init(connected, handle, row.name), 0) << row.name;
        EXPECT_LT(seconds_since(start), time_bound(0.4)) << "no retry for " << row.name;
        EXPECT_EQ(connected, 0);
        EXPECT_EQ(open_descriptor_count(), descriptors) << "descriptor left open by " << row.name;
        EXPECT_EQ(only_log_record(), std::string(row.name) + ": " + row.message + "\n");
    }
}

TEST_F(SerialPortTest, AnOpenSlotIsLeftAloneAndLogsAlreadyOk)
{
    ASSERT_EQ(serial_init(connected, handle, port->path.c_str()), 1);
    int first = handle;
    EXPECT_EQ(serial_init(connected, handle, port->path.c_str()), 0);
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(handle, first);
    EXPECT_EQ(only_log_record(), port->path + ": serial_init error: Already OK.\n");
}

TEST_F(SerialPortTest, ConsoleFormFailsWithoutAnyRecord)
{
    EXPECT_EQ(serial_init(connected, handle, "", LINK_CONSOLE), 0);
    EXPECT_EQ(serial_init(connected, handle, "/nonexistent/COM7", LINK_CONSOLE), 0);
    EXPECT_FALSE(file_exists("serial_error.log"));
}

TEST_F(SerialPortTest, ABusyPortIsTriedThreeTimesHalfASecondApart)
{
    int holder_connected = 0, holder = -1;
    ASSERT_EQ(serial_init(holder_connected, holder, port->path.c_str()), 1);
    auto start = TestClock::now();
    EXPECT_EQ(serial_init(connected, handle, port->path.c_str()), 0);
    double took = seconds_since(start);
    EXPECT_GT(took, 0.9);  // two pauses of 500 ms
    EXPECT_LT(took, time_bound(3.0));
    // Another program holds the port by its exclusive mode (EBUSY) or by its lock.
    std::string busy_texts = std::string("(") + std::strerror(EBUSY) + "|" + std::strerror(EWOULDBLOCK) + ")";
    EXPECT_TRUE(std::regex_match(only_log_record(),
                                 std::regex(port->path + ": serial_init error: Unable to open port. " +
                                            busy_texts + "\nMaybe another application is using this port\\?\n\n")))
        << only_log_record();
    serial_close(holder_connected, holder);
}

TEST_F(SerialPortTest, ABusyPortFreedBeforeTheSecondAttemptOpens)
{
    int holder_connected = 0, holder = -1;
    ASSERT_EQ(serial_init(holder_connected, holder, port->path.c_str()), 1);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        serial_close(holder_connected, holder);
    });
    auto start = TestClock::now();
    EXPECT_EQ(serial_init(connected, handle, port->path.c_str()), 1);
    double took = seconds_since(start);
    release.join();
    EXPECT_GT(took, 0.4);
    EXPECT_LT(took, time_bound(1.5));
    EXPECT_FALSE(file_exists("serial_error.log"));
}

TEST_F(SerialPortTest, TheConsoleFormWaitsTwoSecondsForABusyPort)
{
    int holder_connected = 0, holder = -1;
    ASSERT_EQ(serial_init(holder_connected, holder, port->path.c_str()), 1);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        serial_close(holder_connected, holder);
    });
    auto start = TestClock::now();
    EXPECT_EQ(serial_init(connected, handle, port->path.c_str(), LINK_CONSOLE), 1);
    double took = seconds_since(start);
    release.join();
    EXPECT_GT(took, 1.8);
    EXPECT_LT(took, time_bound(4.0));
}

TEST_F(SerialPortTest, ClosingTwiceReportsTheSecondAsNothingToDo)
{
    ASSERT_EQ(serial_init(connected, handle, port->path.c_str()), 1);
    EXPECT_EQ(serial_close(connected, handle), 1);
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(serial_close(connected, handle), 0);
    // The port is free again at once.
    EXPECT_EQ(serial_init(connected, handle, port->path.c_str()), 1);
}

TEST_F(SerialPortTest, ASilentReadReturnsNothingAfterAbout200Ms)
{
    ASSERT_EQ(serial_init(connected, handle, port->path.c_str()), 1);
    char buffer[REPLY_BUFFER_SIZE] = "untouched";
    auto start = TestClock::now();
    EXPECT_EQ(serial_read(handle, buffer, REPLY_MAX), 0);
    double took = seconds_since(start);
    EXPECT_GT(took, 0.18);
    EXPECT_LT(took, time_bound(0.6));
}

TEST_F(SerialPortTest, ReadsEndFiftyMillisecondsAfterTheLastByte)
{
    struct Row {
        const char* name;
        int byte_gap_us;
        double min_seconds, max_seconds;
    } rows[] = {
        {"all at once", 0, 0.045, 0.4},
        {"paced at 9600 baud", BYTE_TIME_9600_US, 0.055, 0.45},
    };
    for (const Row& row : rows) {
        port = open_fake_port(dir, std::string("PACED") + std::to_string(row.byte_gap_us),
                              table_responder({{"PING\n", "0123456789"}}), row.byte_gap_us);
        ASSERT_EQ(serial_init(connected, handle, port->path.c_str()), 1);
        char buffer[REPLY_BUFFER_SIZE];
        std::memset(buffer, 'x', sizeof buffer);
        ASSERT_EQ(serial_write(handle, "PING\n", 5), 0);
        auto start = TestClock::now();
        EXPECT_EQ(serial_read(handle, buffer, REPLY_MAX), 10) << row.name;
        double took = seconds_since(start);
        EXPECT_GT(took, row.min_seconds) << row.name;
        EXPECT_LT(took, time_bound(row.max_seconds)) << row.name;
        EXPECT_EQ(std::string(buffer), "0123456789") << "zero byte after the data";
        serial_close(connected, handle);
    }
}

TEST_F(SerialPortTest, AReadReturnsAtOnceWhenTheCountIsReached)
{
    ASSERT_EQ(serial_init(connected, handle, port->path.c_str()), 1);
    ASSERT_EQ(serial_write(handle, "PING\n", 5), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    char buffer[8];
    auto start = TestClock::now();
    EXPECT_EQ(serial_read(handle, buffer, 4), 4);
    EXPECT_LT(seconds_since(start), time_bound(0.1)) << "no wait for the 50 ms after the last byte";
    EXPECT_STREQ(buffer, "0123");
}

TEST_F(SerialPortTest, AfterAHangUpWritesFailAndReadsEndAtOnce)
{
    ASSERT_EQ(serial_init(connected, handle, port->path.c_str()), 1);
    device_hangup(port->device);
    EXPECT_EQ(serial_write(handle, "GI\n", 3), 1);
    char buffer[REPLY_BUFFER_SIZE];
    auto start = TestClock::now();
    EXPECT_EQ(serial_read(handle, buffer, REPLY_MAX), 0);
    EXPECT_LT(seconds_since(start), time_bound(0.25));
}

TEST_F(SerialPortTest, AClosedHandleNeitherReadsNorWrites)
{
    char buffer[REPLY_BUFFER_SIZE];
    EXPECT_EQ(serial_read(-1, buffer, REPLY_MAX), 0);
    EXPECT_EQ(serial_write(-1, "GI\n", 3), 1);
}

TEST(PortSafety, OnlyTerminalsAreConfiguredAndNothingBlocks)
{
    const std::string dir = enter_temp_dir();
    write_file(dir + "/plain", "someone's file\n");
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    ::mkdir((dir + "/folder").c_str(), 0755);
    struct Row {
        const char* name;
        std::string path;
        PortFailure failure;
    } rows[] = {
        {"a regular file", dir + "/plain", PORT_NOT_SERIAL},
        {"a FIFO", dir + "/fifo", PORT_NOT_SERIAL},
        {"a device that is no terminal", "/dev/null", PORT_NOT_SERIAL},
        {"a directory", dir + "/folder", PORT_OPEN_FAILED},
        {"a missing device", dir + "/missing", PORT_MISSING},
        {"a line feed in the name", dir + "/COM1\nforged record", PORT_REFUSED_NAME},
        {"an escape in the name", "COM1\x1b[2J", PORT_REFUSED_NAME},
    };
    for (const Row& row : rows) {
        int connected = 0, handle = -1;
        auto start = TestClock::now();
        EXPECT_EQ(serial_init(connected, handle, row.path.c_str()), 0) << row.name;
        EXPECT_LT(seconds_since(start), time_bound(1.0)) << row.name;
        EXPECT_EQ(serial_last_error().failure, row.failure) << row.name;
        EXPECT_EQ(connected, 0) << row.name;
    }
    EXPECT_EQ(read_file(dir + "/plain"), "someone's file\n") << "left untouched";
    const std::string log = read_file("serial_error.log");
    EXPECT_EQ(log.find("forged"), std::string::npos) << "a refused name never reaches a record";
    EXPECT_EQ(log.find("\x1b"), std::string::npos);
}

TEST(PortSafety, ReasonsSayWhatToDo)
{
    EXPECT_NE(port_error_text({PORT_PERMISSION, EACCES}).find("sudo adduser $USER dialout"), std::string::npos);
    EXPECT_NE(port_error_text({PORT_PERMISSION, EACCES}).find(std::strerror(EACCES)), std::string::npos);
    EXPECT_NE(port_error_text({PORT_MISSING, ENOENT}).find(std::strerror(ENOENT)), std::string::npos);
    EXPECT_EQ(port_error_text({PORT_OK, 0}), "");
    for (const char* refused : {"", "X", "COM1\n", "COM\t1", "COM1\x7f"}) EXPECT_FALSE(port_name_acceptable(refused)) << refused;
    EXPECT_FALSE(port_name_acceptable(std::string(100, 'P').c_str()));
    EXPECT_TRUE(port_name_acceptable(std::string(99, 'P').c_str()));
    EXPECT_TRUE(port_name_acceptable("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
}

TEST(PortSafety, OnlyListedPortsCountAsListed)
{
    const std::string dir = enter_temp_dir();
    auto listed = open_fake_port(dir, "COM1", table_responder({}));
    PtyDevice stray;  // another program's terminal, outside the port directory
    ASSERT_EQ(device_open(stray, dir + "/elsewhere/../stray-link", table_responder({})), 0) << "no such folder";
    ASSERT_EQ(device_open(stray, make_temp_dir() + "/stray", table_responder({})), 1);
    ASSERT_EQ(::symlink(listed->device.slave_path.c_str(), (dir + "/another-name").c_str()), 0);
    setenv("SOLVANE_PORT_DIR", dir.c_str(), 1);
    setenv("SOLVANE_ONLY_PORT_DIR", "1", 1);
    struct Row {
        const char* name;
        std::string port;
        int listed;
    } rows[] = {
        {"a name of the port directory", "COM1", 1},
        {"its full path", dir + "/COM1", 1},
        {"the terminal it leads to", listed->device.slave_path, 1},
        {"a terminal nobody listed", stray.slave_path, 0},
        {"a link to it", stray.link_path, 0},
        {"a missing name", "COM9", 0},
        {"a name with a line feed", "COM1\n", 0},
    };
    for (const Row& row : rows) EXPECT_EQ(port_listed(row.port.c_str()), row.listed) << row.name;
    std::vector<std::string> ports = list_serial_ports();
    EXPECT_EQ(ports, (std::vector<std::string>{"COM1", "another-name"}));
    device_close(stray);
    unsetenv("SOLVANE_PORT_DIR");
    unsetenv("SOLVANE_ONLY_PORT_DIR");
}

}  // namespace
