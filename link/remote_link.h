// Filters served by solvane-alpaca: a slot whose port name is alpaca://HOST:PORT/N.
//
// Contents
//   1. Names
//   2. The filter's record as JSON
//   3. A small HTTP client
//   4. The jobs of a filter line, through the server
//
// A port is opened by one program at a time. So that the window, scripts and INDI and Alpaca
// clients can share the filters, solvane-alpaca serves them, and a slot may name one of its
// devices instead of a serial port. A filter line then runs its jobs through that server (the
// record and every setting by name through Alpaca's Action) and hands back results as a serial
// line does: everything above the line works unchanged.
//
// Like the rest of the link this throws nothing and returns small integers. Every wait is a poll()
// with a time-out that also watches the calling thread's abort descriptor, so a line's job is cut
// short at once. Threads: the functions keep no state of their own beyond what the caller passes
// in; a RemoteLine belongs to its filter line's thread.
#pragma once

#include "link/filter_lines.h"
#include "link/solvane_link.h"

#include <chrono>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// 1. Names
// ---------------------------------------------------------------------------------------------

constexpr const char* REMOTE_SCHEME = "alpaca://";
constexpr int REMOTE_HOST_SIZE = 64;

struct RemoteAddress {
    char host[REMOTE_HOST_SIZE] = {};  // a host name or an address; [::1] is written without brackets
    int port = 0;                      // 1 to 65535
    int device = 0;                    // the Alpaca device number, 0 or more
};

// 1 when the name starts with alpaca:// (any case): it names a served filter, never a device path.
int is_remote_port_name(const char* port_name);

// Reads alpaca://HOST:PORT/N (the scheme in any case, [IPv6]:PORT for an IPv6 address). Returns 1
// with out filled; 0 when the name is no such name or a part is out of range.
int parse_remote_name(const char* port_name, RemoteAddress& out);

// ---------------------------------------------------------------------------------------------
// 2. The record as JSON
// ---------------------------------------------------------------------------------------------

// Raised whenever a field changes its meaning or goes; a client refuses a record of another format.
constexpr int RECORD_FORMAT_VERSION = 1;

// The record as a flat JSON object: "format", then every field the window, its status dialog and
// the bandpass log show (connected, the filter's texts as UTF-8, its values exactly as the
// server's copy holds them: a number reads back bit for bit), and for scripts the status text
// and the status class's name. The caller's own configuration (slot, port, zoom) is left out.
std::string record_json(const FilterRecord& record);

// Reads a record_json text into record: every field it carries; the caller's configuration stays.
// Returns 1; 0 (record unchanged) when the text is no JSON object or of another format.
int read_record_json(const std::string& text, FilterRecord& record);

// ---------------------------------------------------------------------------------------------
// 3. The HTTP client
// ---------------------------------------------------------------------------------------------

enum HttpFailure {
    HTTP_DONE,         // an answer came: see status and body
    HTTP_NO_ADDRESS,   // the host name did not resolve
    HTTP_UNREACHABLE,  // no connection (refused, no route, reset before an answer)
    HTTP_TIMED_OUT,    // no complete answer within the time-out
    HTTP_CUT_SHORT,    // the calling thread's job was cut short
    HTTP_MALFORMED,    // the answer is no HTTP/1.x answer, or too large
};

struct HttpAnswer {
    HttpFailure failure = HTTP_DONE;
    int error = 0;       // the system's error number for HTTP_UNREACHABLE
    int status = 0;      // the HTTP status when done
    std::string body;
};

// The largest answer body taken; a record is a few hundred bytes.
constexpr int HTTP_BODY_MAX = 256 * 1024;

// The system's text of an HttpAnswer's error number, one phrase without a full stop, as strerror
// gives it (Winsock's numbers on Windows).
std::string socket_error_text(int error);

// One request on a connection of its own (closed after the answer): GET with the form as its
// query string, PUT with it as an application/x-www-form-urlencoded body. Returns 1 when an answer
// came (answer.status holds it), 0 otherwise with the reason in answer.failure.
int http_request(const RemoteAddress& to, const char* method, const std::string& path, const std::string& form,
                 int timeout_ms, HttpAnswer& answer);

// Percent-encodes a form value (letters, digits and -._~ stay as they are).
std::string form_encode(const std::string& text);

// The values of a flat JSON object: each member's name and its value as text (a string
// unescaped; a number, true, false, null, an array or an object as written). Returns 1 when text
// is one JSON object.
struct JsonMember {
    std::string name;
    std::string value;
    int is_string = 0;
};
int read_flat_json(const std::string& text, std::vector<JsonMember>& members);

// A JSON array of flat objects (as read_flat_json reads each). Returns 1 when text is one.
int read_json_objects(const std::string& text, std::vector<std::vector<JsonMember>>& objects);

// The value of a member, or nullptr.
const JsonMember* json_member(const std::vector<JsonMember>& members, const char* name);

// UTF-8 text back into the filter's ISO 8859-1 bytes (a character beyond it becomes '?').
std::string utf8_to_latin1(const std::string& text);

// ---------------------------------------------------------------------------------------------
// 4. A line's jobs through the server
// ---------------------------------------------------------------------------------------------

// What a line keeps about its server between jobs. Its line's thread alone.
struct RemoteLine {
    int failing = 0;  // 1 once a failure was logged; the next record waits for an answer
    std::chrono::steady_clock::time_point last_tick{};  // the previous tick: how often this window asks
};

// The time-outs: a connection waits for the server's identification of its filter (up to 30 s),
// everything else for a record or a setting's answer.
constexpr int REMOTE_CONNECT_TIMEOUT_MS = 35000;
constexpr int REMOTE_TIMEOUT_MS = 12000;

// JOB_CONNECT through the server: its device connected, then its record read. Fills answered,
// failure and port_error of result as a serial connection does; a failure writes one
// serial_error.log record naming the address and the reason.
void remote_connect(FilterRecord& record, RemoteLine& line, const char* port_name, LineResult& result);

// JOB_TICK, JOB_POLL_STATUS, JOB_POLL_AGE: the server's record; a server that lost its device
// (restarted, say) is asked to connect it again. A server that cannot be reached, answers with an
// error or reports that its filter stopped answering leaves STATUS_NO_COMMUNICATION, as a silent
// filter does; the first such update writes one serial_error.log record, the next wait for an
// answer. as_tick: the time since the last tick is the interval the server is asked to keep.
void remote_update(FilterRecord& record, RemoteLine& line, int as_tick, LineResult& result);

// JOB_COMMAND: the setting of job.edit by its action, then the record. Fills answered,
// acknowledged and reply (the acknowledgement, "OK", when the server reports it).
void remote_command(FilterRecord& record, RemoteLine& line, const LineJob& job, LineResult& result);

// JOB_CLOSE: nothing to close on the server (other programs use the filter); the slot lets go.
void remote_close(FilterRecord& record, RemoteLine& line, LineResult& result);

// ---------------------------------------------------------------------------------------------
// 5. Finding servers: Alpaca discovery
// ---------------------------------------------------------------------------------------------

// Where discovery asks: $SOLVANE_DISCOVERY_TARGETS when set (addresses, each optionally with
// :PORT, separated by commas; tests name 127.0.0.1 so that nothing leaves the computer), else the
// IPv4 broadcast address 255.255.255.255, on the discovery port 32227.
constexpr int DISCOVERY_PORT = 32227;
std::vector<std::string> discovery_targets();

// A device a server offers, by its address name and the device name it gives.
struct ServedDevice {
    std::string port_name;  // alpaca://HOST:PORT/N
    std::string name;       // "Solvane filter 1 (COM1)", as the server names it (UTF-8)
};

// Sends the discovery request to every target, takes the answers that come within wait_ms, and
// asks each server that answered (and each of also_ask, servers named as alpaca:// names) for its
// configured Switch devices. Returns them in the order found, each once. Bounded: one datagram a
// target, one request a server, at most 16 servers.
std::vector<ServedDevice> discover_served_filters(const std::vector<std::string>& targets, int wait_ms,
                                                  const std::vector<std::string>& also_ask = {});
