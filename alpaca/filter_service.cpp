// The filters behind the Alpaca server; see filter_service.h.
#include "alpaca/filter_service.h"

#include "spectral/atlas.h"
#include "panels/panel.h"
#include "link/filter_settings.h"
#include "link/filter_history.h"
#include "link/settings_file.h"

#include <QBuffer>
#include <QImage>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// One HTTP thread's wait for one job. Several threads may wait for the same job (clients that all
// set Connected to true join one connection): each has a waiter of its own, which it alone adds
// to and takes out of the table, so none can lose its entry under another.
struct Waiter {
    int done = 0;
    LineResult result;
};

// The tag of a switch setting handed in for a client: its result counts it off the slot's queue.
constexpr std::uint64_t TAG_CLIENT_WRITE = 1;
// The schedule's wake and sleep: their results go to the schedule's runner.
constexpr std::uint64_t TAG_SCHEDULE_WAKE = 2;
constexpr std::uint64_t TAG_SCHEDULE_SLEEP = 3;

struct ServiceSlot {
    SlotView view;                   // the record the API answers from
    std::uint64_t transition_job = 0;  // the connect or close under way, 0 when none
    int transition_connect = 0;        // 1: that job is a connect, 0: a close
    int transition_async = 0;          // 1: Connect() started or joined it: a failure stays readable
    int queued_writes = 0;             // client settings handed in whose results are not merged
    Clock::time_point tick_started;
    Clock::time_point tick_tried;      // main thread only: the update's last turn for this slot
    std::string png;
    unsigned png_version = 0;
    int png_stale = 0;                 // the record changed since the picture was drawn
    Clock::time_point png_wanted_until{};  // a page asked for the picture recently
    int png_ratio = 1;                 // the device pixel ratio it is drawn for
    int wanted_ratio = 1;              // the finest a page asked for while it was wanted
    ObserverCommand observer;          // the last wake or sleep a client handed in (the schedule respects it)
};

// Drawing a panel costs far more than polling its filter, so pictures are drawn only while a page
// asks for them: for this long after its last request, and once at the start.
constexpr auto PANEL_WANTED = std::chrono::seconds(15);

// Everything below is guarded by mutex, except where a field says otherwise.
struct Service {
    std::mutex mutex;
    std::condition_variable results_merged;  // signalled after every batch of merged results
    ServiceSlot slot[SLOT_COUNT];
    std::multimap<std::uint64_t, Waiter*> waiters;  // job id -> each HTTP thread waiting for it
    std::string unique_ids[SLOT_COUNT];     // set before the lines start, read-only after
    std::string location;                     // likewise
    ServiceOptions options;                   // likewise
    std::mutex settings_file_mutex;           // one writer of solvane.ini at a time (HTTP threads)
    ClientIntervals intervals;                // its own mutex
    int running = 0;
    // The server's set of lines: made and ended by the main thread while no HTTP thread may hand
    // in (running 0); HTTP threads use it under the mutex while running is 1.
    FilterLines* lines = nullptr;
    int poll_count = 0;
    double poll_sum_ms = 0, poll_max_ms = 0;
    // Every poll since the start and the marks of the clients' settings. The pointer is made at
    // start and let go at stop under the mutex; the history has a lock of its own, so readers
    // (HTTP threads) copy the pointer and read outside the mutex, and the last holder ends it.
    // Its lock may be taken under the mutex (a poll or a mark added), never the other way round.
    std::shared_ptr<FilterHistory> history;

    ScheduleSummary schedule_summary;         // what the runner planned, for the page and the API
    Schedule schedule;                        // the schedule in force
    int schedule_changed = 0;                 // the setup page gave a new one: the main thread takes it up

    // Main thread only.
    std::unique_ptr<QSocketNotifier> notifier;
    std::unique_ptr<QTimer> timer;
    ScheduleRunner* runner = nullptr;         // nullptr: no schedule
};

Service service;

// Hands a job to a slot's line. The caller holds the mutex.
std::uint64_t submit_locked(int slot, const LineJob& job) { return line_submit(service.lines, slot, job); }

// Starts a connection or disconnection, or returns the one of the same kind already under way;
// one of the other kind stays queued before it. Returns the job whose result ends the change (0
// when none could be handed in); Connecting reads true until then. The caller holds the mutex.
std::uint64_t start_transition_locked(int slot, bool connect)
{
    ServiceSlot& s = service.slot[slot];
    if (s.transition_job != 0 && s.transition_connect == connect) return s.transition_job;
    // A disconnection does not wait behind settings for a filter that may be silent: what is
    // queued comes back cancelled and the running exchange is cut short.
    if (!connect) line_cancel(service.lines, slot);
    s.view.connect_failure.clear();
    s.transition_async = 0;
    const LineJob job = connect ? connect_job(s.view.port_name) : simple_job(JOB_CLOSE);
    const std::uint64_t id = submit_locked(slot, job);
    if (id == 0) return 0;
    s.transition_job = id;
    s.transition_connect = connect;
    s.view.connecting = 1;
    return id;
}

// A slot's panel as a PNG, drawn by the window's painter. Main thread (Qt painting).
std::string render_png(const FilterRecord& record, int ratio)
{
    const QImage image = render_panel_image(record, service.options.full_display, record.units, ratio);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

// Draws the panels of the slots marked changed, and of those a page asks for again whose picture
// is stale, and stores them; a changed panel no page asks for is only marked stale. Main thread;
// the record is copied under the mutex (the setup page may give a slot another port meanwhile)
// and drawn outside it.
void render_panels(const bool changed[SLOT_COUNT])
{
    const auto now = Clock::now();
    for (int n = 0; n < SLOT_COUNT; ++n) {
        ServiceSlot& s = service.slot[n];
        int ratio = 1;
        FilterRecord record;
        {
            std::lock_guard<std::mutex> lock(service.mutex);
            if (!s.view.configured) continue;
            if (changed[n]) s.png_stale = 1;
            const bool wanted = now < s.png_wanted_until || s.png.empty();
            if (!s.png_stale || !wanted) continue;
            s.png_stale = 0;
            ratio = s.wanted_ratio;
            record = s.view.record;
        }
        std::string png = render_png(record, ratio);
        std::lock_guard<std::mutex> lock(service.mutex);
        s.png = std::move(png);
        s.png_ratio = ratio;
        ++s.png_version;
    }
}

// The schedule's share of a batch of results: the outcome of its own wakes and sleeps, and every
// answered poll for the heating times. Main thread.
void schedule_results(const std::vector<const LineResult*>& results)
{
    for (const LineResult* r : results) {
        if (r->tag == TAG_SCHEDULE_WAKE || r->tag == TAG_SCHEDULE_SLEEP)
            runner_result(service.runner, r->line, r->tag == TAG_SCHEDULE_WAKE ? SCHEDULE_WAKE : SCHEDULE_SLEEP,
                          r->answered && !r->cancelled);
        if (!r->cancelled && r->answered)
            runner_poll(service.runner, r->line, r->record, static_cast<std::int64_t>(std::time(nullptr)) * 1000);
    }
}

// Takes the lines' results into the records (main thread, from the notifier).
void take_results()
{
    std::vector<LineResult> results;
    lines_take_results(service.lines, results);
    if (results.empty()) return;
    bool changed[SLOT_COUNT] = {};
    std::vector<const LineResult*> for_schedule;  // handed to the runner outside the mutex (it reads the slots)
    {
        std::lock_guard<std::mutex> lock(service.mutex);
        const auto now = Clock::now();
        for (const LineResult& r : results) {
            if (r.line < 0 || r.line >= SLOT_COUNT) continue;
            ServiceSlot& s = service.slot[r.line];
            if (r.kind == JOB_TICK && !r.cancelled) {
                const double ms = std::chrono::duration<double, std::milli>(now - s.tick_started).count();
                ++service.poll_count;
                service.poll_sum_ms += ms;
                if (ms > service.poll_max_ms) service.poll_max_ms = ms;
            }
            if (!r.cancelled) {
                merge_line_record(s.view.record, r.record);
                s.view.updated = std::chrono::system_clock::now();
                changed[r.line] = true;
                // The polls the window keeps, taken alike: the ticks and a connection's first status.
                if (r.kind == JOB_TICK || r.kind == JOB_CONNECT)
                    history_add_poll(service.history.get(), r.line, s.view.record, history_now_ms());
            }
            if (service.runner != nullptr) for_schedule.push_back(&r);
            if (r.tag == TAG_CLIENT_WRITE && s.queued_writes > 0) --s.queued_writes;
            if (r.id == s.transition_job) {
                if (s.transition_connect && s.transition_async && !r.answered && !r.cancelled)
                    s.view.connect_failure = connect_failure_sentence(r, s.view.record, r.line);
                s.transition_job = 0;
                s.view.connecting = 0;
            }
            const auto [first, last] = service.waiters.equal_range(r.id);
            for (auto w = first; w != last; ++w) {
                w->second->done = 1;
                w->second->result = r;
            }
        }
    }
    service.results_merged.notify_all();
    schedule_results(for_schedule);
    render_panels(changed);
}

// How often the update timer looks at the slots: at the server's own interval, or once a second
// when that is longer, so that a client asking for 1 s data gets it from the next second on.
int timer_period_ms() { return std::min(service.options.interval_ms, CLIENT_INTERVAL_MIN_MS); }

// The update: a tick for every connected filter whose interval has passed (the shortest a client
// asked for recently, or the server's own), by the lines' rule for a server: never onto a line
// still busy (a command, a connection or the last tick). However many clients read a filter, it
// is polled once per interval.
void tick()
{
    const auto now = Clock::now();
    const int interval = shortest_client_interval(service.intervals, service.options.interval_ms, now);
    // Half a timer period of slack: a timer that fires a little early still takes its turn.
    const auto due = std::chrono::milliseconds(interval - timer_period_ms() / 2);
    std::lock_guard<std::mutex> lock(service.mutex);
    for (int n = 0; n < SLOT_COUNT; ++n) {
        ServiceSlot& s = service.slot[n];
        if (!s.view.configured || !s.view.record.connected || now - s.tick_tried < due) continue;
        s.tick_tried = now;
        int handed_in = 0;
        line_tick(service.lines, n, TICK_WAITS_FOR_ANY_JOB, &handed_in);
        if (handed_in) s.tick_started = now;
    }
}

// The schedule's command mark in the history, beside the event's log line. Main thread, outside
// the mutex: the history has a lock of its own.
void schedule_mark(int slot, const char* text)
{
    std::shared_ptr<FilterHistory> history;
    {
        std::lock_guard<std::mutex> lock(service.mutex);
        history = service.history;
    }
    history_add_command(history.get(), slot, text, history_now_ms());
}

// What the runner may do and read of the slots. Its hooks run on the main thread, outside the mutex.
ScheduleHooks schedule_hooks()
{
    ScheduleHooks hooks;
    hooks.slot = [](int n) {
        std::lock_guard<std::mutex> lock(service.mutex);
        const ServiceSlot& s = service.slot[n];
        ScheduleSlot slot;
        slot.configured = s.view.configured;
        slot.connected = s.view.record.connected;
        slot.port_name = s.view.port_name;
        slot.serial_number = s.view.record.serial_number_text;
        slot.observer = s.observer;
        return slot;
    };
    hooks.send = [](int n, ScheduleKind kind) {
        std::lock_guard<std::mutex> lock(service.mutex);
        if (!service.running) return 0;
        // The setting is queued behind the connection, as a client's Connect and then its setting.
        if (kind == SCHEDULE_WAKE && !service.slot[n].view.record.connected) start_transition_locked(n, true);
        LineJob job = setting_job(SETTING_SLEEP, kind == SCHEDULE_SLEEP ? 1 : 0);
        job.tag = kind == SCHEDULE_WAKE ? TAG_SCHEDULE_WAKE : TAG_SCHEDULE_SLEEP;
        return submit_locked(n, job) != 0 ? 1 : 0;
    };
    hooks.mark = schedule_mark;
    hooks.log = [](const std::string& line) {
        std::printf("solvane-alpaca: %s\n", line.c_str());
        std::fflush(stdout);
    };
    return hooks;
}

// A filter that did not answer the schedule is tried again at each of the server's updates.
int schedule_retry_s() { return service.options.interval_ms / 1000; }

// The schedule at an update: a new one from the setup page taken up, the events due, the summary
// the page and the API read. Main thread.
void schedule_update()
{
    Schedule changed;
    int take = 0;
    {
        std::lock_guard<std::mutex> lock(service.mutex);
        if (service.schedule_changed) changed = service.schedule, take = 1;
        service.schedule_changed = 0;
    }
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    if (take && service.runner != nullptr) runner_change(service.runner, changed, now);
    else if (take) service.runner = runner_make(changed, SLOT_COUNT, schedule_hooks(), now, schedule_retry_s());
    runner_step(service.runner, now);
    ScheduleSummary summary = runner_summary(service.runner);
    std::lock_guard<std::mutex> lock(service.mutex);
    service.schedule_summary = std::move(summary);
}

// The update timer: the ticks, then the pictures a page asks for again after a pause.
void on_update_timer()
{
    schedule_update();
    tick();
    const bool none[SLOT_COUNT] = {};
    render_panels(none);
}

// Every slot as the options name it, nothing waiting and nothing counted: the state a start begins
// from (a server may be stopped and started again in one process).
void reset_slots(const ServiceOptions& options, const std::string& machine)
{
    std::lock_guard<std::mutex> lock(service.mutex);
    for (int n = 0; n < SLOT_COUNT; ++n) {
        ServiceSlot& s = service.slot[n];
        s = ServiceSlot{};
        s.view.configured = !options.ports[n].empty();
        copy_text(s.view.port_name, PORT_NAME_SIZE, options.ports[n].c_str(), PORT_NAME_SIZE - 1);
        s.view.record.slot_index = n;
        if (options.zoom_span[n] > 0) s.view.record.zoom_span = options.zoom_span[n];
        copy_text(s.view.record.port_name, PORT_NAME_SIZE, options.ports[n].c_str(), PORT_NAME_SIZE - 1);
        s.view.updated = std::chrono::system_clock::now();
        s.tick_tried = Clock::now();  // the first update one interval after the start, as always
        service.unique_ids[n] = unique_device_id(machine, n);
    }
    service.waiters.clear();
    {
        std::lock_guard<std::mutex> intervals_lock(service.intervals.mutex);
        service.intervals.held_until.clear();
    }
    service.poll_count = 0;
    service.poll_sum_ms = service.poll_max_ms = 0;
}

}  // namespace

int service_start(const ServiceOptions& options)
{
    if (service.running) return 0;
    load_solar_atlas();
    service.options = options;
    service.location = [] {
        char host[256] = "";
        ::gethostname(host, sizeof host - 1);
        return std::string(host);
    }();
    reset_slots(options, machine_identity());
    LinesOptions lines;
    lines.write_error_log = options.write_error_log;
    FilterLines* made = lines_make(SLOT_COUNT, lines);
    if (made == nullptr) return 0;
    {
        std::lock_guard<std::mutex> lock(service.mutex);
        service.lines = made;
        service.history.reset(history_make(SLOT_COUNT), history_end);
        service.running = 1;
    }

    service.notifier = std::make_unique<QSocketNotifier>(lines_notify_descriptor(made), QSocketNotifier::Read);
    QObject::connect(service.notifier.get(), &QSocketNotifier::activated, [] { take_results(); });
    service.timer = std::make_unique<QTimer>();
    QObject::connect(service.timer.get(), &QTimer::timeout, [] { on_update_timer(); });
    service.timer->start(timer_period_ms());

    {
        std::lock_guard<std::mutex> lock(service.mutex);
        service.schedule = options.schedule;
        service.schedule_changed = 0;
        service.schedule_summary = ScheduleSummary{};
    }
    service.runner = runner_make(options.schedule, SLOT_COUNT, schedule_hooks(), static_cast<std::int64_t>(std::time(nullptr)),
                                 schedule_retry_s());

    bool all[SLOT_COUNT];
    std::fill(std::begin(all), std::end(all), true);
    render_panels(all);
    if (options.connect_at_start) {
        std::lock_guard<std::mutex> lock(service.mutex);
        for (int n = 0; n < SLOT_COUNT; ++n)
            if (service.slot[n].view.configured) start_transition_locked(n, true);
    }
    return 1;
}

void service_stop()
{
    if (!service.running) return;
    service.timer.reset();
    service.notifier.reset();
    runner_end(service.runner);
    service.runner = nullptr;
    {
        // Waiting HTTP threads answer at once; jobs handed in from now on are refused.
        std::lock_guard<std::mutex> lock(service.mutex);
        service.running = 0;
    }
    service.results_merged.notify_all();
    // No HTTP thread hands in from here on (running is 0), so the set may end outside the mutex.
    lines_end(service.lines);
    std::lock_guard<std::mutex> lock(service.mutex);
    service.lines = nullptr;
    service.history.reset();
    for (ServiceSlot& s : service.slot) {
        s.transition_job = 0;
        s.view.connecting = 0;
    }
}

ServerView service_view()
{
    ServerView view;
    view.intervals = &service.intervals;
    std::lock_guard<std::mutex> lock(service.mutex);
    for (int n = 0; n < SLOT_COUNT; ++n) {
        view.slot[n] = service.slot[n].view;
        view.unique_ids[n] = service.unique_ids[n];
    }
    view.location = service.location;
    view.schedule = service.schedule_summary;
    return view;
}

std::string service_panel_png(int slot, unsigned* version, int ratio)
{
    if (slot < 0 || slot >= SLOT_COUNT) return "";
    ratio = std::clamp(ratio, 1, PANEL_RATIO_MAX);
    std::lock_guard<std::mutex> lock(service.mutex);
    ServiceSlot& s = service.slot[slot];
    const auto now = Clock::now();
    // A finer screen than the picture's is served at the next update (the page asks again when
    // the version grows); once no page asked for a while, the next asker sets the ratio anew.
    if (now >= s.png_wanted_until) s.wanted_ratio = ratio;
    else s.wanted_ratio = std::max(s.wanted_ratio, ratio);
    if (s.wanted_ratio != s.png_ratio) s.png_stale = 1;
    s.png_wanted_until = now + PANEL_WANTED;
    if (version != nullptr) *version = service.slot[slot].png_version;
    return service.slot[slot].png;
}

std::shared_ptr<FilterHistory> service_history()
{
    std::lock_guard<std::mutex> lock(service.mutex);
    return service.history;
}

unsigned service_panel_version(int slot)
{
    if (slot < 0 || slot >= SLOT_COUNT) return 0;
    std::lock_guard<std::mutex> lock(service.mutex);
    service.slot[slot].png_wanted_until = Clock::now() + PANEL_WANTED;
    return service.slot[slot].png_version;
}

namespace {

// Waits until job id's result is merged, the deadline passes or the service stops. The caller
// holds the mutex through lock.
bool wait_for_job(std::unique_lock<std::mutex>& lock, std::uint64_t id, Clock::time_point deadline,
                  WriteOutcome& outcome)
{
    Waiter waiter;  // this thread's own; in the table only while it waits
    const auto entry = service.waiters.emplace(id, &waiter);
    service.results_merged.wait_until(lock, deadline, [&] { return waiter.done || !service.running; });
    service.waiters.erase(entry);
    outcome.finished = waiter.done;
    outcome.result = waiter.result;
    return outcome.finished != 0;
}

}  // namespace

WriteOutcome service_run_write(int slot, ApiWrite write, const LineJob& job, int wait_ms, FilterRecord* record)
{
    WriteOutcome outcome;
    if (slot < 0 || slot >= SLOT_COUNT) return outcome;
    const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    std::unique_lock<std::mutex> lock(service.mutex);
    ServiceSlot& s = service.slot[slot];
    if (!service.running) {
        outcome.failure = "The server is shutting down.";
    } else if (write == WRITE_JOB) {
        if (s.queued_writes >= WRITE_QUEUE_MAX) {
            outcome.queue_full = 1;
            outcome.failure = "Filter " + std::to_string(slot + 1) + " has " + std::to_string(WRITE_QUEUE_MAX) +
                              " settings waiting for it already; try again once they are answered.";
        } else {
            LineJob tagged = job;
            tagged.tag = TAG_CLIENT_WRITE;
            if (job.edit.setting == SETTING_SLEEP)
                s.observer = {1, job.edit.value >= 0.5 ? SCHEDULE_SLEEP : SCHEDULE_WAKE,
                              static_cast<std::int64_t>(std::time(nullptr))};
            const std::uint64_t id = submit_locked(slot, tagged);
            if (id == 0) {
                outcome.failure = "The filter's line is stopping.";
            } else {
                ++s.queued_writes;
                if (job.edit.setting >= 0) {
                    const std::string mark = setting_mark_text(static_cast<FilterSetting>(job.edit.setting), job.edit.value);
                    if (!mark.empty()) history_add_command(service.history.get(), slot, mark.c_str(), history_now_ms());
                }
                wait_for_job(lock, id, deadline, outcome);
            }
        }
    } else {
        // A connection or disconnection: one under way of the same kind is joined; one of the
        // other kind runs first, as the line takes jobs in order.
        const bool connect = write == WRITE_CONNECT;
        if (s.transition_job == 0 && (s.view.record.connected != 0) == connect) {
            outcome.finished = 1;
            outcome.result.answered = 1;
        } else if (const std::uint64_t id = start_transition_locked(slot, connect); id == 0) {
            outcome.failure = "The filter's line is stopping.";
        } else {
            wait_for_job(lock, id, deadline, outcome);
        }
    }
    if (record != nullptr) *record = s.view.record;
    return outcome;
}

void service_start_write(int slot, ApiWrite write)
{
    if (slot < 0 || slot >= SLOT_COUNT) return;
    std::lock_guard<std::mutex> lock(service.mutex);
    if (!service.running) return;
    const bool connect = write == WRITE_CONNECT_START;
    if (start_transition_locked(slot, connect) != 0 && connect) service.slot[slot].transition_async = 1;
}

namespace {

// Writes slot's new port into solvane.ini, every other setting as the file has it. Returns 1 when
// written; 0 with problem set.
int save_port(int slot, const std::string& port_name, std::string& problem)
{
    std::lock_guard<std::mutex> lock(service.settings_file_mutex);
    SettingsFile settings;
    if (read_settings_file(settings, problem) == SETTINGS_UNREADABLE) return 0;
    copy_text(settings.per_slot[slot].port_name, PORT_NAME_SIZE, port_name.c_str(), PORT_NAME_SIZE - 1);
    return write_settings_file(settings, problem, settings.placement_valid);
}

}  // namespace

PortChoice service_choose_port(int slot, const std::string& port_name, std::string& message)
{
    const std::string filter = "Filter " + std::to_string(slot + 1);
    // Listing the ports reads directories: before the mutex, which the polls need.
    if (slot < 0 || slot >= SLOT_COUNT || !port_listed(port_name.c_str())) {
        message = "'" + port_name.substr(0, 80) + "' is not one of the serial ports this computer lists.";
        return PORT_NOT_LISTED;
    }
    {
        std::lock_guard<std::mutex> lock(service.mutex);
        ServiceSlot& s = service.slot[slot];
        if (!service.running) {
            message = "The server is shutting down.";
            return PORT_STOPPING;
        }
        if (s.view.record.connected || s.transition_job != 0) {
            message = filter + " is connected: disconnect it before choosing another port.";
            return PORT_SLOT_BUSY;
        }
        for (int n = 0; n < SLOT_COUNT; ++n)
            if (n != slot && service.slot[n].view.configured && port_name == service.slot[n].view.port_name) {
                message = port_name + " is the port of filter " + std::to_string(n + 1) + " already.";
                return PORT_TAKEN;
            }
        // The slot starts afresh: nothing the old port's filter reported is shown for the new one.
        FilterRecord fresh;
        fresh.slot_index = slot;
        fresh.zoom_span = s.view.record.zoom_span;
        copy_text(fresh.port_name, PORT_NAME_SIZE, port_name.c_str(), PORT_NAME_SIZE - 1);
        copy_text(s.view.port_name, PORT_NAME_SIZE, port_name.c_str(), PORT_NAME_SIZE - 1);
        s.view.record = fresh;
        s.view.configured = 1;
        s.view.connect_failure.clear();
        s.view.updated = std::chrono::system_clock::now();
        s.png_stale = 1;
    }
    message = filter + " uses " + port_name + " from now on";
    if (!service.options.ports_in_settings_file) {
        message += " (for this run: the server was started with --ports).";
        return PORT_CHOSEN;
    }
    std::string problem;
    if (!save_port(slot, port_name, problem)) {
        message += ", but it could not be saved: " + problem;
        return PORT_CHOSEN_NOT_SAVED;
    }
    message += ", saved in solvane.ini.";
    return PORT_CHOSEN;
}

int service_saves_ports() { return service.options.ports_in_settings_file; }

PollDelays service_poll_delays(int reset)
{
    std::lock_guard<std::mutex> lock(service.mutex);
    PollDelays delays;
    delays.count = service.poll_count;
    delays.mean_ms = service.poll_count ? service.poll_sum_ms / service.poll_count : 0;
    delays.max_ms = service.poll_max_ms;
    if (reset) {
        service.poll_count = 0;
        service.poll_sum_ms = service.poll_max_ms = 0;
    }
    return delays;
}

int service_set_schedule(const Schedule& schedule, std::string& message)
{
    {
        std::lock_guard<std::mutex> lock(service.mutex);
        service.schedule = schedule;
        service.schedule_changed = 1;
    }
    std::string problem;
    std::lock_guard<std::mutex> lock(service.settings_file_mutex);
    if (!save_site_file(schedule, problem)) {
        message = "The schedule runs from now on, but it could not be saved: " + problem;
        return 0;
    }
    message = "The schedule runs from now on, saved in solvane-site.ini.";
    return 1;
}

Schedule service_schedule()
{
    std::lock_guard<std::mutex> lock(service.mutex);
    return service.schedule;
}
