// Faults a night at the telescope brings: adapters pulled out and plugged in again, mid-exchange
// too, and settings files of any content.
#include "tests/control/control_fixture.h"

#include "control/dialogs/dialogs.h"
#include "control/settings/settings.h"
#include "control/shell/commands.h"

#include <QDialog>
#include <QMainWindow>

#include <csignal>
#include <cstring>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST_F(ControlTest, AnUnpluggedFilterReadsNoCommunicationAndComesBackWhenPluggedIn)
{
    start_filters({"COM1", "COM2"});
    start_control();
    tick();
    ASSERT_EQ(filter_slots()[0].status_code, 0);
    const double wavelength = filter_slots()[0].wavelength;

    sim_unplug(0);
    auto start = TestClock::now();
    tick();
    EXPECT_LT(seconds_since(start), time_bound(1.0)) << "a lost line fails at once instead of retrying";
    EXPECT_EQ(filter_slots()[0].status_code, STATUS_NO_COMMUNICATION);
    EXPECT_DOUBLE_EQ(filter_slots()[0].wavelength, wavelength) << "the last values stay";
    EXPECT_EQ(filter_slots()[0].connected, 1);
    EXPECT_EQ(filter_slots()[1].status_code, 0) << "the other filter goes on";
    tick();
    EXPECT_EQ(filter_slots()[0].status_code, STATUS_NO_COMMUNICATION);

    ASSERT_EQ(sim_replug(0), 1);
    tick();  // finds the line lost and opens the port anew
    tick();
    EXPECT_EQ(filter_slots()[0].status_code, 0) << "answers again without the connections dialog";
    EXPECT_FALSE(file_exists("serial_error.log")) << "reopening is quiet";
}

TEST_F(ControlTest, AFilterUnpluggedInTheMiddleOfAReplyCostsNothingWorse)
{
    // A line paced at 9600 baud: the status reply takes about 45 ms; the adapter goes halfway.
    SimOptions options;
    options.port_dir = dir + "/ports";
    options.paced = 1;
    options.filters = {sim_preset()[0]};
    ASSERT_EQ(sim_start(options), 1);
    ASSERT_EQ(connect_slot(filter_slots()[0], sim_port_path(0).c_str()), 1);
    copy_text(filter_slots()[0].port_name, PORT_NAME_SIZE, sim_port_path(0).c_str(), 99);
    for (int round = 0; round < 5; ++round) {
        std::thread pull([round] {
            std::this_thread::sleep_for(std::chrono::milliseconds(10 + 8 * round));
            sim_unplug(0);
        });
        poll_filter_status(filter_slots()[0]);
        pull.join();
        ASSERT_EQ(sim_replug(0), 1);
        poll_filter_status(filter_slots()[0]);  // the lost line fails at once
        EXPECT_EQ(filter_slots()[0].status_code, STATUS_NO_COMMUNICATION) << "round " << round;
        ASSERT_TRUE(serial_line_lost(filter_slots()[0].port_handle));
        ASSERT_EQ(serial_reopen(filter_slots()[0].port_handle, filter_slots()[0].port_name), 1);
        poll_filter_status(filter_slots()[0]);
        EXPECT_EQ(filter_slots()[0].status_code, 0) << "round " << round;
    }
}

TEST_F(ControlTest, SettingsFilesOfRandomBytesNeverHurt)
{
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> byte(0, 255), length(0, 400);
    setenv("SOLVANE_PORT_DIR", dir.c_str(), 1);  // any name read is looked for here, and not found
    for (int round = 0; round < 300; ++round) {
        std::string bytes(static_cast<size_t>(length(random)), '\0');
        for (char& c : bytes) c = static_cast<char>(byte(random));
        if (round % 3 == 0) bytes = "COM1\r\n\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 1\r\n" + bytes;  // a good head, any block
        write_file("solvane.ini", bytes);
        reset_app_state();
        load_settings();
        ASSERT_GE(app().update_interval_index, 0);
        ASSERT_LE(app().update_interval_index, 2);
        for (const FilterRecord& slot : filter_slots()) ASSERT_LT(std::strlen(slot.port_name), 100u);
        ASSERT_EQ(save_settings(), 1);
        reset_app_state();
        load_settings();
        ASSERT_EQ(settings_file_bytes(window_settings()), read_file("solvane.ini")) << "round " << round;
    }
    start_control();  // and the window comes up with whatever the last one held
    EXPECT_NE(app().main_window, nullptr);
}

// What a hostile working directory may hold instead of a plain file.
enum FileKind { KIND_FIFO, KIND_DIRECTORY, KIND_LINK_TO_OTHER };

void make_hostile(const std::string& name, FileKind kind, const std::string& other)
{
    switch (kind) {
    case KIND_FIFO: ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0); break;
    case KIND_DIRECTORY: ASSERT_EQ(::mkdir(name.c_str(), 0755), 0); break;
    case KIND_LINK_TO_OTHER: ASSERT_EQ(::symlink(other.c_str(), name.c_str()), 0); break;
    }
}

bool still(const std::string& name, FileKind kind)
{
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0) return false;
    if (kind == KIND_FIFO) return S_ISFIFO(st.st_mode);
    if (kind == KIND_DIRECTORY) return S_ISDIR(st.st_mode);
    return true;  // a link is replaced by the new settings; what counts is its target
}

struct HostileFile {
    const char* name;
    const char* file;
    FileKind kind;
    bool settings_told;  // the observer hears that the settings are left alone
};

const HostileFile HOSTILE_FILES[] = {
    {"SettingsThatAreAFifo", "solvane.ini", KIND_FIFO, true},
    {"SettingsThatAreADirectory", "solvane.ini", KIND_DIRECTORY, true},
    {"SettingsThatAreALinkToSomeonesFile", "solvane.ini", KIND_LINK_TO_OTHER, false},
    {"ABandpassLogThatIsAFifo", "solvane.csv", KIND_FIFO, false},
    {"ABandpassLogThatIsALink", "solvane.csv", KIND_LINK_TO_OTHER, false},
    {"AnErrorLogThatIsAFifo", "serial_error.log", KIND_FIFO, false},
    {"AnErrorLogThatIsALink", "serial_error.log", KIND_LINK_TO_OTHER, false},
    {"ALinkNamedLikeATemporarySettingsFile", "solvane.ini.new", KIND_LINK_TO_OTHER, false},
};

struct HostileFileTest : ControlTest, ::testing::WithParamInterface<HostileFile> {};

TEST_P(HostileFileTest, NeverBlocksNorLeadsWritesElsewhere)
{
    const HostileFile& row = GetParam();
    const std::string other = make_temp_dir() + "/someone-elses-file";
    write_file(other, "precious\n");
    setenv("SOLVANE_PORT_DIR", dir.c_str(), 1);  // COM9 is missing: its open failure is logged
    const bool settings = std::strcmp(row.file, "solvane.ini") == 0;
    if (!settings) write_file("solvane.ini", "COM9\r\n\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 1 0\r\n");
    make_hostile(row.file, row.kind, other);
    // Without usable settings the connections dialog comes first.
    if (settings) on_next_modal([](QWidget* dialog) { qobject_cast<QDialog*>(dialog)->reject(); });
    auto start = TestClock::now();
    start_control();
    tick();
    control_shutdown();
    EXPECT_LT(seconds_since(start), time_bound(5.0));
    EXPECT_TRUE(still(row.file, row.kind)) << "left as it was";
    EXPECT_EQ(read_file(other), "precious\n") << "nothing written through the link";
    if (row.settings_told) {
        EXPECT_TRUE(window_state().last_observer_message.contains(QStringLiteral("solvane.ini")));
    }
}

INSTANTIATE_TEST_SUITE_P(InTheWorkingDirectory, HostileFileTest, ::testing::ValuesIn(HOSTILE_FILES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ControlTest, AHugeSettingsFileIsReadOnlyAsFarAsSettingsGo)
{
    start_filters({"COM1"});
    // A gigabyte, all but its head a hole: reading it whole would take seconds and memory.
    const int fd = ::open("solvane.ini", O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 1LL << 30), 0);
    ::close(fd);
    auto start = TestClock::now();
    SettingsFileRead loaded = load_settings();
    EXPECT_LT(seconds_since(start), time_bound(1.0));
    EXPECT_EQ(loaded, SETTINGS_READ);
    EXPECT_STREQ(filter_slots()[0].port_name, "COM1");
}

TEST_F(ControlTest, ALogOnAFullDiskNeverHoldsHalfARowAndResumesWithAHeader)
{
    const std::string disk = dir + "/disk";
    ASSERT_EQ(::mkdir(disk.c_str(), 0755), 0);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small file system here (" << std::strerror(errno) << "); needs root";
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{disk};
    start_filters({"COM1", "COM2", "COM3", "COM4"});
    ASSERT_EQ(::chdir(disk.c_str()), 0);
    write_file("solvane.ini", read_file(dir + "/solvane.ini"));
    start_control();
    app().log_enabled = 1;
    tick();
    // Fill the rest of the disk.
    const std::string filler = disk + "/filler";
    {
        const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT, 0644);
        const std::string block(512, 'f');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
    }
    window_state().last_observer_message.clear();
    for (int k = 0; k < 40 && window_state().last_observer_message.isEmpty(); ++k) tick();
    EXPECT_TRUE(window_state().last_observer_message.contains(QStringLiteral("No space left on device"))) << "told why";
    EXPECT_EQ(app().log_enabled, 1) << "logging stays on";
    window_state().last_observer_message.clear();
    tick();
    EXPECT_TRUE(window_state().last_observer_message.isEmpty()) << "told once";
    const std::string full = read_file("solvane.csv");
    EXPECT_EQ(full.substr(full.size() - 2), "\r\n") << "no half row";

    ::unlink(filler.c_str());
    tick();
    const std::string resumed = read_file("solvane.csv");
    ASSERT_GT(resumed.size(), full.size());
    EXPECT_EQ(resumed.substr(full.size(), 10), "YYYY/MM/DD") << "after the gap, a header first";
    control_shutdown();
    ASSERT_EQ(::chdir(dir.c_str()), 0);
}

TEST_F(ControlTest, SigtermEndsAnyOpenDialogAndTheWindow)
{
    close_on_termination_signals();
    start_filters({"COM1"});
    start_control();
    struct Row {
        const char* name;
        int command;
    } rows[] = {
        {"the About box", MENU_ABOUT},
        {"the status dialog", DISPLAY_POPUP_IDS[0].status},
        {"the connections dialog", MENU_CONNECTION},
    };
    for (const Row& row : rows) {
        app().main_window->show();
        on_next_modal([](QWidget*) { ::raise(SIGTERM); });
        auto start = TestClock::now();
        dispatch_command(row.command);
        settle();
        EXPECT_LT(seconds_since(start), time_bound(1.0)) << row.name;
        EXPECT_FALSE(app().main_window->isVisible()) << row.name << ": the window closes too";
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << row.name;
    }
}

}  // namespace
