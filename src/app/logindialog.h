#pragma once

#include <QDialog>
#include <QString>

#include <optional>

class QLineEdit;

namespace quenlo {

/// \brief Asks for the NAS library's login code in a masked field.
class LoginDialog final : public QDialog {
    Q_OBJECT
public:
    explicit LoginDialog(QWidget *parent = nullptr);

    /// Shows the dialog modally, in front of other applications. The code exactly as typed,
    /// or nothing when cancelled. The field is emptied as soon as it has been read.
    static std::optional<QString> ask();

    QLineEdit *field() const { return m_field; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    QLineEdit *m_field;
};

} // namespace quenlo
