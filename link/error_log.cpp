// serial_error.log: the one diagnostic file of the windowed program. Each record is opened,
// appended and closed on its own, so a record survives whatever happens to the program next.
#include "link/solvane_link.h"

#include <cstdio>
#include <ctime>

void append_serial_error_log(const char* text)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    char stamp[64] = "";
    if (localtime_r(&now, &local) != nullptr) asctime_r(&local, stamp);  // 24 characters + LF

    std::FILE* file = std::fopen("serial_error.log", "a");
    if (file == nullptr) return;  // the record is dropped; the caller's result stands
    std::fprintf(file, "\n%s%s", stamp, text);
    std::fclose(file);
}
