// The main window's menu bar, its check marks and the filter popups' labels.
#include "control/shell/commands.h"
#include "control/shell/shell.h"

#include "spectral/spectral.h"

#include <QAction>
#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

#include <cstring>
#include <map>

namespace {


enum ItemKind { ITEM, CHECKABLE, CHECKED, SEPARATOR };

struct MenuItem {
    const char* label;
    int id;  // for per-filter items: the base, or an index into DISPLAY_POPUP_IDS' fields
    ItemKind kind;
};

QAction* add_item(QMenu* menu, const QString& label, int id, ItemKind kind)
{
    if (kind == SEPARATOR) {
        menu->addSeparator();
        return nullptr;
    }
    QAction* action = menu->addAction(label);
    action->setData(id);
    if (kind != ITEM) {
        action->setCheckable(true);
        action->setChecked(kind == CHECKED);
    }
    window_state().menu_actions.emplace(id, action);
    return action;
}

void add_items(QMenu* menu, const MenuItem* items, size_t count)
{
    for (size_t k = 0; k < count; ++k) add_item(menu, QString::fromUtf8(items[k].label), items[k].id, items[k].kind);
}

const MenuItem FILE_ITEMS[] = {
    {"&Bandpass Log...", MENU_BANDPASS_LOG, ITEM},
    {nullptr, 0, SEPARATOR},
    {"E&xit", MENU_EXIT, ITEM},
    // Added after the original items, so that none of them moves.
    {nullptr, 0, SEPARATOR},
    {"Save &History...", MENU_SAVE_HISTORY, ITEM},
};

// The filter controls; the identifier is the base to which the slot index is added.
const MenuItem CONTROL_ITEMS[] = {
    {"&Heater On", MENU_HEATER_ON, CHECKED},
    {"&Sleep (Off)", MENU_SLEEP, CHECKABLE},
    {nullptr, 0, SEPARATOR},
    {"Shift D&own 0.5\u00C5", MENU_SHIFT_DOWN_05, ITEM},
    {"Shift &Down 0.1\u00C5", MENU_SHIFT_DOWN_01, ITEM},
    {"&Reset To Center Wavelength", MENU_RESET_SHIFT, ITEM},
    {"Shift &Up 0.1\u00C5", MENU_SHIFT_UP_01, ITEM},
    {"Shift U&p 0.5\u00C5", MENU_SHIFT_UP_05, ITEM},
    {nullptr, 0, SEPARATOR},
    {"&Lock Out Front Panel Buttons", MENU_LOCK_PANEL, CHECKABLE},
};

// Each filter's Display popup after its own Status... and zoom items.
const MenuItem DISPLAY_OPTION_ITEMS[] = {
    {nullptr, 0, SEPARATOR},
    {"&Full", MENU_FULL, CHECKED},
    {"&Simple", MENU_SIMPLE, CHECKABLE},
    {nullptr, 0, SEPARATOR},
    {"&Angstroms", MENU_ANGSTROMS, CHECKED},
    {"&Nanometers", MENU_NANOMETERS, CHECKABLE},
    {nullptr, 0, SEPARATOR},
    {"Display &Center", MENU_DISPLAY_CENTER, CHECKED},
    {"Display &Wing Shift", MENU_DISPLAY_WING_SHIFT, CHECKABLE},
    {nullptr, 0, SEPARATOR},
    {"Fit Window", MENU_FIT_WINDOW, ITEM},
};

const MenuItem SETTINGS_ITEMS[] = {
    {"&Connection...", MENU_CONNECTION, ITEM},
    {nullptr, 0, SEPARATOR},
};

const MenuItem INTERVAL_ITEMS[] = {
    {"&1 Second", MENU_UPDATE_1S, CHECKED},
    {"&5 Seconds", MENU_UPDATE_5S, CHECKABLE},
    {"&30 Seconds", MENU_UPDATE_30S, CHECKABLE},
};

const MenuItem HELP_ITEMS[] = {
    {"&Help Topics\tF1", MENU_HELP_TOPICS, ITEM},
    {nullptr, 0, SEPARATOR},
    {"&About ...", MENU_ABOUT, ITEM},
};

void set_check(int id, bool on)
{
    auto [first, last] = window_state().menu_actions.equal_range(id);
    for (auto it = first; it != last; ++it) it->second->setChecked(on);
}

void add_accelerator(QMainWindow* window, const QKeySequence& keys, int id)
{
    auto* action = new QAction(window);
    action->setShortcut(keys);
    action->setShortcutContext(Qt::ApplicationShortcut);
    QObject::connect(action, &QAction::triggered, [id] { dispatch_command(id); });
    window->addAction(action);
}

}  // namespace

void build_main_menu(QMainWindow* window)
{
    window_state().menu_actions.clear();
    QObject::connect(window, &QObject::destroyed, [] {
        window_state().menu_actions.clear();
        for (int n = 0; n < SLOT_COUNT; ++n) window_state().controls_popups[n] = window_state().display_popups[n] = nullptr;
    });
    QMenuBar* bar = window->menuBar();
    window_state().menu_bar = bar;
    // The items go with the window; results that come after it has gone find no menu to mark.
    QObject::connect(bar, &QObject::destroyed, [bar] {
        if (bar != window_state().menu_bar) return;  // an earlier window's, gone after this one was made
        window_state().menu_actions.clear();
        for (int n = 0; n < SLOT_COUNT; ++n) window_state().controls_popups[n] = window_state().display_popups[n] = nullptr;
    });
    QObject::connect(bar, &QMenuBar::triggered, [](QAction* action) {
        if (action->data().isValid()) dispatch_command(action->data().toInt());
    });

    add_items(bar->addMenu(QStringLiteral("&File")), FILE_ITEMS, std::size(FILE_ITEMS));

    QMenu* controls = bar->addMenu(QStringLiteral("&Controls"));
    controls->setToolTipsVisible(true);  // a greyed filter's item says why (update_menus)
    for (int n = 0; n < SLOT_COUNT; ++n) {
        window_state().controls_popups[n] = controls->addMenu(QStringLiteral("Filter %1").arg(n + 1));
        for (const MenuItem& item : CONTROL_ITEMS)
            add_item(window_state().controls_popups[n], QString::fromUtf8(item.label ? item.label : ""), item.id + n, item.kind);
    }

    QMenu* display = bar->addMenu(QStringLiteral("&Display"));
    display->setToolTipsVisible(true);
    for (int n = 0; n < SLOT_COUNT; ++n) {
        const DisplayPopupIds& ids = DISPLAY_POPUP_IDS[n];
        QMenu* popup = window_state().display_popups[n] = display->addMenu(QStringLiteral("Filter %1").arg(n + 1));
        add_item(popup, QStringLiteral("&Status..."), ids.status, ITEM);
        add_item(popup, QString(), 0, SEPARATOR);
        add_item(popup, QStringLiteral("Zoom &Wide"), ids.zoom_wide, CHECKABLE);
        add_item(popup, QStringLiteral("Zoom &Normal"), ids.zoom_normal, CHECKABLE);
        add_item(popup, QStringLiteral("Zoom &Tight"), ids.zoom_tight, CHECKABLE);
        add_items(popup, DISPLAY_OPTION_ITEMS, std::size(DISPLAY_OPTION_ITEMS));
    }
    display->addSeparator();
    add_item(display, QStringLiteral("&History..."), MENU_HISTORY, ITEM);

    QMenu* settings = bar->addMenu(QStringLiteral("&Settings"));
    add_items(settings, SETTINGS_ITEMS, std::size(SETTINGS_ITEMS));
    add_items(settings->addMenu(QStringLiteral("&Update Interval")), INTERVAL_ITEMS, std::size(INTERVAL_ITEMS));
    settings->addSeparator();
    add_item(settings, QStringLiteral("&Log Filter Bandpasses"), MENU_LOG_BANDPASSES, CHECKABLE);

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    add_items(help, HELP_ITEMS, std::size(HELP_ITEMS));
    window_state().menu_actions.find(MENU_HELP_TOPICS)->second->setShortcut(QKeySequence(Qt::Key_F1));

    add_accelerator(window, QKeySequence(Qt::ALT | Qt::Key_Slash), MENU_ABOUT);
    add_accelerator(window, QKeySequence(Qt::ALT | Qt::Key_Question), MENU_ABOUT);
}

int menu_checked(int id)
{
    auto [first, last] = window_state().menu_actions.equal_range(id);
    for (auto it = first; it != last; ++it)
        if (it->second->isChecked()) return 1;
    return 0;
}

void update_zoom_checks(int n)
{
    const double z = filter_slots()[n].zoom_span;
    const DisplayPopupIds& ids = DISPLAY_POPUP_IDS[n];
    // Spans read from a settings file are classed by two thresholds around the Normal span.
    const bool tight = z < 9.9, wide = !tight && z > 10.1;
    set_check(ids.zoom_tight, tight);
    set_check(ids.zoom_wide, wide);
    set_check(ids.zoom_normal, !tight && !wide);
}

QString filter_label(int n)
{
    const FilterRecord& slot = filter_slots()[n];
    if (!slot.connected) return QStringLiteral("Port %1").arg(n + 1);
    return QString::fromStdString(filter_label(slot));
}

QString filter_popup_tooltip(int n)
{
    return window_state().controls_popups[n] ? window_state().controls_popups[n]->menuAction()->toolTip() : QString();
}

QString filter_popup_label(int n) { return window_state().controls_popups[n] ? window_state().controls_popups[n]->title() : QString(); }

bool filter_popup_enabled(int n) { return window_state().controls_popups[n] && window_state().controls_popups[n]->menuAction()->isEnabled(); }

void update_menus()
{
    for (const PanelModeItem& item : PANEL_MODE_ITEMS)
        set_check(item.menu_id, panel_mode_row(app().full_display).mode == item.mode);
    set_check(MENU_ANGSTROMS, app().units_nm == 0);
    set_check(MENU_NANOMETERS, app().units_nm == 1);
    set_check(MENU_DISPLAY_CENTER, app().show_wing_shift == 0);
    set_check(MENU_DISPLAY_WING_SHIFT, app().show_wing_shift == 1);
    set_check(MENU_LOG_BANDPASSES, app().log_enabled);
    const int intervals[] = {MENU_UPDATE_1S, MENU_UPDATE_5S, MENU_UPDATE_30S};
    for (int k = 0; k < 3; ++k) set_check(intervals[k], app().update_interval_index == k);
    for (int n = 0; n < SLOT_COUNT; ++n) {
        set_check(MENU_SLEEP + n, filter_slots()[n].sleeping);
        set_check(MENU_HEATER_ON + n, !filter_slots()[n].sleeping);
        set_check(MENU_LOCK_PANEL + n, filter_slots()[n].panel_locked);
        update_zoom_checks(n);
    }
    for (int n = 0; n < SLOT_COUNT; ++n) {
        // A filter's text is shown as it is: an ampersand in it is no mnemonic.
        QString label = filter_label(n).replace(QLatin1Char('&'), QStringLiteral("&&"));
        for (QMenu* popup : {window_state().controls_popups[n], window_state().display_popups[n]}) {
            if (popup == nullptr) continue;
            popup->setTitle(label);
            popup->menuAction()->setEnabled(filter_slots()[n].connected != 0);
            // Why the filter is missing or silent, where the observer looks for it.
            popup->menuAction()->setToolTip(QString::fromStdString(window_state().slot_problem[n]));
        }
    }
}

// Commands set their own check marks directly.
void check_menu_item(int id, bool on) { set_check(id, on); }
