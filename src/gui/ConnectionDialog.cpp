#include "gui/ConnectionDialog.h"

#include <QFormLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace veltrix {
namespace {

QLineEdit* lineEdit(const QString& placeholder, bool hidden, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setPlaceholderText(placeholder);
    if (hidden) edit->setEchoMode(QLineEdit::Password);
    return edit;
}

}  // namespace

ConnectionDialog::ConnectionDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Veltrix - Connect"));
    setMinimumWidth(350);

    auto* layout = new QVBoxLayout(this);
    auto* serverForm = new QFormLayout;
    serverEdit_ = lineEdit(QStringLiteral("http://192.168.1.10:8080"), false, this);
    serverForm->addRow(tr("Server:"), serverEdit_);
    layout->addLayout(serverForm);

    tabs_ = new QTabWidget(this);
    tabs_->addTab(buildLoginTab(), tr("Login"));
    tabs_->addTab(buildRegisterTab(), tr("Register"));
    layout->addWidget(tabs_);
}

QWidget* ConnectionDialog::buildLoginTab() {
    auto* tab = new QWidget(this);
    auto* form = new QFormLayout(tab);
    loginUserEdit_ = lineEdit(tr("Username"), false, tab);
    loginPasswordEdit_ = lineEdit(tr("Password"), true, tab);
    loginButton_ = new QPushButton(tr("Login"), tab);
    // Return is wired to the password line alone; as a dialog default the button would be
    // clicked a second time by the same key.
    loginButton_->setAutoDefault(false);
    form->addRow(tr("Username:"), loginUserEdit_);
    form->addRow(tr("Password:"), loginPasswordEdit_);
    form->addRow(loginButton_);
    connect(loginButton_, &QPushButton::clicked, this, &ConnectionDialog::onLoginClicked);
    connect(loginPasswordEdit_, &QLineEdit::returnPressed, loginButton_, &QPushButton::click);
    return tab;
}

QWidget* ConnectionDialog::buildRegisterTab() {
    auto* tab = new QWidget(this);
    auto* form = new QFormLayout(tab);
    registerUserEdit_ = lineEdit(tr("Username"), false, tab);
    registerPasswordEdit_ = lineEdit(tr("Password (min 7 chars)"), true, tab);
    registerClientNameEdit_ = lineEdit(tr("My PC"), false, tab);
    registerButton_ = new QPushButton(tr("Register"), tab);
    registerButton_->setAutoDefault(false);
    form->addRow(tr("Username:"), registerUserEdit_);
    form->addRow(tr("Password:"), registerPasswordEdit_);
    form->addRow(tr("Client Name:"), registerClientNameEdit_);
    form->addRow(registerButton_);
    connect(registerButton_, &QPushButton::clicked, this, &ConnectionDialog::onRegisterClicked);
    connect(registerPasswordEdit_, &QLineEdit::returnPressed, registerButton_, &QPushButton::click);
    return tab;
}

void ConnectionDialog::onLoginClicked() {
    const QString username = loginUserEdit_->text();
    const QString password = loginPasswordEdit_->text();
    if (username.isEmpty() || password.isEmpty()) {
        QMessageBox::warning(this, tr("Error"), tr("Please fill in all fields."));
        return;
    }
    emit loginRequested(username, password);
}

void ConnectionDialog::onRegisterClicked() {
    const QString username = registerUserEdit_->text();
    const QString password = registerPasswordEdit_->text();
    if (username.isEmpty() || password.isEmpty()) {
        QMessageBox::warning(this, tr("Error"), tr("Please fill in username and password."));
        return;
    }
    if (password.size() < kMinRegisterPasswordLength) {
        QMessageBox::warning(this, tr("Error"), tr("Password must be at least 7 characters."));
        return;
    }
    emit registerRequested(username, password, registerClientNameEdit_->text());
}

}  // namespace veltrix
