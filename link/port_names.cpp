// The checks on port names and the thread's last opening failure, the same on every platform;
// the serial file of each platform (serial_posix.cpp, serial_windows.cpp) uses them.
#include "link/solvane_link.h"
#include "link/link_thread.h"

#include <cstring>

int has_control_character(const char* text)
{
    if (text == nullptr) return 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p)
        if (*p < 0x20 || *p == 0x7F) return 1;
    return 0;
}

int port_name_acceptable(const char* port_name)
{
    if (port_name == nullptr) return 0;
    const size_t length = std::strlen(port_name);
    return length >= 2 && length <= PORT_NAME_SIZE - 1 && !has_control_character(port_name);
}

PortError serial_last_error() { return link_thread().last_error; }
