// indi_solvane: one Solvane filter as an INDI device, so KStars/Ekos, scripts and web managers
// anywhere on the network can watch and drive it through an indiserver.
//
// Every exchange goes through the filter-link library, exactly as SolvaneControl uses it:
// connect_slot opens and identifies the filter and reads its parameters, poll_filter_status and
// poll_filter_age keep it current on the driver's timer, serial_exchange carries the settings.
// One driver process serves one filter; four filters are four instances with names of their own
// (indiserver's FIFO: start indi_solvane -n "Solvane 2").
//
// The INDI library asks for a device class of its own kind; this one holds the slot record and
// the properties, and leaves what the values mean to the link library and the free functions
// below.
#include "link/solvane_link.h"

#include <libindi/defaultdevice.h>
#include <libindi/indipropertylight.h>
#include <libindi/indipropertynumber.h>
#include <libindi/indipropertyswitch.h>
#include <libindi/indipropertytext.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <unistd.h>

namespace {

constexpr uint32_t DEFAULT_POLL_MS = 5000;
constexpr int POLLS_PER_AGE_POLL = 60;
constexpr double SHIFT_LIMIT = 1.0;
constexpr const char* FILTER_TAB = "Filter";

// The light of a slot's status: on band OK, under way BUSY, asleep IDLE, any fault ALERT.
IPState status_light(const FilterRecord& r)
{
    if (r.status_code != 0) return IPS_ALERT;
    if (r.sleeping) return IPS_IDLE;
    if (r.on_band) return IPS_OK;
    return IPS_BUSY;
}

// A wing shift as the filter takes it: snapped to a tenth of an Angstrom within +-1.0.
double snap_shift(double angstrom)
{
    if (!std::isfinite(angstrom)) return 0.0;
    double snapped = std::round(angstrom * 10) / 10;
    return std::fmax(-SHIFT_LIMIT, std::fmin(SHIFT_LIMIT, snapped));
}

std::string age_text(const FilterRecord& r)
{
    char text[64];
    std::snprintf(text, sizeof text, "%d min (%dy %dm %dd %dh %dmin)", r.age_minutes_total, r.age_years,
                  r.age_months, r.age_days, r.age_hours, r.age_minutes);
    return text;
}

class SolvaneDevice : public INDI::DefaultDevice
{
  public:
    SolvaneDevice()
    {
        setVersion(1, 0);
    }

    const char* getDefaultName() override { return "Solvane"; }

    bool initProperties() override
    {
        INDI::DefaultDevice::initProperties();
        setDriverInterface(AUX_INTERFACE);
        setDefaultPollingPeriod(DEFAULT_POLL_MS);
        addAuxControls();  // debug, simulation, configuration, polling period

        port_property[0].fill("PORT", "Port", "COM1");
        port_property.fill(getDeviceName(), "DEVICE_PORT", "Port", CONNECTION_TAB, IP_RW, 60, IPS_IDLE);

        status_property[0].fill("STATUS", "Status", IPS_IDLE);
        status_property.fill(getDeviceName(), "FILTER_STATUS", "Status", FILTER_TAB, IPS_IDLE);
        status_text_property[0].fill("TEXT", "Status", "");
        status_text_property.fill(getDeviceName(), "FILTER_STATUS_TEXT", "Status", FILTER_TAB, IP_RO, 0, IPS_IDLE);

        wavelength_property[0].fill("NOMINAL", "Nominal line (A)", "%.2f", 1000, 12000, 0, 0);
        wavelength_property[1].fill("TARGET", "Target (A)", "%.2f", 1000, 12000, 0, 0);
        wavelength_property[2].fill("CURRENT", "Current (A)", "%.2f", 1000, 12000, 0, 0);
        wavelength_property.fill(getDeviceName(), "FILTER_WAVELENGTHS", "Wavelengths", FILTER_TAB, IP_RO, 0, IPS_IDLE);

        shift_property[0].fill("SHIFT", "Wing shift (A)", "%.1f", -SHIFT_LIMIT, SHIFT_LIMIT, 0.1, 0);
        shift_property.fill(getDeviceName(), "WING_SHIFT", "Wing shift", FILTER_TAB, IP_RW, 60, IPS_IDLE);

        heater_property[0].fill("ON", "On", ISS_OFF);
        heater_property[1].fill("SLEEP", "Sleep", ISS_ON);
        heater_property.fill(getDeviceName(), "FILTER_HEATER", "Heater", FILTER_TAB, IP_RW, ISR_1OFMANY, 60, IPS_IDLE);

        lock_property[0].fill("LOCK", "Locked", ISS_OFF);
        lock_property[1].fill("UNLOCK", "Unlocked", ISS_ON);
        lock_property.fill(getDeviceName(), "FRONT_PANEL_LOCK", "Front panel", FILTER_TAB, IP_RW, ISR_1OFMANY, 60, IPS_IDLE);

        display_property[0].fill("CENTER", "Centre", ISS_ON);
        display_property[1].fill("WING_SHIFT", "Wing shift", ISS_OFF);
        display_property.fill(getDeviceName(), "FILTER_DISPLAY", "Filter display", FILTER_TAB, IP_RW, ISR_1OFMANY, 60, IPS_IDLE);

        units_property[0].fill("ANGSTROM", "Angstrom", ISS_ON);
        units_property[1].fill("NANOMETER", "Nanometre", ISS_OFF);
        units_property.fill(getDeviceName(), "FILTER_UNITS", "Units", FILTER_TAB, IP_RW, ISR_1OFMANY, 60, IPS_IDLE);

        temperature_property[0].fill("CURRENT", "Element (F)", "%.2f", -100, 300, 0, 0);
        temperature_property[1].fill("TARGET", "Target (F)", "%.2f", -100, 300, 0, 0);
        temperature_property[2].fill("HEATER_POWER", "Heater power (%)", "%.1f", 0, 100, 0, 0);
        temperature_property.fill(getDeviceName(), "FILTER_TEMPERATURES", "Temperatures", FILTER_TAB, IP_RO, 0, IPS_IDLE);

        const char* identity[][2] = {{"MODEL", "Model"},       {"EDITION", "Edition"},
                                     {"SERIAL", "Serial number"}, {"BANDWIDTH", "Bandwidth"},
                                     {"FIRMWARE", "Firmware"}, {"STARTUP_MESSAGE", "Start-up message"},
                                     {"AGE", "Time on"}};
        for (size_t k = 0; k < IDENTITY_FIELDS; ++k) identity_property[k].fill(identity[k][0], identity[k][1], "");
        identity_property.fill(getDeviceName(), "FILTER_IDENTITY", "Identity", INFO_TAB, IP_RO, 0, IPS_IDLE);
        return true;
    }

    void ISGetProperties(const char* dev) override
    {
        INDI::DefaultDevice::ISGetProperties(dev);
        defineProperty(port_property);
        loadConfig(true, port_property.getName());
    }

    bool updateProperties() override
    {
        INDI::DefaultDevice::updateProperties();
        // Copies of a property share it: these are handles, not duplicates.
        INDI::Property live[] = {status_property, status_text_property, wavelength_property, shift_property,
                                 heater_property, lock_property, display_property, units_property,
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
        if (dev != nullptr && std::strcmp(dev, getDeviceName()) == 0 && port_property.isNameMatch(name)) {
            port_property.update(texts, names, n);
            port_property.setState(IPS_OK);
            port_property.apply();
            saveConfig(true, port_property.getName());
            return true;
        }
        return INDI::DefaultDevice::ISNewText(dev, name, texts, names, n);
    }

    bool ISNewNumber(const char* dev, const char* name, double values[], char* names[], int n) override
    {
        if (dev != nullptr && std::strcmp(dev, getDeviceName()) == 0 && shift_property.isNameMatch(name)) {
            if (!isConnected()) return false;
            slot.wing_shift = snap_shift(n > 0 ? values[0] : 0);
            // Sent as SolvaneControl sends it: tenths rounded to the nearest whole number.
            int sent = send_setting(SET_WING_SHIFT, static_cast<int>(std::floor(slot.wing_shift * 10 + 0.5)));
            poll_filter_status(slot);
            shift_property.setState(sent ? IPS_OK : IPS_ALERT);
            LOGF_INFO("Wing shift %+.1f A %s.", slot.wing_shift, sent ? "set" : "not acknowledged");
            publish();
            return true;
        }
        return INDI::DefaultDevice::ISNewNumber(dev, name, values, names, n);
    }

    bool ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[], int n) override
    {
        if (dev != nullptr && std::strcmp(dev, getDeviceName()) == 0 && isConnected()) {
            INDI::PropertySwitch* settings[] = {std::addressof(heater_property), std::addressof(lock_property),
                                                std::addressof(display_property), std::addressof(units_property)};
            for (INDI::PropertySwitch* property : settings) {
                if (!property->isNameMatch(name)) continue;
                property->update(states, names, n);
                const int first = property->findOnSwitchIndex() == 0;
                int sent = 0;
                if (property == std::addressof(heater_property)) {
                    slot.sleeping = first ? 0 : 1;
                    sent = send(first ? CMD_WAKE : CMD_SLEEP);
                } else if (property == std::addressof(lock_property)) {
                    slot.panel_locked = first ? 1 : 0;
                    sent = send_setting(SET_PANEL_LOCK, slot.panel_locked);
                } else if (property == std::addressof(display_property)) {
                    slot.display_mode = first ? 0 : 1;
                    sent = send_setting(SET_DISPLAY_MODE, slot.display_mode);
                } else {
                    slot.units = first ? 0 : 1;
                    sent = send_setting(SET_UNITS, slot.units);
                }
                property->setState(sent ? IPS_OK : IPS_ALERT);
                publish();
                return true;
            }
        }
        return INDI::DefaultDevice::ISNewSwitch(dev, name, states, names, n);
    }

  protected:
    bool Connect() override
    {
        serial_close(slot.connected, slot.port_handle);
        const char* port = port_property[0].getText();
        copy_text(slot.port_name, PORT_NAME_SIZE, port, PORT_NAME_SIZE - 1);
        if (!connect_slot(slot, port)) {
            char cwd[512] = "";
            if (::getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
            LOGF_ERROR("No Solvane filter on port %s: it did not open, or the device there did not answer as a "
                       "filter. The reason is in %s/serial_error.log.", port, cwd);
            return false;
        }
        slot.poll_count = 0;
        LOGF_INFO("%s %s (serial %s, firmware %s) connected on %s: %s.", slot.model_text, slot.edition_text,
                  slot.serial_number_text, slot.firmware_text, port, status());
        SetTimer(getCurrentPollingPeriod());
        return true;
    }

    bool Disconnect() override
    {
        serial_close(slot.connected, slot.port_handle);
        return true;
    }

    void TimerHit() override
    {
        if (!isConnected()) return;
        poll_filter_status(slot);
        if (slot.status_code == STATUS_NO_COMMUNICATION && serial_line_lost(slot.port_handle))
            serial_reopen(slot.port_handle, slot.port_name);  // an adapter back under its name
        if (++slot.poll_count >= POLLS_PER_AGE_POLL) {
            slot.poll_count = 0;
            poll_filter_age(slot);
        }
        publish();
        SetTimer(getCurrentPollingPeriod());
    }

    bool saveConfigItems(FILE* fp) override
    {
        INDI::DefaultDevice::saveConfigItems(fp);
        port_property.save(fp);
        return true;
    }

  private:
    static constexpr size_t IDENTITY_FIELDS = 7;

    FilterRecord slot;
    INDI::PropertyText port_property{1};
    INDI::PropertyLight status_property{1};
    INDI::PropertyText status_text_property{1};
    INDI::PropertyNumber wavelength_property{3};
    INDI::PropertyNumber shift_property{1};
    INDI::PropertySwitch heater_property{2};
    INDI::PropertySwitch lock_property{2};
    INDI::PropertySwitch display_property{2};
    INDI::PropertySwitch units_property{2};
    INDI::PropertyNumber temperature_property{3};
    INDI::PropertyText identity_property{IDENTITY_FIELDS};

    const char* status()
    {
        static char text[STATUS_TEXT_SIZE];
        return status_text(slot, text);
    }

    // A command through the one exchange path; 1 when the filter acknowledged it.
    int send(const char* command)
    {
        char reply[REPLY_BUFFER_SIZE];
        return serial_exchange(slot.connected, slot.port_handle, command, reply) > 0;
    }

    int send_setting(const char* setting, int value)
    {
        char command[COMMAND_BUFFER_SIZE];
        return send(format_setting(command, setting, value));
    }

    // Sends every live property's current value to the clients.
    void publish()
    {
        const IPState light = status_light(slot);
        status_property[0].setState(light);
        status_property.setState(light);
        status_property.apply();
        status_text_property[0].setText(status());
        status_text_property.setState(light);
        status_text_property.apply();

        wavelength_property[0].setValue(slot.center_wavelength);
        wavelength_property[1].setValue(slot.center_wavelength + slot.wing_shift);
        wavelength_property[2].setValue(slot.wavelength);
        wavelength_property.setState(slot.status_code == STATUS_NO_COMMUNICATION ? IPS_ALERT : IPS_OK);
        wavelength_property.apply();

        shift_property[0].setValue(slot.wing_shift);
        shift_property.apply();

        auto set_pair = [](INDI::PropertySwitch& property, bool first) {
            property[0].setState(first ? ISS_ON : ISS_OFF);
            property[1].setState(first ? ISS_OFF : ISS_ON);
            property.apply();
        };
        set_pair(heater_property, !slot.sleeping);
        set_pair(lock_property, slot.panel_locked != 0);
        set_pair(display_property, slot.display_mode == 0);
        set_pair(units_property, slot.units == 0);

        temperature_property[0].setValue(slot.temperature);
        temperature_property[1].setValue(slot.center_temperature + slot.wing_shift * slot.temperature_per_angstrom);
        temperature_property[2].setValue(slot.heater_power);
        temperature_property.setState(IPS_OK);
        temperature_property.apply();

        const std::string age = age_text(slot);
        const char* identity[IDENTITY_FIELDS] = {slot.model_text,    slot.edition_text,    slot.serial_number_text,
                                                 slot.bandwidth_text, slot.firmware_text, slot.startup_message,
                                                 age.c_str()};
        for (size_t k = 0; k < IDENTITY_FIELDS; ++k) identity_property[k].setText(identity[k]);
        identity_property.setState(IPS_OK);
        identity_property.apply();
    }
};

// The INDI library's main() finds the device through the library's own registry.
std::unique_ptr<SolvaneDevice> device(new SolvaneDevice());

}  // namespace
