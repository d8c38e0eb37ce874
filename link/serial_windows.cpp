// Serial ports on Windows.
//
// Why a file of its own: the filter's home platform has a serial interface of its own (a device
// opened with CreateFile, its line in a device control block, its time-outs in COMMTIMEOUTS), and
// everything that depends on it lives here, as termios and poll() live in serial_posix.cpp. The
// exchange, polling and identification above see the same four port operations, result codes and
// byte counts on both.
//
// Port handles: the link hands out small non-negative integers. Here each one is a C runtime
// descriptor wrapped around the device's HANDLE (_open_osfhandle); closing the descriptor closes
// the HANDLE.
//
// Time-outs: one ReadFile under the five COMMTIMEOUTS values (50 ms between bytes, 200 ms for the
// whole read, none per byte; writes 1 ms per byte plus 250 ms). A read thus ends when the count is
// reached, 200 ms after it began, or 50 ms after the last byte. A reply of at most 83 bytes takes
// about 86 ms at 9600 baud, so the 200 ms bound of the whole read never cuts one that started in
// time.
//
// Jobs cut short: the filter lines that set an abort descriptor run on POSIX only; here no job is
// ever cut short and pauses run their full length.
#include "link/solvane_link.h"
#include "link/link_thread.h"
#include "link/serial_backend.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

namespace {

constexpr int OPEN_ATTEMPTS = 3;
constexpr int BUSY_PAUSE_MS_WINDOWED = 500;
constexpr int BUSY_PAUSE_MS_CONSOLE = 2000;
constexpr DWORD READ_INTERVAL_TIMEOUT_MS = 50;   // after the last byte
constexpr DWORD READ_TOTAL_TIMEOUT_MS = 200;     // the whole read
constexpr DWORD WRITE_TIMEOUT_PER_BYTE_MS = 1;
constexpr DWORD WRITE_TIMEOUT_CONSTANT_MS = 250;
constexpr DWORD QUEUE_SIZE = 128;                // driver queues, each direction
constexpr int PATH_BUFFER_SIZE = 300;
constexpr int FIRST_NAMESPACE_COM = 10;          // COM10 and above only exist as \\.\COMn
constexpr const char* DEVICE_NAMESPACE = "\\\\.\\";

HANDLE handle_of(int port_handle)
{
    if (port_handle < 0) return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(::_get_osfhandle(port_handle));
}

// What a port had before we changed it, put back at close. Lines on several threads may open and
// close ports at once: guarded by its lock.
struct SavedPort {
    DCB line;
    COMMTIMEOUTS timeouts;
};
struct SavedPorts {
    std::mutex lock;
    std::map<int, SavedPort> by_descriptor;
};

// Made on first use and never destroyed, for ports closed while static objects are destroyed.
SavedPorts& saved_ports()
{
    static SavedPorts* const table = new SavedPorts;
    return *table;
}

void remember_settings(int fd, const SavedPort& original)
{
    SavedPorts& saved = saved_ports();
    std::lock_guard<std::mutex> lock(saved.lock);
    saved.by_descriptor[fd] = original;
}

// Puts back what the port had when we opened it (when restore is set) and forgets it.
void restore_settings(int fd, bool restore)
{
    SavedPort original{};
    {
        SavedPorts& saved = saved_ports();
        std::lock_guard<std::mutex> lock(saved.lock);
        auto found = saved.by_descriptor.find(fd);
        if (found == saved.by_descriptor.end()) return;
        original = found->second;
        saved.by_descriptor.erase(found);
    }
    if (!restore) return;
    HANDLE h = handle_of(fd);
    ::SetCommState(h, &original.line);
    ::SetCommTimeouts(h, &original.timeouts);
}

// The system's text for an error number, as FormatMessage gives it (it normally ends with a line
// break); empty when the system has none.
std::string system_text(DWORD error)
{
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result;
    if (length > 0 && text != nullptr) result.assign(text, length);
    if (text != nullptr) ::LocalFree(text);
    return result;
}

// The system's text as one sentence: without the line break, with a final full stop.
std::string system_sentence(DWORD error)
{
    std::string text = system_text(error);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    if (text.empty()) text = "Error " + std::to_string(error);
    if (text.back() != '.') text += '.';
    return text;
}

// Access denied is how the system answers for a port that another program holds. Under Wine a
// port that a Linux program holds for itself (TIOCEXCL) answers as a lock violation, and the other
// two are what a driver may answer instead.
bool busy_error(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_BUSY;
}

PortFailure failure_of(DWORD error)
{
    if (busy_error(error)) return PORT_BUSY;
    switch (error) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_DEV_NOT_EXIST: case ERROR_BAD_UNIT:
        return PORT_MISSING;
    case ERROR_INVALID_NAME: case ERROR_FILENAME_EXCED_RANGE: case ERROR_BAD_PATHNAME:
        return PORT_REFUSED_NAME;
    default: return PORT_OPEN_FAILED;
    }
}

// "COM" followed by digits only, n >= 1: the system's numbering of serial ports.
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

// Opens a device for exclusive use (no sharing, synchronous I/O). Returns a descriptor, or -1 with
// the system's error and whether that error means another program holds the port.
int open_exclusive(const char* path, int& busy, DWORD& error)
{
    busy = 0;
    HANDLE h = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = ::GetLastError();
        busy = busy_error(error);
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        error = ERROR_TOO_MANY_OPEN_FILES;
        ::CloseHandle(h);
        return -1;
    }
    return fd;
}

// 9600 baud, 8N1, binary, every kind of flow control and error replacement off, RTS and DTR
// under our control (cleared after the purge). A device whose state cannot be read is no serial
// port: nothing is changed on it.
int apply_line_settings(int fd, DWORD& error)
{
    HANDLE h = handle_of(fd);
    SavedPort original{};
    original.line.DCBlength = sizeof original.line;
    if (!::GetCommState(h, &original.line) || !::GetCommTimeouts(h, &original.timeouts)) {
        error = ::GetLastError();
        return 0;
    }
    remember_settings(fd, original);
    DCB line = original.line;
    line.BaudRate = CBR_9600;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    line.fBinary = TRUE;
    line.fParity = FALSE;
    line.fOutxCtsFlow = FALSE;
    line.fOutxDsrFlow = FALSE;
    line.fDtrControl = DTR_CONTROL_DISABLE;
    line.fDsrSensitivity = FALSE;
    line.fTXContinueOnXoff = TRUE;
    line.fOutX = FALSE;
    line.fInX = FALSE;
    line.fErrorChar = FALSE;
    line.fNull = FALSE;
    line.fRtsControl = RTS_CONTROL_DISABLE;
    line.fAbortOnError = FALSE;
    if (!::SetCommState(h, &line)) {
        error = ::GetLastError();
        return 0;
    }
    return 1;
}

int apply_timeouts(int fd)
{
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = READ_INTERVAL_TIMEOUT_MS;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = READ_TOTAL_TIMEOUT_MS;
    timeouts.WriteTotalTimeoutMultiplier = WRITE_TIMEOUT_PER_BYTE_MS;
    timeouts.WriteTotalTimeoutConstant = WRITE_TIMEOUT_CONSTANT_MS;
    return ::SetCommTimeouts(handle_of(fd), &timeouts) != 0;
}

int apply_queue_sizes(int fd) { return ::SetupComm(handle_of(fd), QUEUE_SIZE, QUEUE_SIZE) != 0; }

// The ports by number, so COM2 comes before COM10.
bool natural_less(const std::string& a, const std::string& b)
{
    const int na = com_port_number(a.c_str()), nb = com_port_number(b.c_str());
    if (na != nb) return na < nb;
    return a < b;
}

// The COMn names the system knows (its device names), in natural order.
std::vector<std::string> enumerated_ports()
{
    std::vector<char> names(65536);
    DWORD length = 0;
    while ((length = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()))) == 0 &&
           ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (1u << 24))
        names.resize(names.size() * 2);
    std::vector<std::string> ports;
    for (const char* p = names.data(); p < names.data() + length && *p != '\0'; p += std::strlen(p) + 1) {
        std::string name = p;
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
        if (com_port_number(name.c_str()) >= 1 && std::find(ports.begin(), ports.end(), name) == ports.end())
            ports.push_back(name);
    }
    std::sort(ports.begin(), ports.end(), natural_less);
    return ports;
}

}  // namespace

std::string port_error_text(const PortError& e)
{
    const DWORD error = static_cast<DWORD>(e.error);
    switch (e.failure) {
    case PORT_OK: return "";
    case PORT_ALREADY_OPEN: return "The port is already open.";
    case PORT_NO_NAME: return "No port name was given.";
    case PORT_REFUSED_NAME: return "That is not a port name (control characters, or too long).";
    case PORT_NOT_SERIAL: return "It is not a serial port; it was left untouched.";
    case PORT_BUSY: return system_sentence(error) + " Another program is using the port.";
    case PORT_MISSING: return system_sentence(error) + " Is the filter's cable or USB adapter plugged in?";
    case PORT_PERMISSION: case PORT_OPEN_FAILED: break;
    }
    return system_sentence(error);
}

int serial_aborted() { return 0; }

void serial_set_abort_descriptor(int descriptor) { link_thread().abort_descriptor = descriptor; }

void link_pause(int milliseconds)
{
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// COMn with n of 10 or more as \\.\COMn, in both forms of the link (the console tool too: under
// its plain name such a port cannot be opened at all); every other name as given.
int resolve_port_path(const char* port_name, char* path, int path_size)
{
    if (port_name == nullptr || path == nullptr || path_size <= 0) return 0;
    int written;
    const int n = std::strstr(port_name, DEVICE_NAMESPACE) == nullptr ? com_port_number(port_name) : 0;
    if (n >= FIRST_NAMESPACE_COM)
        written = std::snprintf(path, path_size, "%sCOM%d", DEVICE_NAMESPACE, n);
    else
        written = std::snprintf(path, path_size, "%s", port_name);
    return written >= 0 && written < path_size;
}

namespace {

// Opens path, retrying a port that another program holds (3 attempts, the form's pause between
// them). Returns the descriptor, or -1 with the reason set.
int open_with_retries(const char* path, bool windowed, int& busy, DWORD& error)
{
    const int pause_ms = windowed ? BUSY_PAUSE_MS_WINDOWED : BUSY_PAUSE_MS_CONSOLE;
    int fd = -1;
    for (int attempt = 1; attempt <= OPEN_ATTEMPTS; ++attempt) {
        fd = open_exclusive(path, busy, error);
        if (fd >= 0 || !busy || attempt == OPEN_ATTEMPTS) break;
        link_pause(pause_ms);
    }
    return fd;
}

}  // namespace

int port_open_and_configure(const char* name, int& fd, char (&message)[INIT_MESSAGE_SIZE], bool windowed)
{
    PortError& last_error = link_thread().last_error;
    char path[PATH_BUFFER_SIZE];
    int busy = 0;
    DWORD error = ERROR_FILENAME_EXCED_RANGE;
    if (resolve_port_path(name, path, sizeof path)) fd = open_with_retries(path, windowed, busy, error);
    if (fd < 0) {
        last_error = {failure_of(error), static_cast<int>(error)};
        // The system's text ends with its own line break.
        std::snprintf(message, sizeof message,
                      "serial_init error: Unable to open port. %sMaybe another application is using this port?\n",
                      system_text(error).c_str());
        return SERIAL_INIT_OPEN_FAILED;
    }
    if (!apply_line_settings(fd, error)) {
        last_error = {PORT_NOT_SERIAL, static_cast<int>(error)};
        std::snprintf(message, sizeof message, "serial_init error: Unable to set comm state.");
        return SERIAL_INIT_SETTINGS_REFUSED;
    }
    if (!apply_timeouts(fd)) {
        last_error = {PORT_OPEN_FAILED, static_cast<int>(::GetLastError())};
        std::snprintf(message, sizeof message, "serial_init error: Unable to set comm timeouts.");
        return SERIAL_INIT_TIMEOUTS_REFUSED;
    }
    if (!apply_queue_sizes(fd)) {
        last_error = {PORT_OPEN_FAILED, static_cast<int>(::GetLastError())};
        std::snprintf(message, sizeof message, "serial_init error: Unable to set comm buffers.");
        return SERIAL_INIT_BUFFERS_REFUSED;
    }
    return 0;
}

// Closes a descriptor that serial_init or serial_reopen opened but could not finish setting up.
void port_close_unfinished(int fd)
{
    restore_settings(fd, true);
    ::_close(fd);
}

void port_start_clean(int fd)
{
    HANDLE h = handle_of(fd);
    ::PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR);
    ::EscapeCommFunction(h, CLRRTS);
    ::EscapeCommFunction(h, CLRDTR);
}


int serial_close(int& connected, int& port_handle)
{
    if (connected == 0) return 0;
    connected = 0;
    int fd = port_handle;
    port_handle = -1;
    if (fd < 0) return 0;
    restore_settings(fd, true);
    return ::_close(fd) == 0;
}

int serial_read(int port_handle, char* buffer, int n)
{
    HANDLE h = handle_of(port_handle);
    if (h == INVALID_HANDLE_VALUE || buffer == nullptr || n <= 0) return 0;
    DWORD got = 0;
    if (!::ReadFile(h, buffer, static_cast<DWORD>(n), &got, nullptr)) return 0;
    if (got > 0) buffer[got] = '\0';
    return static_cast<int>(got);
}

int serial_write(int port_handle, const char* text, int n)
{
    HANDLE h = handle_of(port_handle);
    if (h == INVALID_HANDLE_VALUE || text == nullptr || n < 0) return 1;
    DWORD sent = 0;
    if (!::WriteFile(h, text, static_cast<DWORD>(n), &sent, nullptr)) return 1;
    return sent == static_cast<DWORD>(n) ? 0 : 1;
}

// A device that has gone (a USB adapter unplugged) refuses every request on its handle, the
// error query included.
int serial_line_lost(int port_handle)
{
    HANDLE h = handle_of(port_handle);
    if (h == INVALID_HANDLE_VALUE) return 0;
    DWORD errors = 0;
    COMSTAT state{};
    return ::ClearCommError(h, &errors, &state) == 0;
}

int serial_reopen(int& port_handle, const char* port_name)
{
    char path[PATH_BUFFER_SIZE];
    if (!port_name_acceptable(port_name) || !resolve_port_path(port_name, path, sizeof path)) return 0;
    int busy = 0;
    DWORD error = 0;
    int fd = open_exclusive(path, busy, error);
    if (fd < 0) return 0;
    if (!apply_line_settings(fd, error) || !apply_timeouts(fd) || !apply_queue_sizes(fd)) {
        port_close_unfinished(fd);
        return 0;
    }
    port_start_clean(fd);
    if (port_handle >= 0) {
        restore_settings(port_handle, false);  // the device behind it is gone: nothing to put back
        ::_close(port_handle);
    }
    port_handle = fd;
    return 1;
}

void serial_discard(int port_handle)
{
    HANDLE h = handle_of(port_handle);
    if (h != INVALID_HANDLE_VALUE) ::PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR);
}

int enum_serial_port(char* buffer, int size, int n)
{
    if (buffer == nullptr || size <= 0 || n < 0) return 0;
    // Built afresh on every call, as ports come and go (USB adapters).
    const std::vector<std::string> ports = enumerated_ports();
    if (static_cast<size_t>(n) >= ports.size()) return 0;
    const std::string& name = ports[static_cast<size_t>(n)];
    if (name.size() + 1 > static_cast<size_t>(size)) return 0;
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return 1;
}

std::vector<std::string> list_serial_ports() { return enumerated_ports(); }

// A listed name, or the device-namespace form of one (\\.\COM3 for COM3).
int port_listed(const char* port_name)
{
    if (!port_name_acceptable(port_name)) return 0;
    std::string name = port_name;
    if (name.rfind(DEVICE_NAMESPACE, 0) == 0) name.erase(0, std::strlen(DEVICE_NAMESPACE));
    for (const std::string& listed : list_serial_ports())
        if (listed == name) return 1;
    return 0;
}
