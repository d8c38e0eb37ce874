// Many status polls against simulated filters whose faults change at random while they run: no
// crash, every field within its bounds after every poll, and (in the sanitizer build) no leak.
// SOLVANE_SOAK_POLLS sets the number of polls (400 by default; scripts/soak.sh runs 10,000).
#include "link/solvane_link.h"
#include "sim/simulator.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

namespace {

constexpr int FILTERS = 4;

// Faults weighted towards the quick ones: a silent filter costs 1.5 s a poll.
SimFaults random_faults(std::mt19937& random, SimFilter& f)
{
    SimFaults faults;
    f.supply_voltage = 12.5;
    switch (std::uniform_int_distribution<int>(0, 19)(random)) {
    case 0: faults.silent = 1; break;
    case 1: faults.answer_every = 2; break;
    case 2: faults.echo = 1; break;
    case 3: faults.garbage = 1; break;
    case 4: faults.overlong = 1; break;
    case 5: faults.status_code = std::uniform_int_distribution<int>(-5, 30)(random); break;
    case 6: f.supply_voltage = 0.5; break;
    case 7: faults.raw_wing_shift = 31; faults.raw_wing_shift_set = 1; break;
    case 8: f.firmware_version = f.firmware_version < 1.25 ? 1.30 : 1.20; break;
    default: break;
    }
    return faults;
}

bool within_bounds(const FilterRecord& r)
{
    return std::strlen(r.firmware_text) < FIRMWARE_TEXT_SIZE && r.wavelength >= 0 && r.wavelength <= 12000 &&
           r.wing_shift >= -3 && r.wing_shift <= 3 && r.temperature >= -100 && r.temperature <= 300 &&
           r.supply_voltage >= 0 && r.supply_voltage <= 100 && r.calibration_screw >= -3 && r.calibration_screw <= 3 &&
           r.heater_power >= 0 && r.heater_power <= 100 && r.age_minutes_total >= 0;
}

TEST(Soak, ThousandsOfPollsUnderRandomFaults)
{
    const char* configured = std::getenv("SOLVANE_SOAK_POLLS");
    const int polls = configured ? std::max(FILTERS, std::atoi(configured)) : 400;
    std::string dir = enter_temp_dir();
    SimOptions options;
    options.port_dir = dir + "/ports";
    options.speed = 50;
    for (int i = 0; i < FILTERS; ++i) options.filters.push_back(sim_preset()[static_cast<size_t>(i)]);
    ASSERT_EQ(sim_start(options), 1);

    std::atomic<int> out_of_bounds{0}, answered{0}, unanswered{0};
    auto start = TestClock::now();
    std::vector<std::thread> pollers;
    for (int i = 0; i < FILTERS; ++i) {
        pollers.emplace_back([&, i] {
            std::mt19937 random(static_cast<unsigned>(7 + i));
            FilterRecord slot;
            if (!serial_init(slot.connected, slot.port_handle, sim_port_path(i).c_str(), LINK_CONSOLE)) return;
            for (int n = 0; n < polls / FILTERS; ++n) {
                if (n % 10 == 0) {
                    sim_modify(i, [&](SimFilter& f) { f.faults = random_faults(random, f); });
                    if (std::uniform_int_distribution<int>(0, 24)(random) == 0) {
                        sim_unplug(i);
                        sim_replug(i);
                    }
                }
                poll_filter_status(slot);
                if (n % 60 == 59) poll_filter_age(slot);
                (slot.status_code == STATUS_NO_COMMUNICATION ? unanswered : answered)++;
                if (!within_bounds(slot)) out_of_bounds++;
                if (serial_line_lost(slot.port_handle)) serial_reopen(slot.port_handle, sim_port_path(i).c_str());
            }
            serial_close(slot.connected, slot.port_handle);
        });
    }
    for (std::thread& t : pollers) t.join();
    sim_stop();
    std::printf("%d polls in %.1f s: %d answered, %d without an answer\n", polls / FILTERS * FILTERS,
                seconds_since(start), answered.load(), unanswered.load());
    EXPECT_EQ(out_of_bounds.load(), 0);
    EXPECT_GT(answered.load(), unanswered.load());
}

}  // namespace
