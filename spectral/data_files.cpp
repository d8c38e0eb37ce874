#include "spectral/data_files.h"

#include <climits>

#include <sys/stat.h>
#include <unistd.h>

namespace {

bool readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

std::string program_directory()
{
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    std::string exe(path, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/'));
}

}  // namespace

std::string find_data_file(const char* name)
{
    if (readable(name)) return name;
    std::string dir = program_directory();
    if (dir.empty()) return "";
    std::string installed = dir + "/../share/solvane/" + name;
    return readable(installed) ? installed : "";
}
