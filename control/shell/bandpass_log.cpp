// The bandpass log, solvane.csv: one row per update tick with each filter's name, status,
// passband and wing shift, for later analysis in a spreadsheet.
#include "control/shell/shell.h"

#include <QDir>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <unistd.h>

namespace {

const char LOG_HEADER[] =
    "YYYY/MM/DD HH:MM:SS,#1 Name,#1 Error,#1 Wavelength,#1 WingShift,#2 Name,#2 Error,#2 Wavelength,"
    "#2 WingShift,#3 Name,#3 Error,#3 Wavelength,#3 WingShift,#4 Name,#4 Error,#4 Wavelength,#4 WingShift";

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

bool write_all(std::FILE* file, const std::string& text)
{
    return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

}  // namespace

std::string log_row_text(int year, int month, int day, int hour, int minute, int second)
{
    char field[128];
    std::snprintf(field, sizeof field, "%04d/%02d/%02d %02d:%02d:%02d,", year, month, day, hour, minute, second);
    std::string row = field;
    for (const FilterRecord& slot : filter_slots) {
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

void write_log_row()
{
    if (app.log_file == nullptr) {
        app.log_file = std::fopen(LOG_FILE, "ab");
        if (app.log_file == nullptr) {
            // Logging that silently writes nothing would look fine until the morning: say so once.
            const int error = errno;
            app.log_enabled = 0;
            tell_observer(QStringLiteral("Bandpass log"),
                          QStringLiteral("Cannot open the bandpass log %1 in %2: %3.\nLogging is switched off.")
                              .arg(QString::fromUtf8(LOG_FILE), QDir::currentPath(),
                                   QString::fromLocal8Bit(std::strerror(error))));
            return;
        }
        write_all(app.log_file, std::string(LOG_HEADER) + LINE_END);
    }
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    write_all(app.log_file, log_row_text(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                         local.tm_min, local.tm_sec));
    // Each row goes to the disk now: a crash or a power cut must not take the night's rows.
    std::fflush(app.log_file);
    ::fdatasync(::fileno(app.log_file));
}

void close_log()
{
    if (app.log_file == nullptr) return;
    std::fclose(app.log_file);
    app.log_file = nullptr;
}
