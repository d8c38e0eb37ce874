// SolvaneCommand end to end: the real program against simulated filters and scripted devices on
// pseudo-terminals, checked by its exact output, exit code and the bytes that reached the filters.
#include "sim/simulator.h"
#include "tests/support/fake_device.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

const std::string TOOL = SOLVANE_COMMAND_PATH;

// The tool's output without its time stamp line, which must come first.
std::string after_time_stamp(const std::string& output)
{
    static const std::regex stamp("^\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\n\n");
    std::smatch m;
    if (!std::regex_search(output, m, stamp)) return "<no time stamp: " + output + ">";
    return m.suffix();
}

struct ConsoleToolTest : ::testing::Test {
    std::string dir = enter_temp_dir();
    std::string ports = dir + "/ports";

    void start(std::vector<SimFilter> filters, double speed = 1)
    {
        SimOptions options;
        options.port_dir = ports;
        options.speed = speed;
        options.filters = std::move(filters);
        ASSERT_EQ(sim_start(options), 1);
    }
    ProgramRun run(std::vector<std::string> args) { return run_program(TOOL, args, ports); }
    void TearDown() override { sim_stop(); }
};

SimFilter on_band(SimFilter f)
{
    f.sleeping = 0;
    f.temperature = f.center_temperature + f.wing_shift_tenths / 10.0 * f.temperature_per_angstrom;
    f.within_target_s = 1e6;
    return f;
}

SimFilter silent(SimFilter f)
{
    f.faults.silent = 1;
    return f;
}

TEST(ConsoleTool, WithoutArgumentsPrintsTheUsageAndExitsOne)
{
    ProgramRun r = run_program(TOOL, {});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output,
              "SolvaneCommand Beta v0.1\n\nUsage:\nSolvaneCommand [PORT1=action] ... [PORT4=action] "
              "[WAIT=seconds]\n\n- PORT1-PORT4 are serial COM port names (e.g. COM1, COM2, etc.)\n- Up "
              "to four filters can be controlled on one line.\n- Action can be: (multiple actions per "
              "filter not permitted)\n    STATUS      : Print status of filter\n    SLEEP       : Turn "
              "filter heater off\n    WAKE        : Wake up filter from sleep (turn heater back on)\n   "
              " -1.0 to 1.0 : Set wing shift to this value (angstroms)\n- Specifying a WAIT time will "
              "cause the program to wait for filter(s)\nto go on band before returning, in case of one "
              "or more WAKE or wing\nshift actions.  The WAIT value is a timeout after which the "
              "program\nwill return regardless of on-band status. Recommended WAIT time is 15\nminutes "
              "(WAIT=900).  Values from 0 to 3600 seconds, in increments of\n10 seconds can be "
              "specified.\n\nExamples:\n\nPrint the status of the filter connected to "
              "COM1:\nSolvaneCommand COM1=STATUS\n\nChange COM1 to +0.2 wing shift, return program "
              "control immediately:\nSolvaneCommand COM2=0.2\n\nChange COM1 to +0.2 wing shift, don't "
              "return until it settles at +0.2\nor 900 seconds (15 minutes) have "
              "elapsed:\nSolvaneCommand COM2=0.2 WAIT=900\n\nTurn heaters off (end of observing "
              "session):\nSolvaneCommand COM1=SLEEP COM2=SLEEP COM4=SLEEP COM7=SLEEP\n\nTurn heaters "
              "on (start of observing session), wait until all on band:\nSolvaneCommand COM1=WAKE "
              "COM2=WAKE COM4=WAKE COM7=WAKE WAIT=900\n");
}

TEST_F(ConsoleToolTest, StatusBlocksDecodeDecimalAndHexadecimalFilters)
{
    start({on_band(sim_preset()[0]), sim_preset()[1]});
    ProgramRun r = run({"com1=status", "COM2=STATUS", "BOGUS"});
    EXPECT_EQ(after_time_stamp(r.output),
              "COM1: On band\nBW/Series: 0.7A/PRO\nNom: 6562.8\nTarget: 6562.8\nCurrent: 6562.8\n\n"
              "COM2: Sleep, heater off.\nBW/Series: 2.4/CaK\nNom: 3933.7\nTarget: 3933.7\nCurrent: 3925.6\n\n");
    EXPECT_EQ(r.exit_code, 1) << "COM2 is not on band";
    EXPECT_EQ(sim_received(1), (std::vector<std::string>{"GI\n", "GH\n", "GX\n", "GQ\n", "GB\n"}));
}

TEST_F(ConsoleToolTest, TheStatusActionDecidesTheExitStatus)
{
    struct Row {
        const char* name;
        const char* status_line;
        const char* heater;
        const char* text;
        int exit_code;
    } rows[] = {
        {"on band exits 0", "v1.20 0 1 65628 0 10 20 12000 1250 0\r\n", "0\r\n", "On band", 0},
        {"sleeping and on band exits 0", "v1.20 0 1 65628 0 0 20 12000 1250 0\r\n", "1\r\n", "Sleep, heater off.", 0},
        {"sleeping alone exits 1", "v1.20 0 0 65628 0 0 20 12000 1250 0\r\n", "1\r\n", "Sleep, heater off.", 1},
        {"a fault exits 1 even on band", "v1.20 3 1 65628 0 10 20 12000 1250 0\r\n", "0\r\n", "Low battery", 1},
        {"an implausible voltage is a bad connection", "v1.20 0 1 65628 0 10 20 12000 50 0\r\n", "0\r\n", "Bad connection", 1},
        {"an unknown code", "v1.20 42 1 65628 0 10 20 12000 1250 0\r\n", "0\r\n", "Error 42", 1},
    };
    for (const Row& row : rows) {
        auto port = open_fake_port(dir, "COM1", table_responder({{"GI\n", row.status_line}, {"GH\n", row.heater},
                                                                  {"GX\n", "65628\r\n"}, {"GQ\n", "PRO\r\n"},
                                                                  {"GB\n", "0.7A\r\n"}}));
        ProgramRun r = run_program(TOOL, {"COM1=STATUS"}, dir);
        EXPECT_EQ(after_time_stamp(r.output),
                  std::string("COM1: ") + row.text + "\nBW/Series: 0.7A/PRO\nNom: 6562.8\nTarget: 6562.8\nCurrent: 6562.8\n\n")
            << row.name;
        EXPECT_EQ(r.exit_code, row.exit_code) << row.name;
    }
}

TEST_F(ConsoleToolTest, SettingsSendTheirExactBytes)
{
    start({sim_preset()[0], sim_preset()[1], sim_preset()[2], sim_preset()[3]});
    ProgramRun r = run({"COM1=0.05", "COM2=0.25", "COM3=-0.25", "COM4=-1"});
    EXPECT_EQ(after_time_stamp(r.output),
              "COM1: Set shift successful.\n\nCOM2: Set shift successful.\n\n"
              "COM3: Set shift successful.\n\nCOM4: Set shift successful.\n\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(sim_received(0), std::vector<std::string>{"SE0\n"});
    EXPECT_EQ(sim_received(1), std::vector<std::string>{"SE2\n"});
    EXPECT_EQ(sim_received(2), std::vector<std::string>{"SE-2\n"});
    EXPECT_EQ(sim_received(3), std::vector<std::string>{"SE-10\n"});
    EXPECT_EQ(sim_snapshot(3).wing_shift_tenths, -10);

    for (int i = 0; i < 4; ++i) sim_clear_received(i);
    r = run({"COM1=FOO", "COM2=wake", "COM3=SLEEP", "COM4=1.5"});
    EXPECT_EQ(after_time_stamp(r.output), "COM2: Wake successful.\n\nCOM3: Sleep successful.\n\n");
    EXPECT_TRUE(sim_received(0).empty());
    EXPECT_EQ(sim_received(1), std::vector<std::string>{"SH0\n"});
    EXPECT_EQ(sim_received(2), std::vector<std::string>{"SH1\n"});
    EXPECT_TRUE(sim_received(3).empty());
    EXPECT_EQ(sim_snapshot(1).sleeping, 0);
}

TEST_F(ConsoleToolTest, AnActionWordIsTakenWholeOrRefusedWithNothingSent)
{
    start({sim_preset()[0]});
    const std::string expected = ": not STATUS, SLEEP, WAKE or a number from -1.0 to 1.0\n";
    struct Row {
        const char* word;
        const char* sent;  // nullptr: refused
        const char* output;
    } rows[] = {
        {"COM1=0.25", "SE2\n", "COM1: Set shift successful.\n\n"},
        {"COM1=+.5", "SE5\n", "COM1: Set shift successful.\n\n"},
        {"COM1=-1", "SE-10\n", "COM1: Set shift successful.\n\n"},
        {"COM1=1e-1", "SE1\n", "COM1: Set shift successful.\n\n"},
        {"COM1=-0.", "SE0\n", "COM1: Set shift successful.\n\n"},
        {"com1=Wake", "SH0\n", "COM1: Wake successful.\n\n"},
        {"COM1=sleep", "SH1\n", "COM1: Sleep successful.\n\n"},
        {"COM1=SLEPP", nullptr, ""}, {"COM1=WAEK", nullptr, ""}, {"COM1=STATSU", nullptr, ""},
        {"COM1=", nullptr, ""},      {"COM1=0,3", nullptr, ""},  {"COM1=0.3X", nullptr, ""},
        {"COM1=1E", nullptr, ""},    {"COM1=.", nullptr, ""},    {"COM1=INF", nullptr, ""},
        {"COM1=0X1A", nullptr, ""},  {"COM1=1.2.3", nullptr, ""}, {"COM1=--1", nullptr, ""},
    };
    for (const Row& row : rows) {
        sim_clear_received(0);
        ProgramRun r = run({row.word});
        EXPECT_EQ(after_time_stamp(r.output), row.output) << row.word;
        if (row.sent != nullptr) {
            EXPECT_EQ(sim_received(0), std::vector<std::string>{row.sent}) << row.word;
            EXPECT_EQ(r.errors, "") << row.word;
            EXPECT_EQ(r.exit_code, 0) << row.word;
        } else {
            EXPECT_TRUE(sim_received(0).empty()) << row.word;
            EXPECT_EQ(r.errors, std::string("SolvaneCommand: ") + row.word + expected);
            EXPECT_EQ(r.exit_code, 1) << row.word;
        }
    }
}

TEST_F(ConsoleToolTest, HelpAndVersionAnswerOnStandardOutputAndTouchNoPort)
{
    start({sim_preset()[0]});
    const ProgramRun usage = run_program(TOOL, {});
    for (const char* word : {"--help", "-h", "--version"}) {
        ProgramRun r = run({"COM1=SLEEP", word});
        EXPECT_EQ(r.output, std::string(word) == "--version" ? std::string("SolvaneCommand ") + SOLVANE_VERSION + "\n" : usage.output) << word;
        EXPECT_EQ(r.errors, "") << word;
        EXPECT_EQ(r.exit_code, 0) << word;
    }
    EXPECT_TRUE(sim_received(0).empty());
}

TEST_F(ConsoleToolTest, OkAnywhereInTheReplyCountsAsSuccess)
{
    auto port = open_fake_port(dir, "COM1", table_responder({{"SH0\n", "xxOKyy\r\n"}, {"SH1\n", "ERR\r\n"}}));
    EXPECT_EQ(after_time_stamp(run_program(TOOL, {"COM1=WAKE"}, dir).output), "COM1: Wake successful.\n\n");
    ProgramRun r = run_program(TOOL, {"COM1=SLEEP"}, dir);
    EXPECT_EQ(after_time_stamp(r.output), "COM1: Sleep failed.\n\n");
    EXPECT_EQ(r.exit_code, 0) << "a failed setting does not change the exit status";
}

TEST_F(ConsoleToolTest, AnUnopenablePortIsReportedAndTheOthersAreHandled)
{
    start({sim_preset()[0], sim_preset()[1]});
    std::string long_name = "COM" + std::string(110, '9');
    ProgramRun r = run({"COM1=SLEEP", "COM9=WAKE", "COM2=WAKE", long_name + "=STATUS"});
    EXPECT_EQ(after_time_stamp(r.output),
              "COM1: Sleep successful.\n\nCOM9: Could not connect to serial port.\nCOM2: Wake successful.\n\n" +
                  long_name.substr(0, 99) + ": Could not connect to serial port.\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.errors.find("COM9: No such file or directory. Is the filter's cable or USB adapter plugged in?"),
              std::string::npos)
        << r.errors;
    EXPECT_NE(r.errors.find(": a port name has at most 99 characters"), std::string::npos) << r.errors;
}

TEST_F(ConsoleToolTest, ASilentFilterCostsAboutThreeSecondsPerQuery)
{
    start({silent(sim_preset()[0])});
    ProgramRun r = run({"COM1=SLEEP"});
    EXPECT_EQ(after_time_stamp(r.output), "COM1: Sleep failed.\n\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_GT(r.seconds, 2.8);  // four silent reads, the 2 s pause, a fifth read
    EXPECT_LT(r.seconds, time_bound(6.0));
    EXPECT_EQ(sim_received(0), std::vector<std::string>(5, "SH1\n"));
}

TEST_F(ConsoleToolTest, ASilentFilterStatusReadsNoCommunication)
{
    start({silent(sim_preset()[0])});
    ProgramRun r = run({"COM1=STATUS"});
    EXPECT_EQ(after_time_stamp(r.output),
              "COM1: No communication\nBW/Series: /\nNom: 0.0\nTarget: 0.0\nCurrent: 0.0\n\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_GT(r.seconds, 14.0);  // five queries of about 3 s
    EXPECT_LT(r.seconds, time_bound(25.0));
}

TEST_F(ConsoleToolTest, GarbageAndOverlongRepliesNeverOverflowAField)
{
    SimFilter overlong = sim_preset()[0];
    overlong.faults.overlong = 1;
    SimFilter garbage = sim_preset()[1];
    garbage.faults.garbage = 1;
    start({overlong, garbage});
    ProgramRun r = run({"COM1=STATUS", "COM2=STATUS"});
    std::string out = after_time_stamp(r.output);
    EXPECT_NE(out.find("\nBW/Series: WWWWWWWWWW/WWWWWWWWWW\n"), std::string::npos) << out;
    EXPECT_NE(out.find("COM2: "), std::string::npos) << out;
    EXPECT_EQ(r.exit_code, 1);
}

TEST_F(ConsoleToolTest, WaitingMakesTenSecondPassesUntilTheTimeOut)
{
    start({sim_preset()[0]});  // asleep: never on band
    struct Row {
        const char* wait;
        double min_seconds, max_seconds;
        const char* error;
    } rows[] = {{"WAIT=5", 9.5, 15, "SolvaneCommand: COM1: not on band when the wait of 5 s ran out\n"},
                {"WAIT=4000", 0, 3, "SolvaneCommand: WAIT=4000: ignored: WAIT takes 0 to 3600 seconds; the tool will not wait\n"},
                {"WAIT=-5", 0, 3, "SolvaneCommand: WAIT=-5: ignored: WAIT takes 0 to 3600 seconds; the tool will not wait\n"}};
    for (const Row& row : rows) {
        ProgramRun r = run({"COM1=0.2", row.wait});
        EXPECT_GE(r.seconds, row.min_seconds) << row.wait;
        EXPECT_LT(r.seconds, time_bound(row.max_seconds)) << row.wait;
        EXPECT_EQ(after_time_stamp(r.output), "COM1: Set shift successful.\n\n") << "standard output as it was";
        EXPECT_EQ(r.errors, row.error);
        EXPECT_EQ(r.exit_code, 1) << "a wait that ran out, or was ignored, is no success";
    }
}

TEST_F(ConsoleToolTest, WakeAndShiftWaitUntilBothAreOnBand)
{
    SimFilter calcium = sim_preset()[1];
    calcium.sleeping = 0;
    start({sim_preset()[0], calcium}, 400);
    ProgramRun r = run({"COM1=WAKE", "COM2=-0.3", "WAIT=900"});
    EXPECT_EQ(after_time_stamp(r.output), "COM1: Wake successful.\n\nCOM2: Set shift successful.\n\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.errors, "");
    EXPECT_LT(r.seconds, time_bound(40));
    ProgramRun status = run({"COM1=STATUS", "COM2=STATUS"});
    EXPECT_EQ(status.exit_code, 0) << status.output;
    EXPECT_NE(status.output.find("COM2: On band\nBW/Series: 2.4/CaK\nNom: 3933.7\nTarget: 3933.4\n"), std::string::npos)
        << status.output;
}

// A filter served by solvane-alpaca takes the same words as a port, and prints the same blocks as
// the same filter on a port of its own; a server that cannot be reached is a port that did not open.
TEST_F(ConsoleToolTest, AServedFilterTakesTheWordsOfAPort)
{
    start({sim_preset()[0], sim_preset()[1], sim_preset()[0]});
    setenv("SOLVANE_PORT_DIR", ports.c_str(), 1);
    ServedProgram server = start_served(SOLVANE_ALPACA_PATH, "COM1,COM2", 0, make_temp_dir());
    ASSERT_GT(server.port, 0);
    const std::string first = served_name(server, 0);
    ProgramRun r = run({first + "=STATUS", "COM3=STATUS"});
    std::string blocks = after_time_stamp(r.output);
    ASSERT_EQ(blocks.rfind(first + ": ", 0), 0u) << blocks;
    const size_t local = blocks.find("COM3: ");
    ASSERT_NE(local, std::string::npos) << blocks;
    EXPECT_EQ(blocks.substr(first.size(), local - first.size()), blocks.substr(local + 4)) << blocks;

    r = run({first + "=WAKE", served_name(server, 1) + "=0.25"});
    EXPECT_EQ(after_time_stamp(r.output), first + ": Wake successful.\n\n" + served_name(server, 1) + ": Set shift successful.\n\n");
    EXPECT_EQ(r.exit_code, 0) << r.errors;
    EXPECT_EQ(sim_snapshot(0).sleeping, 0);
    EXPECT_EQ(sim_snapshot(1).wing_shift_tenths, 2);
    EXPECT_EQ(stop_served(server), 0);

    r = run({first + "=STATUS"});
    EXPECT_EQ(after_time_stamp(r.output), first + ": Could not connect to serial port.\n");
    EXPECT_NE(r.errors.find(first + ": the server could not be reached: Connection refused."), std::string::npos) << r.errors;
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_FALSE(file_exists("serial_error.log")) << "the console tool writes no file";
}

}  // namespace
