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

#include <sys/wait.h>
#include <vector>

ProgramRun run_program(const std::string& path, const std::vector<std::string>& args,
                       const std::string& port_dir)
{
    ProgramRun run;
    int out[2];
    if (::pipe(out) != 0) return run;
    // Standard error goes to a file, read once the program ended: two pipes read one after the
    // other could fill and stall.
    char errors_path[] = "/tmp/solvane-test-stderr-XXXXXX";
    const int errors = ::mkstemp(errors_path);
    auto start = TestClock::now();
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], 1);
        if (errors >= 0) ::dup2(errors, 2);
        ::close(out[0]);
        ::close(out[1]);
        if (!port_dir.empty()) ::setenv("SOLVANE_PORT_DIR", port_dir.c_str(), 1);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) run.output.append(buffer, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    run.seconds = seconds_since(start);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (errors >= 0) {
        ::close(errors);
        run.errors = read_file(errors_path);
        ::unlink(errors_path);
    }
    return run;
}
