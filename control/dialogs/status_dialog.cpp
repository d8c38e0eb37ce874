// "Filter Status": everything known about one filter, refreshed on the dialog's own timer while
// the main window's update timer keeps polling the filter underneath.
#include "control/dialogs/dialog_common.h"
#include "control/dialogs/dialogs.h"
#include "control/dialogs/status_texts.h"

#include "control/state/app_state.h"
#include "link/filter_policy.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {

struct StatusField {
    const char* label;
    int label_x, label_y, label_width, label_height;
    int id;
    int x, y, width, height;
};

// In the order of status_dialog_texts.
constexpr StatusField STATUS_FIELDS[STATUS_FIELD_COUNT] = {
    {"Target temperature", 7, 8, 72, 8, 1003, 81, 7, 40, 14},
    {"Current temperature", 7, 27, 70, 8, 1007, 81, 26, 40, 14},
    {"Heater power", 7, 46, 46, 8, 1005, 81, 45, 40, 14},
    {"Calibration screw", 7, 65, 72, 17, 1008, 81, 64, 40, 14},
    {"Firmware version", 7, 85, 73, 11, 1020, 81, 83, 40, 14},
    {"Model", 139, 8, 70, 8, 1017, 201, 7, 100, 14},
    {"Bandwidth", 139, 27, 72, 8, 1015, 201, 26, 40, 14},
    {"Edition", 139, 46, 46, 8, 1016, 201, 45, 40, 14},
    {"Serial number", 139, 65, 72, 9, 1018, 201, 64, 100, 14},
    {"Startup message", 139, 84, 73, 11, 1009, 201, 83, 100, 14},
    {"Age (time on)", 139, 103, 73, 11, 1019, 201, 102, 100, 14},
};

QString format(const char* pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return QString::fromUtf8(text);
}

QString age_text(const FilterRecord& r)
{
    char text[64];
    if (r.age_years != 0)
        std::snprintf(text, sizeof text, "%dy %dm %dd", r.age_years, r.age_months, r.age_days);
    else if (r.age_months != 0)
        std::snprintf(text, sizeof text, "%dm %dd %dh", r.age_months, r.age_days, r.age_hours);
    else if (r.age_days != 0)
        std::snprintf(text, sizeof text, "%dday %dhr %dmin", r.age_days, r.age_hours, r.age_minutes);
    else if (r.age_hours != 0)
        std::snprintf(text, sizeof text, "%dhr %dmin", r.age_hours, r.age_minutes);
    else
        std::snprintf(text, sizeof text, "%dmin", r.age_minutes);
    return QString::fromLatin1(text);
}

void fill_status_dialog(QLineEdit* const* fields, int slot)
{
    const std::array<QString, STATUS_FIELD_COUNT> texts = status_dialog_texts(filter_slots()[slot]);
    for (int k = 0; k < STATUS_FIELD_COUNT; ++k)
        if (fields[k]->text() != texts[static_cast<size_t>(k)]) fields[k]->setText(texts[static_cast<size_t>(k)]);
}

}  // namespace

std::array<QString, STATUS_FIELD_COUNT> status_dialog_texts(const FilterRecord& r)
{
    return {
        format("%.1f\u00B0F", target_temperature(r)),
        format("%.1f\u00B0F", r.temperature),
        format("%.1f%%", r.heater_power),
        format("%+.2f\u00C5", r.calibration_screw),
        // Texts the filter sent, shown byte for byte.
        QString::fromLatin1(r.firmware_text),
        QString::fromLatin1(r.model_text),
        QString::fromLatin1(r.bandwidth_text),
        QString::fromLatin1(r.edition_text),
        QString::fromLatin1(r.serial_number_text),
        QString::fromLatin1(r.startup_message),
        age_text(r),
    };
}

QString status_dialog_title(const FilterRecord& r) { return format("%.1f Filter Status", r.center_wavelength); }

int run_status_dialog(QWidget* owner, int slot)
{
    if (slot < 0 || slot >= SLOT_COUNT) return 0;
    QDialog dialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    dialog.setFont(dialog_font("MS Shell Dlg", 8));
    QLineEdit* fields[STATUS_FIELD_COUNT];
    for (int k = 0; k < STATUS_FIELD_COUNT; ++k) {
        const StatusField& f = STATUS_FIELDS[k];
        place(new QLabel(QString::fromUtf8(f.label), &dialog), f.label_x, f.label_y, f.label_width, f.label_height);
        fields[k] = new QLineEdit(&dialog);
        fields[k]->setObjectName(QStringLiteral("control_%1").arg(f.id));
        fields[k]->setReadOnly(true);
        place(fields[k], f.x, f.y, f.width, f.height);
    }
    auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    ok->setObjectName(QStringLiteral("control_1"));
    ok->setDefault(true);
    place(ok, 7, 101, 50, 14);
    fit_dialog(&dialog, 308, 122);
    QObject::connect(ok, &QPushButton::clicked, &dialog, [&dialog] { dialog.done(1); });

    fill_status_dialog(fields, slot);
    dialog.setWindowTitle(status_dialog_title(filter_slots()[slot]));
    // The dialog's own timer, at the update interval taken once at opening (the title stays).
    QTimer refresh(&dialog);
    refresh.setObjectName(QStringLiteral("timer_%1").arg(STATUS_TIMER_ID));
    QObject::connect(&refresh, &QTimer::timeout, &dialog, [&fields, slot] { fill_status_dialog(fields, slot); });
    refresh.start(UPDATE_INTERVALS_MS[app().update_interval_index]);
    const int result = dialog.exec();
    refresh.stop();
    return result == 1 ? 1 : 2;
}
