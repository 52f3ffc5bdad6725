#pragma once

#include "model/menustate.h"
#include "net/localapi.h"

#include <QAction>
#include <QList>
#include <QMenu>

#include <optional>

namespace quenlo {

/// \brief The status menu and the references to every item that polling or the mode changes.
///
/// Built once; afterwards items are updated in place, never removed and added again, so a
/// tray host that mirrors the menu (DBusMenu) keeps stable item ids.
struct StatusMenu {
    QMenu *menu = nullptr;
    QMenu *settingsMenu = nullptr;
    QMenu *autosyncMenu = nullptr;

    QAction *openLibrary = nullptr;
    QAction *addFromClipboard = nullptr;
    QAction *settingsEntry = nullptr;
    QAction *statusLine = nullptr;
    QAction *jobLines[2] = {nullptr, nullptr};
    QAction *queueLine = nullptr;
    QAction *syncAll = nullptr;
    QAction *autosyncEntry = nullptr;
    QAction *nextLine = nullptr;
    QAction *startupItem = nullptr;
    QAction *openProjectFolder = nullptr;
    QAction *restartService = nullptr;
    QAction *quitKeepingService = nullptr;
    QAction *quitAndStopService = nullptr;

    QAction *openQuenloSettings = nullptr;
    QAction *remoteLoginItem = nullptr;
    QAction *transcriptionItem = nullptr;
    QAction *transcriptionStatus = nullptr;

    QList<QAction *> autosyncItems; ///< tags 0, 3, 6, 12, 24 in QAction::data()
};

/// Builds the full menu with its two submenus; \a parent owns the top menu.
StatusMenu buildStatusMenu(QWidget *parent = nullptr);

enum class CompanionMode { Local, NASClient, NAS };

/// Disables, retitles and explains the items that do not apply in \a mode. Call once.
void adjustMenuForMode(StatusMenu &menu, CompanionMode mode);

/// What the status line and the other lines show for one snapshot.
struct MenuRendering {
    const MenuState &state;
    bool serviceBroken = false;
    std::optional<QString> flashText;
    bool launchAgentEnabled = false;
};

/// Rewrites status line, job lines, queue line, autosync checkmarks, next-sync line and
/// the login-item checkmark. Returns the icon symbol the state calls for.
QString renderMenu(StatusMenu &menu, const MenuRendering &rendering);

/// The two transcription items from the worker's switches, or from nothing when unknown.
void renderTranscription(StatusMenu &menu, const std::optional<TranscriptionWorker> &worker);

/// The icon symbol for a snapshot: warning when down, busy with jobs, normal otherwise.
QString symbolFor(const MenuState &state);

} // namespace quenlo
