#include "app/statusmenu.h"

#include <QKeySequence>

namespace quenlo {

StatusMenu buildStatusMenu(QWidget *parent)
{
    StatusMenu m;
    m.menu = new QMenu(parent);
    m.menu->setToolTipsVisible(true);
    auto add = [&m](QMenu *menu, MenuItem item, bool checkable = false) {
        QAction *action = menu->addAction(QString());
        action->setCheckable(checkable);
        m.actions[size_t(item)] = action;
        return action;
    };
    auto submenu = [&m](MenuItem item) {
        auto *sub = new QMenu(m.menu);
        sub->setToolTipsVisible(true);
        m.actions[size_t(item)] = m.menu->addMenu(sub);
        return sub;
    };

    add(m.menu, MenuItem::OpenLibrary)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    add(m.menu, MenuItem::AddFromClipboard);
    m.settingsMenu = submenu(MenuItem::SettingsMenu);
    add(m.settingsMenu, MenuItem::OpenQuenloSettings);
    add(m.settingsMenu, MenuItem::RemoteLogin);
    add(m.settingsMenu, MenuItem::Transcription, true);
    add(m.settingsMenu, MenuItem::TranscriptionStatus);

    m.menu->addSeparator();
    for (MenuItem item : {MenuItem::StatusLine, MenuItem::Job0, MenuItem::Job1, MenuItem::QueueLine, MenuItem::SyncAll})
        add(m.menu, item);
    m.menu->addSeparator();

    m.autosyncMenu = submenu(MenuItem::AutosyncMenu);
    for (const qint64 hours : autosyncChoices)
        add(m.autosyncMenu, autosyncItem(hours), true)->setData(hours);
    add(m.menu, MenuItem::NextLine);
    add(m.menu, MenuItem::Startup, true);
    m.menu->addSeparator();

    add(m.menu, MenuItem::OpenProjectFolder);
    add(m.menu, MenuItem::RestartService);
    m.menu->addSeparator();
    add(m.menu, MenuItem::QuitKeepingService);
    add(m.menu, MenuItem::QuitAndStopService);
    return m;
}

void renderStatusMenu(const StatusMenu &m, const MenuModel &model)
{
    for (int i = 0; i < menuItemCount; ++i) {
        QAction *action = m.actions[size_t(i)];
        const ItemView &view = model.items[size_t(i)];
        // Qt's setters ignore unchanged values, so DBusMenu announces only what changed.
        action->setText(view.text);
        action->setToolTip(view.toolTip);
        action->setEnabled(view.enabled);
        action->setVisible(view.visible);
        if (action->isCheckable())
            action->setChecked(view.checked);
    }
    m.settingsMenu->setTitle(model[MenuItem::SettingsMenu].text);
    m.autosyncMenu->setTitle(model[MenuItem::AutosyncMenu].text);
}

} // namespace quenlo
