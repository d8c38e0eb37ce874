// "Set Filter Connections": the four slots' ports, chosen by hand or found by Auto Detect.
//
// The lists offer the machine's ports as the enumeration names them (these are what Auto Detect
// tries), each slot's current port whatever its name, and the names the enumeration leaves out:
// the stable /dev/serial/by-id/ names of USB adapters, and names longer than it allows. A filter named by a path is therefore in its list and stays selected: OK without a
// change keeps every connected filter.
//
// Find Alpaca asks Alpaca discovery (at discovery_targets) and the servers the slots already name for
// their filters, on a thread of its own so the dialog keeps answering, and adds each device's
// alpaca:// name to the lists.
//
// Auto Detect connects and disconnects at once, through the slots' lines; the dialog keeps
// answering while the ports are probed, and Cancel cuts the probes short. OK hands the choice back
// to the shell, which connects, saves and updates the menus; Cancel hands back nothing.
#include "control/dialogs/dialog_common.h"
#include "control/dialogs/dialogs.h"

#include "panels/panel.h"
#include "spectral/spectral.h"
#include "control/state/slot_lines.h"
#include "link/remote_link.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDialog>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <future>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr int MAX_DETECTED_PORTS = 32;
constexpr int PORT_NAME_BUFFER = 16;  // names of at most 15 characters, as Auto Detect tries them
constexpr int LIST_MAX_SCREEN_PERCENT = 45;  // a list never takes more of the screen's width
constexpr int FIELD_GAP_UNITS = 12;          // between a list and its connection text

struct SlotControls {
    int list_id, field_id, y;
};
constexpr SlotControls SLOT_CONTROLS[] = {{1007, 1003, 47}, {1009, 1010, 68}, {1011, 1012, 89}, {1013, 1014, 110}};
static_assert(std::size(SLOT_CONTROLS) == SLOT_COUNT, "a list and a connection text per slot");

struct ConnectionsDialog {
    QDialog* dialog;
    QLabel* status;
    QPushButton* detect;
    QPushButton* ok;
    QComboBox* lists[SLOT_COUNT];
    QLineEdit* fields[SLOT_COUNT];
    std::vector<std::string> detected_ports;  // in enumeration order
    QPushButton* find = nullptr;
    QTimer* find_poll = nullptr;
    std::future<std::vector<ServedDevice>> found;  // the search under way, its thread's result
};

QString connection_text(const FilterRecord& slot)
{
    if (!slot.connected) return QStringLiteral("Not connected");
    char wavelength[32];
    std::snprintf(wavelength, sizeof wavelength, "%.1f", slot.wavelength);
    return QString::fromLatin1(wavelength) + QString::fromUtf8("\u00C5 ") +
           QString::fromStdString(bandwidth_with_unit(slot.bandwidth_text)) + QStringLiteral(" Solvane ") +
           QString::fromLatin1(slot.edition_text) + QStringLiteral(" connected");
}

// The lists keep the enumerated names (and a slot's own name) sorted without regard to case,
// the empty entry first; the stable by-id names follow them, in their own order.
void add_sorted(QComboBox* list, const QString& name, int sorted_end)
{
    int at = 1;
    while (at < sorted_end && QString::compare(list->itemText(at), name, Qt::CaseInsensitive) <= 0) ++at;
    list->insertItem(at, name);
}

void select_name(QComboBox* list, const char* name)
{
    int found = list->findText(QString::fromLatin1(name), Qt::MatchExactly | Qt::MatchCaseSensitive);
    list->setCurrentIndex(found >= 0 && name[0] != '\0' ? found : 0);
}

// A closed list shows its whole name, or, when even the widest list is too narrow, the name with
// its middle left out (the start and the end tell ports apart: /dev/ttyUSB0 and /dev/ttyUSB1).
struct ElidedComboPainter : QObject {
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* list = qobject_cast<QComboBox*>(watched);
        if (list == nullptr || event->type() != QEvent::Paint) return false;
        QStylePainter painter(list);
        QStyleOptionComboBox option;
        option.initFrom(list);
        option.editable = false;
        option.frame = true;
        const QRect text_area = list->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                               QStyle::SC_ComboBoxEditField, list);
        option.currentText = list->fontMetrics().elidedText(list->currentText(), Qt::ElideMiddle, text_area.width());
        painter.drawComplexControl(QStyle::CC_ComboBox, option);
        painter.drawControl(QStyle::CE_ComboBoxLabel, option);
        return true;
    }
};

// Widens the lists to their longest name (within a share of the screen) and moves the connection
// texts to their right; the dialog grows with them. The popups show every name whole, up to the
// screen's width.
void fit_lists(ConnectionsDialog& d)
{
    int longest = 0;
    for (QComboBox* list : d.lists) {
        list->setSizeAdjustPolicy(QComboBox::AdjustToContents);  // its size hint: the longest entry
        longest = std::max(longest, list->sizeHint().width());
    }
    int screen_width = longest;
    if (QScreen* screen = d.dialog->screen()) screen_width = screen->availableGeometry().width();
    const int width =
        std::max(d.lists[0]->width(), std::min(longest, screen_width * LIST_MAX_SCREEN_PERCENT / 100));
    const int gap = dialog_rect(d.dialog->font(), 0, 0, FIELD_GAP_UNITS, 0).width();
    for (int n = 0; n < SLOT_COUNT; ++n) {
        QRect list = d.lists[n]->geometry();
        list.setWidth(width);
        d.lists[n]->setGeometry(list);
        QRect field = d.fields[n]->geometry();
        field.moveLeft(std::max(field.left(), list.right() + gap));
        d.fields[n]->setGeometry(field);
        // Every list shows the same choices: one popup wide enough for all.
        d.lists[n]->view()->setMinimumWidth(std::min(longest, screen_width));
    }
}

// The lists: the empty entry, the enumerated names (what Auto Detect tries) and each slot's own
// name sorted without regard to case, then the names the enumeration leaves out (the stable
// by-id links, names too long for it) in the machine's order.
// The ports Auto Detect tries, as the machine has them now.
std::vector<std::string> detectable_ports()
{
    std::vector<std::string> ports;
    char name[PORT_NAME_BUFFER];
    for (int index = 0; index < MAX_DETECTED_PORTS && enum_serial_port(name, sizeof name, index); ++index) {
        if (!port_name_acceptable(name)) break;  // a name no port has ends the list, as a long one does
        ports.emplace_back(name);
    }
    return ports;
}

void fill_lists(ConnectionsDialog& d)
{
    for (QComboBox* list : d.lists) list->addItem(QString());
    d.detected_ports = detectable_ports();
    for (const std::string& name : d.detected_ports)
        for (QComboBox* list : d.lists) add_sorted(list, QString::fromLatin1(name.c_str()), list->count());
    for (int n = 0; n < SLOT_COUNT; ++n) {
        const QString own = QString::fromLatin1(filter_slots()[n].port_name);
        if (!own.isEmpty() && d.lists[n]->findText(own, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0)
            add_sorted(d.lists[n], own, d.lists[n]->count());
    }
    for (const std::string& port : list_serial_ports()) {
        if (!port_name_acceptable(port.c_str())) continue;  // a name a slot cannot hold
        const QString listed = QString::fromLatin1(port.c_str());
        for (QComboBox* list : d.lists)
            if (list->findText(listed, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0) list->addItem(listed);
    }
}

void show_detection(ConnectionsDialog& d, const SlotEvent& event, const std::function<void()>& after_detect)
{
    switch (event.kind) {
    case EVENT_PROBE_FOUND:
        d.fields[event.slot]->setText(connection_text(filter_slots()[event.slot]));
        if (d.lists[event.slot]->findText(QString::fromLatin1(filter_slots()[event.slot].port_name)) < 0)
            add_sorted(d.lists[event.slot], QString::fromLatin1(filter_slots()[event.slot].port_name),
                       d.lists[event.slot]->count());
        select_name(d.lists[event.slot], filter_slots()[event.slot].port_name);
        break;
    case EVENT_DETECT_DONE: {
        for (int k = event.slot; k < SLOT_COUNT; ++k) {
            d.fields[k]->setText(QStringLiteral("Not connected"));
            d.lists[k]->setCurrentIndex(0);
        }
        d.status->setText(QStringLiteral("Autodetect completed, click OK to continue."));
        d.detect->setEnabled(true);
        d.ok->setEnabled(true);
        if (after_detect) after_detect();
        break;
    }
    default:
        break;
    }
}

void start_detection(ConnectionsDialog& d)
{
    d.status->setText(QStringLiteral("Please wait..."));
    d.detect->setEnabled(false);
    d.ok->setEnabled(false);  // the choice is made once the ports are settled
    for (QLineEdit* field : d.fields) field->setText(QStringLiteral("Not connected"));
    // The ports as they are now: an adapter plugged in while the dialog was open is tried too,
    // and joins the lists.
    d.detected_ports = detectable_ports();
    for (const std::string& name : d.detected_ports) {
        const QString listed = QString::fromLatin1(name.c_str());
        for (QComboBox* list : d.lists)
            if (list->findText(listed, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0) add_sorted(list, listed, list->count());
    }
    fit_lists(d);
    auto_detect_start(d.detected_ports);
}

// How long Find Alpaca waits for discovery answers.
constexpr int DISCOVERY_WAIT_MS = 1000;

void start_search(ConnectionsDialog& d)
{
    if (d.found.valid()) return;
    std::vector<std::string> named;  // the servers the lists name already are asked too
    for (int k = 0; k < d.lists[0]->count(); ++k) {
        const std::string name = d.lists[0]->itemText(k).toLatin1().toStdString();
        if (is_remote_port_name(name.c_str())) named.push_back(name);
    }
    for (int n = 0; n < SLOT_COUNT; ++n)
        if (is_remote_port_name(filter_slots()[n].port_name)) named.emplace_back(filter_slots()[n].port_name);
    d.find->setEnabled(false);
    d.status->setText(QStringLiteral("Looking for Alpaca servers..."));
    d.found = std::async(std::launch::async, [targets = discovery_targets(), named] {
        return discover_served_filters(targets, DISCOVERY_WAIT_MS, named);
    });
    d.find_poll->start(20);
}

void finish_search(ConnectionsDialog& d)
{
    if (!d.found.valid() || d.found.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
    d.find_poll->stop();
    const std::vector<ServedDevice> devices = d.found.get();
    for (const ServedDevice& device : devices) {
        const QString name = QString::fromLatin1(device.port_name.c_str());
        for (QComboBox* list : d.lists) {
            if (list->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive) >= 0) continue;
            list->addItem(name);
            list->setItemData(list->count() - 1, QString::fromStdString(device.name), Qt::ToolTipRole);
        }
    }
    d.status->setText(devices.empty() ? QStringLiteral("No Alpaca server answered.")
                                      : QStringLiteral("Found %1 served filters.").arg(devices.size()));
    d.find->setEnabled(true);
    fit_lists(d);
}

// The template's controls, in its order, into the dialog; the lists draw through elided. Returns
// the Cancel button.
QPushButton* add_controls(QDialog* dialog, ConnectionsDialog& d, ElidedComboPainter& elided)
{
    auto* intro = new QLabel(QStringLiteral("Specify the serial port of each connected filter.\nOr click Auto Detect "
                                            "to attempt to automatically detect attached filters."),
                             dialog);
    place(intro, 7, 7, 245, 18);
    d.detect = new QPushButton(QStringLiteral("Auto Detect"), dialog);
    d.detect->setObjectName(QStringLiteral("control_1002"));
    place(d.detect, 37, 27, 47, 14);
    d.status = new QLabel(dialog);
    d.status->setObjectName(QStringLiteral("control_32001"));
    place(d.status, 97, 30, 155, 8);
    for (int n = 0; n < SLOT_COUNT; ++n) {
        const SlotControls& c = SLOT_CONTROLS[n];
        place(new QLabel(QStringLiteral("Port %1").arg(n + 1), dialog), 7, c.y + 2, 25, 12);
        d.lists[n] = new QComboBox(dialog);
        d.lists[n]->setObjectName(QStringLiteral("control_%1").arg(c.list_id));
        d.lists[n]->setMaxVisibleItems(MAX_DETECTED_PORTS + 1);
        d.lists[n]->installEventFilter(&elided);
        place(d.lists[n], 37, c.y, 48, 13);
        d.fields[n] = new QLineEdit(dialog);
        d.fields[n]->setObjectName(QStringLiteral("control_%1").arg(c.field_id));
        d.fields[n]->setReadOnly(true);
        place(d.fields[n], 97, c.y, 155, 13);
    }
    d.ok = new QPushButton(QStringLiteral("OK"), dialog);
    d.ok->setObjectName(QStringLiteral("control_1"));
    d.ok->setDefault(true);
    place(d.ok, 74, 132, 50, 14);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), dialog);
    cancel->setObjectName(QStringLiteral("control_2"));
    place(cancel, 133, 132, 50, 14);
    d.find = new QPushButton(QStringLiteral("Find Alpaca"), dialog);
    d.find->setObjectName(QStringLiteral("control_1020"));
    place(d.find, 192, 132, 60, 14);
    d.find_poll = new QTimer(dialog);
    return cancel;
}

}  // namespace

int run_connections_dialog(QWidget* owner, ConnectionChoice& choice, const std::function<void()>& after_detect)
{
    QDialog dialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    dialog.setWindowTitle(QStringLiteral("Set Filter Connections"));
    dialog.setFont(dialog_font("MS Shell Dlg", 8));
    ConnectionsDialog d{&dialog, nullptr, nullptr, nullptr, {}, {}, {}, nullptr, nullptr, {}};

    ElidedComboPainter elided;
    QPushButton* cancel = add_controls(&dialog, d, elided);

    // Opening: every list gets the empty entry and the machine's ports, each slot its own.
    d.status->setText(QString());
    fill_lists(d);
    fit_lists(d);
    fit_dialog(&dialog, 259, 154);
    for (int n = 0; n < SLOT_COUNT; ++n) {
        select_name(d.lists[n], filter_slots()[n].port_name);
        d.fields[n]->setText(connection_text(filter_slots()[n]));
    }

    const int observer = add_slot_observer([&d, &after_detect](const SlotEvent& event) {
        show_detection(d, event, after_detect);
    });
    QObject::connect(d.detect, &QPushButton::clicked, &dialog, [&d] { start_detection(d); });
    QObject::connect(d.find, &QPushButton::clicked, &dialog, [&d] { start_search(d); });
    QObject::connect(d.find_poll, &QTimer::timeout, &dialog, [&d] { finish_search(d); });
    QObject::connect(d.ok, &QPushButton::clicked, &dialog, [&d, &choice] {
        for (int n = 0; n < SLOT_COUNT; ++n) {
            choice.chosen[n] = d.lists[n]->currentIndex() >= 0;
            const std::string text = d.lists[n]->currentText().toLatin1().toStdString();
            copy_text(choice.port_name[n], PORT_NAME_SIZE, text.c_str(), PORT_NAME_SIZE - 1);
        }
        d.dialog->done(1);
    });
    QObject::connect(cancel, &QPushButton::clicked, &dialog, [&dialog] { dialog.done(2); });
    const int result = dialog.exec() == 1 ? 1 : 2;
    remove_slot_observer(observer);
    if (d.found.valid()) d.found.wait();  // a search under way ends within its time-outs
    auto_detect_stop();  // closed while probing: the probes are cut short, the found keep their slots
    return result;
}
