// The window's slots on their filter lines; see slot_lines.h.
#include "control/state/slot_lines.h"

#include <array>
#include <deque>
#include <map>

namespace {


// What the window remembers of a job handed in, until its result is taken.
struct SlotJob {
    int slot = -1;            // -1: an Auto Detect probe
    int port = -1;            // the probe's index into the detection's ports
    int busy = 0;
    SlotAfter after = AFTER_NOTHING;
    std::uint64_t group = 0;
};

struct Detection {
    int running = 0;
    int stopping = 0;
    std::vector<std::string> ports;
    size_t next = 0;                 // the next port to probe
    size_t resolved = 0;             // ports settled, in order
    std::vector<int> outcome;        // per port: -1 on its way, 0 no filter, 1 a filter
    std::vector<int> line_of;        // per port: the line that probed it
    std::vector<LineResult> found;   // per port: its probe's result
    std::vector<int> free_lines;
    int filled = 0;                  // slots given a filter so far
    int found_count = 0;             // filters found, settled or not
    int in_flight = 0;
};

}  // namespace

// The slots' bookkeeping, held by the window state (control/state/app_state.h). GUI thread only.
struct SlotTables {
    std::array<int, SLOT_COUNT> slot_line = [] {  // slot n starts on line n
        std::array<int, SLOT_COUNT> lines{};
        for (int n = 0; n < SLOT_COUNT; ++n) lines[static_cast<size_t>(n)] = n;
        return lines;
    }();
    std::uint64_t accept_from[SLOT_COUNT] = {};   // results of older jobs are not taken in
    std::uint64_t connect_job[SLOT_COUNT] = {};
    int commands_on_way[SLOT_COUNT] = {};
    std::map<std::uint64_t, SlotJob> jobs;
    std::map<std::uint64_t, int> group_left;      // results still to come, by group
    // Connects in the order they were handed in, with their units once known (-1: none to take).
    std::deque<std::pair<std::uint64_t, int>> connect_order;
    std::uint64_t last_group = 0;
    Detection detect;
    std::map<int, std::function<void(const SlotEvent&)>> observers;
    int next_observer = 1;
};

void SlotTablesDelete::operator()(SlotTables* tables) const { delete tables; }

namespace {

// Made at their first use.
SlotTables& tables()
{
    std::unique_ptr<SlotTables, SlotTablesDelete>& held = window_state().slot_tables;
    if (held == nullptr) held.reset(new SlotTables);
    return *held;
}

std::uint64_t submit(int n, int line, const LineJob& job, SlotJob info)
{
    const std::uint64_t id = line_submit(window_state().lines, line, job);
    if (id == 0) return 0;
    info.slot = n;
    tables().jobs[id] = info;
    if (info.group != 0) ++tables().group_left[info.group];
    return id;
}

// The line's record, without undoing what commands still on their way have already changed.
void take_record(int n, const FilterRecord& from_line)
{
    FilterRecord& mine = filter_slots()[n];
    if (tables().commands_on_way[n] == 0) {
        merge_line_record(mine, from_line);
        return;
    }
    const FilterRecord asked = mine;
    merge_line_record(mine, from_line);
    mine.sleeping = asked.sleeping;
    mine.panel_locked = asked.panel_locked;
    mine.units = asked.units;
    mine.display_mode = asked.display_mode;
    mine.wing_shift = asked.wing_shift;
}

// A slot starts anew on a line: whatever older jobs report is not its filter's news.
void start_slot_anew(int n, std::uint64_t id)
{
    tables().accept_from[n] = id;
    filter_slots()[n].connected = 0;
    filter_slots()[n].port_handle = -1;
}

void settle_connect_order()
{
    while (!tables().connect_order.empty() && tables().connect_order.front().second != -2) {
        if (tables().connect_order.front().second >= 0) app().units_nm = tables().connect_order.front().second;
        tables().connect_order.pop_front();
    }
}

void note_connect_outcome(std::uint64_t id, int units)
{
    for (auto& entry : tables().connect_order)
        if (entry.first == id) entry.second = units;
}

void detect_launch(std::vector<SlotEvent>& events);

void detect_finish(std::vector<SlotEvent>& events)
{
    Detection& d = tables().detect;
    size_t free_index = 0;
    for (int n = d.filled; n < SLOT_COUNT && free_index < d.free_lines.size(); ++n)
        tables().slot_line[n] = d.free_lines[free_index++];
    d.running = 0;
    SlotEvent done;
    done.kind = EVENT_DETECT_DONE;
    done.slot = d.filled;
    events.push_back(done);
}

// Settles the ports in their order as far as their probes have ended.
void detect_resolve(std::vector<SlotEvent>& events)
{
    Detection& d = tables().detect;
    while (d.resolved < d.next && d.outcome[d.resolved] >= 0) {
        const size_t k = d.resolved++;
        SlotEvent event;
        event.result = d.found[k];
        if (d.outcome[k] == 1 && d.filled < SLOT_COUNT) {
            const int n = d.filled++;
            tables().slot_line[n] = d.line_of[k];
            start_slot_anew(n, d.found[k].id);
            merge_line_record(filter_slots()[n], d.found[k].record);
            copy_text(filter_slots()[n].port_name, PORT_NAME_SIZE, d.ports[k].c_str(), PORT_NAME_SIZE - 1);
            filter_slots()[n].zoom_span = first_zoom_span(filter_slots()[n].center_wavelength);
            if (filter_slots()[n].connected) app().units_nm = filter_slots()[n].units;
            event.kind = EVENT_PROBE_FOUND;
            event.slot = n;
            event.merged = 1;
        } else {
            event.kind = EVENT_PROBE_EMPTY;
            event.slot = d.filled < SLOT_COUNT ? d.filled : SLOT_COUNT - 1;
        }
        app().scrollbar_reset[event.slot] = 1;
        events.push_back(event);
    }
}

void detect_launch(std::vector<SlotEvent>& events)
{
    Detection& d = tables().detect;
    while (!d.stopping && d.found_count + d.in_flight < SLOT_COUNT && d.next < d.ports.size() && !d.free_lines.empty()) {
        const int line = d.free_lines.front();
        SlotJob info;
        info.port = static_cast<int>(d.next);
        const std::uint64_t id = line_submit(window_state().lines, line, connect_job(d.ports[d.next].c_str()));
        if (id == 0) break;
        d.free_lines.erase(d.free_lines.begin());
        tables().jobs[id] = info;
        d.line_of[d.next] = line;
        d.outcome[d.next] = -1;
        ++d.next;
        ++d.in_flight;
    }
    if (d.in_flight == 0) {
        // Nothing on its way: every port still unsettled was never started.
        d.next = d.resolved;
        detect_finish(events);
    }
}

void detect_result(const LineResult& result, const SlotJob& info, std::vector<SlotEvent>& events)
{
    Detection& d = tables().detect;
    const size_t k = static_cast<size_t>(info.port);
    --d.in_flight;
    const int found = !result.cancelled && result.answered && result.record.connected;
    d.outcome[k] = found;
    d.found[k] = result;
    if (found)
        ++d.found_count;
    else
        d.free_lines.push_back(d.line_of[k]);
    detect_resolve(events);
    if (d.running) detect_launch(events);
}

}  // namespace

int slot_lines_start()
{
    if (window_state().lines != nullptr) return 0;
    tables() = SlotTables{};
    LinesOptions options;
    options.write_error_log = 1;
    window_state().lines = lines_make(SLOT_COUNT, options);
    return window_state().lines != nullptr;
}

void slot_lines_stop()
{
    lines_end(window_state().lines);
    window_state().lines = nullptr;
    auto observers = std::move(tables().observers);
    tables() = SlotTables{};
    tables().observers = std::move(observers);
    app().command_busy = 0;
}

int slot_lines_notify_descriptor() { return lines_notify_descriptor(window_state().lines); }

int slot_lines_wait(int timeout_ms) { return lines_wait(window_state().lines, timeout_ms); }

int slot_lines_idle() { return lines_idle(window_state().lines); }

std::uint64_t slot_connect(int n, const char* port_name)
{
    if (n < 0 || n >= SLOT_COUNT) return 0;
    const int line = tables().slot_line[n];
    line_cancel(window_state().lines, line);
    const std::uint64_t id = submit(n, line, connect_job(port_name), SlotJob{});
    if (id == 0) return 0;
    start_slot_anew(n, id);
    tables().connect_job[n] = id;
    tables().connect_order.emplace_back(id, -2);
    return id;
}

void slot_close(int n)
{
    if (n < 0 || n >= SLOT_COUNT) return;
    const int line = tables().slot_line[n];
    line_cancel(window_state().lines, line);
    const std::uint64_t id = submit(n, line, simple_job(JOB_CLOSE), SlotJob{});
    start_slot_anew(n, id != 0 ? id : lines_last_id(window_state().lines) + 1);
}

std::uint64_t slot_command(int n, const char* command, LineEdit edit, int poll_after, int busy, SlotAfter after,
                           std::uint64_t group)
{
    if (n < 0 || n >= SLOT_COUNT) return 0;
    SlotJob info;
    info.busy = busy;
    info.after = after;
    info.group = group;
    const std::uint64_t id = submit(n, tables().slot_line[n], command_job(command, poll_after, edit), info);
    if (id == 0) return 0;
    ++tables().commands_on_way[n];
    if (busy) ++app().command_busy;
    return id;
}

std::uint64_t slot_tick(int n)
{
    if (n < 0 || n >= SLOT_COUNT || !filter_slots()[n].connected) return 0;
    // The window's commands hold its ticks back themselves (app().command_busy): a tick waits only
    // for the line's last one.
    int handed_in = 0;
    const std::uint64_t id = line_tick(window_state().lines, tables().slot_line[n], TICK_WAITS_FOR_TICK, &handed_in);
    if (handed_in) {
        SlotJob info;
        info.slot = n;
        info.after = AFTER_REPAINT;
        tables().jobs[id] = info;
    }
    return id;
}

int slot_connecting(int n) { return n >= 0 && n < SLOT_COUNT && tables().connect_job[n] != 0; }

int slot_jobs_pending() { return static_cast<int>(tables().jobs.size()); }

std::uint64_t new_command_group() { return ++tables().last_group; }

void auto_detect_start(const std::vector<std::string>& ports)
{
    for (int n = 0; n < SLOT_COUNT; ++n) slot_close(n);
    Detection& d = tables().detect;
    d = Detection{};
    d.running = 1;
    d.ports = ports;
    d.outcome.assign(ports.size(), -1);
    d.line_of.assign(ports.size(), -1);
    d.found.assign(ports.size(), LineResult{});
    for (int n = 0; n < SLOT_COUNT; ++n) d.free_lines.push_back(tables().slot_line[n]);
    std::vector<SlotEvent> events;
    detect_launch(events);
    for (const SlotEvent& event : events) notify_slot_observers(event);
}

void auto_detect_stop()
{
    Detection& d = tables().detect;
    if (!d.running) return;
    d.stopping = 1;
    for (size_t k = d.resolved; k < d.next; ++k)
        if (d.outcome[k] == -1) line_cancel(window_state().lines, d.line_of[k]);
}

int auto_detect_running() { return tables().detect.running; }

void take_slot_results(std::vector<SlotEvent>& events)
{
    std::vector<LineResult> results;
    lines_take_results(window_state().lines, results);
    for (LineResult& result : results) {
        auto found = tables().jobs.find(result.id);
        if (found == tables().jobs.end()) continue;  // not ours: lines restarted since
        const SlotJob info = found->second;
        tables().jobs.erase(found);
        if (info.slot < 0) {
            detect_result(result, info, events);
            continue;
        }
        const int n = info.slot;
        if (result.kind == JOB_CONNECT && tables().connect_job[n] == result.id) tables().connect_job[n] = 0;
        if (result.kind == JOB_COMMAND) {
            --tables().commands_on_way[n];
            if (info.busy && app().command_busy > 0) --app().command_busy;
        }
        SlotEvent event;
        event.slot = n;
        event.merged = !result.cancelled && result.id >= tables().accept_from[n];
        if (event.merged) take_record(n, result.record);
        if (result.kind == JOB_CONNECT)
            note_connect_outcome(result.id, event.merged && filter_slots()[n].connected ? filter_slots()[n].units : -1);
        event.after = info.after;
        if (info.group != 0) {
            // A broadcast repaints once, when its last command is back.
            if (--tables().group_left[info.group] > 0) event.after = AFTER_NOTHING;
            else tables().group_left.erase(info.group);
        }
        event.result = std::move(result);
        events.push_back(std::move(event));
    }
    settle_connect_order();
}

int add_slot_observer(std::function<void(const SlotEvent&)> observer)
{
    const int handle = tables().next_observer++;
    tables().observers[handle] = std::move(observer);
    return handle;
}

void remove_slot_observer(int handle) { tables().observers.erase(handle); }

void notify_slot_observers(const SlotEvent& event)
{
    // A copy: an observer may remove itself.
    const auto observers = tables().observers;
    for (const auto& entry : observers) entry.second(event);
}
