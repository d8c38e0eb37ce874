// The filter simulator: simulated Solvane filters on pseudo-terminals.
//
// Each simulated filter owns a pseudo-terminal whose slave device is reached through a link
// COM1, COM2, ... in a port directory, so the programs open it by name through their ordinary
// serial code (SOLVANE_PORT_DIR). It answers the whole command set in the forms the filters use
// (decimal below firmware 1.25, hexadecimal from 1.25) and runs a small physical model: the
// element heats towards its target temperature under a duty-cycle controller, the passband
// follows the temperature, and the filter reports on band once the passband has settled.
//
// Contents
//   1. Filter description and faults
//   2. Starting and stopping
//   3. Watching and changing a running filter
//   4. Replies (pure, for tests that need no port)
//
// The simulator keeps one process-wide table of filters. Its functions may be called from any
// thread; each filter answers on a thread of its own.
#pragma once

#include <functional>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// 1. Filter description and faults
// ---------------------------------------------------------------------------------------------

// Faults of a filter; all off by default. They can be set at start and changed while it runs.
struct SimFaults {
    int silent = 0;             // answers nothing
    int answer_every = 0;       // k > 1: answers only every k-th command received
    int echo = 0;               // not a filter: sends every command back as it came
    int ga_value = 0;           // the "GA" value; 1 marks a device that is no filter
    int status_code = 0;        // reported instead of 0 (1-5, 10, 11, 20, any other)
    int raw_wing_shift = 0;     // with raw_wing_shift_set: reported wing shift in tenths (31)
    int raw_wing_shift_set = 0;
    int garbage = 0;            // answers random bytes, 0xFF and line ends among them
    int overlong = 0;           // answers 200 bytes of text to every query
};

// A simulated filter: identity, physics and its live state.
struct SimFilter {
    // Identity, as the filter reports it.
    double center_wavelength = 6562.8;        // nominal line, Angstrom
    std::string bandwidth_text = "0.7A";
    std::string edition_text = "PRO";
    std::string model_text = "Solvane 60";
    std::string serial_number_text = "SV-0001";
    std::string startup_message = "Solvane";
    double firmware_version = 1.20;

    // Physics.
    double center_temperature = 120.0;        // F at which the passband sits on the line
    double temperature_per_angstrom = 17.0;   // F per Angstrom of passband shift
    double calibration_screw = 0.0;           // Angstrom, reported only
    double ambient_temperature = 60.0;        // F
    double supply_voltage = 12.5;             // V
    double heater_range = 200.0;              // F above ambient at full power
    double time_constant_s = 90.0;            // first-order lag of the element
    double settle_s = 10.0;                   // on band after this long within 0.05 A
    int heater_cycle = 20;                    // duty-cycle length of the controller
    int age_minutes = 120000;                 // time on at start
    int underscore_raw = 64;                  // "G_" in eighths

    // Settings the host changes.
    int sleeping = 1;
    int wing_shift_tenths = 0;
    int display_mode = 0;
    int units = 0;
    int panel_locked = 0;

    // Live state of the model (temperature below -1000 means "start at ambient").
    double temperature = -10000.0;
    double within_target_s = 0;               // how long the passband has been near target
    double age_seconds = 0;

    SimFaults faults;
};

// The four filters of the demonstration: hydrogen alpha (firmware 1.20, decimal), calcium K
// (1.30, hexadecimal), sodium D2 (decimal) and hydrogen beta (hexadecimal), all asleep.
std::vector<SimFilter> sim_preset();

// The passband centre and the target of a filter as its model stands, Angstrom.
double sim_passband(const SimFilter& filter);
double sim_target_wavelength(const SimFilter& filter);

// ---------------------------------------------------------------------------------------------
// 2. Starting and stopping
// ---------------------------------------------------------------------------------------------

struct SimOptions {
    std::string port_dir;      // empty: a fresh directory under /tmp, removed at stop
    double speed = 1.0;        // model time runs this many times faster than real time
    int paced = 0;             // 1: reply bytes 1.042 ms apart plus a processing delay
    int processing_delay_ms = 3;
    std::vector<SimFilter> filters;
    std::vector<std::string> port_names;  // link names by filter; COM1, COM2, ... where missing
};

// Starts the filters as COM1, COM2, ... in the port directory. Returns 1 on success; 0 when a
// simulator already runs or the port directory, a pseudo-terminal or a link could not be made
// (nothing is left then), with why, when given, naming what failed and the system's reason.
int sim_start(const SimOptions& options, std::string* why = nullptr);

// Stops every filter and removes its link (and the port directory when the simulator made it).
void sim_stop();

int sim_filter_count();
std::string sim_port_dir();
std::string sim_port_name(int index);   // "COM1" for index 0 unless named otherwise
std::string sim_port_path(int index);   // the link's full path

// ---------------------------------------------------------------------------------------------
// 3. Watching and changing a running filter
// ---------------------------------------------------------------------------------------------

// Every command the filter received, exactly as received, oldest first.
std::vector<std::string> sim_received(int index);
void sim_clear_received(int index);

// A copy of the filter with its model brought up to the present.
SimFilter sim_snapshot(int index);

// Changes a running filter under the simulator's lock (state, physics or faults).
void sim_modify(int index, const std::function<void(SimFilter&)>& change);
void sim_set_faults(int index, const SimFaults& faults);

// Unplugs the filter (its pseudo-terminal hangs up) and plugs it in again under the same name.
void sim_unplug(int index);
int sim_replug(int index);

// ---------------------------------------------------------------------------------------------
// 4. Replies
// ---------------------------------------------------------------------------------------------

// Advances a filter's model by seconds of model time.
void sim_advance(SimFilter& filter, double seconds);

// The filter's answer to one command (its exact bytes, line feed included): the reply with its
// CR LF, or empty for no reply. Faults other than silence are applied by the caller.
std::string sim_reply(SimFilter& filter, const std::string& command);
