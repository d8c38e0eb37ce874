// indi_solvane: one Solvane filter as an INDI device, so KStars/Ekos, scripts and web managers
// anywhere on the network can watch and drive it through an indiserver.
//
// Every exchange runs on the filter's line (link/filter_lines.h): a thread of the link library
// that owns the port and runs connect, tick, command and close jobs in the order handed in, with
// the link's own bytes, retries and time-outs. libindi's event loop watches the lines' notify
// descriptor, so results are taken on the driver's own thread and the driver answers its clients
// while the filter is being talked to. What a tick does, the wing-shift argument, the status
// classes and what counts as an acknowledged setting come from link/filter_policy.h, as in every
// other Solvane program.
//
// One driver process serves one filter; four filters are four instances with names of their own
// (indiserver's FIFO: start indi_solvane -n "Solvane 2").
//
// Connecting is asynchronous: CONNECTION goes Busy while the line opens and identifies the
// filter (about 3 s for a silent device, up to 1.5 s more for a port held by another program),
// then Ok or Alert with the reason. libindi 1.9's own Connect() must answer at once, which would
// freeze the driver for those seconds; this driver therefore takes the CONNECTION request in
// ISNewSwitch itself and finishes it when the line's result arrives.
//
// Anyone on the network can set DEVICE_PORT, so the driver opens only what it would list in
// SYSTEM_PORTS itself (port_listed), refuses names with control characters before they reach any
// log, reports every failure as an INDI message (never into serial_error.log in whatever
// directory indiserver runs in), and checks every number it is sent before anything changes.
//
// Threads: everything in this file (the device, its record copy, its properties, the simulator's
// start and stop) belongs to libindi's event-loop thread. The line's thread is the link library's.
#include "indi/driver_texts.h"
#include "link/filter_lines.h"
#include "link/filter_policy.h"
#include "link/filter_settings.h"
#include "link/remote_link.h"
#include "link/solvane_link.h"
#include "sim/simulator.h"

#include <libindi/defaultdevice.h>
#include <libindi/indidevapi.h>
#include <libindi/indipropertylight.h>
#include <libindi/indipropertynumber.h>
#include <libindi/indipropertyswitch.h>
#include <libindi/indipropertytext.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr uint32_t DEFAULT_POLL_MS = UPDATE_INTERVAL_DEFAULT_MS;
constexpr int LINE = 0;                  // the one filter line of this process
constexpr int CLOSE_WAIT_MS = 2000;      // a cancelled job ends within milliseconds; closing is at once
constexpr const char* FILTER_TAB = "Filter";
constexpr const char* SCAN_ELEMENT = "Scan Ports";  // libindi's serial connection names it so

// The simulator's tables are process-wide (sim/): a simulator this driver started is stopped, its
// links removed, before those tables are destroyed at exit, hence atexit, registered with the
// signal handling below (after every static object exists, so it runs before their destructors).
// The filter line needs no such order: the device owns its set of lines.
void stop_simulator_at_exit() { sim_stop(); }

// SIGTERM and SIGINT end the driver as a normal exit does: the handler only writes a byte to a
// pipe that libindi's event loop watches, and the loop's callback ends the device (its line
// closes the port and the terminal gets its settings back) and exits. Made once by the
// event-loop thread; afterwards the handler alone writes to it.
int termination_pipe[2] = {-1, -1};

void on_termination_signal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(termination_pipe[1], &byte, 1);
}

void end_device();

// The device ends first, while every other object of the process still exists: its line closes
// the port and puts the terminal back before exit destroys anything.
void exit_on_termination(int, void*)
{
    end_device();
    std::exit(0);
}

void watch_termination()
{
    if (termination_pipe[0] >= 0 || ::pipe2(termination_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    std::atexit(stop_simulator_at_exit);
    IEAddCallback(termination_pipe[0], exit_on_termination, nullptr);
    struct sigaction action {};
    action.sa_handler = on_termination_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

// An element of a read-only property, with where its value comes from in the filter's record.
struct NumberElement {
    const char* name;
    const char* label;
    const char* format;
    double min, max;
    double (*value)(const FilterRecord&);
};

const NumberElement WAVELENGTH_ELEMENTS[] = {
    {"NOMINAL", "Nominal line (Å)", "%.2f", 1000, 12000, [](const FilterRecord& r) { return r.center_wavelength; }},
    {"TARGET", "Target (Å)", "%.2f", 1000, 12000,
     [](const FilterRecord& r) { return r.center_wavelength + r.wing_shift; }},
    {"CURRENT", "Current (Å)", "%.2f", 1000, 12000, [](const FilterRecord& r) { return r.wavelength; }},
};

// The filter counts in degrees Fahrenheit; INDI clients show degrees Celsius.
const NumberElement TEMPERATURE_ELEMENTS[] = {
    {"CURRENT", "Element (°C)", "%.2f", -75, 150,
     [](const FilterRecord& r) { return fahrenheit_to_celsius(r.temperature); }},
    {"TARGET", "Target (°C)", "%.2f", -75, 150,
     [](const FilterRecord& r) { return fahrenheit_to_celsius(target_temperature(r)); }},
    {"HEATER_POWER", "Heater power (%)", "%.1f", 0, 100, [](const FilterRecord& r) { return r.heater_power; }},
};

struct TextElement {
    const char* name;
    const char* label;
    std::string (*value)(const FilterRecord&);
};

const TextElement IDENTITY_ELEMENTS[] = {
    {"MODEL", "Model", [](const FilterRecord& r) { return std::string(r.model_text); }},
    {"EDITION", "Edition", [](const FilterRecord& r) { return std::string(r.edition_text); }},
    {"SERIAL", "Serial number", [](const FilterRecord& r) { return std::string(r.serial_number_text); }},
    {"BANDWIDTH", "Bandwidth", [](const FilterRecord& r) { return std::string(r.bandwidth_text); }},
    {"FIRMWARE", "Firmware", [](const FilterRecord& r) { return std::string(r.firmware_text); }},
    {"STARTUP_MESSAGE", "Start-up message", [](const FilterRecord& r) { return std::string(r.startup_message); }},
    {"AGE", "Time on", [](const FilterRecord& r) { return age_text(r); }},
};
constexpr size_t IDENTITY_FIELDS = std::size(IDENTITY_ELEMENTS);

template <size_t N>
void fill_numbers(INDI::PropertyNumber& property, const NumberElement (&rows)[N])
{
    for (size_t k = 0; k < N; ++k)
        property[k].fill(rows[k].name, rows[k].label, rows[k].format, rows[k].min, rows[k].max, 0, 0);
}

template <size_t N>
void set_numbers(INDI::PropertyNumber& property, const NumberElement (&rows)[N], const FilterRecord& r)
{
    for (size_t k = 0; k < N; ++k) property[k].setValue(rows[k].value(r));
}

class SolvaneDevice : public INDI::DefaultDevice
{
  public:
    SolvaneDevice() { setVersion(1, 1); }

    // The line closes its port with the terminal's settings put back.
    ~SolvaneDevice() override { lines_end(lines); }

    const char* getDefaultName() override { return "Solvane"; }

    bool initProperties() override
    {
        INDI::DefaultDevice::initProperties();
        setDriverInterface(AUX_INTERFACE);
        setDefaultPollingPeriod(DEFAULT_POLL_MS);
        addAuxControls();  // debug, simulation, configuration, polling period
        setPollingPeriodRange(static_cast<uint32_t>(MIN_POLL_MS), static_cast<uint32_t>(MAX_POLL_MS));
        start_line();
        fill_connection_properties();
        fill_reading_properties();
        fill_setting_properties();
        return true;
    }

    // DEVICE_PORT, SYSTEM_PORTS (its elements come with each scan), the scan and the simulated filter.
    void fill_connection_properties()
    {
        port_property[0].fill("PORT", "Port", "COM1");
        port_property.fill(getDeviceName(), "DEVICE_PORT", "Ports", CONNECTION_TAB, IP_RW, 60, IPS_IDLE);
        ports_property.fill(getDeviceName(), "SYSTEM_PORTS", "System Ports", CONNECTION_TAB, IP_RW, ISR_ATMOST1, 60,
                            IPS_IDLE);
        scan_property[0].fill(SCAN_ELEMENT, SCAN_ELEMENT, ISS_OFF);
        scan_property.fill(getDeviceName(), "DEVICE_PORT_SCAN", "Refresh", CONNECTION_TAB, IP_RW, ISR_1OFMANY, 60,
                           IPS_IDLE);
        simulated_property[0].fill("FILTER", "Filter (number or line)", "1");
        simulated_property.fill(getDeviceName(), "SIMULATED_FILTER", "Simulated filter", OPTIONS_TAB, IP_RW, 60,
                                IPS_IDLE);
    }

    // What the filter reports: status, wavelengths, temperatures, identity.
    void fill_reading_properties()
    {
        status_property[0].fill("STATUS", "Filter", IPS_IDLE);
        status_property.fill(getDeviceName(), "FILTER_STATUS", "Status", FILTER_TAB, IPS_IDLE);
        status_text_property[0].fill("TEXT", "As SolvaneControl shows it", "");
        status_text_property[1].fill("FAHRENHEIT", "In the filter's unit", "");
        status_text_property.fill(getDeviceName(), "FILTER_STATUS_TEXT", "Status text", FILTER_TAB, IP_RO, 0,
                                  IPS_IDLE);

        fill_numbers(wavelength_property, WAVELENGTH_ELEMENTS);
        wavelength_property.fill(getDeviceName(), "FILTER_WAVELENGTHS", "Wavelengths", FILTER_TAB, IP_RO, 0,
                                 IPS_IDLE);
        fill_numbers(temperature_property, TEMPERATURE_ELEMENTS);
        temperature_property.fill(getDeviceName(), "FILTER_TEMPERATURES", "Temperatures", FILTER_TAB, IP_RO, 0,
                                  IPS_IDLE);
        for (size_t k = 0; k < IDENTITY_FIELDS; ++k)
            identity_property[k].fill(IDENTITY_ELEMENTS[k].name, IDENTITY_ELEMENTS[k].label, "");
        identity_property.fill(getDeviceName(), "FILTER_IDENTITY", "Identity", INFO_TAB, IP_RO, 0, IPS_IDLE);
    }

    // What a client sets: the wing shift and the four switch pairs.
    void fill_setting_properties()
    {
        shift_property[0].fill("SHIFT", "Wing shift (Å)", "%.1f", -WING_SHIFT_LIMIT, WING_SHIFT_LIMIT, 0.1, 0);
        shift_property.fill(getDeviceName(), "WING_SHIFT", "Wing shift", FILTER_TAB, IP_RW, 60, IPS_IDLE);

        heater_property[0].fill("ON", "On", ISS_OFF);
        heater_property[1].fill("SLEEP", "Sleep", ISS_ON);
        heater_property.fill(getDeviceName(), "FILTER_HEATER", "Heater", FILTER_TAB, IP_RW, ISR_1OFMANY, 60, IPS_IDLE);

        lock_property[0].fill("LOCK", "Locked", ISS_OFF);
        lock_property[1].fill("UNLOCK", "Unlocked", ISS_ON);
        lock_property.fill(getDeviceName(), "FRONT_PANEL_LOCK", "Front panel", FILTER_TAB, IP_RW, ISR_1OFMANY, 60,
                           IPS_IDLE);

        display_property[0].fill("CENTER", "Centre", ISS_ON);
        display_property[1].fill("WING_SHIFT", "Wing shift", ISS_OFF);
        display_property.fill(getDeviceName(), "FILTER_DISPLAY", "Filter display", FILTER_TAB, IP_RW, ISR_1OFMANY,
                              60, IPS_IDLE);

        units_property[0].fill("ANGSTROM", "Ångström", ISS_ON);
        units_property[1].fill("NANOMETER", "Nanometre", ISS_OFF);
        units_property.fill(getDeviceName(), "FILTER_UNITS", "Units", FILTER_TAB, IP_RW, ISR_1OFMANY, 60, IPS_IDLE);
    }

    void ISGetProperties(const char* dev) override
    {
        // The base defines every property registered so far; the ones below are registered by the
        // first call and so defined exactly once per request from then on.
        INDI::DefaultDevice::ISGetProperties(dev);
        if (connection_properties_defined) return;
        connection_properties_defined = true;
        defineProperty(port_property);
        refresh_ports(false);
        defineProperty(scan_property);
        defineProperty(simulated_property);
        loadConfig(true, port_property.getName());
        loadConfig(true, simulated_property.getName());
    }

    bool updateProperties() override
    {
        INDI::DefaultDevice::updateProperties();
        // Copies of a property share it: these are handles, not duplicates.
        INDI::Property live[] = {status_property, status_text_property, wavelength_property, shift_property,
                                 heater_property, lock_property,        display_property,    units_property,
                                 temperature_property, identity_property};
        for (INDI::Property& property : live) {
            if (isConnected())
                defineProperty(property);
            else
                deleteProperty(property.getName());
        }
        if (isConnected()) publish();
        return true;
    }

    bool ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) override
    {
        if (!ours(dev)) return INDI::DefaultDevice::ISNewText(dev, name, texts, names, n);
        if (port_property.isNameMatch(name)) {
            const char* port = text_for("PORT", texts, names, n);
            // The name is never repeated: it may hold a line feed or run to thousands of characters.
            if (port == nullptr || !port_name_acceptable(port)) {
                refuse(port_property, "Port name refused: a port name has 2 to 99 characters, none of them a "
                                      "control character. Pick one from System Ports.");
                return true;
            }
            set_port(port);
            return true;
        }
        if (simulated_property.isNameMatch(name)) {
            const char* choice = text_for("FILTER", texts, names, n);
            if (choice == nullptr || std::strlen(choice) > 40 || simulated_filter_index(choice) < 0) {
                const std::string choices = simulated_filter_choices();
                refuse(simulated_property, ("No such simulated filter. Choose " + choices + ".").c_str());
                return true;
            }
            simulated_property[0].setText(choice);
            simulated_property.setState(IPS_OK);
            if (isConnected() && isSimulation())
                simulated_property.apply("%s", "Takes effect at the next connection.");
            else
                simulated_property.apply();
            saveConfig(true, simulated_property.getName());
            return true;
        }
        return INDI::DefaultDevice::ISNewText(dev, name, texts, names, n);
    }

    bool ISNewNumber(const char* dev, const char* name, double values[], char* names[], int n) override
    {
        if (!ours(dev)) return INDI::DefaultDevice::ISNewNumber(dev, name, values, names, n);
        // libindi's own range check lets NaN through (every comparison with it is false) and its
        // polling period is cast to an integer: both are checked here before the base sees them.
        if (std::strcmp(name, "POLLING_PERIOD") == 0) {
            INDI::PropertyNumber period = getNumber(name);
            double ms = 0;
            if (!number_for("PERIOD_MS", values, names, n, ms) || !polling_period_acceptable(ms)) {
                refuse(period, polling_period_refusal(ms).c_str());
                return true;
            }
            INDI::DefaultDevice::ISNewNumber(dev, name, values, names, n);
            if (poll_timer >= 0) {  // the new period counts from now, not from the end of the old one
                RemoveTimer(poll_timer);
                poll_timer = SetTimer(getCurrentPollingPeriod());
            }
            return true;
        }
        if (shift_property.isNameMatch(name)) {
            double shift = 0;
            if (!number_for("SHIFT", values, names, n, shift) || !wing_shift_acceptable(shift)) {
                refuse(shift_property, wing_shift_refusal(shift).c_str());
                return true;
            }
            if (!connected_for(shift_property)) return true;
            shift_property[0].setValue(setting_told_value(SETTING_WING_SHIFT, shift));
            submit_command(shift_property, setting_job(SETTING_WING_SHIFT, shift, POLL_ALWAYS));
            return true;
        }
        INDI::PropertyNumber read_only[] = {wavelength_property, temperature_property};
        for (INDI::PropertyNumber& property : read_only) {
            if (!property.isNameMatch(name)) continue;
            property.apply("%s is read-only: the filter reports it. Nothing changed.", property.getLabel());
            return true;
        }
        return INDI::DefaultDevice::ISNewNumber(dev, name, values, names, n);
    }

    bool ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[], int n) override
    {
        if (!ours(dev)) return INDI::DefaultDevice::ISNewSwitch(dev, name, states, names, n);
        if (std::strcmp(name, "CONNECTION") == 0) {
            for (int k = 0; k < n; ++k) {
                if (states[k] != ISS_ON) continue;
                if (std::strcmp(names[k], "CONNECT") == 0) request_connect();
                if (std::strcmp(names[k], "DISCONNECT") == 0) request_disconnect();
            }
            return true;
        }
        if (ports_property.isNameMatch(name)) {
            pick_port(states, names, n);
            return true;
        }
        if (scan_property.isNameMatch(name)) {
            refresh_ports(true);
            scan_property.reset();
            scan_property.setState(IPS_OK);
            scan_property.apply();
            return true;
        }
        for (const SettingSwitch& row : settings()) {
            if (!row.property->isNameMatch(name)) continue;
            change_setting(row, states, names, n);
            return true;
        }
        return INDI::DefaultDevice::ISNewSwitch(dev, name, states, names, n);
    }

  protected:
    bool Disconnect() override
    {
        stop_line_work();
        LOG_INFO("Disconnected; the port is closed with its settings put back.");
        return true;
    }

    // DEBUG on: every exchange of the line is traced, one DEBUG message each, from here on.
    void debugTriggered(bool enable) override
    {
        INDI::DefaultDevice::debugTriggered(enable);
        lines_trace_exchanges(lines, enable ? 1 : 0);
    }

    void simulationTriggered(bool enable) override
    {
        if (isConnected() || connect_id != 0)
            LOGF_INFO("Simulation %s: takes effect at the next connection.", enable ? "on" : "off");
    }

    void TimerHit() override
    {
        poll_timer = -1;
        if (!isConnected()) return;
        // A tick waits while the line is busy (a command, the previous tick): polls never pile up.
        line_tick(lines, LINE, TICK_WAITS_FOR_ANY_JOB);
        poll_timer = SetTimer(getCurrentPollingPeriod());
    }

    bool saveConfigItems(FILE* fp) override
    {
        INDI::DefaultDevice::saveConfigItems(fp);
        port_property.save(fp);
        simulated_property.save(fp);
        return true;
    }

  private:
    // A switch pair that sends a setting: the first element sends values[0], the second values[1].
    struct SettingSwitch {
        INDI::PropertySwitch* property;
        FilterSetting setting;
        int values[2];
    };

    struct PendingCommand {
        INDI::Property property;
        std::string command;  // without its line feed, for messages
    };

    FilterLines* lines = nullptr;         // this process's one line; made by initProperties, ended with the device
    FilterRecord record;                  // the driver's copy, from each result of the line
    std::vector<std::string> ports;       // SYSTEM_PORTS, in its order
    bool ports_defined = false;
    bool connection_properties_defined = false;
    int poll_timer = -1;
    std::uint64_t connect_id = 0;         // the JOB_CONNECT under way, 0 when none
    std::string connect_port;             // the port it opens, for messages
    std::map<std::uint64_t, PendingCommand> commands;
    bool simulator_running = false;

    INDI::PropertyText port_property{1};
    INDI::PropertySwitch ports_property{0};
    INDI::PropertySwitch scan_property{1};
    INDI::PropertyText simulated_property{1};
    INDI::PropertyLight status_property{1};
    INDI::PropertyText status_text_property{2};
    INDI::PropertyNumber wavelength_property{3};
    INDI::PropertyNumber shift_property{1};
    INDI::PropertySwitch heater_property{2};
    INDI::PropertySwitch lock_property{2};
    INDI::PropertySwitch display_property{2};
    INDI::PropertySwitch units_property{2};
    INDI::PropertyNumber temperature_property{3};
    INDI::PropertyText identity_property{IDENTITY_FIELDS};

    std::vector<SettingSwitch> settings()
    {
        return {{std::addressof(heater_property), SETTING_SLEEP, {0, 1}},
                {std::addressof(lock_property), SETTING_PANEL_LOCK, {1, 0}},
                {std::addressof(display_property), SETTING_DISPLAY_MODE, {0, 1}},
                {std::addressof(units_property), SETTING_UNITS, {0, 1}}};
    }

    bool ours(const char* dev) const { return dev != nullptr && std::strcmp(dev, getDeviceName()) == 0; }

    // A request that cannot be carried out: the property goes Alert with the reason and keeps its
    // values, and nothing is sent.
    void refuse(INDI::Property property, const char* reason)
    {
        property.setState(IPS_ALERT);
        property.apply("%s", reason);
    }

    bool connected_for(INDI::Property property)
    {
        if (isConnected()) return true;
        refuse(property, "Not connected: connect the filter first.");
        return false;
    }

    // ---- The line -------------------------------------------------------------------------

    void start_line()
    {
        if (lines != nullptr) return;
        LinesOptions options;
        options.write_error_log = 0;  // failures go to the clients as messages
        options.trace_exchanges = isDebug() ? 1 : 0;
        lines = lines_make(1, options);
        if (lines == nullptr) {
            LOG_ERROR("Could not start the filter's line (no thread or descriptor left).");
            return;
        }
        IEAddCallback(lines_notify_descriptor(lines), results_ready, this);
        watch_termination();
    }

    static void results_ready(int, void* device) { static_cast<SolvaneDevice*>(device)->take_results(); }

    // Handles every waiting result; returns their ids.
    std::vector<std::uint64_t> take_results()
    {
        std::vector<LineResult> results;
        lines_take_results(lines, results);
        std::vector<std::uint64_t> ids;
        for (const LineResult& result : results) {
            ids.push_back(result.id);
            trace(result);
            handle(result);
        }
        return ids;
    }

    // Waits up to timeout_ms for the result of job id, handling every result that comes meanwhile.
    void wait_for(std::uint64_t id, int timeout_ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (id != 0) {
            const std::vector<std::uint64_t> ids = take_results();
            if (std::find(ids.begin(), ids.end(), id) != ids.end()) return;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return;
            lines_wait(lines, static_cast<int>(left.count()));
        }
    }

    // The exchanges a job made, while DEBUG is on: one DEBUG message each, in their order.
    void trace(const LineResult& result)
    {
        for (const ExchangeTrace& exchange : result.exchanges)
            LOGF_DEBUG("%s", exchange_trace_text(exchange).c_str());
    }

    void handle(const LineResult& result)
    {
        switch (result.kind) {
        case JOB_CONNECT:
            if (result.id == connect_id) connect_finished(result);
            break;
        case JOB_COMMAND: command_finished(result); break;
        case JOB_TICK:
        case JOB_POLL_STATUS:
        case JOB_POLL_AGE:
            if (result.cancelled || !isConnected()) break;
            merge_line_record(record, result.record);
            publish();
            break;
        case JOB_REOPEN:
        case JOB_CLOSE:
            if (!result.cancelled) merge_line_record(record, result.record);
            break;
        }
    }

    // ---- Connecting -------------------------------------------------------------------------

    void request_connect()
    {
        if (isConnected()) {
            setConnected(true, IPS_OK);
            return;
        }
        if (connect_id != 0) {
            setConnected(true, IPS_BUSY);  // already under way
            return;
        }
        std::string port;
        if (isSimulation()) {
            if (!start_simulator(port)) return;
        } else {
            port = port_property[0].getText() != nullptr ? port_property[0].getText() : "";
            if (!port_name_acceptable(port.c_str())) {
                fail_connect("No port to connect: pick one from System Ports, or switch Simulation on to try "
                             "the driver with a simulated filter.");
                return;
            }
            // Anyone on the network may name a port: only the machine's serial ports are opened, or
            // a filter served by solvane-alpaca (alpaca://HOST:PORT/N), which is asked over Alpaca.
            if (!port_listed(port.c_str()) && !is_remote_port_name(port.c_str())) {
                fail_connect("Refused to open " + port +
                             ": it is not one of this machine's serial ports. System Ports lists them (Scan "
                             "Ports after plugging in an adapter).");
                return;
            }
        }
        copy_text(record.port_name, PORT_NAME_SIZE, port.c_str(), PORT_NAME_SIZE - 1);
        connect_port = port;
        connect_id = line_submit(lines, LINE, connect_job(port.c_str()));
        if (connect_id == 0) {
            fail_connect("The filter's line is not running.");
            return;
        }
        setConnected(true, IPS_BUSY, ("Connecting to the filter on " + port + "...").c_str());
    }

    void fail_connect(const std::string& reason)
    {
        stop_simulator();
        LOGF_ERROR("%s", reason.c_str());
        setConnected(false, IPS_ALERT);
    }

    void connect_finished(const LineResult& result)
    {
        connect_id = 0;
        if (result.cancelled) return;  // a disconnect came first; it has answered the client
        merge_line_record(record, result.record);
        if (!result.answered) {
            fail_connect(connect_failure_text(result.failure, result.port_error, result.device_answer,
                                              connect_port.c_str()));
            return;
        }
        setConnected(true, IPS_OK);
        updateProperties();
        LOGF_INFO("%s %s (serial %s, firmware %s) connected on %s. Status: %s",
                  printable_text(record.model_text, 40).c_str(), printable_text(record.edition_text, 20).c_str(),
                  printable_text(record.serial_number_text, 20).c_str(),
                  printable_text(record.firmware_text, 20).c_str(),
                  connect_port.c_str(), status_text().c_str());
        poll_timer = SetTimer(getCurrentPollingPeriod());
    }

    void request_disconnect()
    {
        if (connect_id != 0 || isConnected()) Disconnect();
        setConnected(false, IPS_IDLE);
        updateProperties();
    }

    // Ends whatever the line does, closes the port (its settings put back) and stops a simulator.
    void stop_line_work()
    {
        if (poll_timer >= 0) RemoveTimer(poll_timer);
        poll_timer = -1;
        connect_id = 0;
        line_cancel(lines, LINE);
        wait_for(line_submit(lines, LINE, simple_job(JOB_CLOSE)), CLOSE_WAIT_MS);
        record.connected = 0;
        stop_simulator();
    }

    // ---- Simulation -------------------------------------------------------------------------

    // Starts the chosen preset filter in this process, on a pseudo-terminal linked from a port
    // directory of its own under /tmp; port is the link's full path.
    bool start_simulator(std::string& port)
    {
        stop_simulator();
        const int index = std::max(0, simulated_filter_index(simulated_property[0].getText() != nullptr
                                                                  ? simulated_property[0].getText()
                                                                  : ""));
        SimOptions options;
        options.filters = {sim_preset()[static_cast<size_t>(index)]};
        if (!sim_start(options)) {
            fail_connect("Could not start the simulated filter (no pseudo-terminal or no room under /tmp).");
            return false;
        }
        simulator_running = true;
        port = sim_port_path(0);
        LOGF_INFO("Simulation: %s on %s.", options.filters[0].model_text.c_str(), port.c_str());
        return true;
    }

    void stop_simulator()
    {
        if (!simulator_running) return;
        sim_stop();
        simulator_running = false;
    }

    // ---- Ports ------------------------------------------------------------------------------

    void set_port(const std::string& port)
    {
        port_property[0].setText(port.c_str());
        port_property.setState(IPS_OK);
        if (port_listed(port.c_str()) || is_remote_port_name(port.c_str()))
            port_property.apply();
        else
            port_property.apply("%s is not one of this machine's serial ports now; connecting is refused until "
                                "System Ports lists it.",
                                port.c_str());
        saveConfig(true, port_property.getName());
        show_port_choice();
    }

    // The port a client switched on fills DEVICE_PORT. Taken from the request itself: an
    // at-most-one vector's update keeps the switch that was on before.
    void pick_port(ISState* states, char* names[], int n)
    {
        int picked = -1;
        for (int k = 0; k < n; ++k) {
            if (states[k] != ISS_ON) continue;
            picked = ports_property.findWidgetIndexByName(names[k]);
            if (picked < 0) {
                refuse(ports_property, "No such port in System Ports: Scan Ports to list them again.");
                return;
            }
        }
        if (picked < 0 || static_cast<size_t>(picked) >= ports.size()) {
            show_port_choice();  // nothing switched on: DEVICE_PORT stays as it is
            return;
        }
        ports_property.setState(IPS_OK);
        set_port(ports[static_cast<size_t>(picked)]);
    }

    // SYSTEM_PORTS shows the port of DEVICE_PORT switched on, when it lists it by that name.
    void show_port_choice()
    {
        if (!ports_defined) return;
        const char* port = port_property[0].getText();
        for (size_t k = 0; k < ports.size(); ++k)
            ports_property[k].setState(port != nullptr && ports[k] == port ? ISS_ON : ISS_OFF);
        ports_property.apply();
    }

    // Lists the machine's ports anew (the same names port_listed accepts); a changed list is
    // defined anew, as clients do not expect a vector's elements to change.
    void refresh_ports(bool announce)
    {
        std::vector<std::string> found = list_serial_ports();
        if (announce) LOGF_INFO("Scan complete. Found %zu port(s).", found.size());
        if (ports_defined && found == ports) {
            show_port_choice();
            return;
        }
        if (ports_defined) deleteProperty(ports_property.getName());
        ports_defined = false;
        ports = std::move(found);
        if (ports.empty()) return;  // a vector without elements is no use to a client
        ports_property.resize(ports.size());
        for (size_t k = 0; k < ports.size(); ++k)
            ports_property[k].fill(port_element_name(ports[k], k), port_element_label(ports[k]), ISS_OFF);
        ports_property.setState(IPS_IDLE);
        defineProperty(ports_property);
        ports_defined = true;
        show_port_choice();
    }

    // ---- Commands ---------------------------------------------------------------------------

    void change_setting(const SettingSwitch& row, ISState* states, char* names[], int n)
    {
        if (!connected_for(*row.property)) return;
        const int before = row.property->findOnSwitchIndex();
        if (!row.property->update(states, names, n) || row.property->findOnSwitchIndex() < 0) {
            row.property->reset();
            if (before >= 0) (*row.property)[static_cast<size_t>(before)].setState(ISS_ON);
            refuse(*row.property, "Choose one of the switches; nothing was sent.");
            return;
        }
        const int value = row.values[row.property->findOnSwitchIndex() == 0 ? 0 : 1];
        submit_command(*row.property, setting_job(row.setting, value, POLL_ALWAYS));
    }

    // Queues a setting (and the status poll after it) on the line; the property is Busy until the
    // filter's answer, then Ok when it acknowledged the setting, Alert otherwise.
    void submit_command(INDI::Property property, const LineJob& job)
    {
        const char* command = job.command;
        const std::uint64_t id = line_submit(lines, LINE, job);
        if (id == 0) {
            refuse(property, "The filter's line is not running; nothing was sent.");
            return;
        }
        std::string shown = command;
        if (!shown.empty() && shown.back() == '\n') shown.pop_back();
        commands[id] = PendingCommand{property, shown};
        property.setState(IPS_BUSY);
        property.apply();
    }

    void command_finished(const LineResult& result)
    {
        auto pending = commands.find(result.id);
        if (pending == commands.end()) return;
        INDI::Property property = pending->second.property;
        const std::string command = pending->second.command;
        commands.erase(pending);
        if (result.cancelled) {
            if (isConnected()) refuse(property, (command + " was cancelled.").c_str());
            return;
        }
        merge_line_record(record, result.record);
        publish();  // the filter's values after the command, before the verdict
        if (result.acknowledged) {
            property.setState(IPS_OK);
            property.apply();
        } else if (!result.answered) {
            refuse(property, ("The filter did not answer " + command + ".").c_str());
        } else {
            refuse(property, ("The filter did not acknowledge " + command + " (it said: " +
                              printable_text(result.reply, SHOWN_REPLY_CHARS) + ").")
                                 .c_str());
        }
    }

    bool awaiting(const INDI::Property& property) const
    {
        for (const auto& pending : commands)
            if (std::strcmp(pending.second.property.getName(), property.getName()) == 0) return true;
        return false;
    }

    // ---- Publishing -------------------------------------------------------------------------

    std::string status_text() const
    {
        char text[STATUS_TEXT_SIZE];
        return printable_text(::status_text(record, text), STATUS_TEXT_SIZE);
    }

    // Sends every live property's current value to the clients. A setting whose command is still
    // on the line keeps the value it was asked for until the filter's answer.
    void publish()
    {
        const IPState light = status_light(record);
        status_property[0].setState(light);
        status_property.setState(light);
        status_property.apply();
        status_text_property[0].setText(status_text());
        status_text_property[1].setText(formatted("Element %.2f °F, target %.2f °F", record.temperature,
                                                  target_temperature(record)));
        status_text_property.setState(light);
        status_text_property.apply();

        set_numbers(wavelength_property, WAVELENGTH_ELEMENTS, record);
        wavelength_property.setState(record.status_code == STATUS_NO_COMMUNICATION ? IPS_ALERT : IPS_OK);
        wavelength_property.apply();

        if (!awaiting(shift_property)) {
            shift_property[0].setValue(record.wing_shift);
            shift_property.apply();
        }
        const bool first[] = {!record.sleeping, record.panel_locked != 0, record.display_mode == 0, record.units == 0};
        const std::vector<SettingSwitch> rows = settings();
        for (size_t k = 0; k < rows.size(); ++k) {
            INDI::PropertySwitch& property = *rows[k].property;
            if (awaiting(property)) continue;
            property[0].setState(first[k] ? ISS_ON : ISS_OFF);
            property[1].setState(first[k] ? ISS_OFF : ISS_ON);
            property.apply();
        }

        set_numbers(temperature_property, TEMPERATURE_ELEMENTS, record);
        temperature_property.setState(record.status_code == STATUS_NO_COMMUNICATION ? IPS_ALERT : IPS_OK);
        temperature_property.apply();

        for (size_t k = 0; k < IDENTITY_FIELDS; ++k)
            identity_property[k].setText(printable_text(IDENTITY_ELEMENTS[k].value(record), PORT_NAME_SIZE));
        identity_property.setState(IPS_OK);
        identity_property.apply();
    }
};

// The INDI library's main() finds the device through the library's own registry.
std::unique_ptr<SolvaneDevice> device(new SolvaneDevice());

void end_device() { device.reset(); }

}  // namespace
