// The bandpass log, solvane.csv: one row per update tick with each filter's name, status,
// passband and wing shift, for later analysis in a spreadsheet.
//
// Never half a row: each row (with the header line before it, when one is due) leaves in one
// write on a descriptor opened for appending; a write that comes up short (a full disk) is undone
// by cutting the file back to where the row began. Logging stays on through such a gap, the
// observer is told once why, and the first row after the gap starts with a header line again.
// The file is opened without blocking and without following a link, and only a regular file is
// written, so a FIFO never hangs the window and a link never leads rows into another file.
#include "control/shell/shell.h"

#include <QDir>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char LOG_HEADER[] =
    "YYYY/MM/DD HH:MM:SS,#1 Name,#1 Error,#1 Wavelength,#1 WingShift,#2 Name,#2 Error,#2 Wavelength,"
    "#2 WingShift,#3 Name,#3 Error,#3 Wavelength,#3 WingShift,#4 Name,#4 Error,#4 Wavelength,#4 WingShift";

// The header's groups, four columns each after the time, are the slots'.
constexpr int header_columns()
{
    int commas = 0;
    for (const char* p = LOG_HEADER; *p != '\0'; ++p) commas += *p == ',';
    return commas;
}
static_assert(header_columns() == 4 * SLOT_COUNT, "one group of four columns per slot");

// Rows end as the spreadsheets that read this file expect: CR LF.
const char LINE_END[] = "\r\n";


// A name inside double quotes, with a double quote in it doubled so the row stays valid CSV.
std::string quoted(const char* name)
{
    std::string text = "\"";
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p == '"') text += '"';
        text += *p;
    }
    return text + "\"";
}

QString reason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Opens solvane.csv for appending: -1 with errno set when it cannot be, or when it is no regular file.
int open_log_file()
{
    int fd = ::open(LOG_FILE, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// One write of the whole text; a short one is undone. Returns 0, or the error number.
int append_whole(int fd, const std::string& text)
{
    const off_t start = ::lseek(fd, 0, SEEK_END);
    ssize_t written = ::write(fd, text.data(), text.size());
    if (written == static_cast<ssize_t>(text.size())) return ::fdatasync(fd) == 0 ? 0 : errno;
    const int error = written < 0 ? errno : ENOSPC;
    if (written > 0 && start >= 0) {
        if (::ftruncate(fd, start) != 0) return error;
    }
    return error;
}

}  // namespace

std::string log_row_text(const FilterRecord values[SLOT_COUNT], int year, int month, int day, int hour, int minute,
                         int second)
{
    char field[128];
    std::snprintf(field, sizeof field, "%04d/%02d/%02d %02d:%02d:%02d,", year, month, day, hour, minute, second);
    std::string row = field;
    for (int n = 0; n < SLOT_COUNT; ++n) {
        const FilterRecord& slot = values[n];
        if (!slot.connected) {
            row += ",,,,";
            continue;
        }
        std::snprintf(field, sizeof field, ",%d,%.1f,%.1f,", static_cast<int>(slot.status_code), slot.wavelength,
                      slot.wing_shift);
        row += quoted(slot.startup_message) + field;
    }
    return row + LINE_END;
}

void write_log_row(const FilterRecord values[SLOT_COUNT])
{
    if (app().log_file < 0) {
        app().log_file = open_log_file();
        if (app().log_file < 0) {
            // Logging that silently writes nothing would look fine until the morning: say so once.
            const int error = errno;
            app().log_enabled = 0;
            update_menus();
            const QString why = error == EINVAL  ? QStringLiteral("it is not a regular file")
                                : error == ELOOP ? QStringLiteral("it is a symbolic link, and the log is written only "
                                                                  "to a file of its own")
                                                 : reason(error);
            tell_observer(QStringLiteral("Bandpass log"),
                          QStringLiteral("Cannot open the bandpass log %1 in %2: %3.\nLogging is switched off.")
                              .arg(QString::fromUtf8(LOG_FILE), QDir::currentPath(), why));
            return;
        }
        window_state().log_header_due = true;
    }
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::string text = window_state().log_header_due ? std::string(LOG_HEADER) + LINE_END : std::string();
    text += log_row_text(values, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                         local.tm_sec);
    // Each row goes to the disk now: a crash or a power cut must not take the night's rows.
    const int error = append_whole(app().log_file, text);
    if (error == 0) {
        window_state().log_header_due = false;
        window_state().log_write_failure_told = false;
        return;
    }
    window_state().log_header_due = true;
    if (window_state().log_write_failure_told) return;
    window_state().log_write_failure_told = true;
    tell_observer(QStringLiteral("Bandpass log"),
                  QStringLiteral("Cannot write to the bandpass log %1 in %2: %3.\nRows are missing from now on; "
                                 "logging goes on as soon as they can be written again.")
                      .arg(QString::fromUtf8(LOG_FILE), QDir::currentPath(), reason(error)));
}

void close_log()
{
    if (app().log_file < 0) return;
    ::close(app().log_file);
    app().log_file = -1;
}
