// A SolvaneControl started off screen in a fresh working directory, against simulated filters.
#pragma once

#include "panels/panel.h"
#include "control/settings/settings.h"
#include "control/shell/shell.h"
#include "control/state/slot_lines.h"
#include "sim/simulator.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QColor>
#include <QImage>

#include <functional>
#include <string>
#include <vector>

struct ControlTest : ::testing::Test {
    std::string dir = enter_temp_dir();

    // Starts simulated filters under the given port names (empty names leave a slot free in the
    // settings file) and writes solvane.ini naming them for slots 1 to 4. The k-th named port gets
    // the k-th filter.
    void start_filters(const std::vector<std::string>& ports, const std::vector<SimFilter>& filters = sim_preset(),
                       const std::string& options_line = "10.0 10.0 10.0 10.0 1 0 1");

    // Runs the start-up up to the shown window and lets pending window events settle.
    void start_control();

    // Lets queued window events (resizes, paints) run.
    static void settle();
    static void hold_update_timer();  // no ticks but the test's own

    // Runs the event loop until every job handed to the filter lines has come back and been taken
    // in (at most timeout_s); returns false on time-out.
    static bool wait_lines(double timeout_s = 20);

    // One update tick, and its polls back.
    static void tick();

    // When the next modal dialog opens, run act on it (on the dialog's own loop).
    static void on_next_modal(std::function<void(QWidget*)> act);

    QColor pixel(int x, int y) const { return client_buffer().pixelColor(x, y); }
    bool dark(int x, int y) const { return pixel(x, y).lightness() < 100; }

    void TearDown() override;
};
