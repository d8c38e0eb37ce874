// The connections dialog with Auto Detect, the status dialog and the About box, driven through
// their own controls while they run modally.
#include "tests/control/control_fixture.h"

#include "control/dialogs/dialogs.h"
#include "control/dialogs/status_texts.h"
#include "control/shell/commands.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

namespace {

template <typename Control>
Control* control(QWidget* dialog, int id)
{
    return dialog->findChild<Control*>(QStringLiteral("control_%1").arg(id));
}

QStringList list_entries(QWidget* dialog, int id)
{
    QStringList entries;
    QComboBox* list = control<QComboBox>(dialog, id);
    for (int k = 0; k < list->count(); ++k) entries << list->itemText(k);
    return entries;
}

// Lets Auto Detect run to its end inside the dialog's own loop.
void finish_detection()
{
    QElapsedTimer timer;
    timer.start();
    while (auto_detect_running() && timer.elapsed() < 30000) QApplication::processEvents(QEventLoop::AllEvents, 5);
}

constexpr int LISTS[4] = {1007, 1009, 1011, 1013};
constexpr int FIELDS[4] = {1003, 1010, 1012, 1014};

// A simulated device that is no filter: it sends every command back.
SimFilter echo_device()
{
    SimFilter f = sim_preset()[0];
    f.faults.echo = 1;
    return f;
}

struct DialogTest : ControlTest {
    void start_ports(const std::vector<std::string>& names, const std::vector<SimFilter>& devices)
    {
        SimOptions options;
        options.port_dir = dir + "/ports";
        options.port_names = names;
        options.filters = devices;
        ASSERT_EQ(sim_start(options), 1);
        setenv("SOLVANE_PORT_DIR", options.port_dir.c_str(), 1);
        setenv("SOLVANE_ONLY_PORT_DIR", "1", 1);
        // Updates every 30 s: no tick talks to the filters while a test looks at them.
        write_file("solvane.ini", "\r\n\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 2\r\n");
        start_control();
    }
    void TearDown() override
    {
        unsetenv("SOLVANE_BY_ID_DIR");
        ControlTest::TearDown();
    }
};

// The width a closed list has for its text (inside its frame, left of its arrow).
int text_room(QComboBox* list)
{
    QStyleOptionComboBox option;
    option.initFrom(list);
    option.frame = true;
    return list->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, list).width();
}

TEST_F(DialogTest, TheListsHoldTheEmptyEntryAndThePortsSortedWithoutRegardToCase)
{
    start_ports({"COM3", "COM10", "COM1", "com2"}, {echo_device(), echo_device(), echo_device(), echo_device()});
    copy_text(filter_slots()[0].port_name, PORT_NAME_SIZE, "COM3", 99);
    copy_text(filter_slots()[1].port_name, PORT_NAME_SIZE, "COM7", 99);  // not present now
    QStringList entries;
    QString selected[2], field;
    on_next_modal([&](QWidget* dialog) {
        entries = list_entries(dialog, 1007);
        selected[0] = control<QComboBox>(dialog, 1007)->currentText();
        selected[1] = control<QComboBox>(dialog, 1009)->currentText();
        field = control<QLineEdit>(dialog, 1003)->text();
        control<QPushButton>(dialog, 2)->click();
    });
    EXPECT_EQ(open_connections(nullptr), 2);
    EXPECT_EQ(entries, (QStringList{"", "COM1", "COM10", "com2", "COM3"}));
    EXPECT_EQ(selected[0], QStringLiteral("COM3"));
    EXPECT_EQ(selected[1], QStringLiteral("COM7")) << "a slot's own port is kept in its list, present or not";
    EXPECT_EQ(field, QStringLiteral("Not connected"));
}

TEST_F(DialogTest, AutoDetectFillsTheSlotsInOrderAndOkKeepsAndSavesThem)
{
    SimFilter calcium = sim_preset()[1];
    start_ports({"COM1", "COM2", "COM3", "COM4"}, {echo_device(), sim_preset()[0], echo_device(), calcium});
    QString status, fields[4], lists[4];
    on_next_modal([&](QWidget* dialog) {
        control<QPushButton>(dialog, 1002)->click();
        EXPECT_EQ(control<QLabel>(dialog, 32001)->text(), QStringLiteral("Please wait..."));
        EXPECT_FALSE(control<QPushButton>(dialog, 1)->isEnabled()) << "OK waits for the ports to settle";
        finish_detection();
        status = control<QLabel>(dialog, 32001)->text();
        for (int n = 0; n < 4; ++n) {
            fields[n] = control<QLineEdit>(dialog, FIELDS[n])->text();
            lists[n] = control<QComboBox>(dialog, LISTS[n])->currentText();
        }
        EXPECT_FALSE(file_exists("solvane.ini.new"));
        control<QPushButton>(dialog, 1)->click();
    });
    EXPECT_EQ(open_connections(nullptr), 1);
    ASSERT_TRUE(wait_lines());
    EXPECT_EQ(status, QStringLiteral("Autodetect completed, click OK to continue."));
    EXPECT_TRUE(fields[0].endsWith(QStringLiteral("0.7A Solvane PRO connected"))) << fields[0].toStdString();
    EXPECT_TRUE(fields[1].endsWith(QStringLiteral("2.4\u00C5 Solvane CaK connected"))) << fields[1].toStdString();
    EXPECT_EQ(fields[2], QStringLiteral("Not connected"));
    EXPECT_EQ(fields[3], QStringLiteral("Not connected"));
    EXPECT_EQ(lists[0], QStringLiteral("COM2"));
    EXPECT_EQ(lists[1], QStringLiteral("COM4"));
    EXPECT_EQ(lists[2], QString());
    EXPECT_DOUBLE_EQ(filter_slots()[0].zoom_span, 10.0);
    EXPECT_DOUBLE_EQ(filter_slots()[1].zoom_span, 30.0) << "calcium K gets the wide span";
    EXPECT_EQ(filter_slots()[0].connected, 1);
    EXPECT_EQ(filter_slots()[1].connected, 1);
    EXPECT_EQ(read_file("solvane.ini").substr(0, 16), "COM2\r\nCOM4\r\n\r\n\r\n") << "saved on OK";
    EXPECT_EQ(filter_popup_label(1), QStringLiteral("Ca-K 2.4\u00C5 CaK"));
    EXPECT_EQ(client_widget()->height(), 2 * 258) << "fitted to the two filters";
    // Kept without being opened again: the filters were asked nothing more by OK.
    EXPECT_EQ(sim_received(1).size(), 17u);
}

TEST_F(DialogTest, AutoDetectTriesAPortThatAppearedWhileTheDialogWasOpen)
{
    start_ports({"COM1", "COM2"}, {echo_device(), sim_preset()[0]});
    const std::string link = dir + "/ports/COM2", away = dir + "/COM2-unplugged";
    ASSERT_EQ(::rename(link.c_str(), away.c_str()), 0);
    QStringList before, after;
    QString field;
    on_next_modal([&](QWidget* dialog) {
        before = list_entries(dialog, 1007);
        EXPECT_EQ(::rename(away.c_str(), link.c_str()), 0);  // plugged in now
        control<QPushButton>(dialog, 1002)->click();
        finish_detection();
        after = list_entries(dialog, 1007);
        field = control<QLineEdit>(dialog, FIELDS[0])->text();
        control<QPushButton>(dialog, 2)->click();
    });
    EXPECT_EQ(open_connections(nullptr), 2);
    EXPECT_EQ(before, (QStringList{"", "COM1"}));
    EXPECT_EQ(after, (QStringList{"", "COM1", "COM2"}));
    EXPECT_TRUE(field.endsWith(QStringLiteral("connected"))) << field.toStdString();
}

TEST_F(DialogTest, AutoDetectStopsAtTheFourthFilterAndCancelSavesNothing)
{
    std::vector<SimFilter> filters(6, sim_preset()[2]);
    start_ports({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"}, filters);
    on_next_modal([&](QWidget* dialog) {
        control<QPushButton>(dialog, 1002)->click();
        finish_detection();
        control<QPushButton>(dialog, 2)->click();
    });
    EXPECT_EQ(open_connections(nullptr), 2);
    ASSERT_TRUE(wait_lines());
    for (int n = 0; n < 4; ++n) EXPECT_EQ(filter_slots()[n].connected, 1) << "slot " << n << " stays connected";
    EXPECT_TRUE(sim_received(4).empty()) << "the fifth filter is not tried";
    EXPECT_TRUE(sim_received(5).empty());
    EXPECT_EQ(read_file("solvane.ini"), "\r\n\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 2\r\n") << "Cancel saves nothing";
}

TEST_F(DialogTest, AutoDetectProbesNoPortThatOneAtATimeWouldHaveLeftAlone)
{
    // Port 2 is silent: while it is probed, the others found fill the slots it cannot claim, and
    // the sixth port is never opened, as trying one port after another would not open it.
    SimFilter quiet = sim_preset()[0];
    quiet.faults.silent = 1;
    std::vector<SimFilter> devices = {sim_preset()[0], quiet, sim_preset()[1], sim_preset()[2], sim_preset()[3], sim_preset()[0]};
    start_ports({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"}, devices);
    QString lists[4];
    on_next_modal([&](QWidget* dialog) {
        control<QPushButton>(dialog, 1002)->click();
        finish_detection();
        for (int n = 0; n < 4; ++n) lists[n] = control<QComboBox>(dialog, LISTS[n])->currentText();
        control<QPushButton>(dialog, 2)->click();
    });
    EXPECT_EQ(open_connections(nullptr), 2);
    ASSERT_TRUE(wait_lines());
    EXPECT_EQ(lists[0], QStringLiteral("COM1"));
    EXPECT_EQ(lists[1], QStringLiteral("COM3")) << "filters fill the slots in the order of the ports";
    EXPECT_EQ(lists[2], QStringLiteral("COM4"));
    EXPECT_EQ(lists[3], QStringLiteral("COM5"));
    for (int n = 0; n < 4; ++n) EXPECT_EQ(filter_slots()[n].connected, 1);
    EXPECT_TRUE(sim_received(5).empty()) << "the sixth port is left alone";
    EXPECT_EQ(sim_received(1).size(), 10u) << "the silent port was asked twice, five attempts each";
}

TEST_F(DialogTest, OkConnectsTheChosenPortsAndLeavesConnectedSlotsAlone)
{
    start_ports({"COM1", "COM2"}, {sim_preset()[0], sim_preset()[3]});
    copy_text(filter_slots()[0].port_name, PORT_NAME_SIZE, "COM1", 99);
    slot_connect(0, "COM1");
    ASSERT_TRUE(wait_lines());
    sim_clear_received(0);
    // Slot 3 still holds the picture of an earlier filter.
    window_state().panel_cache[2].background = QImage(797, 258, QImage::Format_ARGB32_Premultiplied);
    window_state().panel_cache[2].background.fill(Qt::magenta);
    window_state().panel_cache[2].valid = 1;
    on_next_modal([&](QWidget* dialog) {
        control<QComboBox>(dialog, 1011)->setCurrentText(QStringLiteral("COM2"));
        EXPECT_EQ(control<QLineEdit>(dialog, 1012)->text(), QStringLiteral("Not connected"))
            << "choosing changes nothing until OK";
        control<QPushButton>(dialog, 1)->click();
    });
    EXPECT_EQ(open_connections(nullptr), 1);
    ASSERT_TRUE(wait_lines());
    EXPECT_TRUE(sim_received(0).empty()) << "same name: no close, no new identification";
    EXPECT_EQ(filter_slots()[0].connected, 1);
    EXPECT_EQ(filter_slots()[2].connected, 1);
    EXPECT_STREQ(filter_slots()[2].port_name, "COM2");
    EXPECT_EQ(window_state().panel_cache[2].background.pixelColor(10, 70), QColor(Qt::white)) << "a newly connected slot draws its own line";
    EXPECT_EQ(read_file("solvane.ini").substr(0, 16), "COM1\r\n\r\nCOM2\r\n\r\n");
}

// Filters named by path, as udev and /dev/serial/by-id name them: slot 2 by a 40-character path
// no enumerated list holds, and a stable by-id link to offer for slot 3.
TEST_F(DialogTest, PathNamedFiltersStayConnectedOnOkAndByIdNamesAreOffered)
{
    start_ports({"COM1", "COM2"}, {sim_preset()[0], sim_preset()[3]});
    const std::string path = dir + "/usb-Velmora_A10", by_id = dir + "/by-id";
    const std::string link = by_id + "/usb-Velmora_Solvane_50_A10K3ZQ7-if00-port0";
    ASSERT_EQ(path.size(), 40u);
    ASSERT_EQ(::symlink(sim_port_path(0).c_str(), path.c_str()), 0);
    ASSERT_EQ(::mkdir(by_id.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(sim_port_path(1).c_str(), link.c_str()), 0);
    setenv("SOLVANE_BY_ID_DIR", by_id.c_str(), 1);  // the machine's /dev/serial/by-id, for the test
    copy_text(filter_slots()[1].port_name, PORT_NAME_SIZE, path.c_str(), PORT_NAME_SIZE - 1);
    slot_connect(1, path.c_str());
    ASSERT_TRUE(wait_lines());
    sim_clear_received(0);
    QString selected;
    QStringList entries;
    on_next_modal([&](QWidget* dialog) {
        QComboBox* list = control<QComboBox>(dialog, 1009);
        selected = list->currentText();
        EXPECT_GE(text_room(list), list->fontMetrics().horizontalAdvance(selected)) << "the closed list shows it whole";
        EXPECT_TRUE(dialog->rect().contains(control<QLineEdit>(dialog, 1010)->geometry())) << "the dialog grew";
        entries = list_entries(dialog, 1011);
        control<QComboBox>(dialog, 1011)->setCurrentText(QString::fromStdString(link));
        control<QPushButton>(dialog, 1)->click();
    });
    EXPECT_EQ(open_connections(nullptr), 1);
    ASSERT_TRUE(wait_lines());
    EXPECT_EQ(selected.toStdString(), path) << "selected when the dialog opened";
    EXPECT_EQ(entries, (QStringList{"", "COM1", "COM2", QString::fromStdString(link)}));
    EXPECT_EQ(filter_slots()[1].connected, 1) << "OK keeps the path-named filter";
    EXPECT_TRUE(sim_received(0).empty()) << "without closing it or asking it anything";
    EXPECT_EQ(filter_label(2), QString::fromUtf8("H-\u03B2 0.6\u00C5 LTD")) << "the by-id link connects its filter";
    EXPECT_EQ(read_file("solvane.ini").substr(0, path.size() + link.size() + 8), "\r\n" + path + "\r\n" + link + "\r\n\r\n");
}

TEST(StatusDialogTexts, FormatEveryField)
{
    FilterRecord r;
    r.center_temperature = 120;
    r.wing_shift = 0.5;
    r.temperature_per_angstrom = 17;
    r.temperature = 121.04;
    r.heater_power = 100;
    r.calibration_screw = 0;
    copy_text(r.firmware_text, FIRMWARE_TEXT_SIZE, "v1.20", 19);
    copy_text(r.bandwidth_text, BANDWIDTH_TEXT_SIZE, "0.7A", 10);
    copy_text(r.startup_message, MESSAGE_TEXT_SIZE, "Caf\xE9 scope", 34);  // a byte of the filter's own
    r.center_wavelength = 6562.8;
    auto texts = status_dialog_texts(r);
    EXPECT_EQ(texts[0], QString::fromUtf8("128.5\u00B0F"));
    EXPECT_EQ(texts[1], QString::fromUtf8("121.0\u00B0F"));
    EXPECT_EQ(texts[2], QStringLiteral("100.0%"));
    EXPECT_EQ(texts[3], QString::fromUtf8("+0.00\u00C5"));
    EXPECT_EQ(texts[4], QStringLiteral("v1.20"));
    EXPECT_EQ(texts[9], QString::fromUtf8("Caf\u00E9 scope"));
    EXPECT_EQ(status_dialog_title(r), QStringLiteral("6562.8 Filter Status"));

    struct Row {
        int minutes;
        const char* age;
    } rows[] = {{0, "0min"}, {1500, "1day 1hr 0min"}, {525960, "1y 0m 0d"}, {61, "1hr 1min"}, {44064 + 61, "1m 0d 1h"}};
    for (const Row& row : rows) {
        r.age_minutes_total = row.minutes;
        break_down_age(r);
        EXPECT_EQ(status_dialog_texts(r)[10], QString::fromLatin1(row.age)) << row.minutes;
    }
}

TEST_F(DialogTest, TheStatusDialogShowsItsSlotAndRefreshesOnItsOwnTimer)
{
    start_ports({"COM1"}, {sim_preset()[0]});
    connect_slot(filter_slots()[0], "COM1");
    app().update_interval_index = 0;
    QString title, model, heater_before, heater_after;
    on_next_modal([&](QWidget* dialog) {
        title = dialog->windowTitle();
        model = control<QLineEdit>(dialog, 1017)->text();
        heater_before = control<QLineEdit>(dialog, 1005)->text();
        filter_slots()[0].heater_power = 42.0;  // as a poll under the dialog would leave it
        QTimer::singleShot(1300, dialog, [&, dialog] {
            heater_after = control<QLineEdit>(dialog, 1005)->text();
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
    });
    EXPECT_EQ(run_status_dialog(nullptr, 0), 2) << "Escape";
    EXPECT_EQ(title, QStringLiteral("6562.8 Filter Status"));
    EXPECT_EQ(model, QStringLiteral("Solvane 60 Hydrogen alpha"));
    EXPECT_EQ(heater_before, QStringLiteral("0.0%"));
    EXPECT_EQ(heater_after, QStringLiteral("42.0%"));
}

TEST_F(ControlTest, TheAboutBoxClosesWithOkEnterAndEscape)
{
    struct Row {
        const char* name;
        std::function<void(QWidget*)> close;
        int result;
    } rows[] = {
        {"OK", [](QWidget* d) { d->findChild<QPushButton*>(QStringLiteral("ok"))->click(); }, 1},
        {"Enter", [](QWidget* d) { QTest::keyClick(d, Qt::Key_Return); }, 1},
        {"Escape", [](QWidget* d) { QTest::keyClick(d, Qt::Key_Escape); }, 2},
    };
    for (const Row& row : rows) {
        QString credit;
        on_next_modal([&](QWidget* dialog) {
            for (QLabel* label : dialog->findChildren<QLabel*>()) credit += label->text() + "\n";
            row.close(dialog);
        });
        EXPECT_EQ(run_about_dialog(nullptr), row.result) << row.name;
        EXPECT_TRUE(credit.contains(QStringLiteral("Velmora Solvane Control v1.0")));
        EXPECT_TRUE(credit.contains(QStringLiteral("NSF/NOAO"))) << "the solar data's credit";
    }
}

TEST_F(ControlTest, TheAboutBoxTextsFitTheirBoxesInTheFallbackFont)
{
    int texts = 0;
    on_next_modal([&](QWidget* dialog) {
        for (QLabel* label : dialog->findChildren<QLabel*>()) {
            if (label->text().isEmpty()) continue;  // the icon
            ++texts;
            const int flags = static_cast<int>(label->alignment()) | (label->wordWrap() ? Qt::TextWordWrap : 0);
            const QRect needed =
                label->fontMetrics().boundingRect(QRect(0, 0, label->width(), QWIDGETSIZE_MAX), flags, label->text());
            EXPECT_LE(needed.width(), label->width()) << label->text().toStdString();
            EXPECT_LE(needed.height(), label->height()) << label->text().toStdString();
            EXPECT_TRUE(dialog->rect().contains(label->geometry())) << label->text().toStdString();
        }
        dialog->close();
    });
    run_about_dialog(nullptr);
    EXPECT_EQ(texts, 4);
}

TEST(StartUpNoticeDialog, HasATaskBarEntryAndASizingBorderButNoTitleBar)
{
    show_startup_notice();
    QWidget* notice = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->isVisible() && window->windowTitle() == QStringLiteral("Loading, please wait...")) notice = window;
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->windowType(), Qt::Window) << "a window of its own, which task bars list (dialogs they leave out)";
    EXPECT_TRUE(notice->windowFlags() & Qt::FramelessWindowHint) << "no title bar of the window manager's";
    EXPECT_EQ(notice->grab().toImage().pixelColor(0, notice->height() / 2), notice->palette().color(QPalette::Light));
    const QPoint edge(notice->width() - 2, notice->height() / 2);
    QMouseEvent move(QEvent::MouseMove, edge, notice->mapToGlobal(edge), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(notice, &move);
    EXPECT_EQ(notice->cursor().shape(), Qt::SizeHorCursor) << "its border resizes it";
    destroy_startup_notice();
}

}  // namespace
