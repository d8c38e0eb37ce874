// The console tool's command line, read without any port.
#include "command/console.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Expected {
    std::string port;
    ConsoleAction action;
    double shift;
};

ConsoleRun parse(std::vector<std::string> words)
{
    std::vector<const char*> argv{"SolvaneCommand"};
    for (const std::string& w : words) argv.push_back(w.c_str());
    ConsoleRun run;
    parse_command_line(static_cast<int>(argv.size()), argv.data(), run);
    return run;
}

TEST(CommandLine, WordsBecomeActions)
{
    struct Row {
        const char* name;
        std::vector<std::string> args;
        std::vector<Expected> slots;
        int wait;
    } rows[] = {
        {"keywords are case-insensitive and names upper-cased", {"com3=status"}, {{"COM3", ACTION_STATUS, 0}}, 0},
        {"the first action for a port wins", {"COM1=STATUS", "COM1=SLEEP"}, {{"COM1", ACTION_STATUS, 0}}, 0},
        {"all three keywords", {"COM1=SLEEP", "COM2=WAKE", "COM12=STATUS"},
         {{"COM1", ACTION_SLEEP, 0}, {"COM2", ACTION_WAKE, 0}, {"COM12", ACTION_STATUS, 0}}, 0},
        {"a shift out of range frees its slot for the next port", {"COM1=1.5", "COM2=-1"}, {{"COM2", ACTION_SET_SHIFT, -1}}, 0},
        {"a shift out of range does not claim its port", {"COM1=1.5", "COM1=WAKE"}, {{"COM1", ACTION_WAKE, 0}}, 0},
        {"an empty value is refused", {"COM1="}, {}, 0},
        {"a refused value does not claim its port", {"COM1=FOO", "COM1=WAKE"}, {{"COM1", ACTION_WAKE, 0}}, 0},
        {"a fifth port is ignored", {"COM1=WAKE", "COM2=WAKE", "COM3=WAKE", "COM4=WAKE", "COM5=WAKE"},
         {{"COM1", ACTION_WAKE, 0}, {"COM2", ACTION_WAKE, 0}, {"COM3", ACTION_WAKE, 0}, {"COM4", ACTION_WAKE, 0}}, 0},
        {"a name containing COM anywhere is a port", {"XCOMY=0.2"}, {{"XCOMY", ACTION_SET_SHIFT, 0.2}}, 0},
        {"a device path keeps its case", {"/dev/ttyUSB0=wake"}, {{"/dev/ttyUSB0", ACTION_WAKE, 0}}, 0},
        {"words without = and other names are ignored", {"STATUS", "FOO=1", "=WAKE", "COM1"}, {}, 0},
        {"wait in range", {"WAIT=900"}, {}, 900},
        {"wait above 3600 disables waiting", {"WAIT=4000"}, {}, 0},
        {"negative wait disables waiting", {"WAIT=-5"}, {}, 0},
        {"a later wait replaces an earlier one", {"WAIT=900", "wait=20"}, {}, 20},
        {"a wait with trailing text disables waiting", {"WAIT=900", "WAIT=12S"}, {}, 0},
        {"an endless wait number disables waiting", {"WAIT=99999999999999999999"}, {}, 0},
        {"more than eight words are ignored",
         {"A", "B", "C", "D", "E", "F", "G", "H", "COM1=WAKE"}, {}, 0},
        {"one argument may hold several words", {"COM1=WAKE COM2=SLEEP"}, {{"COM1", ACTION_WAKE, 0}, {"COM2", ACTION_SLEEP, 0}}, 0},
        {"the line is cut at 255 characters", {std::string(250, 'X'), "COM1=WAKE"}, {}, 0},
    };
    for (const Row& row : rows) {
        ConsoleRun run = parse(row.args);
        ASSERT_EQ(run.filter_count, static_cast<int>(row.slots.size())) << row.name;
        for (size_t i = 0; i < row.slots.size(); ++i) {
            EXPECT_STREQ(run.slots[i].filter.port_name, row.slots[i].port.c_str()) << row.name;
            EXPECT_EQ(run.slots[i].action, row.slots[i].action) << row.name;
            EXPECT_DOUBLE_EQ(run.slots[i].shift, row.slots[i].shift) << row.name;
        }
        EXPECT_EQ(run.wait_seconds, row.wait) << row.name;
    }
}

TEST(CommandLine, EveryIgnoredWordIsNamedWithItsReason)
{
    struct Row {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> ignored;
    } rows[] = {
        {"a name that is no port word", {"ttyUSB0=WAKE"},
         {"ttyUSB0=WAKE: ignored: not a port name: the tool takes COMn names, names in $SOLVANE_PORT_DIR that "
          "contain COM, device paths beginning with /, and served filters as alpaca://HOST:PORT/N"}},
        {"a shift out of range", {"COM3=1.5"}, {"COM3=1.5: ignored: a wing shift is -1.0 to 1.0 angstroms"}},
        {"a fifth port", {"COM1=WAKE", "COM2=WAKE", "COM3=WAKE", "COM4=WAKE", "com5=wake"},
         {"com5=wake: ignored: at most four filters can be controlled on one line"}},
        {"a port given twice", {"COM1=STATUS", "com1=SLEEP"}, {"com1=SLEEP: ignored: COM1 was given before; one action per filter"}},
        {"a word without =", {"STATUS"}, {"STATUS: ignored: not PORT=action or WAIT=seconds"}},
        {"a wait out of range", {"WAIT=4000"}, {"WAIT=4000: ignored: WAIT takes 0 to 3600 seconds; the tool will not wait"}},
        {"a wait that is no whole number", {"wait=abc"},
         {"wait=abc: not a whole number of seconds from 0 to 3600; the tool will not wait"}},
        {"a typo of a keyword", {"com1=slepp"}, {"com1=slepp: not STATUS, SLEEP, WAKE or a number from -1.0 to 1.0"}},
        {"a ninth word", {"COM1=WAKE", "WAIT=10", "WAIT=20", "WAIT=30", "WAIT=40", "WAIT=50", "WAIT=60", "WAIT=70", "WAIT=80"},
         {"WAIT=80: ignored: more than eight words"}},
        {"a control character in a name", {"COM1\x1b[2J=WAKE"}, {"COM1?[2J=WAKE: ignored: a port name has no control characters"}},
        {"words the tool takes", {"COM1=WAKE", "/dev/ttyUSB0=-0.3", "WAIT=900"}, {}},
    };
    for (const Row& row : rows) EXPECT_EQ(parse(row.args).ignored, row.ignored) << row.name;
    // The cut itself, the word of X, and the "COM1" the cut left of "COM1=WAKE".
    EXPECT_EQ(parse({std::string(250, 'X'), "COM1=WAKE"}).ignored.size(), 3u);
}

TEST(CommandLine, ALongPortNameIsNeverCutIntoAnother)
{
    std::string name = "COM" + std::string(120, '7');
    ConsoleRun run = parse({name + "=WAKE", name.substr(0, 99) + "=SLEEP"});
    ASSERT_EQ(run.filter_count, 2);
    EXPECT_EQ(run.slots[0].name_too_long, 1);
    EXPECT_EQ(std::string(run.slots[0].filter.port_name), name.substr(0, 99));
    EXPECT_EQ(run.slots[1].name_too_long, 0);
}

TEST(CommandLine, NumbersAreReadAsScriptsWriteThem)
{
    struct Row {
        const char* text;
        double value;
    } rows[] = {
        {"0.25", 0.25}, {"-0.25", -0.25}, {"  +.5", 0.5}, {"1E-1", 0.1}, {"1E", 1.0},
        {"1.5X", 1.5}, {"-", 0.0}, {".", 0.0}, {"", 0.0}, {"INF", 0.0}, {"NAN", 0.0},
        {"0X1A", 0.0}, {"-INFINITY", 0.0}, {"1E+2", 100.0}, {"2.", 2.0},
    };
    for (const Row& row : rows) EXPECT_DOUBLE_EQ(read_decimal_number(row.text), row.value) << row.text;
}

}  // namespace
