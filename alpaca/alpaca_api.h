// The Alpaca API of solvane-alpaca: from a parsed HTTP request to the reply, without sockets.
//
// Contents
//   1. What the API sees of the filters
//   2. Requests and answers
//   3. Answering: the device API (Switch and the common members) and the management API
//   4. Finishing a write once the filter has answered
//   5. Error numbers and helpers
//
// A request is answered in one of two ways. Reads and every refusal are answered at once from a
// snapshot of the filters (a ServerView). A write that needs the filter comes back as a LineJob
// for one slot; the server runs it and then calls finish_write with what the filter said. Every
// check happens before that job is formed, so a malformed or refused request never reaches a
// filter: malformed requests (a bad path, a missing or unreadable parameter) are HTTP 400 with a
// plain-text reason; well-formed requests the device cannot carry out are HTTP 200 with an Alpaca
// error number in the JSON envelope.
//
// Threads: the functions are pure but for the server transaction counter, an atomic shared by all
// of the server's threads.
#pragma once

#include "alpaca/schedule_runner.h"
#include "link/filter_lines.h"
#include "link/solvane_link.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------------------------
// 1. What the API sees
// ---------------------------------------------------------------------------------------------

constexpr int SWITCH_INTERFACE_VERSION = 3;
constexpr const char* SERVER_VERSION = "1.0";

struct SlotView {
    int configured = 0;                      // a port is named for the slot: it is Alpaca device n
    char port_name[PORT_NAME_SIZE] = {};
    FilterRecord record;                     // the server's copy, as the last result left it
    int connecting = 0;                      // a Connect or Disconnect is under way
    std::string connect_failure;             // why the last Connect() failed, as a sentence; empty
                                             // when it did not or a later one started
    std::chrono::system_clock::time_point updated;  // when the record last changed
};

// The update intervals clients asked for (Action=record with Parameters=MS): the server polls each
// filter at the shortest one asked for recently, never faster than once a second, so ten clients
// cost the filters no more than one. Guarded by its own mutex; any thread.
constexpr int CLIENT_INTERVAL_MIN_MS = 1000;
constexpr int CLIENT_INTERVAL_MAX_MS = 3600000;
constexpr size_t CLIENT_INTERVALS_KEPT = 64;  // distinct intervals remembered; the longest goes first

struct ClientIntervals {
    std::mutex mutex;
    std::map<int, std::chrono::steady_clock::time_point> held_until;  // interval (whole 100 ms) -> expiry
};

// Notes a client's interval: within 1000 ms to one hour, rounded to 100 ms, held for twice the
// interval and 5 s more, so a client that keeps asking keeps it and one that left lets it go.
void client_interval_asked(ClientIntervals& intervals, int interval_ms, std::chrono::steady_clock::time_point now);

// The interval the server polls at: the shortest held interval, or own_ms when that is shorter or
// none is held.
int shortest_client_interval(ClientIntervals& intervals, int own_ms, std::chrono::steady_clock::time_point now);

struct ServerView {
    ClientIntervals* intervals = nullptr;  // the server's; null: intervals asked for are not kept
    SlotView slot[SLOT_COUNT];
    std::string unique_ids[SLOT_COUNT];    // stable per machine and slot (unique_device_id)
    std::string location;                    // the host name, for the management description
    ScheduleSummary schedule;                // the next wake and sleep, when the server has a schedule
};

// ---------------------------------------------------------------------------------------------
// 2. Requests and answers
// ---------------------------------------------------------------------------------------------

// Parameters as they came, names in their own case: a GET's query string (names in any case), a
// PUT's form body (names exactly as the Alpaca reference writes them: a known name in another
// case is malformed).
using ApiParams = std::vector<std::pair<std::string, std::string>>;

struct ApiRequest {
    std::string method;  // "GET", "PUT", ...
    std::string path;    // "/api/v1/switch/0/getswitchvalue"
    ApiParams params;
};

// What a write asks of the server before it can answer.
enum ApiWrite {
    WRITE_NONE,              // the answer is complete
    WRITE_JOB,               // run job on device and wait for it (a switch setting)
    WRITE_CONNECT,           // connect device and wait until it is connected or has failed
    WRITE_DISCONNECT,        // disconnect device and wait
    WRITE_CONNECT_START,     // start connecting device; answer at once (Connect)
    WRITE_DISCONNECT_START,  // start disconnecting device; answer at once (Disconnect)
};

struct ApiAnswer {
    int http_status = 200;
    std::string content_type = "application/json; charset=utf-8";
    std::string body;                     // complete unless write is WRITE_JOB, CONNECT or DISCONNECT
    ApiWrite write = WRITE_NONE;
    int device = -1;                      // the slot a write is for
    LineJob job;                          // WRITE_JOB
    int answers_value = 0;                // WRITE_JOB of Action: the answer's Value is the command sent
    std::uint32_t client_transaction_id = 0;  // echoed in the envelope finish_write makes
};

// ---------------------------------------------------------------------------------------------
// 3. Answering
// ---------------------------------------------------------------------------------------------

// Answers /api/v1/switch/N/member and /management/... requests.
ApiAnswer answer_api_request(const ApiRequest& request, const ServerView& view);

// ---------------------------------------------------------------------------------------------
// 4. Finishing a write
// ---------------------------------------------------------------------------------------------

struct WriteOutcome {
    int finished = 0;        // 0: the filter has not answered within the wait (the job stays queued)
    LineResult result;       // the job's result when finished
    std::string failure;     // a write that could not be handed in, as a sentence
    int queue_full = 0;      // 1: refused because the slot's queue of settings is full
};

// The envelope for a write that ran: error 0 when the filter answered (and acknowledged a
// setting), else an Alpaca driver error with what happened; a setting refused for a full queue is
// an invalid operation (the device's state, not a fault: the client may try again).
ApiAnswer finish_write(const ApiAnswer& pending, const WriteOutcome& outcome, const FilterRecord& record, int slot);

// "Filter N (label) did not connect. <reason>": what a connection's result says when it failed.
std::string connect_failure_sentence(const LineResult& result, const FilterRecord& record, int slot);

// ---------------------------------------------------------------------------------------------
// 5. Error numbers and helpers
// ---------------------------------------------------------------------------------------------

constexpr int ALPACA_OK = 0;
constexpr int ALPACA_NOT_IMPLEMENTED = 0x400;
constexpr int ALPACA_INVALID_VALUE = 0x401;
constexpr int ALPACA_NOT_CONNECTED = 0x407;
constexpr int ALPACA_INVALID_OPERATION = 0x40B;
constexpr int ALPACA_ACTION_NOT_IMPLEMENTED = 0x40C;
constexpr int ALPACA_DRIVER_ERROR = 0x500;  // the filter did not answer, or refused

// The next ServerTransactionID: 1, 2, 3, ... for the whole process, wrapping past 2^32 - 1 to 1.
std::uint32_t next_server_transaction_id();

// A stable UniqueID for slot on this machine: 128 bits from the machine's identity and the slot,
// written as a UUID. The same machine and slot always give the same text.
std::string unique_device_id(const std::string& machine_identity, int slot);

// The identity unique_device_id takes: /etc/machine-id, else the host name.
std::string machine_identity();

// Reads a decimal number as Alpaca sends it: optional sign, digits, optional point and fraction,
// optional exponent, nothing else (no comma, no blanks, no "nan" or "inf"). Returns 0 when text
// is no such number.
int parse_alpaca_number(const std::string& text, double& value);

// Reads an unsigned 32-bit integer (digits only). Returns 0 otherwise.
int parse_alpaca_uint32(const std::string& text, std::uint32_t& value);

// "true" or "false" in any case. Returns 0 otherwise.
int parse_alpaca_bool(const std::string& text, bool& value);
