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

#include "link/filter_policy.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
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
};

struct LinesTable {
    Line lines[LINES_MAX];
    std::atomic<int> count{0};
    LinesOptions options;            // set before the threads start, read-only while they run

    std::mutex results_mutex;        // guards everything below
    std::condition_variable results_waiting;
    std::vector<LineResult> results;
    std::uint64_t last_id = 0;
    int notify_pipe[2] = {-1, -1};   // readable end: results wait
    // The jobs that may compose serial_error.log records, in the order they were handed in, and
    // the records of those that ended; the consumer writes them from the front.
    std::deque<std::uint64_t> log_order;
    std::map<std::uint64_t, std::string> ended_logs;
};

LinesTable table;

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

bool composes_log(LineJobKind kind) { return kind == JOB_CONNECT; }

void post_results(std::vector<LineResult>& ready)
{
    if (ready.empty()) return;
    std::lock_guard<std::mutex> lock(table.results_mutex);
    for (LineResult& result : ready) table.results.push_back(std::move(result));
    poke(table.notify_pipe[1]);
    table.results_waiting.notify_all();
}

void apply_edit(FilterRecord& r, const LineEdit& edit)
{
    switch (edit.field) {
    case EDIT_NONE: break;
    case EDIT_SLEEPING: r.sleeping = static_cast<int>(edit.value); break;
    case EDIT_PANEL_LOCKED: r.panel_locked = static_cast<int>(edit.value); break;
    case EDIT_UNITS: r.units = static_cast<int>(edit.value); break;
    case EDIT_DISPLAY_MODE: r.display_mode = static_cast<int>(edit.value); break;
    case EDIT_WING_SHIFT: r.wing_shift = edit.value; break;
    }
}

LineResult run_job(int index, const QueuedJob& queued)
{
    Line& line = table.lines[index];
    FilterRecord& r = line.record;
    const LineJob& job = queued.job;
    LineResult result;
    result.line = index;
    result.id = queued.id;
    result.tag = job.tag;
    result.kind = job.kind;

    std::string records;
    capture_serial_error_log(&records);
    switch (job.kind) {
    case JOB_CONNECT: {
        serial_close(r.connected, r.port_handle);
        copy_text(r.port_name, PORT_NAME_SIZE, job.port_name, PORT_NAME_SIZE - 1);
        ConnectFailure why = CONNECT_OK;
        result.answered = connect_slot(r, job.port_name, &why);
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
    capture_serial_error_log(nullptr);

    result.cancelled = serial_aborted();
    if (result.cancelled && job.kind == JOB_CONNECT) result.failure = CONNECT_CANCELLED;
    if (!result.cancelled) result.log_records = std::move(records);
    result.record = r;
    result.record.port_handle = -1;  // the descriptor stays with the line
    return result;
}

void run_line(int index)
{
    Line& line = table.lines[index];
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
        ready.push_back(run_job(index, queued));
        // Posted before the line counts as free, so lines_idle never sees neither.
        post_results(ready);
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

}  // namespace

LineJob connect_job(const char* port_name)
{
    LineJob job;
    job.kind = JOB_CONNECT;
    copy_text(job.port_name, PORT_NAME_SIZE, port_name, PORT_NAME_SIZE - 1);
    return job;
}

LineJob command_job(const char* command, int poll_after, LineEdit edit)
{
    LineJob job;
    job.kind = JOB_COMMAND;
    copy_text(job.command, COMMAND_BUFFER_SIZE, command, COMMAND_BUFFER_SIZE - 1);
    job.poll_after = poll_after;
    job.edit = edit;
    return job;
}

LineJob simple_job(LineJobKind kind)
{
    LineJob job;
    job.kind = kind;
    return job;
}

void merge_line_record(FilterRecord& mine, const FilterRecord& from_line)
{
    const int slot_index = mine.slot_index;
    const double zoom_span = mine.zoom_span;
    char port_name[PORT_NAME_SIZE];
    copy_text(port_name, PORT_NAME_SIZE, mine.port_name, PORT_NAME_SIZE - 1);
    mine = from_line;
    mine.slot_index = slot_index;
    mine.zoom_span = zoom_span;
    copy_text(mine.port_name, PORT_NAME_SIZE, port_name, PORT_NAME_SIZE - 1);
    mine.port_handle = -1;
}

int lines_start(int count, const LinesOptions& options)
{
    if (count < 1 || count > LINES_MAX || table.count.load() != 0) return 0;
    if (!make_pipe(table.notify_pipe)) return 0;
    table.options = options;
    {
        std::lock_guard<std::mutex> lock(table.results_mutex);
        table.results.clear();
        table.log_order.clear();
        table.ended_logs.clear();
    }
    int started = 0;
    for (; started < count; ++started) {
        Line& line = table.lines[started];
        line.record = FilterRecord{};
        line.record.slot_index = started;
        line.queue.clear();
        line.running_id = 0;
        line.stopping = 0;
        if (!make_pipe(line.abort_pipe)) break;
        line.thread = std::thread(run_line, started);
    }
    table.count = started;
    if (started < count) {
        lines_stop();
        return 0;
    }
    return 1;
}

void lines_stop()
{
    const int count = table.count.load();
    for (int i = 0; i < count; ++i) {
        Line& line = table.lines[i];
        std::lock_guard<std::mutex> lock(line.mutex);
        line.stopping = 1;
        line.queue.clear();
        if (line.running_id != 0) poke(line.abort_pipe[1]);
        line.wake.notify_all();
    }
    for (int i = 0; i < count; ++i) {
        Line& line = table.lines[i];
        if (line.thread.joinable()) line.thread.join();
        close_pipe(line.abort_pipe);
    }
    table.count = 0;
    std::lock_guard<std::mutex> lock(table.results_mutex);
    table.results.clear();
    table.log_order.clear();
    table.ended_logs.clear();
    close_pipe(table.notify_pipe);
}

int lines_running() { return table.count.load() > 0; }

std::uint64_t line_submit(int index, const LineJob& job)
{
    if (index < 0 || index >= table.count.load()) return 0;
    Line& line = table.lines[index];
    std::lock_guard<std::mutex> lock(line.mutex);
    if (line.stopping) return 0;
    QueuedJob queued;
    queued.job = job;
    {
        std::lock_guard<std::mutex> results_lock(table.results_mutex);
        queued.id = ++table.last_id;
        if (composes_log(job.kind)) table.log_order.push_back(queued.id);
    }
    line.queue.push_back(queued);
    line.wake.notify_one();
    return queued.id;
}

void line_cancel(int index)
{
    if (index < 0 || index >= table.count.load()) return;
    Line& line = table.lines[index];
    std::vector<LineResult> dropped;
    {
        std::lock_guard<std::mutex> lock(line.mutex);
        drop_queued(index, line, dropped);
        if (line.running_id != 0) poke(line.abort_pipe[1]);
    }
    post_results(dropped);
}

int line_busy(int index)
{
    if (index < 0 || index >= table.count.load()) return 0;
    Line& line = table.lines[index];
    std::lock_guard<std::mutex> lock(line.mutex);
    return !line.queue.empty() || line.running_id != 0;
}

std::uint64_t lines_last_id()
{
    std::lock_guard<std::mutex> lock(table.results_mutex);
    return table.last_id;
}

int lines_notify_descriptor() { return table.count.load() > 0 ? table.notify_pipe[0] : -1; }

int lines_take_results(std::vector<LineResult>& out)
{
    std::vector<LineResult> taken;
    std::string to_write;
    {
        std::lock_guard<std::mutex> lock(table.results_mutex);
        if (table.notify_pipe[0] >= 0) drain(table.notify_pipe[0]);
        taken.swap(table.results);
        for (const LineResult& result : taken)
            if (composes_log(result.kind)) table.ended_logs[result.id] = result.log_records;
        // Records leave in the order their jobs came: one waits for those of earlier jobs.
        while (!table.log_order.empty()) {
            auto ended = table.ended_logs.find(table.log_order.front());
            if (ended == table.ended_logs.end()) break;
            to_write += ended->second;
            table.ended_logs.erase(ended);
            table.log_order.pop_front();
        }
    }
    if (table.options.write_error_log) write_serial_error_records(to_write);
    for (LineResult& result : taken) out.push_back(std::move(result));
    return static_cast<int>(taken.size());
}

int lines_wait(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(table.results_mutex);
    return table.results_waiting.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                          [] { return !table.results.empty(); });
}

int lines_idle()
{
    const int count = table.count.load();
    for (int i = 0; i < count; ++i)
        if (line_busy(i)) return 0;
    std::lock_guard<std::mutex> lock(table.results_mutex);
    return table.results.empty();
}
