// Served filters in the link: their names, the record as JSON, and the HTTP client against a
// scripted server on the loopback (answers whole, chunked, late, malformed, or none).
#include "link/remote_link.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

TEST(RemoteNames, OnlyCompleteAlpacaNamesAreServedFilters)
{
    struct Row {
        const char* name;
        int ok;
        const char* host;
        int port, device;
    };
    const Row rows[] = {
        {"alpaca://127.0.0.1:11111/0", 1, "127.0.0.1", 11111, 0},
        {"ALPACA://scope-pi:8080/3", 1, "scope-pi", 8080, 3},
        {"alpaca://[::1]:11111/2", 1, "::1", 11111, 2},
        {"alpaca://127.0.0.1/0", 0, "", 0, 0},         // no port
        {"alpaca://127.0.0.1:11111", 0, "", 0, 0},     // no device
        {"alpaca://127.0.0.1:0/0", 0, "", 0, 0},       // port out of range
        {"alpaca://127.0.0.1:65536/0", 0, "", 0, 0},
        {"alpaca://127.0.0.1:11111/x", 0, "", 0, 0},
        {"alpaca://:11111/0", 0, "", 0, 0},            // no host
        {"alpaca://a b:11111/0", 0, "", 0, 0},
        {"alpaca://h:11111/0\n", 0, "", 0, 0},         // a control character
        {"/dev/ttyUSB0", 0, "", 0, 0},
        {"COM3", 0, "", 0, 0},
    };
    for (const Row& row : rows) {
        RemoteAddress a;
        EXPECT_EQ(parse_remote_name(row.name, a), row.ok) << row.name;
        if (!row.ok) continue;
        EXPECT_STREQ(a.host, row.host) << row.name;
        EXPECT_EQ(a.port, row.port) << row.name;
        EXPECT_EQ(a.device, row.device) << row.name;
    }
    EXPECT_TRUE(is_remote_port_name("Alpaca://x:1/0"));
    EXPECT_FALSE(is_remote_port_name("/tmp/alpaca://x"));
    EXPECT_TRUE(port_name_acceptable("alpaca://127.0.0.1:11111/0"));  // solvane.ini keeps it as a port
}

TEST(RemoteRecord, EveryShownFieldReadsBackBitForBit)
{
    FilterRecord r;
    r.connected = 1;
    r.status_code = 7;
    copy_text(r.model_text, MESSAGE_TEXT_SIZE, "Model \"60\" \\ \xB0 \x01 end", MESSAGE_TEXT_SIZE - 1);
    copy_text(r.firmware_text, FIRMWARE_TEXT_SIZE, "v1.25", FIRMWARE_TEXT_SIZE - 1);
    copy_text(r.bandwidth_text, BANDWIDTH_TEXT_SIZE, "0.5\xC5", BANDWIDTH_TEXT_SIZE - 1);
    r.wavelength = 6562.8 + 1e-9;
    r.wing_shift = -0.30000000000000004;
    r.temperature = 1.0 / 3;
    r.heater_power = 12.5;
    r.age_minutes_total = 123456;
    r.age_hours = 5;

    FilterRecord back;
    back.slot_index = 3;
    back.zoom_span = ZOOM_WIDE;
    copy_text(back.port_name, PORT_NAME_SIZE, "alpaca://h:1/0", PORT_NAME_SIZE - 1);
    ASSERT_EQ(read_record_json(record_json(r), back), 1) << record_json(r);
    EXPECT_STREQ(back.model_text, r.model_text);
    EXPECT_STREQ(back.bandwidth_text, r.bandwidth_text);
    EXPECT_STREQ(back.firmware_text, r.firmware_text);
    EXPECT_EQ(std::memcmp(&back.wavelength, &r.wavelength, sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(&back.wing_shift, &r.wing_shift, sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(&back.temperature, &r.temperature, sizeof(double)), 0);
    EXPECT_EQ(back.status_code, 7);
    EXPECT_EQ(back.age_minutes_total, 123456);
    EXPECT_EQ(back.age_hours, 5);
    // The reader's own configuration stays.
    EXPECT_EQ(back.slot_index, 3);
    EXPECT_EQ(back.zoom_span, ZOOM_WIDE);
    EXPECT_STREQ(back.port_name, "alpaca://h:1/0");

    // Another format, a missing field or a field of the wrong kind changes nothing.
    std::string other = record_json(r);
    const std::string versions[] = {
        "{\"format\":2" + other.substr(other.find(',')),
        other.substr(0, other.find(",\"wavelength\"")) + "}",
        std::string(other).replace(other.find("\"units\":0"), 9, "\"units\":\"0\""),
        "not json",
    };
    for (const std::string& text : versions) {
        FilterRecord untouched;
        EXPECT_EQ(read_record_json(text, untouched), 0) << text;
        EXPECT_EQ(untouched.connected, 0);
    }
}

// A scripted HTTP server on the loopback: accepts one connection at a time and answers each
// request with the next script entry (empty: keep silent until the client goes). Its thread owns
// requests until finish() has joined it.
struct ScriptedServer {
    int listener = -1;
    int port = 0;
    std::vector<std::string> script;
    std::vector<std::string> requests;
    std::thread thread;
    std::atomic<bool> stop{false};

    void start()
    {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        socklen_t size = sizeof at;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size);
        port = ntohs(at.sin_port);
        ::listen(listener, 4);
        thread = std::thread([this] { run(); });
    }

    void run()
    {
        for (const std::string& answer : script) {
            pollfd p{listener, POLLIN, 0};
            while (!stop && ::poll(&p, 1, 50) == 0) {
            }
            if (stop) return;
            const int fd = ::accept(listener, nullptr, nullptr);
            std::string request;
            char buffer[4096];
            pollfd q{fd, POLLIN, 0};
            while (request.find("\r\n\r\n") == std::string::npos && ::poll(&q, 1, 2000) == 1) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                request.append(buffer, static_cast<size_t>(n));
            }
            requests.push_back(request);
            if (!answer.empty()) ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            else
                while (!stop && ::poll(&q, 1, 50) == 0) {
                }
            ::close(fd);
        }
    }

    // Waits until the script has run out (every answer given).
    void finish()
    {
        if (thread.joinable()) thread.join();
    }

    ~ScriptedServer()
    {
        stop = true;
        finish();
        if (listener >= 0) ::close(listener);
    }
};

TEST(RemoteHttp, AnswersWholeChunkedOrNoneEachEndAsTheyShould)
{
    struct Row {
        const char* answer;
        int timeout_ms;
        HttpFailure failure;
        int status;
        const char* body;
    };
    const Row rows[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 2000, HTTP_DONE, 200, "hello"},
        {"HTTP/1.1 400 Bad\r\ncontent-length: 3\r\n\r\nno\nextra", 2000, HTTP_DONE, 400, "no\n"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", 2000, HTTP_DONE, 200, "abcde"},
        {"HTTP/1.0 200 OK\r\n\r\nuntil closed", 2000, HTTP_DONE, 200, "until closed"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\ncut", 2000, HTTP_MALFORMED, 200, ""},
        {"SSH-2.0-OpenSSH\r\n\r\n", 2000, HTTP_MALFORMED, 0, ""},
        {"", 300, HTTP_TIMED_OUT, 0, ""},
    };
    ScriptedServer server;
    for (const Row& row : rows) server.script.push_back(row.answer);
    server.start();
    RemoteAddress a;
    ASSERT_EQ(parse_remote_name(("alpaca://127.0.0.1:" + std::to_string(server.port) + "/0").c_str(), a), 1);
    for (const Row& row : rows) {
        HttpAnswer answer;
        const auto start = TestClock::now();
        EXPECT_EQ(http_request(a, "PUT", "/api/v1/switch/0/action", "Action=record&Parameters=", row.timeout_ms, answer),
                  row.failure == HTTP_DONE)
            << row.answer;
        EXPECT_EQ(answer.failure, row.failure) << row.answer;
        if (row.failure == HTTP_DONE) {
            EXPECT_EQ(answer.status, row.status) << row.answer;
            EXPECT_EQ(answer.body, row.body) << row.answer;
        }
        EXPECT_LT(seconds_since(start), 1.5) << row.answer;
    }
    server.finish();
    ASSERT_FALSE(server.requests.empty());
    const std::string& put = server.requests[0];
    EXPECT_EQ(put.rfind("PUT /api/v1/switch/0/action HTTP/1.1\r\n", 0), 0u) << put;
    EXPECT_NE(put.find("\r\nHost: 127.0.0.1:" + std::to_string(server.port) + "\r\n"), std::string::npos) << put;
    EXPECT_NE(put.find("\r\nContent-Length: 25\r\n"), std::string::npos) << put;
}

TEST(RemoteHttp, NoServerIsUnreachableAndAnAbortEndsTheWaitAtOnce)
{
    // A port nobody listens on: bound, never listened to, so no other program can take it meanwhile.
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    socklen_t size = sizeof at;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&at), &size);
    RemoteAddress a;
    copy_text(a.host, REMOTE_HOST_SIZE, "127.0.0.1", 20);
    a.port = ntohs(at.sin_port);
    HttpAnswer answer;
    EXPECT_EQ(http_request(a, "GET", "/", "", 2000, answer), 0);
    EXPECT_EQ(answer.failure, HTTP_UNREACHABLE);
    EXPECT_EQ(answer.error, ECONNREFUSED);
    ::close(holder);

    ScriptedServer silent;
    silent.script = {""};
    silent.start();
    a.port = silent.port;
    int abort_pipe[2];
    ASSERT_EQ(::pipe(abort_pipe), 0);
    serial_set_abort_descriptor(abort_pipe[0]);
    std::thread cancel([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(::write(abort_pipe[1], "x", 1), 1);
    });
    const auto start = TestClock::now();
    EXPECT_EQ(http_request(a, "GET", "/", "", 10000, answer), 0);
    EXPECT_EQ(answer.failure, HTTP_CUT_SHORT);
    EXPECT_LT(seconds_since(start), 2.0);
    cancel.join();
    serial_set_abort_descriptor(-1);
    ::close(abort_pipe[0]);
    ::close(abort_pipe[1]);
}

}  // namespace
