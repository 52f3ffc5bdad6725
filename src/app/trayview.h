#pragma once

#include "app/notifier.h"
#include "app/statusmenu.h"
#include "engine/controller.h"

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>
#include <optional>

namespace quenlo {

class TrayStarter;

/// \brief What the tray needs from the desktop; empty functions mean the real ones.
struct TrayOptions {
    std::unique_ptr<Notifier> notifier;
    std::function<void(const QUrl &)> openUrl;
    /// Asks for the NAS login code; nothing when cancelled (the dialog by default).
    std::function<std::optional<QString>()> askLoginCode;
    /// The clipboard's text: plain text, else its first URL (the system clipboard by default).
    std::function<QString()> clipboardText;
    bool showTray = true;
    /// How long to wait for a StatusNotifierWatcher before falling back to XEmbed.
    Milliseconds trayWait{30000};
};

/// \brief The tray icon and its menu: renders the engine's menu and forwards every click.
///
/// Holds no rule of its own; the one thing it decides is how to draw (the icon in the
/// palette's text colour, redrawn when the theme changes).
class TrayView final : public QObject {
    Q_OBJECT
public:
    TrayView(Controller &engine, TrayOptions options = {});
    ~TrayView() override;

    /// Creates the tray icon once a tray host is there (or the wait ran out).
    void show();

    const StatusMenu &statusMenu() const { return m_menu; }
    QSystemTrayIcon *trayIcon() const { return m_trayIcon; }
    const QString &currentSymbol() const { return m_symbol; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void connectActions();
    void render();
    void drawIcon();

    Controller &m_engine;
    TrayOptions m_options;
    StatusMenu m_menu;
    QPointer<QSystemTrayIcon> m_trayIcon;
    TrayStarter *m_trayStarter = nullptr;
    QString m_symbol;
};

/// The clipboard's text as it is sent: plain text, else the first URL exactly as encoded.
QString systemClipboardText();

} // namespace quenlo
