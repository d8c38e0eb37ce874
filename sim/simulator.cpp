// The filter simulator; see simulator.h.
#include "sim/simulator.h"

#include "sim/pty_device.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double HEX_FROM_VERSION = 1.25;
constexpr double ON_BAND_TOLERANCE = 0.05;  // Angstrom
constexpr double MODEL_STEP_S = 1.0;
constexpr size_t OVERLONG_REPLY_BYTES = 200;

struct SimSlot {
    SimFilter filter;
    PtyDevice device;
    Clock::time_point updated;
    long commands_seen = 0;
    std::mt19937 random{12345};
};

// The process-wide simulator: its options and one slot per filter, guarded by lock.
struct Simulator {
    std::mutex lock;
    std::vector<std::unique_ptr<SimSlot>> slots;
    SimOptions options;
    bool made_port_dir = false;
} sim;

void bring_up_to_date(SimSlot& slot)
{
    Clock::time_point now = Clock::now();
    double seconds = std::chrono::duration<double>(now - slot.updated).count() * sim.options.speed;
    slot.updated = now;
    sim_advance(slot.filter, seconds);
}

double heater_fraction(const SimFilter& f)
{
    if (f.sleeping) return 0;
    double target = f.center_temperature + f.wing_shift_tenths / 10.0 * f.temperature_per_angstrom;
    if (f.heater_range <= 0) return 0;
    return std::clamp((target - f.ambient_temperature) / f.heater_range, 0.0, 1.0);
}

int on_band(const SimFilter& f) { return !f.sleeping && f.within_target_s >= f.settle_s; }

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...)
{
    char text[256];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

std::string value_reply(const SimFilter& f, long value)
{
    if (f.firmware_version >= HEX_FROM_VERSION)
        return format("%X\r\n", static_cast<std::uint32_t>(value));
    return format("%ld\r\n", value);
}

std::string status_line(const SimFilter& f)
{
    const int cycle = f.heater_cycle;
    const int heater_on = static_cast<int>(std::lround(heater_fraction(f) * cycle));
    const int wing = f.faults.raw_wing_shift_set ? f.faults.raw_wing_shift : f.wing_shift_tenths;
    const double tenths = sim_passband(f) * 10;
    const double hundredths_f = f.temperature * 100;
    if (f.firmware_version >= HEX_FROM_VERSION) {
        return format("v%.2f %X %X %X %X %X %X %X %X %X\r\n", f.firmware_version,
                      static_cast<std::uint32_t>(f.faults.status_code),
                      static_cast<std::uint32_t>(on_band(f)),
                      static_cast<std::uint32_t>(std::lround(tenths)),
                      static_cast<std::uint8_t>(wing), static_cast<std::uint32_t>(heater_on),
                      static_cast<std::uint32_t>(cycle),
                      static_cast<std::uint16_t>(std::lround(hundredths_f)),
                      static_cast<std::uint32_t>(std::lround(f.supply_voltage * 100)),
                      static_cast<std::uint32_t>(std::lround(f.calibration_screw * 10000)));
    }
    return format("v%.2f %d %d %.1f %d %d %d %.0f %.0f %.0f\r\n", f.firmware_version,
                  f.faults.status_code, on_band(f), tenths, wing, heater_on, cycle, hundredths_f,
                  f.supply_voltage * 100, f.calibration_screw * 10000);
}

// The decimal argument of a setting: an optional minus and digits, nothing else.
bool setting_argument(const std::string& text, int& value)
{
    if (text.empty() || text.size() > 6) return false;
    size_t start = text[0] == '-' ? 1 : 0;
    if (start == text.size()) return false;
    for (size_t i = start; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    value = std::atoi(text.c_str());
    return true;
}

std::vector<ReplyChunk> respond(SimSlot& slot, const std::string& command)
{
    std::lock_guard<std::mutex> lock(sim.lock);
    bring_up_to_date(slot);
    ++slot.commands_seen;
    const SimFaults& faults = slot.filter.faults;
    std::string reply;
    if (faults.silent) {
        return {};
    } else if (faults.answer_every > 1 && slot.commands_seen % faults.answer_every != 0) {
        return {};
    } else if (faults.echo) {
        reply = command;
    } else if (faults.garbage) {
        std::uniform_int_distribution<int> length(1, 83), byte(0, 255);
        reply.resize(static_cast<size_t>(length(slot.random)));
        for (char& c : reply) c = static_cast<char>(byte(slot.random));
    } else {
        reply = sim_reply(slot.filter, command);
        if (faults.overlong && !reply.empty() && command[0] == 'G')
            reply = std::string(OVERLONG_REPLY_BYTES - 2, 'W') + "\r\n";
    }
    if (reply.empty()) return {};
    return {{reply, sim.options.paced ? sim.options.processing_delay_ms : 0}};
}

}  // namespace

double sim_target_wavelength(const SimFilter& f) { return f.center_wavelength + f.wing_shift_tenths / 10.0; }

double sim_passband(const SimFilter& f)
{
    double temperature = f.temperature < -1000 ? f.ambient_temperature : f.temperature;
    if (f.temperature_per_angstrom == 0) return f.center_wavelength;
    return f.center_wavelength + (temperature - f.center_temperature) / f.temperature_per_angstrom;
}

void sim_advance(SimFilter& f, double seconds)
{
    if (f.temperature < -1000) f.temperature = f.ambient_temperature;
    if (!(seconds > 0)) return;
    while (seconds > 0) {
        double dt = std::min(seconds, MODEL_STEP_S);
        seconds -= dt;
        // The controller's duty cycle sets the temperature the element settles at; the element
        // follows it with a first-order lag.
        double settles_at = f.ambient_temperature + heater_fraction(f) * f.heater_range;
        double tau = f.time_constant_s > 0 ? f.time_constant_s : 1;
        f.temperature = settles_at + (f.temperature - settles_at) * std::exp(-dt / tau);
        bool near = std::fabs(sim_passband(f) - sim_target_wavelength(f)) <= ON_BAND_TOLERANCE;
        f.within_target_s = (near && !f.sleeping) ? f.within_target_s + dt : 0;
        f.age_seconds += dt;
    }
}

namespace {

// A query ("GI", "GX", ...): its reply, or nothing for a query the firmware does not know.
std::string query_reply(SimFilter& f, char query)
{
    const int age = f.age_minutes + static_cast<int>(f.age_seconds / 60);
    switch (query) {
    case 'I': return status_line(f);
    case 'A': return value_reply(f, f.faults.ga_value);
    case 'X': return value_reply(f, std::lround(f.center_wavelength * 10));
    case 'H': return value_reply(f, f.sleeping);
    case 'J': return value_reply(f, std::lround(f.center_temperature * 100));
    case 'N': return f.model_text + "\r\n";
    case 'Q': return f.edition_text + "\r\n";
    case 'S': return f.serial_number_text + "\r\n";
    case 'M': return f.startup_message + "\r\n";
    case 'B': return f.bandwidth_text + "\r\n";
    case 'D': return value_reply(f, f.display_mode);
    case 'U': return value_reply(f, f.units);
    case 'L': return value_reply(f, f.panel_locked);
    case '_': return value_reply(f, f.underscore_raw);
    case '@': return value_reply(f, std::lround(f.temperature_per_angstrom * 100));
    case 'Y':
        if (f.firmware_version >= HEX_FROM_VERSION) return format("%X %X\r\n", 7u, static_cast<std::uint32_t>(age));
        return format("%d %d\r\n", 7, age);
    default: return "";
    }
}

// A setting ("SH1", "SE-3", ...): "OK" once taken, nothing for a value out of its range or a
// setting the firmware does not know.
std::string setting_reply(SimFilter& f, char setting, int value)
{
    const bool two_state = value == 0 || value == 1;
    switch (setting) {
    case 'H':
        if (!two_state) return "";
        f.sleeping = value;
        break;
    case 'E':
        if (value < -10 || value > 10) return "";
        if (value != f.wing_shift_tenths) f.within_target_s = 0;  // a new target: off band until it settles
        f.wing_shift_tenths = value;
        break;
    case 'L':
        if (!two_state) return "";
        f.panel_locked = value;
        break;
    case 'U':
        if (!two_state) return "";
        f.units = value;
        break;
    case 'D':
        if (!two_state) return "";
        f.display_mode = value;
        break;
    default: return "";
    }
    return "OK\r\n";
}

}  // namespace

std::string sim_reply(SimFilter& f, const std::string& command)
{
    if (command.size() < 3 || command.back() != '\n') return "";
    std::string body = command.substr(0, command.size() - 1);
    if (!body.empty() && body.back() == '\r') body.pop_back();
    if (body.size() < 2) return "";
    const std::string argument = body.substr(2);
    if (body[0] == 'G') return argument.empty() ? query_reply(f, body[1]) : "";
    int value = 0;
    if (body[0] != 'S' || !setting_argument(argument, value)) return "";
    return setting_reply(f, body[1], value);
}

std::vector<SimFilter> sim_preset()
{
    SimFilter alpha;
    alpha.center_wavelength = 6562.8;
    alpha.bandwidth_text = "0.7A";
    alpha.edition_text = "PRO";
    alpha.model_text = "Solvane 60 Hydrogen alpha";
    alpha.serial_number_text = "SV60A-1024";
    alpha.startup_message = "Solvane H-alpha 60";
    alpha.firmware_version = 1.20;
    alpha.center_temperature = 120;
    alpha.temperature_per_angstrom = 17;
    alpha.calibration_screw = 0.0125;
    alpha.ambient_temperature = 58;

    SimFilter calcium = alpha;
    calcium.center_wavelength = 3933.7;
    calcium.bandwidth_text = "2.4";
    calcium.edition_text = "CaK";
    calcium.model_text = "Solvane 40 Calcium K";
    calcium.serial_number_text = "SV40K-2211";
    calcium.startup_message = "Calcium K, west dome";
    calcium.firmware_version = 1.30;
    calcium.center_temperature = 135;
    calcium.temperature_per_angstrom = 9.5;
    calcium.calibration_screw = -0.004;
    calcium.age_minutes = 612000;

    SimFilter sodium = alpha;
    sodium.center_wavelength = 5890.0;
    sodium.bandwidth_text = "0.5 A";
    sodium.edition_text = "SE";
    sodium.model_text = "Solvane 50 Sodium";
    sodium.serial_number_text = "SV50N-0307";
    sodium.startup_message = "Sodium D2";
    sodium.firmware_version = 1.22;
    sodium.center_temperature = 110;
    sodium.temperature_per_angstrom = 14;
    sodium.age_minutes = 4300;

    SimFilter beta = alpha;
    beta.center_wavelength = 4861.3;
    beta.bandwidth_text = "0.6";
    beta.edition_text = "LTD";
    beta.model_text = "Solvane 50 Hydrogen beta";
    beta.serial_number_text = "SV50B-0099";
    beta.startup_message = "H-beta \"blue\" scope";
    beta.firmware_version = 1.25;
    beta.center_temperature = 125;
    beta.temperature_per_angstrom = 12;
    beta.age_minutes = 45;

    return {alpha, calcium, sodium, beta};
}

int sim_start(const SimOptions& options, std::string* why)
{
    auto fail = [why](const std::string& what) {
        if (why != nullptr) *why = what + ": " + std::strerror(errno);
        return 0;
    };
    std::lock_guard<std::mutex> lock(sim.lock);
    if (!sim.slots.empty()) {
        if (why != nullptr) *why = "a simulator already runs in this process";
        return 0;
    }
    sim.options = options;
    sim.made_port_dir = false;
    if (sim.options.port_dir.empty()) {
        char pattern[] = "/tmp/solvane-ports-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return fail("cannot make a port folder in /tmp");
        ::chmod(pattern, 0755);  // other users of the machine may open the ports too
        sim.options.port_dir = pattern;
        sim.made_port_dir = true;
    } else if (::mkdir(sim.options.port_dir.c_str(), 0755) == 0) {
        sim.made_port_dir = true;
    } else if (errno != EEXIST) {
        // Only the folder itself is made: a missing parent is a typo more often than a wish.
        return fail("cannot make the port folder " + sim.options.port_dir);
    }
    if (sim.options.speed <= 0) sim.options.speed = 1;

    for (size_t i = 0; i < sim.options.filters.size(); ++i) {
        auto slot = std::make_unique<SimSlot>();
        slot->filter = sim.options.filters[i];
        slot->random.seed(static_cast<unsigned>(1000 + i));
        sim_advance(slot->filter, 0);
        slot->updated = Clock::now();
        SimSlot* raw = slot.get();
        if (sim.options.port_names.size() <= i) sim.options.port_names.push_back("COM" + std::to_string(i + 1));
        std::string link = sim.options.port_dir + "/" + sim.options.port_names[i];
        int gap = sim.options.paced ? BYTE_TIME_9600_US : 0;
        if (!device_open(slot->device, link, [raw](const std::string& c) { return respond(*raw, c); }, gap)) {
            fail("cannot make a pseudo-terminal and its link " + link);
            for (auto& made : sim.slots) device_close(made->device);
            sim.slots.clear();
            if (sim.made_port_dir) ::rmdir(sim.options.port_dir.c_str());
            return 0;
        }
        sim.slots.push_back(std::move(slot));
    }
    return 1;
}

void sim_stop()
{
    std::vector<std::unique_ptr<SimSlot>> stopping;
    {
        std::lock_guard<std::mutex> lock(sim.lock);
        stopping.swap(sim.slots);
    }
    // Outside the lock: a device thread may be waiting for it inside its responder.
    for (auto& slot : stopping) device_close(slot->device);
    if (sim.made_port_dir) ::rmdir(sim.options.port_dir.c_str());
    sim.made_port_dir = false;
}

int sim_filter_count()
{
    std::lock_guard<std::mutex> lock(sim.lock);
    return static_cast<int>(sim.slots.size());
}

std::string sim_port_dir()
{
    std::lock_guard<std::mutex> lock(sim.lock);
    return sim.options.port_dir;
}

std::string sim_port_name(int index)
{
    std::lock_guard<std::mutex> lock(sim.lock);
    if (index < 0 || static_cast<size_t>(index) >= sim.options.port_names.size()) return "";
    return sim.options.port_names[static_cast<size_t>(index)];
}

std::string sim_port_path(int index)
{
    std::string name = sim_port_name(index);
    return name.empty() ? "" : sim_port_dir() + "/" + name;
}

namespace {

SimSlot* slot_at(int index)
{
    if (index < 0 || index >= static_cast<int>(sim.slots.size())) return nullptr;
    return sim.slots[static_cast<size_t>(index)].get();
}

}  // namespace

std::vector<std::string> sim_received(int index)
{
    SimSlot* slot;
    {
        std::lock_guard<std::mutex> lock(sim.lock);
        slot = slot_at(index);
    }
    return slot ? device_received(slot->device) : std::vector<std::string>{};
}

void sim_clear_received(int index)
{
    std::lock_guard<std::mutex> lock(sim.lock);
    if (SimSlot* slot = slot_at(index)) device_clear_received(slot->device);
}

SimFilter sim_snapshot(int index)
{
    std::lock_guard<std::mutex> lock(sim.lock);
    SimSlot* slot = slot_at(index);
    if (slot == nullptr) return SimFilter{};
    bring_up_to_date(*slot);
    return slot->filter;
}

void sim_modify(int index, const std::function<void(SimFilter&)>& change)
{
    std::lock_guard<std::mutex> lock(sim.lock);
    if (SimSlot* slot = slot_at(index)) {
        bring_up_to_date(*slot);
        change(slot->filter);
    }
}

void sim_set_faults(int index, const SimFaults& faults)
{
    sim_modify(index, [&](SimFilter& f) { f.faults = faults; });
}

void sim_unplug(int index)
{
    SimSlot* slot;
    {
        std::lock_guard<std::mutex> lock(sim.lock);
        slot = slot_at(index);
    }
    if (slot) device_hangup(slot->device);
}

int sim_replug(int index)
{
    SimSlot* slot;
    {
        std::lock_guard<std::mutex> lock(sim.lock);
        slot = slot_at(index);
    }
    return slot ? device_replug(slot->device) : 0;
}
