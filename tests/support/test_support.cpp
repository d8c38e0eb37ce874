#include "tests/support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

std::string make_temp_dir()
{
    char pattern[] = "/tmp/solvane-test-XXXXXX";
    char* dir = ::mkdtemp(pattern);
    if (dir == nullptr) std::abort();
    return dir;
}

std::string enter_temp_dir()
{
    std::string dir = make_temp_dir();
    if (::chdir(dir.c_str()) != 0) std::abort();
    return dir;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool file_exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

double seconds_since(TestClock::time_point start)
{
    return std::chrono::duration<double>(TestClock::now() - start).count();
}

int open_descriptor_count()
{
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count - 1;  // the directory stream itself
}
