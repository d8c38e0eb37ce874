// Status and age polls of a connected filter over a pseudo-terminal.
#include "link/solvane_link.h"
#include "tests/support/fake_device.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace {

struct PollingTest : ::testing::Test {
    std::string dir = enter_temp_dir();
    std::unique_ptr<FakePort> port;
    FilterRecord slot;

    void open_with(std::map<std::string, std::string> replies)
    {
        port = open_fake_port(dir, "COM1", table_responder(std::move(replies)));
        ASSERT_EQ(serial_init(slot.connected, slot.port_handle, port->path.c_str()), 1);
    }
    void TearDown() override { serial_close(slot.connected, slot.port_handle); }
};

TEST_F(PollingTest, AStatusPollFillsTheLiveFields)
{
    open_with({{"GI\n", "v1.20 3 0 65630 5 10 20 7050 1250 100\r\n"}, {"GY\n", "3 600000\r\n"}});
    poll_filter_status(slot);
    poll_filter_age(slot);
    EXPECT_EQ(slot.status_code, 3);
    EXPECT_DOUBLE_EQ(slot.wavelength, 6563.0);
    EXPECT_DOUBLE_EQ(slot.wing_shift, 0.5);
    EXPECT_DOUBLE_EQ(slot.firmware_version, 1.20);
    EXPECT_EQ(slot.age_minutes_total, 600000);
    EXPECT_EQ(slot.age_days, 20);
    EXPECT_EQ(device_received(port->device), (std::vector<std::string>{"GI\n", "GY\n"}));
}

TEST_F(PollingTest, AHexadecimalFilterIsReadByTheVersionOfTheSameReply)
{
    open_with({{"GI\n", "v1.30 0 1 1005C 3 A 14 2EE0 4E2 0\r\n"}, {"GY\n", "0 927C0\r\n"}});
    poll_filter_status(slot);
    poll_filter_age(slot);
    EXPECT_DOUBLE_EQ(slot.wavelength, 6562.8);
    EXPECT_DOUBLE_EQ(slot.wing_shift, 0.3);
    EXPECT_DOUBLE_EQ(slot.temperature, 120.0);
    EXPECT_EQ(slot.age_minutes_total, 600000);
}

TEST_F(PollingTest, NoReplyFlagsNoCommunicationAndKeepsTheRest)
{
    open_with({{"GI\n", "v1.20 0 1 65630 5 10 20 7050 1250 100\r\n"}});
    poll_filter_status(slot);
    ASSERT_EQ(slot.status_code, 0);
    poll_filter_age(slot);  // GY stays unanswered
    EXPECT_EQ(slot.status_code, STATUS_NO_COMMUNICATION);

    device_hangup(port->device);
    slot.status_code = 0;
    poll_filter_status(slot);
    EXPECT_EQ(slot.status_code, STATUS_NO_COMMUNICATION);
    EXPECT_DOUBLE_EQ(slot.wavelength, 6563.0);
    EXPECT_DOUBLE_EQ(slot.wing_shift, 0.5);
    EXPECT_EQ(slot.on_band, 1);
    char text[STATUS_TEXT_SIZE];
    EXPECT_STREQ(status_text(slot, text), "No communication");
}

}  // namespace
