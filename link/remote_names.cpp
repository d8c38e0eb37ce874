// The names of served filters (alpaca://HOST:PORT/N), read without any network: the console tool
// tells them from port names on every platform.
#include "link/remote_link.h"

#include <cstring>
#include <strings.h>

namespace {

int read_port_number(const char* text, const char* end, int low, int high, int& out)
{
    if (text == end || end - text > 6) return 0;
    long value = 0;
    for (const char* p = text; p < end; ++p) {
        if (*p < '0' || *p > '9') return 0;
        value = value * 10 + (*p - '0');
    }
    if (value < low || value > high) return 0;
    out = static_cast<int>(value);
    return 1;
}

}  // namespace

int is_remote_port_name(const char* port_name)
{
    return port_name != nullptr && strncasecmp(port_name, REMOTE_SCHEME, std::strlen(REMOTE_SCHEME)) == 0;
}

int parse_remote_name(const char* port_name, RemoteAddress& out)
{
    if (!is_remote_port_name(port_name) || has_control_character(port_name)) return 0;
    const char* host = port_name + std::strlen(REMOTE_SCHEME);
    const char* host_end = nullptr;
    const char* colon = nullptr;
    if (*host == '[') {
        ++host;
        host_end = std::strchr(host, ']');
        if (host_end == nullptr || host_end[1] != ':') return 0;
        colon = host_end + 1;
    } else {
        colon = std::strchr(host, ':');
        host_end = colon;
    }
    if (colon == nullptr || host_end == host || host_end - host >= REMOTE_HOST_SIZE) return 0;
    const char* slash = std::strchr(colon, '/');
    if (slash == nullptr) return 0;
    RemoteAddress read;
    if (!read_port_number(colon + 1, slash, 1, 65535, read.port)) return 0;
    if (!read_port_number(slash + 1, slash + 1 + std::strlen(slash + 1), 0, 9999, read.device)) return 0;
    for (const char* p = host; p < host_end; ++p)
        if (*p == '/' || *p == ' ' || *p == '@' || *p == '[' || *p == ']') return 0;
    std::memcpy(read.host, host, static_cast<size_t>(host_end - host));
    read.host[host_end - host] = '\0';
    out = read;
    return 1;
}
