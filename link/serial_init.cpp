// serial_init on every platform: the checks of the name and the state, the platform's opening
// (serial_backend.h), the serial_error.log record of a failure.
#include "link/link_thread.h"
#include "link/serial_backend.h"
#include "link/solvane_link.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void log_init_failure(const char* port_name, const char* message)
{
    std::string record = port_name;
    record += ": ";
    record += message;
    record += "\n";
    append_serial_error_log(record.c_str());
}

}  // namespace

int serial_init(int& connected, int& port_handle, const char* port_name, LinkForm form)
{
    const bool windowed = (form == LINK_WINDOWED);
    const char* name = port_name != nullptr ? port_name : "";
    char message[INIT_MESSAGE_SIZE] = "";
    int code = 0;
    int fd = -1;
    PortError& last_error = link_thread().last_error;
    last_error = PortError{};

    if (connected == 1) {
        code = SERIAL_INIT_ALREADY_OPEN;
        last_error.failure = PORT_ALREADY_OPEN;
        std::snprintf(message, sizeof message, "serial_init error: Already OK.");
    } else if (std::strlen(name) <= 1) {
        code = SERIAL_INIT_NO_NAME;
        last_error.failure = PORT_NO_NAME;
        std::snprintf(message, sizeof message, "serial_init error: COM port not specified.");
    } else if (!port_name_acceptable(name)) {
        // Refused before anything is opened or logged: such a name would forge log records.
        last_error.failure = PORT_REFUSED_NAME;
        return 0;
    } else {
        code = port_open_and_configure(name, fd, message, windowed);
    }

    if (code != 0) {
        if (fd >= 0) port_close_unfinished(fd);  // a failure after opening leaves no descriptor behind
        if (windowed) log_init_failure(name, message);
        return 0;
    }

    port_start_clean(fd);
    port_handle = fd;
    connected = 1;
    return 1;
}
