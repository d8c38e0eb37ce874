// One line per filter: four simulated filters talked to at once, each port's bytes in order,
// jobs cut short, lines stopped while they work; and the filter policy every program shares.
#include "link/filter_lines.h"
#include "link/filter_settings.h"
#include "link/filter_policy.h"
#include "sim/simulator.h"
#include "tests/support/fake_device.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <map>

#include <dirent.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int thread_count()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        ::closedir(dir);
    }
    return count;
}

// The thread count once it is back at `expected`, or after half a second (widened under
// emulation) if it does not get there. A joined thread leaves /proc a moment after the join
// returns (under user-mode emulation a long moment); one still running never does.
int thread_count_settled(int expected)
{
    const auto start = TestClock::now();
    int count = thread_count();
    while (count != expected && seconds_since(start) < time_bound(0.5)) {
        ::usleep(10000);
        count = thread_count();
    }
    return count;
}

// Takes results until the job with this id (or every job, for 0) has come back.
std::vector<LineResult> take_until(FilterLines* lines, std::uint64_t id, double timeout_s = 20)
{
    std::vector<LineResult> taken;
    auto start = TestClock::now();
    while (seconds_since(start) < timeout_s) {
        lines_wait(lines, 50);
        lines_take_results(lines, taken);
        bool done = id == 0 ? lines_idle(lines) != 0 : false;
        for (const LineResult& r : taken)
            if (r.id == id) done = true;
        if (done) break;
    }
    return taken;
}

const LineResult* find(const std::vector<LineResult>& results, std::uint64_t id)
{
    for (const LineResult& r : results)
        if (r.id == id) return &r;
    return nullptr;
}

struct LinesTest : ::testing::Test {
    std::string dir = enter_temp_dir();
    FilterLines* lines = nullptr;  // each test's own set
    FilterLines* make(int count, const LinesOptions& options = {})
    {
        lines = lines_make(count, options);
        return lines;
    }
    void start_filters(int count, SimFaults faults = {})
    {
        SimOptions options;
        options.port_dir = dir + "/ports";
        options.speed = 50;
        for (int i = 0; i < count; ++i) {
            SimFilter f = sim_preset()[static_cast<size_t>(i) % 4];
            f.faults = faults;
            options.filters.push_back(f);
        }
        ASSERT_EQ(sim_start(options), 1);
        setenv("SOLVANE_PORT_DIR", options.port_dir.c_str(), 1);
    }
    void TearDown() override
    {
        lines_end(lines);
        sim_stop();
    }
};

TEST_F(LinesTest, FourFiltersAtOnceEachPortGetsItsOwnBytesInOrder)
{
    start_filters(4);
    ASSERT_NE(make(4), nullptr);
    const char* connect_bytes[] = {"GI\n", "GA\n", "GX\n", "GH\n", "GJ\n", "GN\n", "GQ\n", "GS\n", "GM\n",
                                   "GB\n", "GD\n", "GU\n", "GL\n", "G_\n", "G@\n", "GI\n", "GY\n"};
    std::map<std::uint64_t, int> expected_line;
    for (int line = 0; line < 4; ++line) {
        const std::string port = "COM" + std::to_string(line + 1);
        expected_line[line_submit(lines, line, connect_job(port.c_str()))] = line;
        expected_line[line_submit(lines, line, simple_job(JOB_TICK))] = line;
        expected_line[line_submit(lines, line, command_job("SE3\n", 1, LineEdit{SETTING_WING_SHIFT, 0.3}))] = line;
        expected_line[line_submit(lines, line, command_job("SH0\n", 0, LineEdit{SETTING_SLEEP, 0}))] = line;
    }
    std::vector<LineResult> results = take_until(lines, 0);
    ASSERT_EQ(results.size(), expected_line.size()) << "exactly one result for every job";
    std::map<int, std::uint64_t> last_id;
    for (const LineResult& r : results) {
        EXPECT_EQ(r.line, expected_line[r.id]);
        EXPECT_GT(r.id, last_id[r.line]) << "a line's results come in the order its jobs were handed in";
        last_id[r.line] = r.id;
        EXPECT_EQ(r.cancelled, 0);
        EXPECT_EQ(r.answered, 1);
        EXPECT_EQ(r.record.port_handle, -1) << "a descriptor never leaves its line";
        if (r.kind == JOB_COMMAND) {
            EXPECT_EQ(r.acknowledged, 1);
        }
    }
    for (int i = 0; i < 4; ++i) {
        std::vector<std::string> expected(std::begin(connect_bytes), std::end(connect_bytes));
        for (const char* bytes : {"GI\n", "SE3\n", "GI\n", "SH0\n"}) expected.push_back(bytes);
        EXPECT_EQ(sim_received(i), expected) << "port " << i + 1;
    }
    FilterRecord last = results.back().record;
    EXPECT_EQ(last.connected, 1);
    EXPECT_EQ(last.sleeping, 0) << "the edit reached the line's record";
    EXPECT_FALSE(file_exists("serial_error.log"));
}

TEST_F(LinesTest, ACancelCutsASilentFilterShortDropsTheQueueAndWritesNoRecord)
{
    start_filters(2, SimFaults{.silent = 1});
    ASSERT_NE(make(2), nullptr);
    const std::uint64_t connecting = line_submit(lines, 0, connect_job("COM1"));
    const std::uint64_t queued = line_submit(lines, 0, simple_job(JOB_TICK));
    const std::uint64_t other = line_submit(lines, 1, connect_job("COM2"));  // left to run its course
    ::usleep(300000);  // into the identification's waits
    auto start = TestClock::now();
    line_cancel(lines, 0);
    std::vector<LineResult> results = take_until(lines, connecting);
    EXPECT_LT(seconds_since(start), time_bound(1.0)) << "a silent identification takes 3 s; cut short it ends at once";
    const LineResult* cut = find(results, connecting);
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(cut->cancelled, 1);
    EXPECT_EQ(cut->failure, CONNECT_CANCELLED);
    EXPECT_EQ(cut->log_records, "");
    std::vector<LineResult> rest = take_until(lines, other);
    results.insert(results.end(), rest.begin(), rest.end());
    const LineResult* dropped = find(results, queued);
    ASSERT_NE(dropped, nullptr) << "a dropped job still comes back";
    EXPECT_EQ(dropped->cancelled, 1);
    const LineResult* silent = find(results, other);
    ASSERT_NE(silent, nullptr);
    EXPECT_EQ(silent->failure, CONNECT_SILENT);
    EXPECT_NE(read_file("serial_error.log").find("Port COM2 opened OK, Solvane did not respond to query."),
              std::string::npos);
    EXPECT_EQ(read_file("serial_error.log").find("COM1"), std::string::npos) << "the cut-short job logged nothing";

    // The line works on: the next job runs normally.
    sim_set_faults(0, SimFaults{});
    const std::uint64_t again = line_submit(lines, 0, connect_job("COM1"));
    results = take_until(lines, again);
    ASSERT_NE(find(results, again), nullptr);
    EXPECT_EQ(find(results, again)->answered, 1);
}

TEST_F(LinesTest, LogRecordsLeaveInTheOrderTheConnectsWereHandedIn)
{
    start_filters(1, SimFaults{.silent = 1});
    ASSERT_NE(make(2), nullptr);
    line_submit(lines, 0, connect_job("COM1"));     // silent: its record comes after 3 s
    line_submit(lines, 1, connect_job("NOWHERE"));  // missing: its record is ready at once
    std::vector<LineResult> results = take_until(lines, 0);
    const std::string log = read_file("serial_error.log");
    const size_t silent = log.find("Port COM1 opened OK"), missing = log.find("NOWHERE: serial_init error");
    ASSERT_NE(silent, std::string::npos) << log;
    ASSERT_NE(missing, std::string::npos) << log;
    EXPECT_LT(silent, missing) << "line 0's record first, though line 1's was ready first";
    for (const LineResult& r : results)
        if (r.line == 1) {
            EXPECT_EQ(r.failure, CONNECT_PORT_FAILED);
            EXPECT_EQ(r.port_error.failure, PORT_MISSING);
        }
}

TEST_F(LinesTest, ARecordWaitingBehindAnEarlierConnectIsWrittenWhenTheLinesEnd)
{
    start_filters(1, SimFaults{.silent = 1});
    ASSERT_NE(make(2), nullptr);
    line_submit(lines, 0, connect_job("COM1"));  // silent: still identifying when the program quits
    const std::uint64_t missing = line_submit(lines, 1, connect_job("NOWHERE"));
    ASSERT_NE(find(take_until(lines, missing), missing), nullptr);
    EXPECT_FALSE(file_exists("serial_error.log")) << "waits for line 0's record";
    lines_end(lines);
    lines = nullptr;
    const std::string log = read_file("serial_error.log");
    EXPECT_NE(log.find("NOWHERE: serial_init error"), std::string::npos) << log;
    EXPECT_EQ(log.find("COM1"), std::string::npos) << "the cut-short connect reports nothing";
}

TEST_F(LinesTest, StoppingWhileFiltersWorkLeavesNoThreadNoDescriptorAndTheTerminalAsFound)
{
    start_filters(3, SimFaults{.silent = 1});
    termios before{};
    const int watcher = ::open(sim_port_path(2).c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(watcher, 0);
    ASSERT_EQ(::tcgetattr(watcher, &before), 0);
    const int threads = thread_count(), descriptors = open_descriptor_count();

    ASSERT_NE(make(3), nullptr);
    sim_set_faults(2, SimFaults{});
    line_submit(lines, 2, connect_job("COM3"));
    take_until(lines, 0);
    termios during{};
    ASSERT_EQ(::tcgetattr(watcher, &during), 0);
    EXPECT_EQ(during.c_lflag & ECHO, 0u) << "raw while the filter is connected";
    for (int line = 0; line < 2; ++line) {
        line_submit(lines, line, connect_job(("COM" + std::to_string(line + 1)).c_str()));
        line_submit(lines, line, simple_job(JOB_TICK));
    }
    ::usleep(200000);
    auto start = TestClock::now();
    lines_end(lines);
    lines = nullptr;
    EXPECT_LT(seconds_since(start), time_bound(1.0)) << "running jobs are cut short";
    EXPECT_EQ(thread_count_settled(threads), threads);
    EXPECT_EQ(open_descriptor_count(), descriptors);
    termios after{};
    ASSERT_EQ(::tcgetattr(watcher, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "the terminal's settings are put back";
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    ::close(watcher);
    EXPECT_FALSE(file_exists("serial_error.log")) << "nothing cut short reports";
}

TEST_F(LinesTest, ALineRepointedWhileItsJobRunsEndsUpOnTheNewPort)
{
    start_filters(2);
    sim_set_faults(0, SimFaults{.silent = 1});
    ASSERT_NE(make(1), nullptr);
    const std::uint64_t old_port = line_submit(lines, 0, connect_job("COM1"));
    ::usleep(200000);
    line_cancel(lines, 0);
    const std::uint64_t new_port = line_submit(lines, 0, connect_job("COM2"));
    const std::uint64_t tick = line_submit(lines, 0, simple_job(JOB_TICK));
    std::vector<LineResult> results = take_until(lines, tick);
    ASSERT_NE(find(results, old_port), nullptr);
    EXPECT_EQ(find(results, old_port)->cancelled, 1);
    ASSERT_NE(find(results, tick), nullptr);
    EXPECT_EQ(find(results, new_port)->record.connected, 1);
    EXPECT_EQ(find(results, tick)->answered, 1);
    EXPECT_EQ(sim_received(1).size(), 18u) << "17 to connect, one update";
    EXPECT_STREQ(find(results, tick)->record.opened_port_name, "COM2");
}

TEST_F(LinesTest, TwoSetsAtOnceKeepTheirOwnIdsAndEndingOneLeavesTheOtherWorking)
{
    start_filters(2);
    ASSERT_NE(make(1), nullptr);
    FilterLines* other = lines_make(1);
    ASSERT_NE(other, nullptr);
    const std::uint64_t mine = line_submit(lines, 0, connect_job("COM1"));
    const std::uint64_t theirs = line_submit(other, 0, connect_job("COM2"));
    EXPECT_EQ(mine, 1u);
    EXPECT_EQ(theirs, 1u) << "ids count per set";
    std::vector<LineResult> their_results = take_until(other, theirs);
    ASSERT_NE(find(their_results, theirs), nullptr);
    lines_end(other);
    const std::uint64_t tick = line_submit(lines, 0, simple_job(JOB_TICK));
    std::vector<LineResult> results = take_until(lines, tick);
    ASSERT_NE(find(results, tick), nullptr);
    EXPECT_EQ(find(results, tick)->answered, 1);
    EXPECT_EQ(results.size(), 2u) << "the set's own connect and tick, nothing of the other set's";
}

// A job is on its way until its result is taken, so these rows need no timing: nothing is taken.
TEST_F(LinesTest, ATickGoesOnlyToALineWhoseUpdateHasNothingToWaitFor)
{
    struct Row {
        const char* name;
        int before;  // 0 nothing, 1 a tick, 2 a command
        TickWaits waits;
        int handed_in;
    } rows[] = {
        {"an idle line gets a tick", 0, TICK_WAITS_FOR_ANY_JOB, 1},
        {"a tick on its way holds the next back", 1, TICK_WAITS_FOR_TICK, 0},
        {"a tick on its way holds the next back on a server", 1, TICK_WAITS_FOR_ANY_JOB, 0},
        {"the window's tick follows a command", 2, TICK_WAITS_FOR_TICK, 1},
        {"a server's tick waits for a command", 2, TICK_WAITS_FOR_ANY_JOB, 0},
    };
    start_filters(1, SimFaults{.silent = 1});
    for (const Row& row : rows) {
        ASSERT_NE(make(1), nullptr);
        std::uint64_t first = 0;
        if (row.before == 1) first = line_tick(lines, 0, row.waits);
        if (row.before == 2) first = line_submit(lines, 0, command_job("SH0\n"));
        int handed_in = -1;
        const std::uint64_t id = line_tick(lines, 0, row.waits, &handed_in);
        EXPECT_EQ(handed_in, row.handed_in) << row.name;
        if (row.handed_in) EXPECT_EQ(id, lines_last_id(lines)) << row.name;
        else EXPECT_EQ(id, row.before == 1 ? first : 0u) << row.name << ": the tick on its way, or none";
        lines_end(lines);
        lines = nullptr;
    }
}

TEST_F(LinesTest, ATracingSetHandsBackEveryExchangeAndWhatADeviceThatIsNoFilterSaid)
{
    start_filters(1, SimFaults{.echo = 1});
    LinesOptions options;
    options.write_error_log = 0;
    options.trace_exchanges = 1;
    ASSERT_NE(make(1, options), nullptr);
    const std::uint64_t connect = line_submit(lines, 0, connect_job("COM1"));
    std::vector<LineResult> results = take_until(lines, connect);
    const LineResult* r = find(results, connect);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->failure, CONNECT_NOT_A_FILTER);
    EXPECT_STREQ(r->device_answer.status_reply, "GI\n") << "an echo says the command back";
    EXPECT_EQ(r->device_answer.status_tries, 1);
    EXPECT_EQ(r->device_answer.status_bytes, 3);
    EXPECT_STREQ(r->device_answer.check_reply, "GA\n");
    ASSERT_EQ(r->exchanges.size(), 2u);
    EXPECT_EQ(r->exchanges[0].command, "GI\n");
    EXPECT_EQ(r->exchanges[0].reply, "GI\n");
    EXPECT_EQ(r->exchanges[0].attempts, 1);
    EXPECT_NE(r->log_records.find("It said: 1/3>GI\n<"), std::string::npos) << "the record as ever";

    lines_trace_exchanges(lines, 0);
    const std::uint64_t again = line_submit(lines, 0, connect_job("COM1"));
    results = take_until(lines, again);
    ASSERT_NE(find(results, again), nullptr);
    EXPECT_TRUE(find(results, again)->exchanges.empty()) << "nothing traced once tracing is off";
}

TEST(WingShiftArgument, TenthsCutTowardZeroWithinTheLimits)
{
    struct Row {
        const char* name;
        double shift;
        int argument;
    } rows[] = {
        {"0.25 gives 2", 0.25, 2},
        {"-0.25 gives -2", -0.25, -2},
        {"0.7 + 0.1 gives 8", 0.7 + 0.1, 8},
        {"-0.3 + 0.1 gives -2", -0.3 + 0.1, -2},
        {"0.9 + 0.1 gives 10", 0.9 + 0.1, 10},
        {"0.05 gives 0", 0.05, 0},
        {"-1 gives -10", -1.0, -10},
        {"1.5 is kept to 10", 1.5, 10},
        {"-1e300 is kept to -10", -1e300, -10},
        {"not a number gives 0", std::nan(""), 0},
        {"0.29 gives 2", 0.29, 2},
    };
    for (const Row& row : rows) EXPECT_EQ(wing_shift_argument(row.shift), row.argument) << row.name;

    for (double ok : {-1.0, 0.0, 0.35, 1.0}) EXPECT_TRUE(wing_shift_acceptable(ok)) << ok;
    for (double refused : {-1.01, 5.0, std::nan(""), std::numeric_limits<double>::infinity()})
        EXPECT_FALSE(wing_shift_acceptable(refused)) << refused;
}

TEST(FilterPolicy, ClassesAcknowledgementsAndUnits)
{
    struct Row {
        const char* name;
        int status, sleeping, on_band;
        FilterCondition condition;
    } rows[] = {
        {"on band", 0, 0, 1, CONDITION_ON_BAND},
        {"heating", 0, 0, 0, CONDITION_BUSY},
        {"asleep wins over on band", 0, 1, 1, CONDITION_ASLEEP},
        {"a filter's fault", 3, 0, 1, CONDITION_FAULT},
        {"implausible data", STATUS_BAD_CONNECTION, 0, 1, CONDITION_FAULT},
        {"no reply", STATUS_NO_COMMUNICATION, 1, 0, CONDITION_NO_COMMUNICATION},
    };
    for (const Row& row : rows) {
        FilterRecord r;
        r.status_code = row.status;
        r.sleeping = row.sleeping;
        r.on_band = row.on_band;
        EXPECT_EQ(classify_status(r), row.condition) << row.name;
    }
    EXPECT_TRUE(setting_acknowledged("OK\r\n"));
    EXPECT_TRUE(setting_acknowledged("SE3 OK"));
    EXPECT_FALSE(setting_acknowledged(""));
    EXPECT_FALSE(setting_acknowledged("ok"));
    EXPECT_DOUBLE_EQ(fahrenheit_to_celsius(212), 100);
    EXPECT_DOUBLE_EQ(fahrenheit_to_celsius(-40), -40);
}

TEST(FilterPolicy, EachConnectFailureReadsAsOneSentenceForTheObserver)
{
    DeviceAnswer modem;
    copy_text(modem.status_reply, REPLY_BUFFER_SIZE, "\r\nOK\r\n", REPLY_MAX);
    DeviceAnswer noise;
    copy_text(noise.status_reply, REPLY_BUFFER_SIZE, "\x01\x02", REPLY_MAX);
    struct Row {
        const char* name;
        ConnectFailure failure;
        PortError error;
        DeviceAnswer said;
        std::string text;
    } rows[] = {
        {"a refused permission names the dialout group", CONNECT_PORT_FAILED, {PORT_PERMISSION, EACCES}, {},
         "Could not open COM1: " + port_error_text({PORT_PERMISSION, EACCES})},
        {"a silent port asks after power and cable", CONNECT_SILENT, {}, {},
         "COM1 opened, but no filter answered. Is the filter powered and its cable plugged in?"},
        {"a device that is no filter says what it said", CONNECT_NOT_A_FILTER, {}, modem,
         "The device on COM1 answered, but not as a Solvane filter (it said: OK). Is this the filter's port?"},
        {"a reply of control characters says nothing", CONNECT_NOT_A_FILTER, {}, noise,
         "The device on COM1 answered, but not as a Solvane filter. Is this the filter's port?"},
        {"a cancelled connection was cut short", CONNECT_CANCELLED, {}, {}, "Connecting on COM1 was cut short."},
    };
    for (const Row& row : rows)
        EXPECT_EQ(connect_failure_text(row.failure, row.error, row.said, "COM1"), row.text) << row.name;
}

}  // namespace
