// The INDI driver's plain helpers: its texts, element names, the light of a status, the checks of
// the numbers and names a client sends, and the trace of an exchange. Pure functions, testable
// without an indiserver or a port; the driver (solvane_driver.cpp) links them.
//
// Contents
//   1. Lights and texts of a filter
//   2. Port elements
//   3. The simulated filter
//   4. Requests from clients
//   5. Tracing exchanges
#pragma once

#include "link/filter_policy.h"
#include "link/solvane_link.h"

#include <libindi/indiapi.h>

#include <cstddef>
#include <string>

// ---------------------------------------------------------------------------------------------
// 1. Lights and texts of a filter
// ---------------------------------------------------------------------------------------------

// The light of a filter's status class, as every Solvane program shows it.
IPState status_light(const FilterRecord& record);

// The time on as the identity shows it: "1234 min (0y 0m 0d 20h 34min)".
std::string age_text(const FilterRecord& record);

// printf into a string of at most 511 characters.
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------------------------------------
// 2. Port elements
// ---------------------------------------------------------------------------------------------

// A port as an element of SYSTEM_PORTS: its own name, as libindi's serial connection names its
// ports, when that fits an INDI name and needs no escaping; otherwise PORT_n (index from 0).
std::string port_element_name(const std::string& port, size_t index);

// Its label: the name, or "..." and the end of a name too long for a label, where USB adapters'
// by-id names differ.
std::string port_element_label(const std::string& port);

// ---------------------------------------------------------------------------------------------
// 3. The simulated filter
// ---------------------------------------------------------------------------------------------

// The simulated filter a SIMULATED_FILTER text names: its number in the preset (1 = the first),
// or words of its line ("calcium", "Hydrogen beta"), without regard to case. Empty names the
// first. -1 when it names none.
int simulated_filter_index(const std::string& choice);

// The choices for a refusal: "1 MODEL, 2 MODEL, ...".
std::string simulated_filter_choices();

// ---------------------------------------------------------------------------------------------
// 4. Requests from clients
// ---------------------------------------------------------------------------------------------

// The filter answers a status poll in about 100 ms; faster polling only loads the line. The top
// is libindi's own default range.
constexpr double MIN_POLL_MS = UPDATE_INTERVALS_MS[0];
constexpr double MAX_POLL_MS = 600000;

// 1 for a polling period a client may set: a number from MIN_POLL_MS to MAX_POLL_MS (libindi's
// own check lets NaN through).
int polling_period_acceptable(double ms);

// Why a polling period or a wing shift was refused, naming the value and the range.
std::string polling_period_refusal(double ms);
std::string wing_shift_refusal(double angstrom);

// The text or number a request carries for an element; nullptr, or 0 with value NaN, when the
// request does not name it.
const char* text_for(const char* element, char* texts[], char* names[], int n);
int number_for(const char* element, const double values[], char* names[], int n, double& value);

// ---------------------------------------------------------------------------------------------
// 5. Tracing exchanges
// ---------------------------------------------------------------------------------------------

// Bytes as a person reads them in a log: printable ASCII as it is, a backslash doubled, line
// feed, carriage return, tab and NUL as \n, \r, \t, \0, every other byte as \xNN.
std::string escaped_bytes(const std::string& bytes);

// One exchange as the driver's DEBUG message gives it: "GI\n -> v1.25 0 1 ...\r\n", with
// "(attempt N)" after a reply that took more than one, or "-> no reply (N attempts)".
std::string exchange_trace_text(const ExchangeTrace& exchange);
