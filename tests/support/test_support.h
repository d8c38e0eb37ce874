// Helpers shared by the test programs: a private working directory, files, and time.
#pragma once

#include <chrono>
#include <string>
#include <vector>

// Creates a fresh directory under /tmp and makes it the working directory, so the files the
// programs write by relative name (serial_error.log, solvane.ini, solvane.csv) land there.
// Returns its path. Each test runs in a process of its own, so changing directory is safe.
std::string enter_temp_dir();

// A fresh directory under /tmp (not entered). Both are removed with everything in them when the
// test process ends, also after failed tests.
std::string make_temp_dir();

// Removes a folder and everything in it, whatever rights a test left on it; links are not followed.
void remove_temp_tree(const std::string& path);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);

// Seconds since a point, for the generous time bounds the tests allow.
using TestClock = std::chrono::steady_clock;
double seconds_since(TestClock::time_point start);

// An upper time bound of a test, in seconds, times SOLVANE_TEST_TIME_SCALE when that is set to a
// number above 1: a run under user-mode emulation (scripts/test.sh --arch) executes every
// instruction several times slower and widens the bounds by it. Lower bounds stay as they are.
double time_bound(double seconds);

// Number of open descriptors of this process.
int open_descriptor_count();

// Runs a program with arguments (SOLVANE_PORT_DIR set to port_dir when not empty) and returns its
// exit code, what it wrote to standard output and to standard error, and how long it took.
struct ProgramRun {
    int exit_code = -1;
    std::string output;
    std::string errors;
    double seconds = 0;
};
ProgramRun run_program(const std::string& path, const std::vector<std::string>& args,
                       const std::string& port_dir = "");

// A child process with its standard output on a pipe (out), started in dir (empty: this one) with
// the variables of env ("NAME=value") set; quiet sends its standard error to /dev/null.
struct Child {
    int pid = -1;
    int out = -1;
};
Child spawn(const std::string& path, const std::vector<std::string>& args, const std::string& dir, bool quiet = false,
            const std::vector<std::string>& env = {});

// Reads the child's output until it holds text or seconds pass; returns what it read.
std::string read_until(const Child& child, const std::string& text, double seconds);

// Waits for the process to end (killed after seconds); its exit code, 128 + signal, or -1.
int wait_exit(int pid, double seconds);

// solvane-alpaca at alpaca_path serving the named ports (as --ports takes them, from the
// environment's $SOLVANE_PORT_DIR) on the loopback, on port (0: any free one), without discovery,
// updating each filter every second, run in dir with its standard error dropped. port is 0 when
// it did not start.
struct ServedProgram {
    Child child;
    int port = 0;
    std::string output;  // what it printed up to its address
};
ServedProgram start_served(const std::string& alpaca_path, const std::string& ports, int port, const std::string& dir,
                           bool quiet = true);

// Ends it with SIGTERM; returns its exit code (0 when it ended as it should).
int stop_served(ServedProgram& served);

// alpaca://127.0.0.1:PORT/N for a device of the program.
std::string served_name(const ServedProgram& served, int device);
