#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;
class QTabWidget;

namespace veltrix {

// A small account dialog: a server line above a Login and a Register tab. It only checks what was
// typed and announces it; it sends nothing, never closes itself and never reads the server line.
// Device log-in and registration run in the service without user input, so nothing opens it.
class ConnectionDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMinRegisterPasswordLength = 7;

    explicit ConnectionDialog(QWidget* parent = nullptr);

signals:
    void loginRequested(QString username, QString password);
    void registerRequested(QString username, QString password, QString clientName);

private:
    friend class ConnectionDialogTestAccess;

    QWidget* buildLoginTab();
    QWidget* buildRegisterTab();
    void onLoginClicked();
    void onRegisterClicked();

    QLineEdit* serverEdit_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    QLineEdit* loginUserEdit_ = nullptr;
    QLineEdit* loginPasswordEdit_ = nullptr;
    QPushButton* loginButton_ = nullptr;
    QLineEdit* registerUserEdit_ = nullptr;
    QLineEdit* registerPasswordEdit_ = nullptr;
    QLineEdit* registerClientNameEdit_ = nullptr;
    QPushButton* registerButton_ = nullptr;
};

}  // namespace veltrix
