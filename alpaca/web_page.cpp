// The status page; see web_page.h.
#include "alpaca/web_page.h"

#include "alpaca/schedule_page.h"
#include "alpaca/history_page.h"
#include "alpaca/switches.h"
#include "spectral/spectral.h"
#include "link/filter_policy.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>

namespace {

// Dark, so it does not dazzle at the telescope; large buttons for a finger on a phone.
const char PAGE[] = R"PAGE(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Solvane filters</title>
<style>
body { font-family: system-ui, sans-serif; margin: 0; background: #1b1d22; color: #e6e6e6; }
header { padding: .6em 1em; background: #2a2d34; }
h1 { font-size: 1.25em; margin: 0; }
#server { font-size: .85em; color: #aaa; }
main { padding: .6em; display: flex; flex-direction: column; gap: .8em; max-width: 830px; margin: auto; }
section { background: #2a2d34; border-radius: 8px; padding: .7em; }
h2 { font-size: 1.05em; margin: 0 0 .5em; }
img { width: 100%; height: auto; display: block; border-radius: 4px; background: #fff; }
[hidden] { display: none !important; }
.status { display: flex; align-items: center; gap: .5em; margin: .5em 0; font-weight: bold; }
.dot { width: .95em; height: .95em; border-radius: 50%; background: #777; flex: none; }
.on-band { background: #2f9e47; } .busy { background: #e0a020; } .asleep { background: #3b6fd6; }
.fault, .no-communication { background: #d33; }
dl { display: grid; grid-template-columns: max-content auto; gap: .15em 1em; margin: .4em 0 .7em; }
dt { color: #aaa; } dd { margin: 0; }
.buttons { display: flex; flex-wrap: wrap; gap: .45em; }
button { font-size: 1em; padding: .65em .9em; min-width: 6em; border-radius: 6px; border: 1px solid #555;
         background: #3b3f49; color: #fff; }
button:disabled, input:disabled { opacity: .4; }
.entry { display: flex; flex-wrap: wrap; align-items: center; gap: .45em; margin-top: .45em; }
input { font-size: 1em; padding: .55em; width: 6em; border-radius: 6px; border: 1px solid #555;
        background: #1b1d22; color: #fff; }
.message { min-height: 1.2em; margin-top: .4em; font-size: .9em; color: #f3b0a8; }
.message.done { color: #9fd8a8; }
select { font-size: 1em; padding: .55em; border-radius: 6px; border: 1px solid #555; background: #1b1d22; color: #fff; }
#setup { margin: .6em auto 0; max-width: 806px; }
footer { font-size: .8em; color: #999; text-align: center; padding: 1em; }
footer a { color: #9ab; }
@HISTORY_STYLE@
</style>
</head>
<body data-focus="@FOCUS@" data-test-hooks="@HOOKS@">
<header><h1>Solvane filters</h1><div id="server">Waiting for the server&hellip;</div></header>
<main id="filters"></main>
<footer>Alpaca Switch devices of this server:
<a href="/management/v1/configureddevices">configured devices</a> &middot;
<a href="/management/v1/description">server</a> &middot;
<a href="/history.csv">history as CSV</a></footer>
<script>@HISTORY_SCRIPT@</script>
<script>
'use strict';
const hooks = document.body.dataset.testHooks === '1';
const focusSlot = Number(document.body.dataset.focus);
const clientId = 1 + Math.floor(Math.random() * 65535);
let transaction = 0;
let refreshing = false;
let pressed = false;
const cards = {};

function make(tag, attributes, text) {
  const e = document.createElement(tag);
  for (const name in attributes) e.setAttribute(name, attributes[name]);
  if (text !== undefined) e.textContent = text;
  return e;
}

function message(n, text) { cards[n].message.textContent = text; }

async function put(n, member, params) {
  const card = cards[n];
  card.busy = true;
  show(card.state);
  message(n, '');
  const body = new URLSearchParams(params);
  body.append('ClientID', clientId);
  body.append('ClientTransactionID', ++transaction);
  try {
    const reply = await fetch('/api/v1/switch/' + n + '/' + member, { method: 'PUT', body });
    if (!reply.ok) {
      message(n, await reply.text());
    } else {
      const result = await reply.json();
      if (result.ErrorNumber !== 0) message(n, result.ErrorMessage);
    }
  } catch (error) {
    message(n, 'No answer from the server: ' + error);
  }
  card.busy = false;
  refresh();
}

function shift(n, tenths) {
  const now = Math.round(cards[n].state.wing_shift * 10);
  const next = Math.max(-10, Math.min(10, now + tenths));
  if (next !== now) put(n, 'setswitchvalue', { Id: 1, Value: (next / 10).toFixed(1) });
}

// The wing shift as typed: the server cuts it to tenths as every program does and refuses a value
// out of range with the value quoted.
function setShift(n, typed) {
  if (typed.trim() === '') return message(n, 'Type a wing shift from -1.0 to 1.0 \u00c5.');
  put(n, 'setswitchvalue', { Id: 1, Value: typed.trim() });
}

function makeCard(f) {
  const n = f.device;
  const section = make('section', { id: 'filter-' + n });
  const card = { section, busy: false, state: f, version: -1 };
  card.title = make('h2', { id: 'title-' + n });
  card.image = make('img', { id: 'panel-' + n, alt: 'Panel of filter ' + (n + 1) });
  card.image.addEventListener('load', () => { card.image.dataset.loaded = '1'; });
  const status = make('div', { class: 'status' });
  card.dot = make('span', { class: 'dot', id: 'dot-' + n });
  card.status = make('span', { id: 'status-' + n });
  status.append(card.dot, card.status);
  card.values = make('dl', { id: 'values-' + n });
  const row = make('div', { class: 'buttons' });
  const actions = [
    ['connect', 'Connect', () => put(n, card.state.connected ? 'disconnect' : 'connect', {})],
    ['heater-on', 'Heater on', () => put(n, 'setswitch', { Id: 0, State: 'true' })],
    ['heater-off', 'Sleep', () => put(n, 'setswitch', { Id: 0, State: 'false' })],
    ['shift-down', '\u2212 0.1 \u00c5', () => shift(n, -1)],
    ['shift-up', '+ 0.1 \u00c5', () => shift(n, 1)],
    ['lock', 'Lock panel', () => put(n, 'setswitch', { Id: 2, State: String(!card.state.locked) })],
  ];
  card.buttons = {};
  for (const [name, label, act] of actions) {
    const button = make('button', { id: name + '-' + n, type: 'button' }, label);
    button.addEventListener('click', act);
    card.buttons[name] = button;
    row.append(button);
  }
  const entry = make('div', { class: 'entry' });
  card.entry = make('input', { id: 'shift-entry-' + n, type: 'number', min: '-1', max: '1', step: '0.1',
                               inputmode: 'decimal', 'aria-label': 'Wing shift in \u00c5' });
  const entryActions = [
    ['shift-set', 'Set shift', () => setShift(n, card.entry.value)],
    ['shift-centre', 'Centre', () => put(n, 'setswitchvalue', { Id: 1, Value: '0' })],
  ];
  entry.append(card.entry);
  for (const [name, label, act] of entryActions) {
    const button = make('button', { id: name + '-' + n, type: 'button' }, label);
    button.addEventListener('click', act);
    card.buttons[name] = button;
    entry.append(button);
  }
  card.entry.addEventListener('keydown', (event) => { if (event.key === 'Enter') setShift(n, card.entry.value); });
  card.message = make('div', { class: 'message', id: 'message-' + n });
  section.append(card.title, card.image, status, card.values, row, entry, card.message, historyBlock(n));
  document.getElementById('filters').append(section);
  cards[n] = card;
  return card;
}

function number(value, digits, unit) { return value.toFixed(digits) + unit; }

// How old the server's copy of the filter's values is, by the server's clock.
function age(seconds) {
  if (seconds < 60) return Math.floor(seconds) + ' s old';
  if (seconds < 3600) return Math.floor(seconds / 60) + ' min old';
  return Math.floor(seconds / 3600) + ' h old';
}

function show(f) {
  const card = cards[f.device] || makeCard(f);
  card.state = f;
  const n = f.device;
  card.title.textContent = 'Filter ' + (n + 1) + (f.label ? ' \u00b7 ' + f.label : '') + ' \u00b7 ' + f.port;
  card.image.hidden = !f.connected;
  if (f.connected && card.version !== f.image_version) {
    card.version = f.image_version;
    // Drawn for this screen's pixel ratio, so the text stays sharp on a phone.
    const ratio = Math.min(3, Math.max(1, Math.ceil(window.devicePixelRatio || 1)));
    card.image.src = '/panel/' + n + '.png?v=' + f.image_version + '&ratio=' + ratio;
  }
  card.dot.className = 'dot ' + f.condition;
  card.status.textContent = f.connecting ? 'Connecting\u2026' : f.connected ? f.status_text : 'Not connected';
  const rows = f.connected ? [
    ['Current', number(f.current, 2, ' \u00c5')],
    ['Target', number(f.target, 2, ' \u00c5')],
    ['Wing shift', number(f.wing_shift, 1, ' \u00c5')],
    ['Temperature', number(f.temperature_c, 1, ' \u00b0C')],
    ['Heater', (f.heater_on ? 'on, ' : 'off, ') + number(f.heater_power, 0, ' %')],
    ['Front panel', f.locked ? 'locked' : 'unlocked'],
    ['Data', age(f.age_s)],
  ] : [];
  card.values.replaceChildren(...rows.flatMap(([name, value]) => [make('dt', {}, name), make('dd', {}, value)]));
  card.buttons['connect'].textContent = f.connected ? 'Disconnect' : 'Connect';
  card.buttons['lock'].textContent = f.locked ? 'Unlock panel' : 'Lock panel';
  for (const name in card.buttons)
    card.buttons[name].disabled = card.busy || f.connecting || (name !== 'connect' && !f.connected);
  card.entry.disabled = card.busy || f.connecting || !f.connected;
  historyShow(f);
}

// Test hook: #press=ID presses a button once it can be pressed; any other NAME=VALUE of the
// fragment first types VALUE into the field NAME.
function pressFromFragment() {
  const fragment = new URLSearchParams(location.hash.slice(1));
  if (!hooks || pressed || !fragment.has('press')) return;
  const button = document.getElementById(fragment.get('press'));
  if (!button || button.disabled) return;
  for (const [name, value] of fragment)
    if (name !== 'press' && document.getElementById(name)) document.getElementById(name).value = value;
  pressed = true;
  document.body.dataset.pressed = button.id;
  button.click();
}

async function refresh() {
  if (refreshing) return;
  refreshing = true;
  try {
    const reply = await fetch('/state.json', { cache: 'no-store' });
    const state = await reply.json();
    document.getElementById('server').textContent = state.server + ' \u00b7 ' + new Date().toLocaleTimeString();
    for (const f of state.filters) show(f);
    showSchedule(state.schedule);
    if (focusSlot >= 0 && portsShown) showSetupState();
    if (state.filters.length === 0)
      document.getElementById('filters').textContent = 'No filter ports are configured.';
    if (cards[focusSlot] && !cards[focusSlot].focused) {
      cards[focusSlot].focused = true;
      cards[focusSlot].section.scrollIntoView();
    }
    pressFromFragment();
  } catch (error) {
    document.getElementById('server').textContent = 'No answer from the server';
  }
  refreshing = false;
}

// The setup page of one device: its port, chosen from the serial ports the server lists.
function makeSetup() {
  const section = make('section', { id: 'setup' });
  const row = make('div', { class: 'entry' });
  const select = make('select', { id: 'port-select', 'aria-label': 'Serial port' });
  const use = make('button', { id: 'port-use', type: 'button', disabled: '' }, 'Use this port');
  use.addEventListener('click', usePort);
  row.append(select, use);
  section.append(make('h2', { id: 'setup-title' }, 'Port of filter ' + (focusSlot + 1)),
                 make('div', { id: 'setup-note' }), row, make('div', { class: 'message', id: 'port-message' }));
  document.body.insertBefore(section, document.getElementById('filters'));
}

function setupMessage(text, done) {
  const line = document.getElementById('port-message');
  line.textContent = text;
  line.className = done ? 'message done' : 'message';
}

const WAIT_FOR_DISCONNECT = 'Disconnect the filter to choose another port.';
let portsChangeable = false;
let portsShown = false;

async function loadPorts() {
  try {
    const reply = await fetch('/setup/v1/switch/' + focusSlot + '/ports', { cache: 'no-store' });
    const c = await reply.json();
    const select = document.getElementById('port-select');
    // Another filter's port is shown but cannot be chosen; a slot without a port starts at the
    // first free one.
    const free = c.ports.find((p) => !p.filter);
    const keep = portsShown ? select.value : c.port || (free ? free.name : '');
    select.replaceChildren(...c.ports.map((p) => {
      const other = p.filter && p.filter !== focusSlot + 1;
      const option = make('option', { value: p.name },
        p.name + (p.filter === focusSlot + 1 ? ' (this filter)' : other ? ' (filter ' + p.filter + ')' : ''));
      option.disabled = other;
      return option;
    }));
    if (c.ports.some((p) => p.name === keep)) select.value = keep;
    portsShown = c.ports.length > 0;
    portsChangeable = c.changeable;
    document.getElementById('setup-note').textContent =
      (c.port ? 'Now ' + c.port + '. ' : 'No port yet. ') +
      (c.ports.length === 0 ? 'This computer lists no serial ports. ' : '') +
      (c.saves ? 'A chosen port is saved in solvane.ini.' : 'The server was started with --ports: a chosen port holds for this run.');
    showSetupState();
  } catch (error) {
    setupMessage('No answer from the server: ' + error);
  }
}

// A connected filter keeps its port: the button waits until it is disconnected.
function showSetupState() {
  const card = cards[focusSlot];
  const connected = card ? card.state.connected || card.state.connecting : false;
  document.getElementById('port-use').disabled = !portsShown || !portsChangeable || connected;
  const line = document.getElementById('port-message');
  if (connected && portsShown) setupMessage(WAIT_FOR_DISCONNECT);
  else if (line.textContent === WAIT_FOR_DISCONNECT) setupMessage('');
}

async function usePort() {
  const use = document.getElementById('port-use');
  use.disabled = true;
  const body = new URLSearchParams({ Port: document.getElementById('port-select').value });
  try {
    const reply = await fetch('/setup/v1/switch/' + focusSlot + '/port', { method: 'PUT', body });
    const text = await reply.text();
    let said = text;
    try { said = JSON.parse(text).message; } catch (error) { /* a plain-text refusal */ }
    setupMessage(said, reply.ok);
  } catch (error) {
    setupMessage('No answer from the server: ' + error);
  }
  await loadPorts();
  refresh();
}

if (focusSlot >= 0) {
  makeSetup();
  loadPorts();
}
@SCHEDULE@
loadChartScript();
refresh();
setInterval(refresh, 2000);
</script>
</body>
</html>
)PAGE";

const char* condition_name(const SlotView& slot)
{
    return slot.record.connected ? condition_row(classify_status(slot.record)).name : "off";
}

void replace_all(std::string& text, const std::string& what, const std::string& with)
{
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

}  // namespace

std::string page_html(int focus_slot, int test_hooks)
{
    std::string page = PAGE;
    replace_all(page, "@FOCUS@", std::to_string(focus_slot));
    replace_all(page, "@HOOKS@", test_hooks ? "1" : "0");
    replace_all(page, "@SCHEDULE@", SCHEDULE_PAGE_SCRIPT);
    replace_all(page, "@HISTORY_STYLE@", history_page_style());
    replace_all(page, "@HISTORY_SCRIPT@", history_page_script());
    return page;
}

std::string page_state_json(const ServerView& view, const unsigned panel_versions[SLOT_COUNT])
{
    nlohmann::ordered_json filters = nlohmann::ordered_json::array();
    const auto now = std::chrono::system_clock::now();
    for (int n = 0; n < SLOT_COUNT; ++n) {
        const SlotView& s = view.slot[n];
        if (!s.configured) continue;
        const FilterRecord& r = s.record;
        char status[STATUS_TEXT_SIZE];
        filters.push_back({{"device", n},
                           {"port", latin1_to_utf8(s.port_name)},
                           {"label", filter_label(r)},
                           {"connected", r.connected != 0},
                           {"connecting", s.connecting != 0},
                           {"condition", condition_name(s)},
                           {"status_code", r.status_code},
                           {"status_text", status_text(r, status)},
                           {"heater_on", switch_value(SWITCH_HEATER, r) != 0},
                           {"wing_shift", switch_value(SWITCH_WING_SHIFT, r)},
                           {"locked", r.panel_locked != 0},
                           {"current", switch_value(SWITCH_CURRENT_WAVELENGTH, r)},
                           {"target", switch_value(SWITCH_TARGET_WAVELENGTH, r)},
                           {"temperature_c", switch_value(SWITCH_TEMPERATURE, r)},
                           {"heater_power", switch_value(SWITCH_HEATER_POWER, r)},
                           {"image_version", panel_versions[n]},
                           {"age_s", std::max(0.0, std::chrono::duration<double>(now - s.updated).count())}});
    }
    nlohmann::ordered_json state = {{"server", "Solvane Alpaca server " + std::string(SERVER_VERSION) + " on " + view.location},
                                    {"filters", filters}};
    if (view.schedule.active)
        state["schedule"] = {{"wake", view.schedule.wake}, {"sleep", view.schedule.sleep},
                             {"schedule", view.schedule.schedule}, {"filters", view.schedule.filters}};
    return state.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string page_ports_json(const ServerView& view, int slot, const std::vector<std::string>& ports, int saves)
{
    const SlotView& s = view.slot[slot];
    nlohmann::ordered_json listed = nlohmann::ordered_json::array();
    for (const std::string& port : ports) {
        // The names as the system lists them (the page sends one back as it is).
        nlohmann::ordered_json entry = {{"name", port}, {"filter", nullptr}};
        for (int n = 0; n < SLOT_COUNT; ++n)
            if (view.slot[n].configured && port == view.slot[n].port_name) entry["filter"] = n + 1;
        listed.push_back(entry);
    }
    nlohmann::ordered_json choices = {{"device", slot},
                                      {"port", s.configured ? std::string(s.port_name) : ""},
                                      {"changeable", !s.record.connected && !s.connecting},
                                      {"saves", saves != 0},
                                      {"ports", listed}};
    return choices.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
