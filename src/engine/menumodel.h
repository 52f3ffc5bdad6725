#pragma once

#include "model/menustate.h"
#include "net/localapi.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <optional>

namespace quenlo {

enum class CompanionMode { Local, NASClient, NAS };

/// Every item of the status menu, submenu entries included, in the order the menu shows them.
enum class MenuItem {
    OpenLibrary,
    AddFromClipboard,
    SettingsMenu,
    OpenQuenloSettings,
    RemoteLogin,
    Transcription,
    TranscriptionStatus,
    StatusLine,
    Job0,
    Job1,
    QueueLine,
    SyncAll,
    AutosyncMenu,
    Autosync0,
    Autosync3,
    Autosync6,
    Autosync12,
    Autosync24,
    NextLine,
    Startup,
    OpenProjectFolder,
    RestartService,
    QuitKeepingService,
    QuitAndStopService,
};
inline constexpr int menuItemCount = int(MenuItem::QuitAndStopService) + 1;

/// The automatic-sync choices in hours, in the order of their items (Autosync0 … Autosync24).
inline constexpr std::array<qint64, 5> autosyncChoices{0, 3, 6, 12, 24};
MenuItem autosyncItem(qint64 hours);

/// \brief What one menu item shows.
struct ItemView {
    QString text;
    QString toolTip;
    bool enabled = true;
    bool visible = true;
    bool checked = false;
    bool operator==(const ItemView &) const = default;
};

/// \brief The whole menu and the icon as values: what the tray renders, nothing more.
struct MenuModel {
    std::array<ItemView, menuItemCount> items;
    QString symbol;
    /// The tray icon's tool tip (see toolTipText()).
    QString toolTip;

    ItemView &operator[](MenuItem item) { return items[size_t(item)]; }
    const ItemView &operator[](MenuItem item) const { return items[size_t(item)]; }
};

/// \brief Everything the menu is made from.
struct MenuInputs {
    CompanionMode mode = CompanionMode::NAS;
    const MenuState &state;
    /// The state has been rendered at least once (before that the status line says it checks).
    bool rendered = false;
    /// Nothing while no poll has asked yet; the worker's switches (or nothing known) after.
    std::optional<std::optional<TranscriptionWorker>> worker;
    bool serviceBroken = false;
    std::optional<QString> flashText;
    bool launchAgentEnabled = false;
};

MenuModel menuModel(const MenuInputs &inputs);

/// The status line: the flashed message, else what the state says.
QString statusTitle(const MenuState &state, bool serviceBroken, const std::optional<QString> &flashText);

/// The tool tip: the name, the status line and how long ago the last poll answered
/// ("刚刚更新", "N 秒前更新", "N 分钟前更新"); no age before the first answer.
QString toolTipText(const QString &statusLine, const QDateTime &lastPoll, const QDateTime &now);

/// The icon symbol for a snapshot: warning when down, busy with jobs, normal otherwise.
QString symbolFor(const MenuState &state);

inline const QString symbolNormal = QStringLiteral("books.vertical");
inline const QString symbolBusy = QStringLiteral("arrow.triangle.2.circlepath");
inline const QString symbolWarning = QStringLiteral("exclamationmark.triangle");

} // namespace quenlo
