// The schedule on the status page: the next wake and sleep under the header while the server has
// a schedule, and on the setup pages a form (folded away until opened) that changes the schedule
// and the site, saved in solvane-site.ini. Without a schedule the status page looks as before.
//
// The form reads GET /setup/schedule.json and sends PUT /setup/schedule with Site, Wake, Sleep
// and ReadyBy as typed (an empty field: none); the server reads them as the options read them.
#pragma once

#include "alpaca/schedule.h"
#include "alpaca/schedule_runner.h"

#include <string>

// The page's script for the schedule: defines showSchedule(state.schedule), which the page calls
// at every refresh, and puts the folded form under the header.
extern const char SCHEDULE_PAGE_SCRIPT[];

// The schedule as the form shows it, with what the runner planned.
std::string schedule_setup_json(const Schedule& schedule, const ScheduleSummary& summary);

// Reads the form: Site, Wake, Sleep, ReadyBy. Returns 1 with the schedule; 0 with message saying
// which field is wrong and why.
int read_schedule_form(const std::vector<std::pair<std::string, std::string>>& form, Schedule& schedule,
                       std::string& message);
