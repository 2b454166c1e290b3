// The main window's file manager: one dialog per viewing session, shown by the File Transfer action
// (Ctrl+Shift+F). It stays after the session until the next viewing session replaces it.
#include <QAction>

#include "agent/ServiceIpcClient.h"
#include "gui/FileManagerDialog.h"
#include "gui/MainWindow.h"

namespace veltrix {

void MainWindow::connectFileManagerSignals() {
    connect(fileTransferAction_, &QAction::triggered, this, &MainWindow::onFileTransferActionTriggered);
}

void MainWindow::recreateFileManagerDialog() {
    if (fileManagerDialog_) {
        // The previous session's transfers ended with it: its dialog hears nothing more and holds
        // the token no longer. Deleted later, not now: a question of one of its slots may be open.
        disconnect(ipcClient_, nullptr, fileManagerDialog_, nullptr);
        m_fileTransferOwnership.release(fileManagerDialog_);
        fileManagerDialog_->hide();
        fileManagerDialog_->deleteLater();
    }
    fileManagerDialog_ = new FileManagerDialog(ipcClient_, &m_fileTransferOwnership, this);
}

void MainWindow::onFileTransferActionTriggered() {
    if (!fileManagerDialog_) return;
    fileManagerDialog_->show();
    fileManagerDialog_->raise();
    fileManagerDialog_->activateWindow();
}

}  // namespace veltrix
