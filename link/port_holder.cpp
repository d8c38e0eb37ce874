// Which program holds a port; see solvane_link.h.
//
// A port held by another program is a dead end for the observer unless the message says which one.
// The kernel names each process's open files under /proc/PID/fd; those of this user's processes are
// readable, so the holder is the process of this user with a descriptor on the port's device.
#include "link/filter_policy.h"
#include "link/solvane_link.h"

#include <cstdio>
#include <cstdlib>
#include <string>

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

}  // namespace

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
