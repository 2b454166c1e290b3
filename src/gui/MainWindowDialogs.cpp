// MainWindow: the settings dialog, the company-clients picker and Wake-on-LAN.
#include <QComboBox>
#include <QInputDialog>
#include <QMessageBox>

#include <spdlog/spdlog.h>

#include "gui/CompanyClientsDialog.h"
#include "gui/MainWindow.h"
#include "gui/SettingsDialog.h"
#include "gui/WakeOnLanSender.h"
#include "core/SettingsController.h"

namespace veltrix {

void MainWindow::onSettingsClicked() {
    SettingsDialog dialog(settings_, ipcClient_, this);
    dialog.setModal(true);
    connect(&dialog, &SettingsDialog::settingsChanged, this, [] { spdlog::info("Settings updated by user"); });
    dialog.exec();
}

// The clients come from the backend through the service; anything but an array (an object or a
// text would pass an emptiness test and then fail as a list of devices) opens nothing.
void MainWindow::showCompanyClients(const QString& companyName, const nlohmann::json& clients) {
    if (clients.is_null() || clients.empty()) return;
    if (!clients.is_array()) {
        spdlog::warn("MainWindow: company clients of '{}' are not a list ({}); ignored", companyName.toStdString(),
                     clients.type_name());
        return;
    }
    CompanyClientsDialog dialog(companyName, clients, this);
    dialog.setModal(true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedClientId().isEmpty()) return;
    partnerBox_->setEditText(formatClientId(dialog.selectedClientId()));
}

void MainWindow::onWakeOnLanClicked() {
    const QString partnerKey = partnerBox_->currentText().remove(QLatin1Char(' '));
    QString address = settings_->wakeOnLanAddress(partnerKey);
    const bool typed = address.isEmpty();
    if (typed) {
        address = QInputDialog::getText(this, tr("Wake-on-LAN"),
                                        tr("Enter MAC address for this partner (XX:XX:XX:XX:XX:XX):"));
        if (address.isEmpty()) return;
    }
    const auto hardwareAddress = WakeOnLanSender::parseHardwareAddress(address);
    if (!hardwareAddress) {
        QMessageBox::warning(this, tr("WoL"), tr("Invalid MAC address."));
        return;
    }
    if (typed) settings_->setWakeOnLanAddress(partnerKey, address);

    QString error;
    if (!WakeOnLanSender::send(WakeOnLanSender::magicPacket(*hardwareAddress), error)) {
        spdlog::warn("WoL magic packet to {} not sent: {}", address.toStdString(), error.toStdString());
        QMessageBox::warning(this, tr("WoL"), tr("Wake-on-LAN packet not sent: %1").arg(error));
        return;
    }
    spdlog::info("WoL magic packet sent to {}", address.toStdString());
    QMessageBox::information(this, tr("WoL"), tr("Wake-on-LAN packet sent to %1").arg(address));
}

}  // namespace veltrix
