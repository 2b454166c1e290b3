#include "gui/CompanyClientsDialog.h"

#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QTimeZone>
#include <QVBoxLayout>

#include <string>

#include "gui/MainWindow.h"
#include "gui/StyledLabel.h"
#include "shared/JsonFields.h"

namespace veltrix {
namespace {

constexpr const char* kDialogStyle =
    "QDialog { background-color: #0d1b2a; }"
    "QLabel { color: #ccd6f6; }"
    "QLineEdit { background-color: #16213e; color: #ccd6f6; border: 1px solid #2a3a5e; border-radius: 4px; "
    "padding: 6px; }"
    "QScrollArea { background: transparent; border: none; }";
constexpr const char* kRowStyle =
    "QFrame { background-color: #16213e; border-radius: 4px; padding: 5px 8px; }"
    "QFrame:hover { background-color: #1a2744; }";

// A string member, or empty when it is missing or of another kind.
QString stringField(const nlohmann::json& object, const char* key) {
    return QString::fromStdString(json::stringOr(object, key));
}

}  // namespace

CompanyClientsDialog::CompanyClientsDialog(const QString& companyName, const nlohmann::json& clients,
                                           QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(tr("Company Clients"));
    resize(700, 450);
    setStyleSheet(QString::fromLatin1(kDialogStyle));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(12);

    auto* header = new QHBoxLayout;
    header->addWidget(
        styledLabel(tr("Company Clients"), "font-size: 16px; font-weight: bold; color: #4da6ff;", this));
    header->addStretch();
    header->addWidget(styledLabel(companyName, "font-size: 12px; color: #8892b0;", this));
    layout->addLayout(header);

    searchEdit_ = new QLineEdit(this);
    searchEdit_->setPlaceholderText(tr("Search by ID, name or label..."));
    connect(searchEdit_, &QLineEdit::textChanged, this, &CompanyClientsDialog::onSearchChanged);
    layout->addWidget(searchEdit_);

    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    auto* content = new QWidget(scroll);
    content->setStyleSheet(QStringLiteral("background: transparent;"));
    auto* list = new QVBoxLayout(content);
    list->setSpacing(4);
    onlineHeader_ = styledLabel(QString(), "font-size: 11px; font-weight: bold; color: #4caf50; padding: 4px 0;",
                                content);
    list->addWidget(onlineHeader_);
    onlineRows_ = new QVBoxLayout;
    onlineRows_->setSpacing(2);
    list->addLayout(onlineRows_);
    offlineHeader_ = styledLabel(
        QString(), "font-size: 11px; font-weight: bold; color: #ff5252; padding: 8px 0 4px 0;", content);
    list->addWidget(offlineHeader_);
    offlineRows_ = new QVBoxLayout;
    offlineRows_->setSpacing(2);
    list->addLayout(offlineRows_);
    list->addStretch();
    scroll->setWidget(content);
    layout->addWidget(scroll, 1);

    if (clients.is_array()) {
        for (const auto& client : clients)
            if (client.is_object()) addRow(client);
    }
    updateHeaders();
}

void CompanyClientsDialog::addRow(const nlohmann::json& client) {
    Row row;
    row.id = stringField(client, "id");
    row.label = stringField(client, "label");
    row.clientName = stringField(client, "client_name");
    row.online = json::boolOr(client, "is_online", false);
    const QString age = ageText(stringField(client, "last_heartbeat"), QDateTime::currentDateTimeUtc());

    QVBoxLayout* section = row.online ? onlineRows_ : offlineRows_;
    auto* frame = new QFrame(section->parentWidget());
    frame->setStyleSheet(QString::fromLatin1(kRowStyle));
    frame->setCursor(Qt::PointingHandCursor);
    auto* line = new QHBoxLayout(frame);
    line->setContentsMargins(8, 4, 8, 4);
    line->setSpacing(8);

    auto* idLabel = styledLabel(MainWindow::formatClientId(row.id),
                                row.online ? "color: #4da6ff; font-size: 12px; font-family: monospace;"
                                           : "color: #3a7abf; font-size: 12px; font-family: monospace;",
                                frame);
    idLabel->setFixedWidth(100);
    line->addWidget(idLabel);
    const char* textStyle = row.online ? "color: #ccd6f6; font-size: 12px;" : "color: #8892b0; font-size: 12px;";
    for (const QString& text : {row.label, row.clientName}) {
        auto* label = styledLabel(text, textStyle, frame);
        label->setMinimumWidth(80);
        line->addWidget(label, 1);
    }
    auto* ageLabel = styledLabel(age, "color: #8892b0; font-size: 11px;", frame);
    ageLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    line->addWidget(ageLabel);

    frame->installEventFilter(this);
    section->addWidget(frame);
    row.widget = frame;
    rows_.push_back(row);
}

QString CompanyClientsDialog::ageText(const QString& heartbeat, const QDateTime& nowUtc) {
    if (heartbeat.isEmpty()) return {};
    QDateTime time = QDateTime::fromString(heartbeat, Qt::ISODateWithMs);
    if (!time.isValid()) return heartbeat;
    if (time.timeSpec() == Qt::LocalTime) time.setTimeZone(QTimeZone::utc());
    const qint64 seconds = std::max<qint64>(0, time.secsTo(nowUtc));
    if (seconds < 60) return tr("%1 s ago").arg(seconds);
    if (seconds < 3600) return tr("%1 min ago").arg(seconds / 60);
    if (seconds > 86399) return tr("%1 d ago").arg(seconds / 86400);
    return tr("%1 h ago").arg(seconds / 3600);
}

bool CompanyClientsDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonDblClick) {
        for (const Row& row : rows_) {
            if (row.widget != watched) continue;
            selectedId_ = row.id;
            accept();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CompanyClientsDialog::onSearchChanged(const QString& text) {
    const QString query = text.trimmed().toLower();
    for (const Row& row : rows_) {
        const bool matches = query.isEmpty() || row.id.toLower().contains(query) ||
                             MainWindow::formatClientId(row.id).toLower().contains(query) ||
                             row.label.toLower().contains(query) || row.clientName.toLower().contains(query);
        row.widget->setVisible(matches);
    }
    updateHeaders();
}

// Counts the rows the search leaves; isHidden, not isVisible, so the count is right before the
// dialog is first shown.
void CompanyClientsDialog::updateHeaders() {
    int online = 0;
    int offline = 0;
    for (const Row& row : rows_) {
        if (row.widget->isHidden()) continue;
        (row.online ? online : offline) += 1;
    }
    onlineHeader_->setText(QStringLiteral("● ") + tr("ONLINE (%1)").arg(online));
    offlineHeader_->setText(QStringLiteral("● ") + tr("OFFLINE (%1)").arg(offline));
    onlineHeader_->setVisible(online > 0);
    offlineHeader_->setVisible(offline > 0);
}

}  // namespace veltrix
