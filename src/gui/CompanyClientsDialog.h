#pragma once

#include <QDateTime>
#include <QDialog>
#include <QString>

#include <vector>

#include <nlohmann/json.hpp>

class QLabel;
class QLineEdit;
class QVBoxLayout;
class QWidget;

namespace veltrix {

// The other devices of the user's company, online ones first, with a search line; a double-click
// on a row picks that device and accepts the dialog. Built for one answer of the service and run
// modally; the main window reads `selectedClientId` afterwards.
//
// The clients come from the network through the service, so nothing in them is trusted: only
// object elements become rows, and a key of another kind reads as missing.
class CompanyClientsDialog : public QDialog {
    Q_OBJECT
public:
    CompanyClientsDialog(const QString& companyName, const nlohmann::json& clients, QWidget* parent = nullptr);

    // Empty until a row is double-clicked.
    QString selectedClientId() const { return selectedId_; }

    // "30 s ago", "59 min ago", "23 h ago", "3 d ago" for an ISO 8601 time (a time without a zone
    // is UTC; one in the future counts as now); an unparsable text unchanged, an empty one empty.
    static QString ageText(const QString& heartbeat, const QDateTime& nowUtc);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class CompanyClientsDialogTestAccess;

    struct Row {
        QWidget* widget;
        QString id;
        QString label;
        QString clientName;
        bool online;
    };

    void addRow(const nlohmann::json& client);
    void onSearchChanged(const QString& text);
    void updateHeaders();

    QString selectedId_;
    QLineEdit* searchEdit_ = nullptr;
    QLabel* onlineHeader_ = nullptr;
    QLabel* offlineHeader_ = nullptr;
    QVBoxLayout* onlineRows_ = nullptr;
    QVBoxLayout* offlineRows_ = nullptr;
    std::vector<Row> rows_;
};

}  // namespace veltrix
