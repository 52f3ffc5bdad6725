#pragma once

#include <QByteArray>
#include <QString>

#include <plist/plist.h>

#include <memory>
#include <optional>

namespace quenlo {

/// Frees a libplist node tree.
struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
/// \brief Sole owner of a libplist node tree (a plist_t, which is a void pointer).
using Plist = std::unique_ptr<void, PlistFree>;

/// Cocoa's description of a corrupt property list (NSPropertyListReadCorruptError), the
/// text the macOS variant reports for an agent file that does not read back right.
inline const QString corruptPlistText
    = QStringLiteral("The data couldn\u2019t be read because it isn\u2019t in the correct format.");

/// \brief The launchd agent for the bundle at \a appPath: exactly "Label" (launchAgentLabel),
/// "ProgramArguments" ("/usr/bin/open", "-a", \a appPath) and "RunAtLoad" (true).
Plist launchAgentPlist(const QString &appPath);

/// \a node as an XML property list (version 1.0, not binary); empty when libplist fails.
QByteArray plistXML(plist_t node);

/// \brief Reads \a bytes back as a property list in any format and checks it as an agent.
///
/// Nothing when the top level is a dictionary whose "Label" is launchAgentLabel, whose
/// "ProgramArguments" is a non-empty array of strings beginning with "/usr/bin/open" and
/// whose "RunAtLoad" is the boolean true; corruptPlistText otherwise, also for unparsable
/// bytes and for more than \a limit bytes.
std::optional<QString> checkAgentPlist(const QByteArray &bytes, qint64 limit);

} // namespace quenlo
