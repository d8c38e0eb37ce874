// Where the windowed program finds its data files (solaratlas.bin, SolvaneControl.html).
#pragma once

#include <string>

// NAME in the current directory when it exists there, else in the program's data directory
// (share/solvane beside the directory of the running program), else "".
std::string find_data_file(const char* name);
