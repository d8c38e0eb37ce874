// Why a slot shows no working filter; see slot_problem.h.
#include "control/display/slot_problem.h"

#include <cctype>
#include <cstring>

namespace {

// The system's text with a small first letter, as it reads after "COM3: ".
std::string system_reason(int error)
{
    std::string text = std::strerror(error);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// A held port names its holder when it is one of the user's programs; a filter server's port is
// reached through the server.
std::string busy_reason(const char* port_name)
{
    const PortHolder holder = port_holder(port_name);
    if (holder.pid == 0) return "in use by another program: close it, or choose another port";
    const std::string who = holder.name + " (process " + std::to_string(holder.pid) + ")";
    if (holder.name == "solvane-alpaca") {
        const std::string served = served_name_of_port(holder.pid, port_name);
        if (!served.empty()) return "served by " + who + ": choose " + served;
        return "served by " + who + ": choose its alpaca:// name (Find Alpaca)";
    }
    return "in use by " + who + ": close it, or choose another port";
}

// What to do, kept short: the line must fit a panel's width.
std::string port_reason(const char* port_name, const PortError& e)
{
    switch (e.failure) {
    case PORT_MISSING: return "not there: plug in the filter's cable or USB adapter";
    case PORT_PERMISSION: return "permission denied: add yourself to dialout";
    case PORT_BUSY: return busy_reason(port_name);
    case PORT_NOT_SERIAL: return "not a serial port";
    case PORT_NO_NAME:
    case PORT_REFUSED_NAME: return "not a port name";
    case PORT_ALREADY_OPEN: return "already open";
    case PORT_OK:
    case PORT_OPEN_FAILED: break;
    }
    return "could not be opened: " + system_reason(e.error);
}

}  // namespace

std::string slot_problem_text(const char* port_name, ConnectFailure failure, const PortError& port_error, int lost)
{
    std::string reason;
    if (lost)
        reason = "stopped answering: is the filter on and its cable in?";
    else if (failure == CONNECT_PORT_FAILED)
        reason = port_reason(port_name, port_error);
    else if (failure == CONNECT_SILENT)
        reason = "nothing answered at 9600 baud";
    else if (failure == CONNECT_NOT_A_FILTER)
        reason = "a device answered, but not as a filter (see serial_error.log)";
    if (reason.empty()) return "";
    return latin1_to_utf8(port_name) + ": " + reason;
}
