// The command exchange with its retries, and the clean-up of text replies.
#include "link/solvane_link.h"
#include "tests/support/fake_device.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

struct ExchangeTest : ::testing::Test {
    std::string dir = enter_temp_dir();
    std::unique_ptr<FakePort> port;
    int connected = 0;
    int handle = -1;
    char reply[REPLY_BUFFER_SIZE] = "stale";

    void open_with(DeviceResponder respond)
    {
        port = open_fake_port(dir, "COM1", std::move(respond));
        ASSERT_EQ(serial_init(connected, handle, port->path.c_str()), 1);
    }
    std::vector<std::string> received() { return device_received(port->device); }
    void TearDown() override { serial_close(connected, handle); }
};

TEST_F(ExchangeTest, AFilterAnsweringAtTheThirdAttemptCostsNoPause)
{
    open_with(late_responder(2, "v1.20 0 1 65628 0 10 20 12000 1250 0\r\n"));
    auto start = TestClock::now();
    EXPECT_EQ(serial_exchange(connected, handle, CMD_STATUS, reply), 38);
    double took = seconds_since(start);
    EXPECT_STREQ(reply, "v1.20 0 1 65628 0 10 20 12000 1250 0\r\n");
    EXPECT_EQ(received(), (std::vector<std::string>{"GI\n", "GI\n", "GI\n"}));
    EXPECT_GT(took, 0.38);  // two silent reads of 200 ms
    EXPECT_LT(took, time_bound(0.85));  // and no 500 ms pause
}

TEST_F(ExchangeTest, ASilentFilterGetsFiveAttemptsAndOnePause)
{
    open_with(table_responder({}));
    auto start = TestClock::now();
    EXPECT_EQ(serial_exchange(connected, handle, CMD_AGE, reply), 0);
    double took = seconds_since(start);
    EXPECT_STREQ(reply, "");
    EXPECT_EQ(received(), std::vector<std::string>(5, "GY\n"));
    EXPECT_GT(took, 1.45);
    EXPECT_LT(took, time_bound(3.0));
}

TEST_F(ExchangeTest, ALateReplyToAnEarlierCommandIsDiscarded)
{
    open_with(table_responder({{"GX\n", "65628\r\n"}}));
    device_send(port->device, "OK\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(serial_exchange(connected, handle, CMD_CENTER_WAVELENGTH, reply), 7);
    EXPECT_STREQ(reply, "65628\r\n");
}

TEST_F(ExchangeTest, TheConsoleFormMakesOneAttemptAndDiscardsNothing)
{
    open_with(table_responder({}));
    device_send(port->device, "OK\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(serial_exchange(connected, handle, "SH0\n", reply, LINK_CONSOLE), 4);
    EXPECT_STREQ(reply, "OK\r\n");
    auto start = TestClock::now();
    EXPECT_EQ(serial_exchange(connected, handle, "SH0\n", reply, LINK_CONSOLE), 0);
    EXPECT_LT(seconds_since(start), time_bound(0.45));
    EXPECT_EQ(received(), (std::vector<std::string>{"SH0\n", "SH0\n"}));
}

TEST_F(ExchangeTest, AFailedWriteEndsTheExchangeAtOnce)
{
    open_with(table_responder({}));
    device_hangup(port->device);
    auto start = TestClock::now();
    EXPECT_EQ(serial_exchange(connected, handle, CMD_STATUS, reply), 0);
    EXPECT_LT(seconds_since(start), time_bound(0.5)) << "no retries after a failed write";
    EXPECT_STREQ(reply, "");
}

TEST_F(ExchangeTest, AClosedLinkAnswersNothingWithoutIo)
{
    open_with(table_responder({{"GI\n", "v1.20\r\n"}}));
    int closed = 0;
    auto start = TestClock::now();
    EXPECT_EQ(serial_exchange(closed, handle, CMD_STATUS, reply), 0);
    EXPECT_LT(seconds_since(start), time_bound(0.1));
    EXPECT_STREQ(reply, "");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(received().empty());
}

TEST(TrimReply, RemovesOnlyTheLineEnd)
{
    struct Row {
        const char* name;
        const char* in;
        const char* out;
    } rows[] = {
        {"a reply ending in CR LF loses both", "6563\r\n", "6563"},
        {"a reply ending in LF CR loses both", "6563\n\r", "6563"},
        {"a reply ending in CR LF CR LF loses all four", "6563\r\n\r\n", "6563"},
        {"a reply ending in three line feeds keeps one", "6563\n\n\n", "6563\n"},
        {"leading and inner control characters stay", "\r65\t63\r", "\r65\t63"},
        {"a first byte 0xFF empties the reply", "\xFF" "6563\r\n", ""},
        {"an empty reply stays empty", "", ""},
        {"a reply of a lone line feed becomes empty", "\n", ""},
    };
    for (const Row& row : rows) {
        char text[REPLY_BUFFER_SIZE];
        copy_text(text, sizeof text, row.in, REPLY_MAX);
        trim_reply(text);
        EXPECT_STREQ(text, row.out) << row.name;
    }
}

TEST(TrimReply, TextRepliesAreCutBeforeTrimming)
{
    struct Row {
        const char* name;
        const char* in;
        int length;
        const char* out;
    } rows[] = {
        {"a 50-character model keeps 34", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwx", 34,
         "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefgh"},
        {"a serial number keeps 18", "SN-0123456789ABCDEFGH\r\n", 18, "SN-0123456789ABCDE"},
        {"a bandwidth of 0.7A with CR LF", "0.7A\r\n", 10, "0.7A"},
        {"a cut inside the line end keeps the rest of it trimmed", "123456789\r\n", 10, "123456789"},
        {"an edition of 11 characters keeps 10", "PRO-EDITION\r\n", 10, "PRO-EDITIO"},
    };
    for (const Row& row : rows) {
        char text[REPLY_BUFFER_SIZE];
        copy_text(text, sizeof text, row.in, REPLY_MAX);
        cut_text_reply(text, row.length);
        EXPECT_STREQ(text, row.out) << row.name;
    }
}

}  // namespace
