// The filter-link library: everything both programs need to talk to a Solvane filter
// over a serial line.
//
// Contents
//   1. Constants and the command set
//   2. Filter record and status codes
//   3. Ports: opening, closing, single reads and writes
//   4. Enumeration of the machine's serial ports
//   5. Data: the command exchange and the clean-up of text replies
//   6. Decoding: numeric replies, the status line, the age reply
//   7. Polling: status and age of a connected filter
//   8. Identification and parameter read-out
//   9. Diagnostics: serial_error.log
//  10. Jobs cut short: waits that a filter line can end at once
//
// Conventions: results are small integers (1 success / 0 failure for opening, identifying,
// connecting and enumerating; byte counts for reads and exchanges; serial_write alone returns
// 0 for success). Nothing here throws, prints or shows a message; the windowed forms append
// records to serial_error.log in the current directory, the console forms write no file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// 1. Constants and the command set
// ---------------------------------------------------------------------------------------------

// The filters one program drives at once: the window's panels, the Alpaca devices, the console
// tool's port words. Every table, line number, route and usage text is sized by it.
constexpr int SLOT_COUNT = 4;

// The count as messages and usage texts write it ("at most four ports").
constexpr const char* COUNT_WORDS[] = {"no", "one", "two", "three", "four", "five", "six", "seven", "eight"};
static_assert(SLOT_COUNT < int(sizeof COUNT_WORDS / sizeof COUNT_WORDS[0]), "a word for the slot count");
constexpr const char* SLOT_COUNT_WORD = COUNT_WORDS[SLOT_COUNT];

// Firmware from this version on answers numeric queries in hexadecimal without prefix.
constexpr double HEX_REPLY_VERSION = 1.25;

// A reply is whatever one read delivered: at most 83 bytes, plus the zero byte after them.
constexpr int REPLY_MAX = 83;
constexpr int REPLY_BUFFER_SIZE = REPLY_MAX + 1;

// Room for the longest command we form ("SE-10\n" and the like) with its zero byte.
constexpr int COMMAND_BUFFER_SIZE = 16;

// Queries: two letters and a line feed. The filter answers each with one short line.
constexpr const char* CMD_STATUS = "GI\n";                    // the ten-field status line
constexpr const char* CMD_IDENTIFY_CHECK = "GA\n";            // 1 = not a filter
constexpr const char* CMD_CENTER_WAVELENGTH = "GX\n";         // tenths of an Angstrom
constexpr const char* CMD_HEATER_STATE = "GH\n";              // non-zero = sleeping
constexpr const char* CMD_CENTER_TEMPERATURE = "GJ\n";        // hundredths of a degree F
constexpr const char* CMD_MODEL = "GN\n";
constexpr const char* CMD_EDITION = "GQ\n";
constexpr const char* CMD_SERIAL_NUMBER = "GS\n";
constexpr const char* CMD_STARTUP_MESSAGE = "GM\n";
constexpr const char* CMD_BANDWIDTH = "GB\n";
constexpr const char* CMD_DISPLAY_MODE = "GD\n";              // 0 centre, 1 wing shift
constexpr const char* CMD_UNITS = "GU\n";                     // 0 Angstrom, 1 nanometre
constexpr const char* CMD_PANEL_LOCK = "GL\n";
constexpr const char* CMD_UNDERSCORE = "G_\n";                // eighths
constexpr const char* CMD_TEMPERATURE_PER_ANGSTROM = "G@\n";  // hundredths of F per Angstrom
constexpr const char* CMD_AGE = "GY\n";                       // two values, the second in minutes

// Settings (SH, SL, SD, SU, SE) are made from the table of filter_settings.h alone.

// The two programs use the link in two forms that differ in a few fixed points: the pause
// between open attempts, diagnostics, and the retries of one exchange.
enum LinkForm { LINK_WINDOWED, LINK_CONSOLE };

// ---------------------------------------------------------------------------------------------
// 2. Filter record and status codes
// ---------------------------------------------------------------------------------------------

using FilterStatusCode = std::int32_t;
constexpr FilterStatusCode STATUS_BAD_CONNECTION = 99998;    // a reported value was implausible
constexpr FilterStatusCode STATUS_NO_COMMUNICATION = 99999;  // the status or age query got no reply

// Text field sizes, each with room for the zero byte: a field never holds more characters.
constexpr int PORT_NAME_SIZE = 100;
constexpr int BANDWIDTH_TEXT_SIZE = 11;
constexpr int MESSAGE_TEXT_SIZE = 35;    // model and start-up message
constexpr int EDITION_TEXT_SIZE = 11;
constexpr int SERIAL_NUMBER_TEXT_SIZE = 19;
constexpr int FIRMWARE_TEXT_SIZE = 20;
constexpr int STATUS_TEXT_SIZE = 24;

// The spans of the spectrum a panel shows around its line, Angstrom: the window's three zoom
// steps; a slot starts at the normal one.
constexpr double ZOOM_WIDE = 30.0;
constexpr double ZOOM_NORMAL = 10.0;
constexpr double ZOOM_TIGHT = 2.5;

// Everything known about one filter slot. The member initialisers are the start values of a
// slot; a caller sets slot_index. Wavelengths, spans and shifts are in Angstrom.
struct FilterRecord {
    int slot_index = 0;
    int connected = 0;                         // link open and (windowed) filter identified
    char port_name[PORT_NAME_SIZE] = {};       // as configured: COM3, a device path, ...
    char opened_port_name[PORT_NAME_SIZE] = {};
    int port_handle = -1;                      // file descriptor while connected (Windows: a C runtime
                                               // descriptor wrapping the device's handle)
    double zoom_span = ZOOM_NORMAL;
    int poll_count = 0;                        // status polls since the last age poll
    char bandwidth_text[BANDWIDTH_TEXT_SIZE] = {};
    int ga_value = 0;
    double calibration_screw = 0;
    int display_mode = 0;
    double wing_shift = 0;
    int sleeping = 1;
    int on_band = 0;
    double center_temperature = 0;             // degrees Fahrenheit
    int panel_locked = 0;
    char startup_message[MESSAGE_TEXT_SIZE] = {};
    char model_text[MESSAGE_TEXT_SIZE] = {};
    char edition_text[EDITION_TEXT_SIZE] = {};
    char serial_number_text[SERIAL_NUMBER_TEXT_SIZE] = {};
    double temperature = 0;                    // degrees Fahrenheit
    int units = 0;
    double supply_voltage = 0;                 // volts
    double wavelength = 0;                     // current passband centre
    double center_wavelength = 0;              // the filter's nominal line
    int age_minutes_total = 0;
    int age_years = 0, age_months = 0, age_days = 0, age_hours = 0, age_minutes = 0;
    FilterStatusCode status_code = 0;
    double temperature_per_angstrom = 0;       // degrees Fahrenheit per Angstrom
    int heater_on = 0;
    int heater_cycle = 0;
    double heater_power = 0;                   // percent
    char firmware_text[FIRMWARE_TEXT_SIZE] = {};
    double firmware_version = 0;
    double underscore_value = 0;
};

// Copies at most max_chars characters of text into a field of field_size bytes, always
// zero-terminated; the text is cut, never refused.
void copy_text(char* field, int field_size, const char* text, int max_chars);

// Text from a filter is bytes in ISO 8859-1, one character each; JSON, web pages, INDI clients
// and Qt's UTF-8 strings want it as UTF-8.
std::string latin1_to_utf8(const char* text);

// The shown text of a slot's status, at most 23 characters, written into out and returned.
// For code 0 it is refined by sleeping, on_band and the current wavelength against the target
// (center_wavelength + wing_shift) within 0.05 Angstrom.
const char* status_text(const FilterRecord& slot, char out[STATUS_TEXT_SIZE]);

// ---------------------------------------------------------------------------------------------
// 3. Ports
// ---------------------------------------------------------------------------------------------

// serial_init result codes of the windowed form (the console form only returns 1 or 0).
enum SerialInitCode {
    SERIAL_INIT_ALREADY_OPEN = 1,
    SERIAL_INIT_NO_NAME = 2,
    SERIAL_INIT_OPEN_FAILED = 3,
    SERIAL_INIT_SETTINGS_REFUSED = 4,
    SERIAL_INIT_TIMEOUTS_REFUSED = 5,
    SERIAL_INIT_BUFFERS_REFUSED = 6,
};

// Why the last serial_init of the calling thread failed.
enum PortFailure {
    PORT_OK,
    PORT_ALREADY_OPEN,
    PORT_NO_NAME,       // empty or a single character
    PORT_REFUSED_NAME,  // a control character in it, or longer than a port name holds
    PORT_MISSING,       // no such device
    PORT_PERMISSION,    // the user may not open it
    PORT_BUSY,          // held by another program
    PORT_NOT_SERIAL,    // it opened, but is no terminal; closed again untouched
    PORT_OPEN_FAILED,   // any other reason the system gave
};

struct PortError {
    PortFailure failure = PORT_OK;
    int error = 0;  // the system's error number, where it gave one
};

// Opens and configures the named port for a slot: 9600 baud, 8N1, raw, no flow control, RTS
// and DTR cleared, both queues discarded, exclusive use. A port held by another program is
// tried three times, 500 ms apart (console: 2000 ms). Returns 1 with connected = 1 and
// port_handle set; 0 otherwise with connected unchanged and no descriptor left open. The
// windowed form appends one record to serial_error.log for every failure, including the call on
// an already open slot, which leaves that link untouched.
int serial_init(int& connected, int& port_handle, const char* port_name,
                LinkForm form = LINK_WINDOWED);

// What went wrong in the calling thread's last serial_init (PORT_OK after a success).
PortError serial_last_error();

// The reason for a person, one sentence or two: the system's text and, where it helps, what to do
// ("Permission denied. Add yourself to the dialout group: sudo adduser $USER dialout, then log in
// again."). Empty for PORT_OK.
std::string port_error_text(const PortError& error);

// The program holding a port open, when it is one of this user's (another user's are not
// readable), for a message that says which program to close: its name as the kernel knows it
// ("solvane-alpaca") and process id; pid 0 when none was found. The calling process is left out.
struct PortHolder {
    std::string name;
    int pid = 0;
};
PortHolder port_holder(const char* port_name);

// For a port held by the filter server solvane-alpaca with process id pid: the alpaca:// name by
// which that server serves it, read from the server's command line (--listen, --port, --ports) or,
// without --ports, from the solvane.ini of its directory. Empty when it cannot be told (a port
// chosen by the system, a file that cannot be read, a port the server does not list).
std::string served_name_of_port(int pid, const char* port_name);

// 1 when a name may be opened as a port at all: 2 to 99 characters, none of them a control
// character (a line feed in a name would forge a record of serial_error.log).
int port_name_acceptable(const char* port_name);

// 1 when the text holds a control character (below 0x20, or 0x7F).
int has_control_character(const char* text);

// Closes the slot's link, putting back the terminal settings serial_init found on it. Returns 0
// when it was not open, else 1 when the close succeeded. connected is 0 and port_handle -1
// afterwards in every case.
int serial_close(int& connected, int& port_handle);

// One read of up to n bytes: returns when n bytes arrived, 200 ms after the start while nothing
// came, or 50 ms after the last byte. Returns the count (0 = nothing or failure) and stores a
// zero byte after the data, so buffer must hold n + 1 bytes. Nothing is parsed.
int serial_read(int port_handle, char* buffer, int n);

// Writes n bytes within n + 250 ms. Returns 0 when all were written, 1 otherwise.
int serial_write(int port_handle, const char* text, int n);

// Discards whatever the port holds in both directions, a late reply included.
void serial_discard(int port_handle);

// 1 when the device behind an open port has gone (a USB adapter unplugged, a pseudo-terminal
// closed): reads end at once and writes fail until the port is opened anew.
int serial_line_lost(int port_handle);

// Opens the named port again for a link whose device was lost and replugged: one silent attempt
// with the same settings. On success the new descriptor replaces the old (closed) one in
// port_handle and 1 is returned; otherwise nothing changes and 0 is returned.
int serial_reopen(int& port_handle, const char* port_name);

// The device path a port name opens: a name with "/" as given, else $SOLVANE_PORT_DIR/NAME when
// that variable is set, else COMn as /dev/ttyS(n-1) and any other name N as /dev/N. On Windows:
// COMn from COM10 on as \\.\COMn (the only form the system opens them by), any other name as given.
// Returns 1 when the path fits path_size bytes, 0 otherwise.
int resolve_port_path(const char* port_name, char* path, int path_size);

// ---------------------------------------------------------------------------------------------
// 4. Enumeration
// ---------------------------------------------------------------------------------------------

// The name of the n-th serial port of this machine (0 = the first): the entries of
// $SOLVANE_PORT_DIR in natural order (COM2 before COM10), then the kernel's serial devices as
// /dev/NAME (left out when $SOLVANE_ONLY_PORT_DIR is set to anything but 0). On Windows: the
// COMn devices the system knows, by number. Returns 1 with the
// zero-terminated name in buffer; 0 when there is no n-th port or its name does not fit size
// bytes (callers stop at the first 0).
int enum_serial_port(char* buffer, int size, int n);

// Every port name this machine offers, without the 16-byte limit of enum_serial_port: the same
// entries in the same order (port directory, then kernel serial devices), then the stable links
// of /dev/serial/by-id/ in natural order (left out with $SOLVANE_ONLY_PORT_DIR), or those of
// $SOLVANE_BY_ID_DIR when that is set (always listed: tests and demonstrations make one of their
// own). Names with control characters are left out.
std::vector<std::string> list_serial_ports();

// 1 when the named port is one list_serial_ports offers: the same name, or a name that leads to
// the same device (COM1 for /dev/ttyS0, a by-id link for /dev/ttyUSB0). Programs that take port
// names from the network open nothing else.
int port_listed(const char* port_name);

// ---------------------------------------------------------------------------------------------
// 5. Data
// ---------------------------------------------------------------------------------------------

// Sends a command and reads one reply of at most 83 bytes into reply (REPLY_BUFFER_SIZE bytes).
// Windowed form: up to 5 attempts, each after discarding the port's buffers, with one 500 ms
// pause before the 5th only; a failed write ends it. Console form: one attempt, no discard.
// Returns the reply's byte count, or 0 with an empty reply; a closed link answers 0 at once.
int serial_exchange(int connected, int port_handle, const char* command,
                    char reply[REPLY_BUFFER_SIZE], LinkForm form = LINK_WINDOWED);

// One serial_exchange as it went: the command's bytes, the reply's bytes (empty when none came)
// and the attempts it took.
struct ExchangeTrace {
    std::string command;
    std::string reply;
    int attempts = 0;
};

// While sink is set, every serial_exchange of the calling thread appends its trace to *sink
// (nullptr: no tracing, the default; an exchange then costs one test of a thread-local pointer).
void capture_exchanges(std::vector<ExchangeTrace>* sink);

// Cleans a text reply in place: a first byte 0xFF empties it; otherwise a final LF, then CR,
// then LF, then CR are removed, each only if it is last at that moment.
void trim_reply(char* text);

// Cuts a text reply to max_chars characters, then trims it.
void cut_text_reply(char* reply, int max_chars);

// ---------------------------------------------------------------------------------------------
// 6. Decoding
// ---------------------------------------------------------------------------------------------

// 1 when replies of this firmware version are hexadecimal.
int is_hex_firmware(double firmware_version);

// A single-value reply: the leading decimal integer (0 when none), or, for hexadecimal
// firmware, the "%lx" value as a signed 32-bit integer (0 without hexadecimal digits).
std::int32_t decode_reply_value(const char* reply, double firmware_version);
std::int32_t decode_decimal_value(const char* reply);

// A leading decimal number: optional blanks, sign, digits with an optional decimal point,
// optional exponent E with sign and digits; reading stops at the first character that does not
// fit. No number (INF, NAN, 0X.., empty) reads as 0.0. Used for typed shifts and bandwidth texts.
double read_decimal_number(const char* text);

// The version at the start of a status reply ("v%lf"); previous when the reply does not begin
// with v and a finite number.
double read_firmware_version(const char* reply, double previous);

// The ten fields of a status line as decoded, unscaled. In the hexadecimal form the wing shift
// is already reduced to its low 8 bits and the temperature to its low 16 bits, both signed.
struct StatusFields {
    char firmware_text[REPLY_BUFFER_SIZE];
    std::int32_t status_code, on_band;
    double wavelength, wing_shift;
    std::int32_t heater_on, heater_cycle;
    double temperature, supply_voltage, calibration_screw;
    int count;  // fields decoded, 0 to 10, in order: later fields are meaningless past count
};

// Decodes a status line with the decimal or the hexadecimal pattern. Returns the field count.
int decode_status_line(const char* reply, int hexadecimal, StatusFields& fields);

// Writes decoded status fields into a slot with scaling, range checks (fallbacks and
// STATUS_BAD_CONNECTION), heater_power and the sleeping rule. Only the fields the line carried
// change; a missing one keeps its last, already scaled value. A line that does not carry the
// status code and the on-band flag is implausible data: STATUS_BAD_CONNECTION.
void apply_status_fields(FilterRecord& slot, const StatusFields& fields);

// A whole status reply into a slot: the firmware version it starts with, then its fields decoded
// by that version and applied as above. Both programs' polls use it.
void apply_status_reply(FilterRecord& slot, const char* reply);

// Decodes an age reply ("%d %ld" or hexadecimal) into age_minutes_total and its breakdown.
// Returns 1 when the minutes value was present.
int apply_age_reply(FilterRecord& slot, const char* reply, int hexadecimal);

// Breaks age_minutes_total into years (365.25 days), months (30.6 days), days, hours, minutes.
void break_down_age(FilterRecord& slot);

// ---------------------------------------------------------------------------------------------
// 7. Polling (windowed form; the console tool builds its own on the same decoders)
// ---------------------------------------------------------------------------------------------

// Exchanges "GI\n" and updates the live fields; no reply sets STATUS_NO_COMMUNICATION and
// changes nothing else. The slot's link must be open.
void poll_filter_status(FilterRecord& slot);

// Exchanges "GY\n" and updates the age fields; no reply sets STATUS_NO_COMMUNICATION.
void poll_filter_age(FilterRecord& slot);

// ---------------------------------------------------------------------------------------------
// 8. Identification and parameter read-out
// ---------------------------------------------------------------------------------------------

// What a device said to identification: its replies to the status query and to "GA\n", each with
// the tries it took (1 or 2) and the reply's byte count (0: no reply), exactly as the
// serial_error.log record of a device that is no filter reports them.
struct DeviceAnswer {
    char status_reply[REPLY_BUFFER_SIZE] = {};
    int status_tries = 0;
    int status_bytes = 0;
    char check_reply[REPLY_BUFFER_SIZE] = {};
    int check_tries = 0;   // 0: not asked (the status query went unanswered)
    int check_bytes = 0;
};

// Asks an open port whether a filter answers (status line and "GA\n"). Returns 1 when it does;
// the parameters, status and age have then been read. Returns 0 otherwise, after appending one
// record to serial_error.log with what the device said. Does not change connected. answered, when
// given, is set to 1 when the device replied at all (a 0 result is then "not a filter"); said,
// when given, receives what the device said.
int identify_filter(FilterRecord& slot, int* answered = nullptr, DeviceAnswer* said = nullptr);

// Reads the filter's 13 parameters in order, with scaling, range checks and text cuts.
void read_filter_parameters(FilterRecord& slot);

// Why connect_slot left a slot unconnected.
enum ConnectFailure {
    CONNECT_OK,
    CONNECT_PORT_FAILED,   // the port did not open: serial_last_error says why
    CONNECT_SILENT,        // it opened, but nothing answered
    CONNECT_NOT_A_FILTER,  // it answered, but not as a filter does
    CONNECT_CANCELLED,     // a filter line's job was cut short
};

// Opens the port for the slot, records opened_port_name, identifies the filter and closes the
// port again when no filter answered. Returns the slot's connected; why, when given, says what
// failed, and said what the device said to identification (left empty when the port did not
// open). The caller closes an open link first and keeps port_name as its own flow requires;
// after a success it copies the slot's units into its own units option.
int connect_slot(FilterRecord& slot, const char* port_name, ConnectFailure* why = nullptr,
                 DeviceAnswer* said = nullptr);

// ---------------------------------------------------------------------------------------------
// 9. Diagnostics
// ---------------------------------------------------------------------------------------------

// Appends "\n" + the asctime line + text to serial_error.log in the current directory, opening
// and closing the file for this record. A file that cannot be opened, or that is not a regular
// file (a FIFO or a device is never opened for writing), drops the record. While the calling
// thread captures its records, the record goes to the capture instead; a job cut short
// (serial_aborted) writes none.
void append_serial_error_log(const char* text);

// While sink is set, the records of the calling thread are appended to *sink, each exactly as
// the file would take it, instead of to the file (nullptr: to the file again).
void capture_serial_error_log(std::string* sink);

// Appends records captured earlier to serial_error.log, exactly as they are.
void write_serial_error_records(const std::string& records);

// ---------------------------------------------------------------------------------------------
// 10. Jobs cut short
// ---------------------------------------------------------------------------------------------

// A thread that runs jobs for others (a filter line) names a descriptor that becomes readable
// when its current job is to end at once (-1: none, the default). While it is readable, reads
// return nothing, writes fail, pauses end early and no serial_error.log record is written; the
// bytes, retries and time-outs are otherwise untouched.
void serial_set_abort_descriptor(int descriptor);

// 1 while the calling thread's job is being cut short.
int serial_aborted();

// Pauses the calling thread for milliseconds, or less when its job is cut short.
void link_pause(int milliseconds);
