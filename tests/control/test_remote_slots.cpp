// Slots served by solvane-alpaca, in the real window: two simulated filters on local ports and the
// same two filters again behind the server program (alpaca://), side by side in one window, so
// every difference between the paths shows in the same run: panel pixels, bandpass-log groups,
// the bytes of menu commands, and a server that stops and starts again.
#include "tests/control/control_fixture.h"

#include "control/shell/commands.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>

#include <algorithm>
#include <csignal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct ServedSlots : ControlTest {
    ServedProgram server;
    std::string server_dir = make_temp_dir();  // the server's own serial_error.log stays there

    std::string served(int device) const { return served_name(server, device); }

    // The program serves COM3 and COM4 (the third and fourth simulated filters) as devices 0 and 1.
    void start_server(int port = 0)
    {
        server = start_served(SOLVANE_ALPACA_PATH, "COM3,COM4", port, server_dir);
        ASSERT_GT(server.port, 0) << server.output;
    }

    void TearDown() override
    {
        ControlTest::TearDown();
        stop_served(server);
    }

    // Filters A and B on COM1 and COM2 for slots 1 and 2, and A and B again through the server.
    void start_window()
    {
        start_filters({"COM1", "COM2", "COM3", "COM4"}, {sim_preset()[0], sim_preset()[1]});
        start_server();
        write_file("solvane.ini", "COM1\r\nCOM2\r\n" + served(0) + "\r\n" + served(1) + "\r\n10.0 10.0 10.0 10.0 1 0 1\r\n");
        start_control();
        ASSERT_TRUE(wait_lines());
    }

    // The panel of slot n as the window shows it.
    QImage panel(int n) const { return client_buffer().copy(0, n * 258, 797, 258); }
};

TEST_F(ServedSlots, PaintLogAndTakeMenuCommandsAsLocalPortsDo)
{
    start_window();
    for (int n = 0; n < SLOT_COUNT; ++n) ASSERT_EQ(filter_slots()[n].connected, 1) << read_file("serial_error.log");
    app().log_enabled = 1;
    tick();
    tick();
    for (int n = 0; n < 2; ++n) EXPECT_TRUE(panel(n) == panel(n + 2)) << "slot " << n + 1 << " and its served twin";

    // Each row: the local groups 1 and 2 again as groups 3 and 4.
    const std::string log = read_file("solvane.csv");
    int rows = 0;
    for (size_t at = log.find("\r\n") + 2; at < log.size(); ++rows) {
        const size_t end = log.find("\r\n", at);
        const std::string groups = log.substr(at + 20, end - at - 20);  // after the time stamp and its comma
        EXPECT_EQ(groups.substr(0, groups.size() / 2), groups.substr(groups.size() / 2)) << log;
        at = end + 2;
    }
    EXPECT_EQ(rows, 2) << log;

    // Menu commands: the served filter hears exactly what the local one hears.
    const int commands[] = {MENU_SHIFT_UP_01, MENU_SHIFT_DOWN_05, MENU_RESET_SHIFT, MENU_HEATER_ON, MENU_LOCK_PANEL};
    for (int command : commands) {
        for (int i = 0; i < SLOT_COUNT; ++i) sim_clear_received(i);
        dispatch_command(command + 0);
        ASSERT_TRUE(wait_lines());
        dispatch_command(command + 2);
        ASSERT_TRUE(wait_lines());
        std::vector<std::string> at_server = sim_received(2);
        // The server's own updates poll in between; the command's bytes are the rest.
        const auto status = std::remove(at_server.begin(), at_server.end(), "GI\n");
        std::vector<std::string> local = sim_received(0);
        local.erase(std::remove(local.begin(), local.end(), "GI\n"), local.end());
        at_server.erase(status, at_server.end());
        EXPECT_EQ(at_server, local) << "command " << command;
        EXPECT_FALSE(local.empty()) << "command " << command;
    }
}

TEST_F(ServedSlots, AServerThatStopsReadsAsAFilterThatStoppedAnsweringUntilItIsBack)
{
    start_window();
    const int port = server.port;
    EXPECT_EQ(stop_served(server), 0);
    for (int k = 0; k < 3; ++k) tick();
    for (int n = 2; n < SLOT_COUNT; ++n) {
        EXPECT_EQ(filter_slots()[n].status_code, STATUS_NO_COMMUNICATION);
        EXPECT_EQ(filter_slots()[n].connected, 1) << "kept, and asked again at every update";
        EXPECT_EQ(window_state().slot_problem[n], served_name(ServedProgram{Child{}, port, ""}, n - 2) + ": stopped answering: is the filter on and its cable in?");
    }
    EXPECT_EQ(filter_slots()[0].status_code, 0) << "the local filters go on";
    start_server(port);  // started anew: its devices are not connected until a client asks
    tick();
    for (int n = 2; n < SLOT_COUNT; ++n) {
        EXPECT_EQ(window_state().slot_problem[n], "") << "slot " << n + 1;
        EXPECT_NE(filter_slots()[n].status_code, STATUS_NO_COMMUNICATION);
    }
    const std::string log = read_file("serial_error.log");
    for (int n = 0; n < 2; ++n) {
        const std::string record = served_name(ServedProgram{Child{}, port, ""}, n) + ": the server could not be reached: Connection refused.\n";
        size_t count = 0;
        for (size_t at = log.find(record); at != std::string::npos; at = log.find(record, at + 1)) ++count;
        EXPECT_EQ(count, 1u) << "one record for the outage of device " << n << "\n" << log;
    }
}

// Two windows and a script at once through one server: the served filter wakes by the script, both
// windows keep their slots, and the filter's serial line carries the server's polls alone.
TEST_F(ServedSlots, TwoWindowsAndAScriptShareOneServer)
{
    start_window();
    const std::string second_dir = make_temp_dir();
    write_file(second_dir + "/solvane.ini", served(0) + "\r\n" + served(1) + "\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 1\r\n");
    Child second = spawn(SOLVANE_CONTROL_PATH, {}, second_dir, true, {"QT_QPA_PLATFORM=offscreen"});
    ASSERT_GT(second.pid, 0);
    const auto pump = [](int ms) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
    };
    pump(2000);  // the second window connects its served slots
    sim_clear_received(2);
    QElapsedTimer counted;
    counted.start();
    const ProgramRun script = run_program(SOLVANE_COMMAND_PATH, {served(0) + "=WAKE"});
    EXPECT_EQ(script.exit_code, 0) << script.output << script.errors;
    pump(3000);
    tick();
    EXPECT_EQ(sim_snapshot(2).sleeping, 0) << "the script woke the served filter";
    EXPECT_EQ(filter_slots()[2].sleeping, 0) << "and this window sees it";
    const std::vector<std::string> heard = sim_received(2);
    const auto polls = std::count(heard.begin(), heard.end(), "GI\n");
    // The server polls once a second, whatever its clients (the script's wake adds one poll).
    const double seconds = counted.elapsed() / 1000.0;
    EXPECT_GE(polls, 2);
    EXPECT_LE(polls, seconds + 3) << "in " << seconds << " s, with two windows and a script";
    EXPECT_EQ(::kill(second.pid, 0), 0) << "the second window runs on";
    EXPECT_FALSE(file_exists(second_dir + "/serial_error.log")) << read_file(second_dir + "/serial_error.log");
    ::kill(second.pid, SIGTERM);
    EXPECT_EQ(wait_exit(second.pid, 10), 0);
    ::close(second.out);
}

// Find Alpaca in the connections dialog: the served filters found by discovery (on the loopback
// alone here) join every list by their alpaca:// names, with the server's name for each.
TEST_F(ServedSlots, TheConnectionsDialogOffersTheServedFiltersItFinds)
{
    start_filters({"COM1", "COM2", "COM3", "COM4"}, {sim_preset()[0], sim_preset()[1]});
    Child program = spawn(SOLVANE_ALPACA_PATH, {"--ports", "COM3,COM4", "--port", "0", "--discovery-port", "0"},
                          server_dir, true, {"QT_QPA_PLATFORM=offscreen"});
    const std::string output = read_until(program, "discovery on UDP port", 20);
    const size_t http = output.find("http://127.0.0.1:");
    const size_t udp = output.find("UDP port ");
    ASSERT_TRUE(http != std::string::npos && udp != std::string::npos) << output;
    server.child = program;
    server.port = std::stoi(output.substr(http + 17));
    setenv("SOLVANE_DISCOVERY_TARGETS", ("127.0.0.1:" + output.substr(udp + 9, output.find('\n', udp) - udp - 9)).c_str(), 1);
    write_file("solvane.ini", "COM1\r\n\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 1\r\n");
    start_control();
    QString status;
    QStringList entries, tips;
    on_next_modal([&](QWidget* dialog) {
        auto* find = dialog->findChild<QPushButton*>(QStringLiteral("control_1020"));
        auto* label = dialog->findChild<QLabel*>(QStringLiteral("control_32001"));
        find->click();
        QElapsedTimer timer;
        timer.start();
        while (!find->isEnabled() && timer.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 10);
        status = label->text();
        auto* list = dialog->findChild<QComboBox*>(QStringLiteral("control_1011"));
        for (int k = 0; k < list->count(); ++k) {
            entries << list->itemText(k);
            tips << list->itemData(k, Qt::ToolTipRole).toString();
        }
        dialog->findChild<QPushButton*>(QStringLiteral("control_2"))->click();
    });
    EXPECT_EQ(open_connections(nullptr), 2);
    EXPECT_EQ(status, QStringLiteral("Found 2 served filters."));
    const QString first = QString::fromStdString(served(0));
    ASSERT_TRUE(entries.contains(first)) << entries.join(QStringLiteral(" ")).toStdString();
    EXPECT_TRUE(entries.contains(QString::fromStdString(served(1))));
    EXPECT_EQ(tips[entries.indexOf(first)], QStringLiteral("Solvane filter 1 (COM3)"));
}

// A free TCP port of the loopback, for a server that must be told one.
int free_port()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

// A port the server holds: the slot's panel names the server and, where its command line or its
// solvane.ini tells, the alpaca:// name that reaches the filter through it.
TEST_F(ServedSlots, APortTheServerHoldsNamesItAndItsServedName)
{
    const std::string port = std::to_string(free_port());
    struct Row {
        const char* how;
        std::vector<std::string> args;
        std::string ini;     // the server's solvane.ini, when it reads one
        std::string choice;  // what the message offers
    } rows[] = {
        {"a port the system chose", {"--ports", "COM3", "--port", "0"}, "", "its alpaca:// name (Find Alpaca)"},
        {"the ports of its solvane.ini", {"--port", port}, "COM4\r\nCOM3\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 1\r\n",
         "alpaca://127.0.0.1:" + port + "/1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.how);
        if (&row != &rows[0]) {  // the window and the server of the row before end first
            ControlTest::TearDown();
            stop_served(server);
        }
        start_filters({"COM1", "COM2", "COM3", "COM4"}, {sim_preset()[0], sim_preset()[1]});
        if (!row.ini.empty()) write_file(server_dir + "/solvane.ini", row.ini);
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"--no-discovery", "--connect"});
        server.child = spawn(SOLVANE_ALPACA_PATH, args, server_dir, true, {"QT_QPA_PLATFORM=offscreen"});
        ASSERT_NE(read_until(server.child, "listening on", 20).find("listening on"), std::string::npos);
        QElapsedTimer timer;
        timer.start();
        while (port_holder("COM3").pid == 0 && timer.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_EQ(port_holder("COM3").pid, server.child.pid);
        EXPECT_EQ(port_holder("COM3").name, "solvane-alpaca");
        EXPECT_EQ(port_holder("COM1").pid, 0);
        write_file("solvane.ini", "COM3\r\n\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 1\r\n");
        start_control();
        ASSERT_TRUE(wait_lines());
        EXPECT_EQ(window_state().slot_problem[0],
                  "COM3: served by solvane-alpaca (process " + std::to_string(server.child.pid) + "): choose " + row.choice);
    }
}

}  // namespace
