// Serial ports on POSIX (Linux).
//
// Why a file of its own: everything that depends on termios, poll(), flock and the Linux naming
// of serial devices lives here and nowhere else. The exchange, polling and identification above
// it only see the four port operations, result codes and byte counts, so another platform
// replaces this one file.
//
// How the filter's line maps to termios: raw mode at 9600 baud, 8 data bits, no parity, one stop
// bit, receiver on, modem lines ignored, no hardware or software flow control and no hang-up on
// close. VMIN = VTIME = 0 makes read() return at once with what is there; the read time-outs
// (200 ms while silent, 50 ms between bytes) are kept by poll() on a monotonic clock, because
// VTIME counts in tenths of a second and cannot express 50 ms.
#include "link/solvane_link.h"
#include "link/link_thread.h"
#include "link/serial_backend.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int OPEN_ATTEMPTS = 3;
constexpr int BUSY_PAUSE_MS_WINDOWED = 500;
constexpr int BUSY_PAUSE_MS_CONSOLE = 2000;
constexpr int READ_TOTAL_TIMEOUT_MS = 200;     // while nothing has arrived
constexpr int READ_INTERVAL_TIMEOUT_MS = 50;   // after the last byte
constexpr int WRITE_TIMEOUT_CONSTANT_MS = 250;
constexpr int WRITE_TIMEOUT_PER_BYTE_MS = 1;
constexpr int PATH_BUFFER_SIZE = 4096;


// The terminal settings each descriptor had before we changed them, put back at close. Lines on
// several threads open and close ports at once: guarded by its lock.
struct SavedTerminals {
    std::mutex lock;
    std::map<int, termios> by_descriptor;
};

// Made on first use and never destroyed: a program's static objects (the INDI driver's device,
// a window's lines) close their ports while the process exits, in an order between translation
// units that nothing fixes, and must still find the settings to put back.
SavedTerminals& saved_terminals()
{
    static SavedTerminals* const table = new SavedTerminals;
    return *table;
}

void remember_settings(int fd, const termios& original)
{
    SavedTerminals& saved = saved_terminals();
    std::lock_guard<std::mutex> lock(saved.lock);
    saved.by_descriptor[fd] = original;
}

// Puts back what the terminal had when we opened it (when restore is set) and forgets it.
void restore_settings(int fd, bool restore)
{
    termios original{};
    {
        SavedTerminals& saved = saved_terminals();
        std::lock_guard<std::mutex> lock(saved.lock);
        auto found = saved.by_descriptor.find(fd);
        if (found == saved.by_descriptor.end()) return;
        original = found->second;
        saved.by_descriptor.erase(found);
    }
    if (restore) ::tcsetattr(fd, TCSANOW, &original);
}

// Polls the port and, when the thread has one, its abort descriptor. Returns poll()'s result for
// the port alone, or -2 when the job is being cut short.
int poll_port(int fd, short events, int timeout_ms, short& revents)
{
    pollfd p[2] = {{fd, events, 0}, {link_thread().abort_descriptor, POLLIN, 0}};
    const nfds_t count = link_thread().abort_descriptor >= 0 ? 2 : 1;
    int ready = ::poll(p, count, timeout_ms);
    if (count == 2 && (p[1].revents & POLLIN) != 0) return -2;
    revents = p[0].revents;
    if (ready > 0 && p[0].revents == 0) return 0;
    return ready;
}

PortFailure failure_of(int error)
{
    switch (error) {
    case ENOENT: case ENODEV: case ENXIO: case ENOTDIR: return PORT_MISSING;
    case EACCES: case EPERM: case EROFS: return PORT_PERMISSION;
    case EBUSY: case EWOULDBLOCK: return PORT_BUSY;
    case ENAMETOOLONG: return PORT_REFUSED_NAME;
    default: return PORT_OPEN_FAILED;
    }
}

int milliseconds_until(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    // Round up so a poll never returns a hair before its deadline and spins once more.
    if (left.count() <= 0) return deadline > Clock::now() ? 1 : 0;
    return static_cast<int>(left.count()) + 1;
}

// "COM" followed by digits only, n >= 1: the home platform's numbering of serial ports.
int com_port_number(const char* name)
{
    if (std::strncmp(name, "COM", 3) != 0 || name[3] == '\0') return 0;
    long n = 0;
    for (const char* p = name + 3; *p != '\0'; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return 0;
        n = n * 10 + (*p - '0');
        if (n > 100000) return 0;
    }
    return static_cast<int>(n);
}

// Opens a device for exclusive use. A device held by another program shows as EBUSY from
// open() (TIOCEXCL of the other holder) or as a refused flock(); both count as busy.
// A device that is no terminal is closed again before anything touches it (not_terminal set).
int open_exclusive(const char* path, int& busy, int& error, int& not_terminal)
{
    busy = 0;
    not_terminal = 0;
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        busy = (error == EBUSY);
        return -1;
    }
    if (!::isatty(fd)) {
        error = ENOTTY;
        not_terminal = 1;
        ::close(fd);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        busy = (error == EWOULDBLOCK || error == EAGAIN);
        ::close(fd);
        return -1;
    }
    ::ioctl(fd, TIOCEXCL);  // refused by a non-terminal; the settings step reports that
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

int apply_line_settings(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return 0;
    remember_settings(fd, tio);
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP | IGNPAR | PARMRK | IGNBRK | BRKINT);
    if (::cfsetispeed(&tio, B9600) != 0 || ::cfsetospeed(&tio, B9600) != 0) return 0;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

int apply_timeouts(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return 0;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

void clear_control_line(int fd, int line)
{
    // A pseudo-terminal refuses modem-line ioctls; there is no line to clear then.
    ::ioctl(fd, TIOCMBIC, &line);
}

// Natural order: runs of digits compare by value, so COM2 comes before COM10.
bool natural_less(const std::string& a, const std::string& b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        unsigned char ca = a[i], cb = b[j];
        if (std::isdigit(ca) && std::isdigit(cb)) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            std::string da = a.substr(i, ei - i), db = b.substr(j, ej - j);
            da.erase(0, std::min(da.find_first_not_of('0'), da.size()));
            db.erase(0, std::min(db.find_first_not_of('0'), db.size()));
            if (da.size() != db.size()) return da.size() < db.size();
            if (da != db) return da < db;
            i = ei;
            j = ej;
        } else {
            if (ca != cb) return ca < cb;
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::vector<std::string> sorted_directory(const char* path, bool (*keep)(const char* dir,
                                                                          const char* name))
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(path);
    if (dir == nullptr) return names;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        if (keep(path, entry->d_name)) names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(), natural_less);
    return names;
}

bool any_entry(const char*, const char*) { return true; }

// A kernel tty is a serial port when it has a device behind it; for the 8250 family (ttyS*)
// only when a UART was found there (type not 0): the kernel creates placeholders for absent ones.
bool real_serial_tty(const char* dir, const char* name)
{
    std::string base = std::string(dir) + "/" + name;
    struct stat st {};
    if (::stat((base + "/device").c_str(), &st) != 0) return false;
    if (std::strncmp(name, "ttyS", 4) != 0) return true;
    std::FILE* type_file = std::fopen((base + "/type").c_str(), "r");
    if (type_file == nullptr) return false;
    int type = 0;
    int read = std::fscanf(type_file, "%d", &type);
    std::fclose(type_file);
    return read == 1 && type != 0;
}

// The machine's ports as enum_serial_port counts them: the port directory, then real kernel ttys.
std::vector<std::string> enumerated_ports()
{
    std::vector<std::string> ports;
    const char* port_dir = std::getenv("SOLVANE_PORT_DIR");
    if (port_dir != nullptr && port_dir[0] != '\0')
        ports = sorted_directory(port_dir, any_entry);
    // A session on simulated ports only (tests, demonstrations) leaves the real ports alone.
    const char* only_dir = std::getenv("SOLVANE_ONLY_PORT_DIR");
    if (only_dir == nullptr || only_dir[0] == '\0' || std::strcmp(only_dir, "0") == 0) {
        for (const std::string& tty : sorted_directory("/sys/class/tty", real_serial_tty))
            ports.push_back("/dev/" + tty);
    }
    return ports;
}

bool only_port_dir()
{
    const char* only_dir = std::getenv("SOLVANE_ONLY_PORT_DIR");
    return only_dir != nullptr && only_dir[0] != '\0' && std::strcmp(only_dir, "0") != 0;
}

// The device a port name leads to, links resolved; empty when it leads nowhere.
std::string device_of(const char* port_name)
{
    char path[PATH_BUFFER_SIZE];
    if (!resolve_port_path(port_name, path, sizeof path)) return "";
    char* real = ::realpath(path, nullptr);
    if (real == nullptr) return "";
    std::string device = real;
    std::free(real);
    return device;
}

}  // namespace

std::string port_error_text(const PortError& e)
{
    switch (e.failure) {
    case PORT_OK: return "";
    case PORT_ALREADY_OPEN: return "The port is already open.";
    case PORT_NO_NAME: return "No port name was given.";
    case PORT_REFUSED_NAME: return "That is not a port name (control characters, or too long).";
    case PORT_NOT_SERIAL: return "It is not a serial port (not a terminal device); it was left untouched.";
    case PORT_PERMISSION:
        return std::string(std::strerror(e.error)) +
               ". Add yourself to the dialout group: sudo adduser $USER dialout, then log in again.";
    case PORT_BUSY: return std::string(std::strerror(e.error)) + ". Another program is using the port.";
    case PORT_MISSING:
        return std::string(std::strerror(e.error)) + ". Is the filter's cable or USB adapter plugged in?";
    case PORT_OPEN_FAILED: break;
    }
    return std::string(std::strerror(e.error)) + ".";
}

int serial_aborted()
{
    if (link_thread().abort_descriptor < 0) return 0;
    pollfd p{link_thread().abort_descriptor, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

void serial_set_abort_descriptor(int descriptor) { link_thread().abort_descriptor = descriptor; }

void link_pause(int milliseconds)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (true) {
        int wait_ms = milliseconds_until(deadline);
        if (wait_ms <= 0) return;
        if (link_thread().abort_descriptor < 0) {
            ::poll(nullptr, 0, wait_ms);
            continue;
        }
        pollfd p{link_thread().abort_descriptor, POLLIN, 0};
        if (::poll(&p, 1, wait_ms) > 0 && (p.revents & POLLIN) != 0) return;
    }
}

int resolve_port_path(const char* port_name, char* path, int path_size)
{
    if (port_name == nullptr || path == nullptr || path_size <= 0) return 0;
    int written;
    const char* port_dir = std::getenv("SOLVANE_PORT_DIR");
    if (std::strchr(port_name, '/') != nullptr)
        written = std::snprintf(path, path_size, "%s", port_name);
    else if (port_dir != nullptr && port_dir[0] != '\0')
        written = std::snprintf(path, path_size, "%s/%s", port_dir, port_name);
    else if (int n = com_port_number(port_name); n >= 1)
        written = std::snprintf(path, path_size, "/dev/ttyS%d", n - 1);
    else
        written = std::snprintf(path, path_size, "/dev/%s", port_name);
    return written >= 0 && written < path_size;
}

namespace {

// Opens path, retrying a port that another program holds (3 attempts, the form's pause between
// them, cut short when the line's job is). Returns the descriptor, or -1 with the reason set.
int open_with_retries(const char* path, bool windowed, int& busy, int& error, int& not_terminal)
{
    const int pause_ms = windowed ? BUSY_PAUSE_MS_WINDOWED : BUSY_PAUSE_MS_CONSOLE;
    int fd = -1;
    for (int attempt = 1; attempt <= OPEN_ATTEMPTS; ++attempt) {
        fd = open_exclusive(path, busy, error, not_terminal);
        if (fd >= 0 || !busy || attempt == OPEN_ATTEMPTS) break;
        link_pause(pause_ms);
        if (serial_aborted()) break;
    }
    return fd;
}

}  // namespace

int port_open_and_configure(const char* name, int& fd, char (&message)[INIT_MESSAGE_SIZE], bool windowed)
{
    PortError& last_error = link_thread().last_error;
    char path[PATH_BUFFER_SIZE];
    int busy = 0, error = ENAMETOOLONG, not_terminal = 0;
    if (resolve_port_path(name, path, sizeof path)) fd = open_with_retries(path, windowed, busy, error, not_terminal);
    if (not_terminal) {
        // Configuring it would fail here: the home platform's message for that.
        last_error = {PORT_NOT_SERIAL, ENOTTY};
        std::snprintf(message, sizeof message, "serial_init error: Unable to set comm state.");
        return SERIAL_INIT_SETTINGS_REFUSED;
    }
    if (fd < 0) {
        last_error = {failure_of(error), error};
        // The system's reason, and for a refused permission what to do about it.
        const std::string reason = last_error.failure == PORT_PERMISSION ? port_error_text(last_error)
                                                                         : std::string(std::strerror(error));
        std::snprintf(message, sizeof message,
                      "serial_init error: Unable to open port. %s\nMaybe another application "
                      "is using this port?\n",
                      reason.c_str());
        return SERIAL_INIT_OPEN_FAILED;
    }
    if (!apply_line_settings(fd)) {
        last_error = {PORT_NOT_SERIAL, errno};
        std::snprintf(message, sizeof message, "serial_init error: Unable to set comm state.");
        return SERIAL_INIT_SETTINGS_REFUSED;
    }
    if (!apply_timeouts(fd)) {
        last_error = {PORT_OPEN_FAILED, errno};
        std::snprintf(message, sizeof message, "serial_init error: Unable to set comm timeouts.");
        return SERIAL_INIT_TIMEOUTS_REFUSED;
    }
    // Queue sizes have no POSIX counterpart: that step always succeeds.
    return 0;
}

// Closes a descriptor that serial_init or serial_reopen opened but could not finish setting up.
void port_close_unfinished(int fd)
{
    restore_settings(fd, true);
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

void port_start_clean(int fd)
{
    ::tcflush(fd, TCIOFLUSH);
    clear_control_line(fd, TIOCM_RTS);
    clear_control_line(fd, TIOCM_DTR);
}

int serial_close(int& connected, int& port_handle)
{
    if (connected == 0) return 0;
    connected = 0;
    int fd = port_handle;
    port_handle = -1;
    if (fd < 0) return 0;
    // The terminal gets back the settings it had. Exclusive mode goes too: it belongs to the
    // terminal, not to this descriptor, and would otherwise outlive the close while another
    // process keeps the device open.
    restore_settings(fd, true);
    ::ioctl(fd, TIOCNXCL);
    return ::close(fd) == 0;
}

int serial_read(int port_handle, char* buffer, int n)
{
    if (port_handle < 0 || buffer == nullptr || n <= 0) return 0;
    const Clock::time_point start = Clock::now();
    Clock::time_point deadline = start + std::chrono::milliseconds(READ_TOTAL_TIMEOUT_MS);
    int got = 0;
    while (got < n) {
        int wait_ms = milliseconds_until(deadline);
        if (wait_ms <= 0) break;
        short revents = 0;
        int ready = poll_port(port_handle, POLLIN, wait_ms, revents);
        if (ready == -2) break;  // the job is being cut short
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (ready == 0) continue;  // the loop head decides whether the deadline has passed
        if ((revents & POLLIN) == 0) break;  // hang-up or error without data
        ssize_t k = ::read(port_handle, buffer + got, static_cast<size_t>(n - got));
        if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (k <= 0) break;  // end of file: the device hung up
        got += static_cast<int>(k);
        deadline = Clock::now() + std::chrono::milliseconds(READ_INTERVAL_TIMEOUT_MS);
    }
    if (got > 0) buffer[got] = '\0';
    return got;
}

int serial_write(int port_handle, const char* text, int n)
{
    if (port_handle < 0 || text == nullptr || n < 0 || serial_aborted()) return 1;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(WRITE_TIMEOUT_CONSTANT_MS +
                                                  WRITE_TIMEOUT_PER_BYTE_MS * n);
    int sent = 0;
    while (sent < n) {
        int wait_ms = milliseconds_until(deadline);
        if (wait_ms <= 0) return 1;
        short revents = 0;
        int ready = poll_port(port_handle, POLLOUT, wait_ms, revents);
        if (ready == -1 && errno == EINTR) continue;
        if (ready <= 0 || (revents & POLLOUT) == 0) return 1;
        ssize_t k = ::write(port_handle, text + sent, static_cast<size_t>(n - sent));
        if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (k <= 0) return 1;
        sent += static_cast<int>(k);
    }
    return 0;
}

int serial_line_lost(int port_handle)
{
    if (port_handle < 0) return 0;
    pollfd p{port_handle, POLLOUT, 0};
    if (::poll(&p, 1, 0) < 0) return 0;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int serial_reopen(int& port_handle, const char* port_name)
{
    char path[PATH_BUFFER_SIZE];
    if (!port_name_acceptable(port_name) || !resolve_port_path(port_name, path, sizeof path)) return 0;
    int busy = 0, error = 0, not_terminal = 0;
    int fd = open_exclusive(path, busy, error, not_terminal);
    if (fd < 0) return 0;
    if (!apply_line_settings(fd) || !apply_timeouts(fd)) {
        port_close_unfinished(fd);
        return 0;
    }
    port_start_clean(fd);
    if (port_handle >= 0) {
        restore_settings(port_handle, false);  // the device behind it is gone: nothing to put back
        ::close(port_handle);
    }
    port_handle = fd;
    return 1;
}

void serial_discard(int port_handle)
{
    if (port_handle >= 0) ::tcflush(port_handle, TCIOFLUSH);
}

int enum_serial_port(char* buffer, int size, int n)
{
    if (buffer == nullptr || size <= 0 || n < 0) return 0;
    // Built afresh on every call, as ports come and go (USB adapters, a simulator's links).
    const std::vector<std::string> ports = enumerated_ports();
    if (static_cast<size_t>(n) >= ports.size()) return 0;
    const std::string& name = ports[static_cast<size_t>(n)];
    if (name.size() + 1 > static_cast<size_t>(size)) return 0;
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return 1;
}

std::vector<std::string> list_serial_ports()
{
    std::vector<std::string> ports;
    for (const std::string& name : enumerated_ports())
        if (!has_control_character(name.c_str())) ports.push_back(name);
    // The stable name of each USB adapter, the same whichever socket it is in. A directory named
    // by $SOLVANE_BY_ID_DIR (tests, demonstrations) stands in for the machine's own and is listed
    // even when the machine's ports are left out.
    const char* by_id_dir = std::getenv("SOLVANE_BY_ID_DIR");
    const bool own_by_id = by_id_dir != nullptr && by_id_dir[0] != '\0';
    if (own_by_id || !only_port_dir()) {
        const std::string by_id = own_by_id ? by_id_dir : "/dev/serial/by-id";
        for (const std::string& link : sorted_directory(by_id.c_str(), any_entry))
            if (!has_control_character(link.c_str())) ports.push_back(by_id + "/" + link);
    }
    return ports;
}

int port_listed(const char* port_name)
{
    if (!port_name_acceptable(port_name)) return 0;
    const std::vector<std::string> ports = list_serial_ports();
    for (const std::string& listed : ports)
        if (listed == port_name) return 1;
    const std::string device = device_of(port_name);
    if (device.empty()) return 0;
    for (const std::string& listed : ports)
        if (device_of(listed.c_str()) == device) return 1;
    return 0;
}
