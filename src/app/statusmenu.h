#pragma once

#include "engine/menumodel.h"

#include <QAction>
#include <QMenu>

#include <array>

namespace quenlo {

/// \brief The status menu's widgets: one action per MenuItem, built once.
///
/// Afterwards items are updated in place, never removed and added again, so a tray host that
/// mirrors the menu (DBusMenu) keeps stable item ids.
struct StatusMenu {
    QMenu *menu = nullptr;
    QMenu *settingsMenu = nullptr;
    QMenu *autosyncMenu = nullptr;
    std::array<QAction *, menuItemCount> actions{};

    QAction *operator[](MenuItem item) const { return actions[size_t(item)]; }
};

/// Builds the menu's structure (order, separators, submenus, checkable items, the shortcut);
/// \a parent owns the top menu. The texts come with the first render.
StatusMenu buildStatusMenu(QWidget *parent = nullptr);

/// Shows \a model: every item's text, tool tip, enabled, visible and checked state.
void renderStatusMenu(const StatusMenu &menu, const MenuModel &model);

} // namespace quenlo
