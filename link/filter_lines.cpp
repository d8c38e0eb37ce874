// One line per filter; see filter_lines.h.
//
// Each line is a thread with a queue. The thread owns the line's FilterRecord and, through it, the
// port's descriptor: no other thread reads or writes either, so a descriptor is never used after
// its line closed it. Jobs carry everything they need (the port name, the command bytes, the edit)
// and results carry a copy of the record back.
//
// Cutting a job short: each line has a pipe whose read end is the link's abort descriptor for the
// line's thread (serial_set_abort_descriptor). line_cancel writes a byte into it while the job to
// be cut short runs; every wait in the link watches that descriptor, so the job ends within
// milliseconds. The thread drains the pipe before it starts the next job, under the line's mutex,
// so a cancel reaches exactly the job that ran when it was asked for.
#include "link/filter_lines.h"

#include "link/filter_settings.h"

#include "link/filter_policy.h"
#include "link/remote_link.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

struct QueuedJob {
    std::uint64_t id = 0;
    LineJob job;
};

struct Line {
    std::thread thread;
    std::mutex mutex;                // guards queue, running_id and stopping
    std::condition_variable wake;
    std::deque<QueuedJob> queue;
    std::uint64_t running_id = 0;    // the job the thread runs now, 0 between jobs
    int stopping = 0;
    int abort_pipe[2] = {-1, -1};    // readable end: the thread's abort descriptor
    FilterRecord record;             // the line's thread alone
    RemoteLine remote;               // likewise: the server, when the port is a served filter
    // On its way (handed in, result not yet taken): guarded by the set's results mutex.
    int untaken = 0;                 // jobs
    std::uint64_t tick_on_way = 0;   // the tick among them, 0 when none
};

}  // namespace

struct FilterLines {
    std::unique_ptr<Line[]> lines;
    int made = 0;                    // lines allocated
    int count = 0;                   // lines running; set before the threads start, read-only while they run
    LinesOptions options;            // likewise
    std::atomic<int> tracing{0};     // any thread writes; each line reads it as a job starts

    std::mutex results_mutex;        // guards everything below and each line's untaken, tick_on_way
    std::condition_variable results_waiting;
    std::vector<LineResult> results;
    std::uint64_t last_id = 0;
    int notify_pipe[2] = {-1, -1};   // readable end: results wait
    // The jobs that may compose serial_error.log records, in the order they were handed in, and
    // the records of those that ended; the consumer writes them from the front.
    std::deque<std::uint64_t> log_order;
    std::map<std::uint64_t, std::string> ended_logs;
};

namespace {

bool make_pipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0; }

void close_pipe(int fds[2])
{
    for (int k = 0; k < 2; ++k) {
        if (fds[k] >= 0) ::close(fds[k]);
        fds[k] = -1;
    }
}

void drain(int fd)
{
    char bytes[64];
    while (::read(fd, bytes, sizeof bytes) > 0) {
    }
}

void poke(int fd)
{
    const char byte = 1;
    ssize_t ignored = ::write(fd, &byte, 1);  // a full pipe is already readable: nothing lost
    (void)ignored;
}

// A connection may fail on a port; a served filter's update and command may also find its server
// gone. Only closing and reopening never write a record.
bool composes_log(LineJobKind kind) { return kind != JOB_CLOSE && kind != JOB_REOPEN; }

void post_results(FilterLines& set, std::vector<LineResult>& ready)
{
    if (ready.empty()) return;
    std::lock_guard<std::mutex> lock(set.results_mutex);
    for (LineResult& result : ready) set.results.push_back(std::move(result));
    poke(set.notify_pipe[1]);
    set.results_waiting.notify_all();
}

void apply_edit(FilterRecord& r, const LineEdit& edit)
{
    if (edit.setting >= 0 && edit.setting < SETTING_COUNT) apply_setting(r, static_cast<FilterSetting>(edit.setting), edit.value);
}

// A job for a filter served by solvane-alpaca: the same kinds, through its server.
void run_remote_job(FilterRecord& r, RemoteLine& remote, const LineJob& job, LineResult& result)
{
    switch (job.kind) {
    case JOB_CONNECT:
        serial_close(r.connected, r.port_handle);
        copy_text(r.port_name, PORT_NAME_SIZE, job.port_name, PORT_NAME_SIZE - 1);
        remote_connect(r, remote, job.port_name, result);
        break;
    case JOB_TICK:
    case JOB_POLL_STATUS:
    case JOB_POLL_AGE:
        if (r.connected) remote_update(r, remote, job.kind == JOB_TICK, result);
        break;
    case JOB_COMMAND:
        apply_edit(r, job.edit);
        if (r.connected) remote_command(r, remote, job, result);
        break;
    case JOB_REOPEN:
        result.answered = r.connected;  // the next update connects the server's device again
        break;
    case JOB_CLOSE:
        remote_close(r, remote, result);
        break;
    }
}

// Runs one job on the line's record; the result's answered, failure and reply come from here.
void run_job_kind(FilterRecord& r, RemoteLine& remote, const LineJob& job, LineResult& result)
{
    if (is_remote_port_name(job.kind == JOB_CONNECT ? job.port_name : r.port_name)) {
        run_remote_job(r, remote, job, result);
        return;
    }
    switch (job.kind) {
    case JOB_CONNECT: {
        serial_close(r.connected, r.port_handle);
        copy_text(r.port_name, PORT_NAME_SIZE, job.port_name, PORT_NAME_SIZE - 1);
        ConnectFailure why = CONNECT_OK;
        result.answered = connect_slot(r, job.port_name, &why, &result.device_answer);
        result.failure = why;
        if (why == CONNECT_PORT_FAILED) result.port_error = serial_last_error();
        break;
    }
    case JOB_TICK:
        if (r.connected) {
            run_tick_policy(r);
            result.answered = r.status_code != STATUS_NO_COMMUNICATION;
        }
        break;
    case JOB_POLL_STATUS:
        if (r.connected) {
            poll_filter_status(r);
            result.answered = r.status_code != STATUS_NO_COMMUNICATION;
        }
        break;
    case JOB_POLL_AGE:
        if (r.connected) {
            poll_filter_age(r);
            result.answered = r.status_code != STATUS_NO_COMMUNICATION;
        }
        break;
    case JOB_COMMAND:
        apply_edit(r, job.edit);
        result.answered = serial_exchange(r.connected, r.port_handle, job.command, result.reply) > 0;
        result.acknowledged = setting_acknowledged(result.reply);
        if (job.poll_after) poll_filter_status(r);
        break;
    case JOB_REOPEN:
        if (r.connected) result.answered = serial_reopen(r.port_handle, r.port_name);
        break;
    case JOB_CLOSE:
        result.answered = serial_close(r.connected, r.port_handle);
        break;
    }
}

LineResult run_job(FilterLines& set, int index, const QueuedJob& queued)
{
    FilterRecord& r = set.lines[index].record;
    const LineJob& job = queued.job;
    LineResult result;
    result.line = index;
    result.id = queued.id;
    result.tag = job.tag;
    result.kind = job.kind;

    std::string records;
    capture_serial_error_log(&records);
    if (set.tracing.load()) capture_exchanges(&result.exchanges);
    run_job_kind(r, set.lines[index].remote, job, result);
    capture_exchanges(nullptr);
    capture_serial_error_log(nullptr);

    result.cancelled = serial_aborted();
    if (result.cancelled && job.kind == JOB_CONNECT) result.failure = CONNECT_CANCELLED;
    if (!result.cancelled) result.log_records = std::move(records);
    result.record = r;
    result.record.port_handle = -1;  // the descriptor stays with the line
    return result;
}

void run_line(FilterLines* set, int index)
{
    Line& line = set->lines[index];
    serial_set_abort_descriptor(line.abort_pipe[0]);
    while (true) {
        QueuedJob queued;
        {
            std::unique_lock<std::mutex> lock(line.mutex);
            line.wake.wait(lock, [&] { return !line.queue.empty() || line.stopping; });
            if (line.stopping) break;
            queued = line.queue.front();
            line.queue.pop_front();
            line.running_id = queued.id;
            drain(line.abort_pipe[0]);  // a cancel meant for an earlier job ends here
        }
        std::vector<LineResult> ready;
        ready.push_back(run_job(*set, index, queued));
        // Posted before the line counts as free, so lines_idle never sees neither.
        post_results(*set, ready);
        std::lock_guard<std::mutex> lock(line.mutex);
        line.running_id = 0;
    }
    // The port goes back as it was found; its record goes with the thread.
    serial_set_abort_descriptor(-1);
    serial_close(line.record.connected, line.record.port_handle);
}

// Takes every queued job off a line as a cancelled result. The caller holds the line's mutex.
void drop_queued(int index, Line& line, std::vector<LineResult>& dropped)
{
    for (const QueuedJob& queued : line.queue) {
        LineResult result;
        result.line = index;
        result.id = queued.id;
        result.tag = queued.job.tag;
        result.kind = queued.job.kind;
        result.cancelled = 1;
        if (queued.job.kind == JOB_CONNECT) result.failure = CONNECT_CANCELLED;
        dropped.push_back(result);
    }
    line.queue.clear();
}

// At the end of a set: the records of jobs that ended, taken or not, still waiting for an
// earlier job's, are written in the order their jobs came; a job cut short or never run has none.
// The lines' threads have been joined, so nothing else touches the set.
void write_ended_records(FilterLines& set)
{
    std::string to_write;
    {
        std::lock_guard<std::mutex> lock(set.results_mutex);
        for (const LineResult& result : set.results)
            if (composes_log(result.kind)) set.ended_logs[result.id] = result.log_records;
        for (const std::uint64_t id : set.log_order)
            if (auto ended = set.ended_logs.find(id); ended != set.ended_logs.end()) to_write += ended->second;
        set.log_order.clear();
        set.ended_logs.clear();
    }
    if (set.options.write_error_log) write_serial_error_records(to_write);
}

}  // namespace

FilterLines* lines_make(int count, const LinesOptions& options)
{
    if (count < 1) return nullptr;
    auto set = std::make_unique<FilterLines>();
    if (!make_pipe(set->notify_pipe)) return nullptr;
    set->lines = std::make_unique<Line[]>(static_cast<size_t>(count));
    set->made = count;
    set->options = options;
    set->tracing = options.trace_exchanges;
    for (int started = 0; started < count; ++started) {
        Line& line = set->lines[started];
        line.record.slot_index = started;
        if (!make_pipe(line.abort_pipe)) break;
        line.thread = std::thread(run_line, set.get(), started);
        set->count = started + 1;
    }
    if (set->count < count) {
        lines_end(set.release());
        return nullptr;
    }
    return set.release();
}

void lines_end(FilterLines* set)
{
    if (set == nullptr) return;
    for (int i = 0; i < set->count; ++i) {
        Line& line = set->lines[i];
        std::lock_guard<std::mutex> lock(line.mutex);
        line.stopping = 1;
        line.queue.clear();
        if (line.running_id != 0) poke(line.abort_pipe[1]);
        line.wake.notify_all();
    }
    for (int i = 0; i < set->count; ++i) {
        Line& line = set->lines[i];
        if (line.thread.joinable()) line.thread.join();
    }
    write_ended_records(*set);
    for (int i = 0; i < set->made; ++i) close_pipe(set->lines[i].abort_pipe);
    close_pipe(set->notify_pipe);
    delete set;
}

void lines_trace_exchanges(FilterLines* set, int on)
{
    if (set != nullptr) set->tracing = on ? 1 : 0;
}

namespace {

Line* line_of(FilterLines* set, int index)
{
    if (set == nullptr || index < 0 || index >= set->count) return nullptr;
    return &set->lines[index];
}

// Queues a job on a line, counted as on its way until its result is taken. The caller holds the
// line's mutex and the set's results mutex, and has checked that the line is not stopping.
std::uint64_t enqueue(FilterLines& set, Line& line, const LineJob& job)
{
    QueuedJob queued;
    queued.job = job;
    queued.id = ++set.last_id;
    if (composes_log(job.kind)) set.log_order.push_back(queued.id);
    ++line.untaken;
    if (job.kind == JOB_TICK) line.tick_on_way = queued.id;
    line.queue.push_back(queued);
    line.wake.notify_one();
    return queued.id;
}

}  // namespace

std::uint64_t line_submit(FilterLines* set, int index, const LineJob& job)
{
    Line* line = line_of(set, index);
    if (line == nullptr) return 0;
    std::lock_guard<std::mutex> lock(line->mutex);
    if (line->stopping) return 0;
    std::lock_guard<std::mutex> results_lock(set->results_mutex);
    return enqueue(*set, *line, job);
}

std::uint64_t line_tick(FilterLines* set, int index, TickWaits waits, int* handed_in)
{
    if (handed_in != nullptr) *handed_in = 0;
    Line* line = line_of(set, index);
    if (line == nullptr) return 0;
    std::lock_guard<std::mutex> lock(line->mutex);
    if (line->stopping) return 0;
    std::lock_guard<std::mutex> results_lock(set->results_mutex);
    const bool held_back = waits == TICK_WAITS_FOR_TICK ? line->tick_on_way != 0 : line->untaken > 0;
    if (held_back) return line->tick_on_way;
    if (handed_in != nullptr) *handed_in = 1;
    return enqueue(*set, *line, simple_job(JOB_TICK));
}

void line_cancel(FilterLines* set, int index)
{
    Line* line = line_of(set, index);
    if (line == nullptr) return;
    std::vector<LineResult> dropped;
    {
        std::lock_guard<std::mutex> lock(line->mutex);
        drop_queued(index, *line, dropped);
        if (line->running_id != 0) poke(line->abort_pipe[1]);
    }
    post_results(*set, dropped);
}

namespace {

int line_busy(Line& line)
{
    std::lock_guard<std::mutex> lock(line.mutex);
    return !line.queue.empty() || line.running_id != 0;
}

}  // namespace

std::uint64_t lines_last_id(FilterLines* set)
{
    if (set == nullptr) return 0;
    std::lock_guard<std::mutex> lock(set->results_mutex);
    return set->last_id;
}

int lines_notify_descriptor(FilterLines* set) { return set != nullptr ? set->notify_pipe[0] : -1; }

int lines_take_results(FilterLines* set, std::vector<LineResult>& out)
{
    if (set == nullptr) return 0;
    std::vector<LineResult> taken;
    std::string to_write;
    {
        std::lock_guard<std::mutex> lock(set->results_mutex);
        drain(set->notify_pipe[0]);
        taken.swap(set->results);
        for (const LineResult& result : taken) {
            Line& line = set->lines[result.line];
            if (line.untaken > 0) --line.untaken;
            if (line.tick_on_way == result.id) line.tick_on_way = 0;
            if (composes_log(result.kind)) set->ended_logs[result.id] = result.log_records;
        }
        // Records leave in the order their jobs came: one waits for those of earlier jobs.
        while (!set->log_order.empty()) {
            auto ended = set->ended_logs.find(set->log_order.front());
            if (ended == set->ended_logs.end()) break;
            to_write += ended->second;
            set->ended_logs.erase(ended);
            set->log_order.pop_front();
        }
    }
    if (set->options.write_error_log) write_serial_error_records(to_write);
    for (LineResult& result : taken) out.push_back(std::move(result));
    return static_cast<int>(taken.size());
}

int lines_wait(FilterLines* set, int timeout_ms)
{
    if (set == nullptr) return 0;
    std::unique_lock<std::mutex> lock(set->results_mutex);
    return set->results_waiting.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                         [set] { return !set->results.empty(); });
}

int lines_idle(FilterLines* set)
{
    if (set == nullptr) return 1;
    for (int i = 0; i < set->count; ++i)
        if (line_busy(set->lines[i])) return 0;
    std::lock_guard<std::mutex> lock(set->results_mutex);
    return set->results.empty();
}
