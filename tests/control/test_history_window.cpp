// The History window off screen: it opens from the Display menu, plots the polls the filters
// answered in their colours where the data are, reads them under the cursor with the marks of the
// commands sent, and File > Save History... writes the CSV.
#include "tests/control/control_fixture.h"

#include "control/dialogs/dialogs.h"
#include "control/shell/commands.h"

#include <QChartView>
#include <QDateTime>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>

namespace {

QWidget* history_window() { return window_state().history_window.data(); }

// The pixels of the drawn plot that differ from the plot's background, in the colour's hue.
int pixels_near(const QImage& image, const QColor& colour)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - colour.red()) + std::abs(c.green() - colour.green()) + std::abs(c.blue() - colour.blue()) < 60)
                ++count;
        }
    return count;
}

TEST_F(ControlTest, TheHistoryWindowPlotsEachPolledFilterAndReadsItUnderTheCursor)
{
    start_filters({"COM1", "COM2"});
    start_control();
    // The menus keep every earlier item where it was: the new ones come last.
    const QList<QAction*> menus = app().main_window->menuBar()->actions();
    EXPECT_EQ(menus[0]->menu()->actions().last()->text(), QStringLiteral("Save &History..."));
    EXPECT_EQ(menus[0]->menu()->actions()[2]->text(), QStringLiteral("E&xit"));
    EXPECT_EQ(menus[2]->menu()->actions().last()->text(), QStringLiteral("&History..."));

    dispatch_command(MENU_HEATER_ON + 0);
    EXPECT_TRUE(wait_lines());
    for (int k = 0; k < 6; ++k) tick();
    const std::int64_t last = history_samples(window_history(), 0).back().time_ms;
    EXPECT_GE(history_sample_count(window_history(), 0), 7u) << "the connect's status and each tick's";
    EXPECT_GE(history_sample_count(window_history(), 1), 7u);

    ASSERT_EQ(dispatch_command(MENU_HISTORY), 1);
    ASSERT_NE(history_window(), nullptr);
    EXPECT_TRUE(history_window()->isVisible());
    dispatch_command(MENU_HISTORY);  // a second time raises the same window
    EXPECT_EQ(QApplication::topLevelWidgets().count(history_window()), 1);
    EXPECT_EQ(history_window()->parentWidget(), app().main_window) << "it closes with the main window";
    settle();
    refresh_history_window(1);

    // Filter 1's curve (hydrogen alpha: red) is on the temperature plot at its right-hand end,
    // where the last hour's data are.
    auto* plot = history_window()->findChild<QChartView*>(QStringLiteral("history-plot-0"));
    ASSERT_NE(plot, nullptr);
    const QImage image = plot->grab().toImage();
    const QRect area = plot->chart()->plotArea().toAlignedRect();
    const QImage recent = image.copy(area.right() - area.width() / 20, area.top(), area.width() / 20 + 2, area.height());
    const QImage earlier = image.copy(area.left() + 2, area.top(), area.width() / 3, area.height());
    const QColor red = QColor::fromRgb(plot->chart()->series()[0]->property("color").value<QColor>().rgb());
    EXPECT_GT(pixels_near(recent, red), 3) << "filter 1's curve where its polls are";
    EXPECT_EQ(pixels_near(earlier, red), 0) << "and none before them";
    EXPECT_GT(red.red(), 2 * red.blue()) << "hydrogen alpha is drawn red";

    const QString readout = history_cursor_text(last);
    EXPECT_TRUE(readout.startsWith(QDateTime::fromMSecsSinceEpoch(last).toString(QStringLiteral("HH:mm:ss")))) << readout.toStdString();
    EXPECT_TRUE(readout.contains(QStringLiteral("Filter 1: "))) << readout.toStdString();
    EXPECT_TRUE(readout.contains(QStringLiteral("Filter 2: "))) << readout.toStdString();
    EXPECT_TRUE(readout.contains(QStringLiteral("Wake"))) << "the heater command is marked: " << readout.toStdString();
    const QString ready = history_window()->findChild<QLabel*>(QStringLiteral("history-ready"))->text();
    EXPECT_TRUE(ready.contains(QStringLiteral("Filter 1: "))) << ready.toStdString();
    EXPECT_FALSE(ready.contains(QStringLiteral("on band in"))) << "no estimate from seconds of data: " << ready.toStdString();

    // File > Save History... writes what the history holds.
    on_next_modal([](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        dialog->selectFile(QStringLiteral("night.csv"));
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    });
    ASSERT_EQ(ask_and_save_history(app().main_window), 1);
    const std::string csv = read_file("night.csv");
    EXPECT_EQ(csv.rfind("time (UTC),filter,status code,", 0), 0u) << csv.substr(0, 200);
    EXPECT_NE(csv.find(",1,"), std::string::npos);
    EXPECT_NE(csv.find(",2,"), std::string::npos);
    EXPECT_NE(csv.find("Wake"), std::string::npos);
    history_window()->close();
}

}  // namespace
