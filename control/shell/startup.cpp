// Start-up and shutdown of SolvaneControl, in their fixed order, and the end on SIGTERM/SIGINT.
#include "control/shell/shell.h"

#include "control/dialogs/dialogs.h"
#include "spectral/atlas.h"
#include "panels/panel.h"
#include "control/settings/settings.h"
#include "control/state/slot_lines.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QMainWindow>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

int signal_pipe[2] = {-1, -1};
bool termination_requested = false;

void on_termination_signal(int)
{
    const char byte = 1;
    ssize_t ignored = ::write(signal_pipe[1], &byte, 1);  // async-signal-safe; the loop does the rest
    (void)ignored;
}

// Ends whatever runs now: the start-up's wait, every dialog (each ends as Cancel does, so no
// half-made choice is applied), then the main window. The loops unwind as soon as this returns.
void end_everything()
{
    termination_requested = true;
    auto_detect_stop();
    if (window_state().waiting_loop != nullptr) window_state().waiting_loop->quit();
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(widget); dialog != nullptr && dialog->isVisible()) dialog->reject();
    if (app().main_window != nullptr) app().main_window->close();
}

void tell_settings_problem()
{
    if (window_state().settings_problem_told || settings_problem().empty()) return;
    window_state().settings_problem_told = true;
    tell_observer(QStringLiteral("Settings"), QString::fromLocal8Bit(settings_problem().c_str()));
}

}  // namespace

int wait_for_slot_jobs()
{
    if (termination_requested) return 0;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&loop] {
        if (slot_jobs_pending() == 0) loop.quit();
    });
    check.start(10);
    if (slot_jobs_pending() != 0) {
        window_state().waiting_loop = &loop;
        loop.exec();
        window_state().waiting_loop = nullptr;
    }
    return termination_requested ? 0 : 1;
}

int control_start()
{
    for (PanelCache& cache : window_state().panel_cache) cache = PanelCache{};
    reset_app_state();
    window_state().settings_problem_told = false;

    show_startup_notice();
    load_solar_atlas();
    start_filter_lines();
    const SettingsFileRead loaded = load_settings();
    // Every configured filter connects at the same time, on its own line, under the notice.
    wait_for_slot_jobs();
    destroy_startup_notice();
    if (termination_requested) return 1;

    if (!create_main_window()) return 0;
    update_menus();
    if (loaded == SETTINGS_UNREADABLE || !settings_writable()) tell_settings_problem();
    return 1;
}

void control_shutdown()
{
    stop_filter_lines();
    if (!save_settings()) {
        // At the end there is no window left to say it in.
        std::fprintf(stderr, "SolvaneControl: %s\n", settings_problem().c_str());
    }
    close_log();
}

int save_settings_telling()
{
    if (save_settings()) return 1;
    tell_settings_problem();
    return 0;
}

void close_on_termination_signals()
{
    if (signal_pipe[0] >= 0 || ::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char byte;
        while (::read(signal_pipe[0], &byte, 1) > 0) {
        }
        end_everything();
    });
    struct sigaction action {};
    action.sa_handler = on_termination_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

bool termination_signal_arrived()
{
    QCoreApplication::processEvents();  // lets a signal that came during start-up be seen
    return termination_requested;
}

void tell_observer(const QString& title, const QString& text)
{
    window_state().last_observer_message = text;
    auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, app().main_window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}
