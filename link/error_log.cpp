// serial_error.log: the one diagnostic file of the windowed program. Each record is opened,
// appended and closed on its own, so a record survives whatever happens to the program next.
//
// The file is named relative to the working directory, which someone else may have prepared: it is
// opened without blocking and without following a link, and written only when it is a regular
// file, so a FIFO never hangs a program and a link never leads a record into another file.
#include "link/solvane_link.h"
#include "link/link_thread.h"

#include <cstdio>
#include <ctime>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr const char* ERROR_LOG_FILE = "serial_error.log";

#ifdef _WIN32
// The same rules on Windows: a link (reparse point) is opened as itself and then refused, and only
// a file on a disk is written, never a pipe or a device.
void append_to_file(const std::string& bytes)
{
    HANDLE file = ::CreateFileA(ERROR_LOG_FILE, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;  // the record is dropped; the caller's result stands
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(file) == FILE_TYPE_DISK && ::GetFileInformationByHandle(file, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        size_t done = 0;
        while (done < bytes.size()) {
            DWORD k = 0;
            if (!::WriteFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &k, nullptr) || k == 0)
                break;
            done += k;
        }
    }
    ::CloseHandle(file);
}
#else
void append_to_file(const std::string& bytes)
{
    int fd = ::open(ERROR_LOG_FILE, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return;  // the record is dropped; the caller's result stands
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t k = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (k <= 0) break;
            done += static_cast<size_t>(k);
        }
    }
    ::close(fd);
}
#endif

}  // namespace

void append_serial_error_log(const char* text)
{
    if (serial_aborted()) return;  // a job cut short has nothing to report
    std::time_t now = std::time(nullptr);
    std::tm local{};
    char stamp[64] = "";
    if (localtime_r(&now, &local) != nullptr) asctime_r(&local, stamp);  // 24 characters + LF

    std::string record = "\n";
    record += stamp;
    record += text != nullptr ? text : "";
    if (link_thread().log_capture != nullptr)
        *link_thread().log_capture += record;
    else
        append_to_file(record);
}

void capture_serial_error_log(std::string* sink) { link_thread().log_capture = sink; }

void write_serial_error_records(const std::string& records)
{
    if (!records.empty()) append_to_file(records);
}
