#include "app/logindialog.h"

#include "model/identity.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quenlo {

LoginDialog::LoginDialog(QWidget *parent) : QDialog(parent), m_field(new QLineEdit(this))
{
    setWindowTitle(appDisplayName);
    auto *message = new QLabel(QStringLiteral("连接 NAS Quenlo"), this);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    auto *informative =
        new QLabel(QStringLiteral("输入网页登录使用的Quenlo登录码。会话保存到本机钥匙串，有效期 30 天。"), this);
    informative->setWordWrap(true);

    m_field->setEchoMode(QLineEdit::Password);
    m_field->setPlaceholderText(QStringLiteral("Quenlo登录码"));
    m_field->setFixedSize(320, 24);

    auto *buttons = new QDialogButtonBox(this);
    QPushButton *login = buttons->addButton(QStringLiteral("登录"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("取消"), QDialogButtonBox::RejectRole);
    login->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(message);
    layout->addWidget(informative);
    layout->addWidget(m_field);
    layout->addWidget(buttons);
    m_field->setFocus();
}

void LoginDialog::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // A tray companion has no window of its own in front; bring this one there.
    raise();
    activateWindow();
    m_field->setFocus();
}

std::optional<QString> LoginDialog::ask()
{
    LoginDialog dialog;
    dialog.setWindowFlag(Qt::WindowStaysOnTopHint);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QString code = dialog.m_field->text();
    dialog.m_field->clear();
    return code;
}

} // namespace quenlo
