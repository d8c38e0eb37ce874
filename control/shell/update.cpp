// The update timer and the results of the filter lines.
//
// Every tick hands each connected filter's update to its line (the tick policy of the link
// library: status poll, re-open of a lost line, age every 60th poll) and repaints the panels at
// once; each panel follows again as its filter's result comes. A line still busy with the last
// tick's update gets no second one, so a silent filter never piles up work and never holds up
// the others.
//
// The bandpass log row of a tick holds that tick's values of all four filters. A tick with
// logging on opens a round that waits for the updates it handed out (or the ones still on their
// way); each result fills in its filter's values, and rounds are written in tick order as they
// fill. Everything here runs on the GUI thread.
#include "control/shell/shell.h"

#include "control/dialogs/dialogs.h"
#include "control/display/slot_problem.h"
#include "panels/panel.h"
#include "control/state/slot_lines.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <deque>

namespace {


void write_finished_rounds()
{
    while (!window_state().rounds.empty()) {
        const TickRound& round = window_state().rounds.front();
        for (std::uint64_t id : round.waiting_for)
            if (id != 0) return;
        if (app().log_enabled) write_log_row(round.values);
        window_state().rounds.pop_front();
    }
}

void fill_rounds(int n, std::uint64_t id)
{
    for (TickRound& round : window_state().rounds) {
        if (round.waiting_for[n] != id) continue;
        round.values[n] = filter_slots()[n];
        round.waiting_for[n] = 0;
    }
}

// What the slot's panel and menu say about a filter that is not working: set from a connect that
// failed, or from an update the filter did not answer; cleared once it works, or the slot closed.
// Returns 1 when the text changed.
int note_slot_problem(const SlotEvent& event)
{
    const int n = event.slot;
    const LineResult& result = event.result;
    const FilterRecord& slot = filter_slots()[n];
    std::string text = window_state().slot_problem[n];
    if (event.kind == EVENT_PROBE_FOUND || (event.kind == EVENT_RESULT && result.kind == JOB_CLOSE))
        text.clear();
    else if (event.kind != EVENT_RESULT || !event.merged)
        return 0;
    else if (result.kind == JOB_CONNECT)
        text = slot.connected ? "" : slot_problem_text(slot.port_name, result.failure, result.port_error, 0);
    else if (result.kind == JOB_TICK && slot.connected)
        text = slot.status_code == STATUS_NO_COMMUNICATION ? slot_problem_text(slot.port_name, CONNECT_OK, {}, 1) : "";
    if (text == window_state().slot_problem[n]) return 0;
    window_state().slot_problem[n] = text;
    return 1;
}

void handle_event(const SlotEvent& event, int& menus_changed, int& history_changed)
{
    const int n = event.slot;
    const LineResult& result = event.result;
    if (n >= 0 && n < SLOT_COUNT && note_slot_problem(event)) menus_changed = 1;
    if (event.kind == EVENT_PROBE_FOUND) {
        window_state().panel_cache[n].valid = 0;  // a slot given another filter draws that filter's line
        menus_changed = 1;
        return;
    }
    if (event.kind != EVENT_RESULT) return;
    if (result.kind == JOB_TICK) fill_rounds(n, result.id);
    // Every poll the record took in, a connection's first status among them, goes into the history.
    if (event.merged && (result.kind == JOB_TICK || result.kind == JOB_CONNECT)) {
        history_add_poll(window_history(), n, filter_slots()[n], history_now_ms());
        history_changed = 1;
    }
    if (result.kind == JOB_CONNECT || result.kind == JOB_CLOSE) {
        if (event.merged && result.kind == JOB_CONNECT && filter_slots()[n].connected) window_state().panel_cache[n].valid = 0;
        app().scrollbar_reset[n] = 1;
        menus_changed = 1;
        if (event.merged) repaint_panels(0);
    }
    if (event.after == AFTER_REBUILD)
        repaint_panels(1);
    else if (event.after == AFTER_REPAINT)
        repaint_panels(0);
}

}  // namespace

void on_timer(int timer_id)
{
    if (timer_id != UPDATE_TIMER_ID) return;
    // A command on its way to a filter owns the lines until it is back; the tick still repaints.
    if (!app().command_busy) {
        TickRound round;
        for (int n = 0; n < SLOT_COUNT; ++n) {
            round.values[n] = filter_slots()[n];
            if (filter_slots()[n].connected) round.waiting_for[n] = slot_tick(n);
        }
        if (app().log_enabled) {
            window_state().rounds.push_back(round);
            write_finished_rounds();
        }
    }
    refresh_panels();
}

void on_slot_results()
{
    std::vector<SlotEvent> events;
    take_slot_results(events);
    int menus_changed = 0, history_changed = 0;
    for (const SlotEvent& event : events) {
        handle_event(event, menus_changed, history_changed);
        notify_slot_observers(event);
    }
    if (!app().log_enabled) window_state().rounds.clear();
    write_finished_rounds();
    if (history_changed) refresh_history_window(0);
    if (menus_changed) {
        update_menus();
        update_panel_area();  // a filter more or less: the panels to scroll to change
    }
}

int start_filter_lines()
{
    window_state().rounds.clear();
    if (!slot_lines_start()) return 0;
    delete window_state().results_notifier;
    window_state().results_notifier =
        new QSocketNotifier(slot_lines_notify_descriptor(), QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(window_state().results_notifier, &QSocketNotifier::activated, [] { on_slot_results(); });
    return 1;
}

void stop_filter_lines()
{
    delete window_state().results_notifier;
    window_state().results_notifier = nullptr;
    slot_lines_stop();
    window_state().rounds.clear();
}
