// "Set Filter Connections": the four slots' ports, chosen by hand or found by Auto Detect.
//
// The dialog works on the slot records themselves: Auto Detect connects and disconnects at once,
// and Cancel undoes nothing; OK connects what was chosen, saves the settings and updates the menus.
#include "control/dialogs/dialog_common.h"
#include "control/dialogs/dialogs.h"

#include "control/display/panel.h"
#include "control/settings/settings.h"
#include "control/shell/shell.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int MAX_DETECTED_PORTS = 32;
constexpr int PORT_NAME_BUFFER = 16;  // names of at most 15 characters

struct SlotControls {
    int list_id, field_id, y;
};
constexpr SlotControls SLOT_CONTROLS[SLOT_COUNT] = {{1007, 1003, 47}, {1009, 1010, 68}, {1011, 1012, 89}, {1013, 1014, 110}};

struct ConnectionsDialog {
    QDialog* dialog;
    QLabel* status;
    QComboBox* lists[SLOT_COUNT];
    QLineEdit* fields[SLOT_COUNT];
    std::vector<std::string> detected_ports;  // in enumeration order
};

QString connection_text(const FilterRecord& slot)
{
    if (!slot.connected) return QStringLiteral("Not connected");
    char wavelength[32];
    std::snprintf(wavelength, sizeof wavelength, "%.1f", slot.wavelength);
    return QString::fromLatin1(wavelength) + QString::fromUtf8("\u00C5 ") + QString::fromLatin1(slot.bandwidth_text) +
           QString::fromUtf8("\u00C5 Solvane ") + QString::fromLatin1(slot.edition_text) + QStringLiteral(" connected");
}

// The lists keep their entries sorted without regard to case; the empty entry stays first.
void add_sorted(QComboBox* list, const QString& name)
{
    int at = 1;
    while (at < list->count() && QString::compare(list->itemText(at), name, Qt::CaseInsensitive) <= 0) ++at;
    list->insertItem(at, name);
}

void select_name(QComboBox* list, const char* name)
{
    int found = list->findText(QString::fromLatin1(name), Qt::MatchExactly | Qt::MatchCaseSensitive);
    list->setCurrentIndex(found >= 0 && name[0] != '\0' ? found : 0);
}

void auto_detect(ConnectionsDialog& d)
{
    d.status->setText(QStringLiteral("Please wait..."));
    d.status->repaint();  // shown now: the detection holds the one thread until it ends
    for (FilterRecord& slot : filter_slots) serial_close(slot.connected, slot.port_handle);

    int n = 0;
    for (const std::string& port : d.detected_ports) {
        if (n >= SLOT_COUNT) break;
        FilterRecord& slot = filter_slots[n];
        connect_program_slot(slot, port.c_str());
        app.scrollbar_reset[n] = 1;
        if (!slot.connected) continue;  // the next port is tried in the same slot
        copy_text(slot.port_name, PORT_NAME_SIZE, port.c_str(), PORT_NAME_SIZE - 1);
        d.fields[n]->setText(connection_text(slot));
        select_name(d.lists[n], slot.port_name);
        // Calcium filters show their broad lines best at the wide span.
        slot.zoom_span = slot.center_wavelength > 3900 && slot.center_wavelength < 4000 ? 30.0 : 10.0;
        panel_cache[n].valid = 0;
        ++n;
    }
    for (int k = n; k < SLOT_COUNT; ++k) {
        d.fields[k]->setText(QStringLiteral("Not connected"));
        d.lists[k]->setCurrentIndex(0);
    }
    d.status->setText(QStringLiteral("Autodetect completed, click OK to continue."));
    fit_window();
}

void apply(ConnectionsDialog& d)
{
    for (int n = 0; n < SLOT_COUNT; ++n) {
        FilterRecord& slot = filter_slots[n];
        if (d.lists[n]->currentIndex() < 0) continue;
        const std::string chosen = d.lists[n]->currentText().toLatin1().toStdString();
        if (chosen != slot.port_name && slot.connected) serial_close(slot.connected, slot.port_handle);
        copy_text(slot.port_name, PORT_NAME_SIZE, chosen.c_str(), PORT_NAME_SIZE - 1);
    }
    for (int n = 0; n < SLOT_COUNT; ++n) {
        FilterRecord& slot = filter_slots[n];
        if (!slot.connected && connectable_name(slot.port_name)) {
            connect_program_slot(slot, slot.port_name);
            // A slot switched to a filter of another line must not keep the old line's picture.
            if (slot.connected) panel_cache[n].valid = 0;
        }
        app.scrollbar_reset[n] = 1;
    }
    save_settings();
    update_menus();
    repaint_panels(0);
}

}  // namespace

int run_connections_dialog(QWidget* owner)
{
    QDialog dialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    dialog.setWindowTitle(QStringLiteral("Set Filter Connections"));
    dialog.setFont(dialog_font("MS Shell Dlg", 8));
    ConnectionsDialog d{&dialog, nullptr, {}, {}, {}};

    auto* intro = new QLabel(QStringLiteral("Specify the serial port of each connected filter.\nOr click Auto Detect "
                                            "to attempt to automatically detect attached filters."),
                             &dialog);
    place(intro, 7, 7, 245, 18);
    auto* detect = new QPushButton(QStringLiteral("Auto Detect"), &dialog);
    detect->setObjectName(QStringLiteral("control_1002"));
    place(detect, 37, 27, 47, 14);
    d.status = new QLabel(&dialog);
    d.status->setObjectName(QStringLiteral("control_32001"));
    place(d.status, 97, 30, 155, 8);
    for (int n = 0; n < SLOT_COUNT; ++n) {
        const SlotControls& c = SLOT_CONTROLS[n];
        place(new QLabel(QStringLiteral("Port %1").arg(n + 1), &dialog), 7, c.y + 2, 25, 12);
        d.lists[n] = new QComboBox(&dialog);
        d.lists[n]->setObjectName(QStringLiteral("control_%1").arg(c.list_id));
        d.lists[n]->setMaxVisibleItems(MAX_DETECTED_PORTS + 1);
        place(d.lists[n], 37, c.y, 48, 13);
        d.fields[n] = new QLineEdit(&dialog);
        d.fields[n]->setObjectName(QStringLiteral("control_%1").arg(c.field_id));
        d.fields[n]->setReadOnly(true);
        place(d.fields[n], 97, c.y, 155, 13);
    }
    auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    ok->setObjectName(QStringLiteral("control_1"));
    ok->setDefault(true);
    place(ok, 74, 132, 50, 14);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), &dialog);
    cancel->setObjectName(QStringLiteral("control_2"));
    place(cancel, 133, 132, 50, 14);
    fit_dialog(&dialog, 259, 154);

    // Opening: every list gets the empty entry and the machine's ports, each slot its own.
    d.status->setText(QString());
    for (QComboBox* list : d.lists) list->addItem(QString());
    char name[PORT_NAME_BUFFER];
    for (int index = 0; index < MAX_DETECTED_PORTS && enum_serial_port(name, sizeof name, index); ++index) {
        d.detected_ports.emplace_back(name);
        for (QComboBox* list : d.lists) add_sorted(list, QString::fromLatin1(name));
    }
    for (int n = 0; n < SLOT_COUNT; ++n) {
        select_name(d.lists[n], filter_slots[n].port_name);
        d.fields[n]->setText(connection_text(filter_slots[n]));
    }

    QObject::connect(detect, &QPushButton::clicked, &dialog, [&d] { auto_detect(d); });
    QObject::connect(ok, &QPushButton::clicked, &dialog, [&d] {
        apply(d);
        d.dialog->done(1);
    });
    QObject::connect(cancel, &QPushButton::clicked, &dialog, [&dialog] { dialog.done(2); });
    return dialog.exec() == 1 ? 1 : 2;
}
