// Start-up and shutdown of SolvaneControl, in their fixed order.
#include "control/shell/shell.h"

#include "control/dialogs/dialogs.h"
#include "control/display/atlas.h"
#include "control/display/panel.h"
#include "control/settings/settings.h"

#include <QCoreApplication>
#include <QMainWindow>
#include <QMessageBox>
#include <QSocketNotifier>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

QString last_observer_message;

namespace {

int signal_pipe[2] = {-1, -1};
bool termination_requested = false;

void on_termination_signal(int)
{
    const char byte = 1;
    ssize_t ignored = ::write(signal_pipe[1], &byte, 1);  // async-signal-safe; the loop does the rest
    (void)ignored;
}

}  // namespace

int control_start()
{
    for (PanelCache& cache : panel_cache) cache = PanelCache{};
    reset_app_state();

    show_startup_notice();
    load_solar_atlas();
    load_settings();
    destroy_startup_notice();

    if (!create_main_window()) return 0;
    update_menus();
    return 1;
}

void control_shutdown()
{
    save_settings();
    close_log();
}

void close_on_termination_signals()
{
    if (signal_pipe[0] >= 0 || ::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char byte;
        while (::read(signal_pipe[0], &byte, 1) > 0) {
        }
        termination_requested = true;
        if (app.main_window != nullptr) app.main_window->close();
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
    last_observer_message = text;
    auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, app.main_window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}
