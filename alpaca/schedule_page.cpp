// The schedule on the status page; see schedule_page.h.
#include "alpaca/schedule_page.h"

#include <nlohmann/json.hpp>

const char SCHEDULE_PAGE_SCRIPT[] = R"SCRIPT(
// The schedule: a line with the next wake and sleep while there is a schedule; on the setup pages
// also its form, folded until opened.
const scheduleSetup = location.pathname.startsWith('/setup');
function makeSchedule() {
  if (!scheduleSetup) {
    document.querySelector('header').append(make('div', { id: 'schedule-line', hidden: '' }));
    return;
  }
  const box = make('details', { id: 'schedule' });
  box.append(make('summary', { id: 'schedule-line' }, 'Schedule: none'));
  const fields = [['site', 'Site: LAT,LON[,M]'], ['wake', 'Wake: 07:30, sunrise-30m'],
                  ['sleep', 'Sleep: sunset, 18:00'], ['ready', 'On band by (instead of wake)']];
  for (const [name, label] of fields) {
    const row = make('div', { class: 'entry' });
    const input = make('input', { id: 'schedule-' + name, 'aria-label': label, placeholder: 'none' });
    input.style.width = '12em';
    row.append(input, make('span', {}, label));
    box.append(row);
  }
  const save = make('button', { id: 'schedule-save', type: 'button' }, 'Save schedule');
  save.addEventListener('click', saveSchedule);
  box.append(make('div', { class: 'entry' }), save, make('div', { class: 'message', id: 'schedule-message' }),
             make('div', { id: 'schedule-filters' }));
  box.addEventListener('toggle', () => { if (box.open) loadSchedule(); });
  document.querySelector('header').append(box);
}

function localTime(iso) {
  return iso === 'none' ? 'none' : new Date(iso).toLocaleString([], { weekday: 'short', hour: '2-digit', minute: '2-digit' });
}

function showSchedule(s) {
  const line = document.getElementById('schedule-line');
  if (!line) return;
  line.textContent = s ? 'Next wake ' + localTime(s.wake) + ' \u00b7 sleep ' + localTime(s.sleep) + ' (' + s.schedule + ')'
                       : 'Schedule: none';
  if (!scheduleSetup) line.hidden = !s;
  else document.getElementById('schedule-filters').textContent = s ? s.filters.join('\n') : '';
}

async function loadSchedule() {
  try {
    const reply = await fetch('/setup/schedule.json', { cache: 'no-store' });
    const s = await reply.json();
    for (const name of ['site', 'wake', 'sleep', 'ready']) document.getElementById('schedule-' + name).value = s[name];
  } catch (error) {
    document.getElementById('schedule-message').textContent = 'No answer from the server: ' + error;
  }
}

async function saveSchedule() {
  const field = (name) => document.getElementById('schedule-' + name).value;
  const body = new URLSearchParams({ Site: field('site'), Wake: field('wake'), Sleep: field('sleep'), ReadyBy: field('ready') });
  const line = document.getElementById('schedule-message');
  try {
    const reply = await fetch('/setup/schedule', { method: 'PUT', body });
    const said = await reply.json();
    line.textContent = said.message;
    line.className = said.saved ? 'message done' : 'message';
  } catch (error) {
    line.textContent = 'No answer from the server: ' + error;
  }
  refresh();
}

makeSchedule();
)SCRIPT";

std::string schedule_setup_json(const Schedule& schedule, const ScheduleSummary& summary)
{
    const nlohmann::ordered_json json = {{"site", schedule.site_known ? site_text(schedule.site) : ""},
                                         {"wake", when_text(schedule.wake)},
                                         {"sleep", when_text(schedule.sleep)},
                                         {"ready", when_text(schedule.ready_by)},
                                         {"next_wake", summary.active ? summary.wake : "none"},
                                         {"next_sleep", summary.active ? summary.sleep : "none"}};
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

int read_schedule_form(const std::vector<std::pair<std::string, std::string>>& form, Schedule& schedule,
                       std::string& message)
{
    Schedule read;
    for (const auto& [name, value] : form) {
        std::string error;
        When* when = name == "Wake" ? &read.wake : name == "Sleep" ? &read.sleep : name == "ReadyBy" ? &read.ready_by : nullptr;
        if (value.empty()) continue;
        if (name == "Site") {
            if (!parse_site(value, read.site, error)) message = "Site: " + error;
            read.site_known = error.empty();
        } else if (when != nullptr && !parse_when(value, *when, error)) {
            message = name + ": " + error;
        }
        if (!error.empty()) return 0;
    }
    if (!schedule_valid(read, message)) return 0;
    schedule = read;
    return 1;
}
