// Which program holds a port; see solvane_link.h.
//
// A port held by another program is a dead end for the observer unless the message says which one.
// The kernel names each process's open files under /proc/PID/fd; those of this user's processes are
// readable, so the holder is the process of this user with a descriptor on the port's device.
#include "link/filter_policy.h"
#include "link/settings_file.h"
#include "link/solvane_link.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

namespace {

// The device a descriptor link of /proc leads to, or empty.
std::string link_target(const std::string& path)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

bool holds(const std::string& pid, const std::string& device)
{
    const std::string fds = "/proc/" + pid + "/fd";
    DIR* dir = ::opendir(fds.c_str());
    if (dir == nullptr) return false;  // another user's process
    bool found = false;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.' && link_target(fds + "/" + entry->d_name) == device) {
            found = true;
            break;
        }
    ::closedir(dir);
    return found;
}

std::string process_name(const std::string& pid)
{
    std::string name;
    if (std::FILE* comm = std::fopen(("/proc/" + pid + "/comm").c_str(), "r")) {
        char text[64] = "";
        if (std::fgets(text, sizeof text, comm) != nullptr) name = text;
        std::fclose(comm);
    }
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
    return printable_text(name, 32);
}

// The device a port name leads to, or empty.
std::string device_of(const char* port_name)
{
    char path[PATH_MAX];
    char device[PATH_MAX];
    if (port_name == nullptr || !resolve_port_path(port_name, path, sizeof path) || ::realpath(path, device) == nullptr)
        return "";
    return device;
}

std::vector<std::string> command_line(int pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    for (size_t at = 0; at < bytes.size();) {
        const size_t end = bytes.find('\0', at);
        args.push_back(bytes.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? bytes.size() : end + 1;
    }
    return args;
}

// The ports the server serves, by device number: its --ports list, or its directory's solvane.ini.
std::vector<std::string> served_ports(int pid, const std::string& listed)
{
    std::vector<std::string> ports;
    if (!listed.empty()) {
        for (size_t at = 0; at <= listed.size();) {
            const size_t end = std::min(listed.find(',', at), listed.size());
            ports.push_back(listed.substr(at, end - at));
            at = end + 1;
        }
        return ports;
    }
    std::ifstream file("/proc/" + std::to_string(pid) + "/cwd/solvane.ini", std::ios::binary);
    std::string bytes(SETTINGS_READ_MAX, '\0');
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(file.gcount()));
    SettingsFile settings;
    parse_settings_bytes(bytes, settings);
    for (const SlotSettings& slot : settings.per_slot) ports.push_back(slot.port_name);
    return ports;
}

// The address a client of this computer reaches a listen address by.
std::string client_host(const std::string& listen)
{
    if (listen == "0.0.0.0" || listen.empty()) return "127.0.0.1";
    if (listen == "::") return "[::1]";
    return listen.find(':') != std::string::npos ? "[" + listen + "]" : listen;
}

}  // namespace

std::string served_name_of_port(int pid, const char* port_name)
{
    const std::vector<std::string> args = command_line(pid);
    std::string listen = "127.0.0.1", port = "11111", listed;
    for (size_t k = 1; k + 1 < args.size(); ++k) {
        if (args[k] == "--listen") listen = args[k + 1];
        else if (args[k] == "--port") port = args[k + 1];
        else if (args[k] == "--ports") listed = args[k + 1];
    }
    const std::string device = device_of(port_name);
    if (args.empty() || device.empty() || port.empty() || port.find_first_not_of("0123456789") != std::string::npos ||
        std::atoi(port.c_str()) == 0)
        return "";
    const std::vector<std::string> ports = served_ports(pid, listed);
    for (size_t n = 0; n < ports.size() && n < static_cast<size_t>(SLOT_COUNT); ++n)
        if (!ports[n].empty() && device_of(ports[n].c_str()) == device)
            return "alpaca://" + client_host(listen) + ":" + port + "/" + std::to_string(n);
    return "";
}

PortHolder port_holder(const char* port_name)
{
    PortHolder holder;
    char path[PATH_MAX];
    char device[PATH_MAX];
    if (port_name == nullptr || !resolve_port_path(port_name, path, sizeof path) || ::realpath(path, device) == nullptr)
        return holder;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return holder;
    const std::string self = std::to_string(::getpid());
    while (dirent* entry = ::readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
        if (!holds(pid, device)) continue;
        holder.pid = std::atoi(pid.c_str());
        holder.name = process_name(pid);
        break;
    }
    ::closedir(proc);
    return holder;
}
