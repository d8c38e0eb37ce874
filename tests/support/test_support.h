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
