#pragma once

#include <QString>

namespace quenlo {

// The companion's names, fixed for every build: the login item, the settings domain and the
// desktop entry all answer to the same id.
inline const QString projectPathKey = QStringLiteral("projectPath");
inline const QString launchAgentLabel = QStringLiteral("local.library.menubar");
inline const QString workQueueLabel = QStringLiteral("local.library.menubar.net");
inline const QString appDisplayName = QStringLiteral("本地Quenlo");

} // namespace quenlo
