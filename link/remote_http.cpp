// Names, the HTTP client and the small JSON reader of served filters; see remote_link.h.
//
// The client is as small as the server's answers allow: one request per connection (the server is
// on the loopback or the observatory's network, so a connection costs a fraction of a
// millisecond), HTTP/1.1 with Content-Length or chunked bodies, every wait a poll() that also
// watches the thread's abort descriptor. On Windows (the console tool) the sockets are Winsock's
// behind the few functions below, and there is no abort descriptor: no filter line runs there.
#include "link/remote_link.h"

#include "link/link_thread.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

#ifdef _WIN32
// Winsock: a socket is a SOCKET closed with closesocket, its errors come from WSAGetLastError,
// non-blocking mode is set with ioctlsocket, and a wait is select(), which also reports a refused
// connection (WSAPoll does not on every version of Windows). Winsock is started once, at the
// first socket.
using Socket = SOCKET;
const Socket NO_SOCKET = INVALID_SOCKET;
constexpr int CONNECTION_RESET = WSAECONNRESET;
int socket_error() { return ::WSAGetLastError(); }
bool connect_in_progress(int error) { return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS; }
bool try_again(int error) { return error == WSAEWOULDBLOCK || error == WSAEINTR; }
void close_socket(Socket s) { ::closesocket(s); }

Socket open_socket(const addrinfo* a)
{
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) return NO_SOCKET;
    Socket s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    u_long non_blocking = 1;
    if (s != NO_SOCKET && ::ioctlsocket(s, FIONBIO, &non_blocking) != 0) {
        ::closesocket(s);
        return NO_SOCKET;
    }
    return s;
}

long send_some(Socket s, const char* bytes, size_t n)
{
    return ::send(s, bytes, static_cast<int>(std::min<size_t>(n, 1 << 20)), 0);
}
long receive_some(Socket s, char* buffer, size_t n) { return ::recv(s, buffer, static_cast<int>(n), 0); }

// Waits for the socket until the deadline. 1 ready, 0 timed out, -1 failed.
int wait_socket(Socket s, short events, Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
    const bool writing = (events & POLLOUT) != 0;
    const int n = ::select(0, writing ? nullptr : &ready, writing ? &ready : nullptr, &failed, &wait);
    return n < 0 ? -1 : n > 0 ? 1 : 0;
}
#else
using Socket = int;
const Socket NO_SOCKET = -1;
constexpr int CONNECTION_RESET = ECONNRESET;
int socket_error() { return errno; }
bool connect_in_progress(int error) { return error == EINPROGRESS; }
bool try_again(int error) { return error == EAGAIN || error == EINTR; }
void close_socket(Socket s) { ::close(s); }

Socket open_socket(const addrinfo* a)
{
    return ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
}

long send_some(Socket s, const char* bytes, size_t n) { return ::send(s, bytes, n, MSG_NOSIGNAL); }
long receive_some(Socket s, char* buffer, size_t n) { return ::recv(s, buffer, n, 0); }
#endif

}  // namespace

std::string socket_error_text(int error)
{
#ifdef _WIN32
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(error), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length > 0 && text != nullptr ? std::string(text, length) : "Error " + std::to_string(error);
    if (text != nullptr) ::LocalFree(text);
    // One phrase, as strerror gives it: without the line break and the full stop.
    while (!result.empty() && (std::isspace(static_cast<unsigned char>(result.back())) || result.back() == '.'))
        result.pop_back();
    return result;
#else
    return std::strerror(error);
#endif
}

// ---------------------------------------------------------------------------------------------
// Sockets
// ---------------------------------------------------------------------------------------------

namespace {

#ifndef _WIN32
// Waits for events on fd until the deadline. 1 ready, 0 timed out, -2 cut short, -1 failed.
int wait_socket(int fd, short events, Clock::time_point deadline)
{
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return 0;
        pollfd p[2] = {{fd, events, 0}, {link_thread().abort_descriptor, POLLIN, 0}};
        const nfds_t count = link_thread().abort_descriptor >= 0 ? 2 : 1;
        const int ready = ::poll(p, count, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (count == 2 && (p[1].revents & POLLIN) != 0) return -2;
        if (ready > 0) return 1;
    }
}
#endif

HttpFailure failure_of_wait(int waited) { return waited == -2 ? HTTP_CUT_SHORT : waited == 0 ? HTTP_TIMED_OUT : HTTP_UNREACHABLE; }

// A connected socket to the address, or NO_SOCKET with the reason in answer.
Socket open_connection(const RemoteAddress& to, Clock::time_point deadline, HttpAnswer& answer)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(to.port);
    if (::getaddrinfo(to.host, port.c_str(), &hints, &found) != 0 || found == nullptr) {
        answer.failure = HTTP_NO_ADDRESS;
        return NO_SOCKET;
    }
    Socket fd = NO_SOCKET;
    answer.failure = HTTP_UNREACHABLE;
    for (addrinfo* a = found; a != nullptr && fd == NO_SOCKET; a = a->ai_next) {
        fd = open_socket(a);
        if (fd == NO_SOCKET) continue;
        int error = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = socket_error();
            if (connect_in_progress(error)) {
                const int waited = wait_socket(fd, POLLOUT, deadline);
                if (waited != 1) {  // out of time, or cut short: no other address is tried
                    answer.failure = failure_of_wait(waited);
                    close_socket(fd);
                    fd = NO_SOCKET;
                    break;
                }
                socklen_t size = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0)
                    error = socket_error();
            }
        }
        if (error != 0) {
            answer.error = error;
            close_socket(fd);
            fd = NO_SOCKET;
        }
    }
    ::freeaddrinfo(found);
    if (fd != NO_SOCKET) answer.failure = HTTP_DONE;
    return fd;
}

int send_all(Socket fd, const std::string& bytes, Clock::time_point deadline, HttpAnswer& answer)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const long k = send_some(fd, bytes.data() + done, bytes.size() - done);
        if (k > 0) {
            done += static_cast<size_t>(k);
            continue;
        }
        if (k < 0 && !try_again(socket_error())) {
            answer.failure = HTTP_UNREACHABLE;
            answer.error = socket_error();
            return 0;
        }
        const int waited = wait_socket(fd, POLLOUT, deadline);
        if (waited != 1) {
            answer.failure = failure_of_wait(waited);
            return 0;
        }
    }
    return 1;
}

// What the head of an answer says about its body.
struct Head {
    int status = 0;
    long length = -1;  // Content-Length; -1: none given
    int chunked = 0;
};

// strcasestr for the ASCII words of HTTP heads, on every platform (it is a GNU extension).
bool contains_ignoring_case(const std::string& text, const char* word)
{
    const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
    const char* end = word + std::strlen(word);
    return std::search(text.begin(), text.end(), word, end,
                       [&](char a, char b) { return lower(a) == lower(b); }) != text.end();
}

int read_head(const std::string& head, Head& out)
{
    int major = 0, minor = 0;
    if (std::sscanf(head.c_str(), "HTTP/%d.%d %d", &major, &minor, &out.status) != 3 || major != 1) return 0;
    size_t at = head.find("\r\n");
    while (at != std::string::npos && at + 2 < head.size()) {
        const size_t end = head.find("\r\n", at + 2);
        const std::string line = head.substr(at + 2, (end == std::string::npos ? head.size() : end) - at - 2);
        if (strncasecmp(line.c_str(), "Content-Length:", 15) == 0) out.length = std::strtol(line.c_str() + 15, nullptr, 10);
        if (strncasecmp(line.c_str(), "Transfer-Encoding:", 18) == 0 && contains_ignoring_case(line, "chunked"))
            out.chunked = 1;
        at = end;
    }
    return out.length <= HTTP_BODY_MAX;
}

// A chunked body put together; 1 when it is complete, 0 while more must come, -1 when malformed.
int unchunk(const std::string& raw, std::string& body)
{
    body.clear();
    size_t at = 0;
    while (true) {
        const size_t line_end = raw.find("\r\n", at);
        if (line_end == std::string::npos) return 0;
        char* end = nullptr;
        const long size = std::strtol(raw.c_str() + at, &end, 16);
        if (end == raw.c_str() + at || size < 0 || size > HTTP_BODY_MAX) return -1;
        if (size == 0) return 1;
        if (raw.size() < line_end + 2 + static_cast<size_t>(size) + 2) return 0;
        body.append(raw, line_end + 2, static_cast<size_t>(size));
        at = line_end + 2 + static_cast<size_t>(size) + 2;
    }
}

// 1 when the bytes so far hold the whole answer (answer filled), 0 while more must come, -1 malformed.
int complete_answer(const std::string& bytes, int closed, HttpAnswer& answer)
{
    const size_t head_end = bytes.find("\r\n\r\n");
    if (head_end == std::string::npos) return closed || bytes.size() > 16384 ? -1 : 0;
    Head head;
    if (!read_head(bytes.substr(0, head_end), head)) return -1;
    answer.status = head.status;
    const std::string raw = bytes.substr(head_end + 4);
    if (head.chunked) {
        const int done = unchunk(raw, answer.body);
        return done == 0 && closed ? -1 : done;
    }
    if (head.length >= 0) {
        if (raw.size() < static_cast<size_t>(head.length)) return closed ? -1 : 0;
        answer.body = raw.substr(0, static_cast<size_t>(head.length));
        return 1;
    }
    answer.body = raw;
    return closed ? 1 : 0;  // no length: the body ends with the connection
}

int receive_answer(Socket fd, Clock::time_point deadline, HttpAnswer& answer)
{
    std::string bytes;
    char buffer[4096];
    while (true) {
        const long k = receive_some(fd, buffer, sizeof buffer);
        if (k > 0) bytes.append(buffer, static_cast<size_t>(k));
        if (k < 0 && !try_again(socket_error())) {
            answer.failure = HTTP_UNREACHABLE;
            answer.error = socket_error();
            return 0;
        }
        if (k != 0 && bytes.size() > static_cast<size_t>(HTTP_BODY_MAX) + 16384) {
            answer.failure = HTTP_MALFORMED;
            return 0;
        }
        const int done = k >= 0 ? complete_answer(bytes, k == 0, answer) : 0;
        if (done != 0) {
            answer.failure = done > 0 ? HTTP_DONE : bytes.empty() ? HTTP_UNREACHABLE : HTTP_MALFORMED;
            if (done < 0 && bytes.empty()) answer.error = CONNECTION_RESET;
            return done > 0;
        }
        if (k > 0) continue;
        const int waited = wait_socket(fd, POLLIN, deadline);
        if (waited != 1) {
            answer.failure = failure_of_wait(waited);
            return 0;
        }
    }
}

}  // namespace

std::string form_encode(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

int http_request(const RemoteAddress& to, const char* method, const std::string& path, const std::string& form,
                 int timeout_ms, HttpAnswer& answer)
{
    answer = HttpAnswer{};
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    const bool put = std::strcmp(method, "GET") != 0;
    const bool v6 = std::strchr(to.host, ':') != nullptr;
    std::string request = std::string(method) + " " + path + (!put && !form.empty() ? "?" + form : "") + " HTTP/1.1\r\n";
    request += std::string("Host: ") + (v6 ? "[" : "") + to.host + (v6 ? "]" : "") + ":" + std::to_string(to.port) + "\r\n";
    request += "User-Agent: solvane-link\r\nAccept: application/json\r\nConnection: close\r\n";
    if (put) {
        request += "Content-Type: application/x-www-form-urlencoded\r\n";
        request += "Content-Length: " + std::to_string(form.size()) + "\r\n\r\n" + form;
    } else {
        request += "\r\n";
    }
    const Socket fd = open_connection(to, deadline, answer);
    if (fd == NO_SOCKET) return 0;
    const int done = send_all(fd, request, deadline, answer) && receive_answer(fd, deadline, answer);
    close_socket(fd);
    return done;
}

// ---------------------------------------------------------------------------------------------
// JSON
// ---------------------------------------------------------------------------------------------

namespace {

struct JsonText {
    const std::string& text;
    size_t at = 0;

    void blanks()
    {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) ++at;
    }
    bool take(char c)
    {
        blanks();
        if (at >= text.size() || text[at] != c) return false;
        ++at;
        return true;
    }
};

void put_utf8(std::string& out, unsigned code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool read_hex4(JsonText& j, unsigned& code)
{
    if (j.at + 4 > j.text.size()) return false;
    char* end = nullptr;
    const std::string digits = j.text.substr(j.at, 4);
    code = static_cast<unsigned>(std::strtoul(digits.c_str(), &end, 16));
    if (end != digits.c_str() + 4) return false;
    j.at += 4;
    return true;
}

// A string's text after its opening quote, unescaped (UTF-8).
bool read_string(JsonText& j, std::string& out)
{
    static const char ESCAPES[] = "\"\"\\\\//b\bf\fn\nr\rt\t";
    while (j.at < j.text.size()) {
        const char c = j.text[j.at++];
        if (c == '"') return true;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (j.at >= j.text.size()) return false;
        const char e = j.text[j.at++];
        if (e == 'u') {
            unsigned code = 0, low = 0;
            if (!read_hex4(j, code)) return false;
            if (code >= 0xD800 && code < 0xDC00 && j.text.compare(j.at, 2, "\\u") == 0) {
                j.at += 2;
                if (!read_hex4(j, low)) return false;
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            }
            put_utf8(out, code);
            continue;
        }
        const char* found = std::strchr(ESCAPES, e);
        if (found == nullptr || (found - ESCAPES) % 2 != 0) return false;
        out += found[1];
    }
    return false;
}

// Skips a value that is an array or object (its opening bracket already taken).
bool skip_nested(JsonText& j)
{
    int depth = 1;
    while (j.at < j.text.size() && depth > 0) {
        const char c = j.text[j.at++];
        std::string ignored;
        if (c == '"' && !read_string(j, ignored)) return false;
        if (c == '[' || c == '{') ++depth;
        if (c == ']' || c == '}') --depth;
    }
    return depth == 0;
}

bool read_value(JsonText& j, JsonMember& member)
{
    j.blanks();
    if (j.at >= j.text.size()) return false;
    const char c = j.text[j.at];
    if (c == '"') {
        ++j.at;
        member.is_string = 1;
        return read_string(j, member.value);
    }
    if (c == '[' || c == '{') {
        const size_t start = j.at++;
        if (!skip_nested(j)) return false;
        member.value = j.text.substr(start, j.at - start);  // as written, for read_json_objects
        return true;
    }
    const size_t start = j.at;
    while (j.at < j.text.size() && std::strchr(",}] \t\r\n", j.text[j.at]) == nullptr) ++j.at;
    member.value = j.text.substr(start, j.at - start);
    return !member.value.empty();
}

}  // namespace

int read_flat_json(const std::string& text, std::vector<JsonMember>& members)
{
    members.clear();
    JsonText j{text};
    if (!j.take('{')) return 0;
    if (j.take('}')) return 1;
    do {
        JsonMember member;
        if (!j.take('"') || !read_string(j, member.name) || !j.take(':') || !read_value(j, member)) return 0;
        members.push_back(std::move(member));
    } while (j.take(','));
    return j.take('}');
}

int read_json_objects(const std::string& text, std::vector<std::vector<JsonMember>>& objects)
{
    objects.clear();
    JsonText j{text};
    if (!j.take('[')) return 0;
    if (j.take(']')) return 1;
    do {
        j.blanks();
        const size_t start = j.at;
        if (!j.take('{') || !skip_nested(j)) return 0;
        std::vector<JsonMember> members;
        if (!read_flat_json(text.substr(start, j.at - start), members)) return 0;
        objects.push_back(std::move(members));
    } while (j.take(','));
    return j.take(']');
}

const JsonMember* json_member(const std::vector<JsonMember>& members, const char* name)
{
    for (const JsonMember& m : members)
        if (m.name == name) return &m;
    return nullptr;
}

std::string utf8_to_latin1(const std::string& text)
{
    std::string out;
    for (size_t k = 0; k < text.size(); ++k) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if ((c & 0xE0) == 0xC0 && k + 1 < text.size()) {
            const unsigned code = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[++k]) & 0x3Fu);
            out += code <= 0xFF ? static_cast<char>(code) : '?';
        } else if ((c & 0xC0) != 0x80) {
            out += '?';  // a character beyond ISO 8859-1; its continuation bytes are skipped
        }
    }
    return out;
}
