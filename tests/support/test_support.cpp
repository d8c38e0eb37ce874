#include "tests/support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

void remove_temp_tree(const std::string& path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    // A test may have taken its own rights away (a read-only folder, an unreadable file): they
    // are given back first. Links are removed, never followed.
    if (fs::is_directory(fs::symlink_status(path, ec))) {
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        for (const fs::directory_entry& entry : fs::directory_iterator(path, ec)) remove_temp_tree(entry.path());
    }
    fs::remove(path, ec);
}

namespace {

// The folders this test process made, removed when it ends, whether its tests passed or failed
// (a process that is killed leaves them). A forked child that ends leaves them to its parent.
struct TempDirs {
    pid_t owner = ::getpid();
    std::vector<std::string> made;
    ~TempDirs()
    {
        if (::getpid() != owner) return;
        for (const std::string& dir : made) remove_temp_tree(dir);
    }
};

TempDirs& temp_dirs()
{
    static TempDirs dirs;
    return dirs;
}

}  // namespace

std::string make_temp_dir()
{
    TempDirs& dirs = temp_dirs();  // made first, so it is ended after anything that uses the folders
    char pattern[] = "/tmp/solvane-test-XXXXXX";
    char* dir = ::mkdtemp(pattern);
    if (dir == nullptr) std::abort();
    dirs.made.push_back(dir);
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

double time_bound(double seconds)
{
    static const double scale = [] {
        const char* text = std::getenv("SOLVANE_TEST_TIME_SCALE");
        const double value = text != nullptr ? std::strtod(text, nullptr) : 1.0;
        return value > 1.0 ? value : 1.0;
    }();
    return seconds * scale;
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
#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <thread>
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

Child spawn(const std::string& path, const std::vector<std::string>& args, const std::string& dir, bool quiet,
            const std::vector<std::string>& env)
{
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipe_fds[1], 1);
        if (quiet) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
        }
        if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
        for (const std::string& variable : env) ::putenv(const_cast<char*>(variable.c_str()));
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    return {pid, pipe_fds[0]};
}

// Reads the child's output until it holds text or seconds pass.
std::string read_until(const Child& child, const std::string& text, double seconds)
{
    std::string output;
    const auto start = TestClock::now();
    while (output.find(text) == std::string::npos && seconds_since(start) < seconds) {
        pollfd p{child.out, POLLIN, 0};
        if (::poll(&p, 1, 100) != 1) continue;
        char buffer[4096];
        const ssize_t n = ::read(child.out, buffer, sizeof buffer);
        if (n <= 0) break;
        output.append(buffer, static_cast<size_t>(n));
    }
    return output;
}

int wait_exit(int pid, double seconds)
{
    const auto start = TestClock::now();
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (seconds_since(start) > seconds) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ServedProgram start_served(const std::string& alpaca_path, const std::string& ports, int port, const std::string& dir, bool quiet)
{
    ServedProgram served;
    served.child = spawn(alpaca_path, {"--ports", ports, "--port", std::to_string(port), "--no-discovery", "--interval", "1000"},
                         dir, quiet, {"QT_QPA_PLATFORM=offscreen"});  // a test's own platform settings stay its own
    if (served.child.pid <= 0) return served;
    served.output = read_until(served.child, "listening on", 20);
    const size_t at = served.output.find("http://127.0.0.1:");
    if (at != std::string::npos) served.port = std::atoi(served.output.c_str() + at + 17);
    return served;
}

int stop_served(ServedProgram& served)
{
    if (served.child.pid <= 0) return -1;
    ::kill(served.child.pid, SIGTERM);
    const int code = wait_exit(served.child.pid, 15);
    ::close(served.child.out);
    served = ServedProgram{};
    return code;
}

std::string served_name(const ServedProgram& served, int device)
{
    return "alpaca://127.0.0.1:" + std::to_string(served.port) + "/" + std::to_string(device);
}
