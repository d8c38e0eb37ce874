#include "tests/control/control_fixture.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QTimer>

#include <cstdlib>

void ControlTest::start_filters(const std::vector<std::string>& ports, const std::vector<SimFilter>& filters,
                                const std::string& options_line)
{
    SimOptions options;
    options.port_dir = dir + "/ports";
    std::string ini;
    for (size_t i = 0; i < ports.size(); ++i) {
        if (!ports[i].empty()) {
            options.port_names.push_back(ports[i]);
            options.filters.push_back(filters[options.filters.size() % filters.size()]);
        }
        ini += ports[i] + "\r\n";
    }
    for (size_t i = ports.size(); i < 4; ++i) ini += "\r\n";
    ini += options_line + "\r\n";
    ASSERT_EQ(sim_start(options), 1);
    setenv("SOLVANE_PORT_DIR", options.port_dir.c_str(), 1);
    setenv("SOLVANE_ONLY_PORT_DIR", "1", 1);  // the machine's own serial ports stay out of the tests
    setenv("SOLVANE_DISCOVERY_TARGETS", "127.0.0.1", 0);  // and Find Alpaca asks this computer alone
    write_file("solvane.ini", ini);
}

void ControlTest::start_control()
{
    ASSERT_EQ(control_start(), 1);
    hold_update_timer();
    settle();
}

// The tests tick the window themselves; the real update timer would add ticks of its own whenever a
// test runs past its interval on a loaded machine. Its period stays recorded, as the menus show it.
void ControlTest::hold_update_timer()
{
    auto found = window_state().armed_timers.find(UPDATE_TIMER_ID);
    if (found == window_state().armed_timers.end() || found->second.qt_id == 0) return;
    app().main_window->killTimer(found->second.qt_id);
    found->second.qt_id = 0;
}

void ControlTest::settle()
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 50) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool ControlTest::wait_lines(double timeout_s)
{
    QElapsedTimer timer;
    timer.start();
    while (slot_jobs_pending() != 0 || !slot_lines_idle()) {
        if (timer.elapsed() > timeout_s * 1000) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    QApplication::processEvents();
    return true;
}

void ControlTest::tick()
{
    on_timer(UPDATE_TIMER_ID);
    EXPECT_TRUE(wait_lines());
}

void ControlTest::on_next_modal(std::function<void(QWidget*)> act)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            act(modal);
        }
    });
    poll->start(10);
}

void ControlTest::TearDown()
{
    stop_filter_lines();
    close_log();
    if (app().main_window != nullptr) {
        app().main_window->hide();
        app().main_window->deleteLater();
        app().main_window = nullptr;
    }
    sim_stop();
}
