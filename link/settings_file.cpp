// solvane.ini; see settings_file.h.
#include "link/settings_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Lines are read as a fixed 200-byte line buffer reads them: at most 199 characters at a time.
constexpr size_t LINE_READ_MAX = 199;
constexpr int CONNECTABLE_NAME_MIN = 4;  // shorter names ("COM") stay configured, unopened
constexpr int OPTION_COUNT = 3;          // full_display, log_enabled, update_interval_index
constexpr int VALUE_COUNT = SLOT_COUNT + OPTION_COUNT;

// What a text stream on the home platform writes: every LF becomes CR LF.
std::string to_disk_text(const std::string& text)
{
    std::string disk;
    disk.reserve(text.size() + 16);
    for (char c : text) {
        if (c == '\n') disk += '\r';
        disk += c;
    }
    return disk;
}

// And what it reads: every CR LF pair becomes LF; a lone CR stays.
std::string from_disk_text(const std::string& disk)
{
    std::string text;
    text.reserve(disk.size());
    for (size_t i = 0; i < disk.size(); ++i) {
        if (disk[i] == '\r' && i + 1 < disk.size() && disk[i + 1] == '\n') continue;
        text += disk[i];
    }
    return text;
}

void put_int32(std::string& out, std::int32_t value)
{
    auto u = static_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((u >> shift) & 0xFF);
}

std::int32_t get_int32(const std::string& in, size_t at)
{
    std::uint32_t u = 0;
    for (int k = 3; k >= 0; --k) u = (u << 8) | static_cast<unsigned char>(in[at + static_cast<size_t>(k)]);
    return static_cast<std::int32_t>(u);
}

std::string placement_bytes(const WindowPlacement& p)
{
    std::string out;
    for (std::int32_t v : {p.length, p.flags, p.show_command, p.min_x, p.min_y, p.max_x, p.max_y,
                           p.left, p.top, p.right, p.bottom})
        put_int32(out, v);
    return out;
}

WindowPlacement placement_from(const std::string& in, size_t at)
{
    WindowPlacement p;
    std::int32_t* fields[] = {&p.length, &p.flags, &p.show_command, &p.min_x, &p.min_y, &p.max_x,
                              &p.max_y, &p.left, &p.top, &p.right, &p.bottom};
    for (std::int32_t* field : fields) {
        *field = get_int32(in, at);
        at += 4;
    }
    return p;
}

// One line as a 200-byte line buffer reads it: up to and including the LF, at most 199 characters.
std::string next_line(const std::string& text, size_t& at)
{
    size_t start = at;
    while (at < text.size() && at - start < LINE_READ_MAX) {
        if (text[at++] == '\n') break;
    }
    return text.substr(start, at - start);
}

int saturate(long value)
{
    if (value > 2147483647L) return 2147483647;
    if (value < -2147483647L - 1) return -2147483647 - 1;
    return static_cast<int>(value);
}

std::string problem_text(const std::string& what, int error, const char* name = SETTINGS_FILE)
{
    return what + " " + name + " in " + settings_directory() + ": " + std::strerror(error) + ".";
}

bool write_all(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t k = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        done += static_cast<size_t>(k);
    }
    return true;
}

// A temporary file made new beside the settings: mkstemp opens with O_CREAT | O_EXCL, so an
// existing name, a link included, is never opened. Returns the descriptor, -1 with errno set.
int make_temporary(std::string& name, const char* beside = SETTINGS_FILE)
{
    std::string pattern = std::string(beside) + ".XXXXXX";
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) return -1;
    name = pattern;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);  // as an ordinary new file would be
    return fd;
}

// The port lines: each one's first word, when it has no control character in it.
void parse_port_lines(const std::string& text, size_t& at, SettingsFile& settings)
{
    for (SlotSettings& slot : settings.per_slot) {
        if (at >= text.size()) break;  // a missing line leaves the name as it was
        std::string line = next_line(text, at);
        char word[LINE_READ_MAX + 1];
        // A name with a control character in it (an escape sequence, say) is damage, not a port.
        if (std::sscanf(line.c_str(), "%199s", word) == 1 && !has_control_character(word))
            copy_text(slot.port_name, PORT_NAME_SIZE, word, PORT_NAME_SIZE - 1);
    }
}

// Line 5, read whole up to its line feed so the placement block starts right after it. Returns
// how many of its values were read.
int parse_values_line(const std::string& text, size_t& at, SettingsFile& settings)
{
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    // One zoom span per slot, then the options; reading stops at the first value that is not one.
    int* targets[OPTION_COUNT] = {&settings.full_display, &settings.log_enabled, &settings.update_interval_index};
    const char* p = line.c_str();
    int count = 0, used = 0;
    double zoom = 0;
    long option = 0;
    for (; count < SLOT_COUNT && std::sscanf(p, " %lf%n", &zoom, &used) == 1; ++count, p += used)
        settings.per_slot[count].zoom_span = zoom;
    if (count < SLOT_COUNT) return count;
    for (int k = 0; k < OPTION_COUNT && std::sscanf(p, " %ld%n", &option, &used) == 1; ++k, ++count, p += used)
        *targets[k] = saturate(option);
    return count;
}

// Reads at most SETTINGS_READ_MAX bytes of an open descriptor. Returns 0 with errno on failure.
bool read_bounded(int fd, std::string& bytes)
{
    bytes.assign(SETTINGS_READ_MAX, '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t k = ::read(fd, &bytes[got], bytes.size() - got);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) return false;
        if (k == 0) break;
        got += static_cast<size_t>(k);
    }
    bytes.resize(got);
    return true;
}

}  // namespace

bool connectable_name(const char* port_name)
{
    return static_cast<int>(std::strlen(port_name)) >= CONNECTABLE_NAME_MIN && port_name_acceptable(port_name);
}

std::string settings_directory()
{
    char path[PATH_MAX];
    return ::getcwd(path, sizeof path) != nullptr ? std::string(path) : std::string(".");
}

std::string settings_file_bytes(const SettingsFile& settings, int with_placement)
{
    std::string text;
    for (const SlotSettings& slot : settings.per_slot) {
        text += slot.port_name;
        text += '\n';
    }
    char value[400];  // room for the widest double %.1f writes (DBL_MAX has 309 digits)
    for (const SlotSettings& slot : settings.per_slot) {
        std::snprintf(value, sizeof value, "%.1f ", slot.zoom_span);
        text += value;
    }
    std::snprintf(value, sizeof value, "%d %d %d\n", settings.full_display, settings.log_enabled,
                  settings.update_interval_index);
    text += value;
    if (with_placement) text += placement_bytes(settings.placement);
    return to_disk_text(text);
}

int parse_settings_bytes(const std::string& bytes, SettingsFile& settings)
{
    const std::string text = from_disk_text(bytes);
    size_t at = 0;
    parse_port_lines(text, at, settings);
    if (parse_values_line(text, at, settings) < VALUE_COUNT) return 0;
    if (settings.update_interval_index < 0) settings.update_interval_index = 0;
    if (settings.update_interval_index > UPDATE_INTERVAL_COUNT - 1) settings.update_interval_index = UPDATE_INTERVAL_COUNT - 1;

    // A block shorter than the placement (a file cut off) is not taken at all.
    if (text.size() - at >= PLACEMENT_BYTES) {
        settings.placement = placement_from(text, at);
        if (settings.placement.show_command == SHOW_MINIMIZED) settings.placement.show_command = SHOW_NORMAL;
        settings.placement_valid = 1;
    }
    return 1;
}

SettingsFileRead read_small_file(const char* name, std::string& bytes, std::string& problem, const char* what)
{
    problem.clear();
    // Never blocks: a FIFO opens at once and is then refused as no regular file.
    int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return SETTINGS_MISSING;
        problem = problem_text(std::string("Cannot read the ") + what, errno, name);
        return SETTINGS_UNREADABLE;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        problem = std::string("The ") + what + " " + name + " in " + settings_directory() +
                  " is not a regular file; it is left alone.";
        return SETTINGS_UNREADABLE;
    }
    const bool read = read_bounded(fd, bytes);
    const int error = errno;
    ::close(fd);
    if (!read) {
        problem = problem_text(std::string("Cannot read the ") + what, error, name);
        return SETTINGS_UNREADABLE;
    }
    return SETTINGS_READ;
}

SettingsFileRead read_settings_file(SettingsFile& settings, std::string& problem)
{
    std::string bytes;
    const SettingsFileRead read = read_small_file(SETTINGS_FILE, bytes, problem, "settings file");
    if (read != SETTINGS_READ) return read;
    return parse_settings_bytes(bytes, settings) ? SETTINGS_READ : SETTINGS_INCOMPLETE;
}

int write_file_replacing(const char* name, const std::string& bytes, std::string& problem,
                         const char* what)
{
    std::string temporary;
    int fd = make_temporary(temporary, name);
    if (fd < 0) {
        problem = problem_text(std::string("Cannot save ") + what + ": no new file can be made beside", errno, name);
        return 0;
    }
    bool written = write_all(fd, bytes);
    int error = errno;
    if (written && ::fsync(fd) != 0) {
        written = false;
        error = errno;
    }
    if (::close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && std::rename(temporary.c_str(), name) != 0) {
        written = false;
        error = errno;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        problem = problem_text(std::string("Cannot save ") + what + " to", error, name);
        return 0;
    }
    problem.clear();
    return 1;
}

int write_settings_file(const SettingsFile& settings, std::string& problem, int with_placement)
{
    return write_file_replacing(SETTINGS_FILE, settings_file_bytes(settings, with_placement), problem, "the settings");
}

int settings_file_writable(std::string& problem)
{
    std::string temporary;
    int fd = make_temporary(temporary);
    if (fd < 0) {
        problem = problem_text("The settings cannot be saved: no new file can be made beside", errno);
        return 0;
    }
    ::close(fd);
    ::unlink(temporary.c_str());
    return 1;
}
