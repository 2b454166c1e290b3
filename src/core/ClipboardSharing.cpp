#include "core/ClipboardSharing.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QtEndian>

#include <atomic>

#include <spdlog/spdlog.h>

namespace veltrix {

ClipboardSharing::ClipboardSharing(QObject* parent) : QObject(parent) {}

ClipboardSharing::~ClipboardSharing() {
    if (active_) stop();
}

QClipboard* ClipboardSharing::applicationClipboard() {
    // Only a GUI application has a clipboard; asking a core application for one would abort.
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return QGuiApplication::clipboard();
    // The service is such a process in every session: that is how it is built, not a fault, and
    // it is said once.
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        spdlog::info("ClipboardSharing: this process has no clipboard (no GUI); clipboard text is not shared here");
    }
    return nullptr;
}

void ClipboardSharing::start() {
    if (active_) {
        spdlog::debug("ClipboardSharing already active");
        return;
    }
    QClipboard* clipboard = applicationClipboard();
    if (!clipboard) return;
    connect(clipboard, &QClipboard::dataChanged, this, &ClipboardSharing::onLocalClipboardChanged);
    active_ = true;
    spdlog::info("ClipboardSharing started");
}

void ClipboardSharing::stop() {
    if (!active_) return;
    if (QClipboard* clipboard = applicationClipboard())
        disconnect(clipboard, &QClipboard::dataChanged, this, &ClipboardSharing::onLocalClipboardChanged);
    active_ = false;
    ignoreNextChange_ = false;
    spdlog::info("ClipboardSharing stopped");
}

void ClipboardSharing::onLocalClipboardChanged() {
    if (ignoreNextChange_) {
        ignoreNextChange_ = false;
        spdlog::debug("ClipboardSharing: ignoring self-triggered clipboard change");
        return;
    }
    QClipboard* clipboard = applicationClipboard();
    if (!active_ || !clipboard) return;
    const QMimeData* data = clipboard->mimeData();
    if (!data || !data->hasText()) return;
    const QString text = clipboard->text();
    if (text.isEmpty()) return;
    const QByteArray utf8 = text.toUtf8();
    if (std::size_t(utf8.size()) > kMaxTextBytes) {
        spdlog::warn("ClipboardSharing: local clipboard text too large ({} bytes, max {} bytes) — skipping",
                     utf8.size(), kMaxTextBytes);
        return;
    }
    QByteArray message(static_cast<qsizetype>(kHeaderSize) + utf8.size(), Qt::Uninitialized);
    message[0] = static_cast<char>(kTag);
    qToLittleEndian(static_cast<std::uint32_t>(utf8.size()), message.data() + 1);
    std::copy(utf8.cbegin(), utf8.cend(), message.begin() + kHeaderSize);
    spdlog::debug("ClipboardSharing: local clipboard changed, sending {} bytes of text", utf8.size());
    emit clipboardDataReady(message);
}

void ClipboardSharing::onRemoteClipboardData(const QByteArray& data) {
    const auto size = std::size_t(data.size());
    if (size < kHeaderSize) {
        spdlog::warn("ClipboardSharing: received message too small ({} bytes, minimum {})", size, kHeaderSize);
        return;
    }
    const auto tag = static_cast<std::uint8_t>(data[0]);
    if (tag != kTag) {
        spdlog::warn("ClipboardSharing: unexpected message type tag 0x{:02X}, expected 0x{:02X}", tag, kTag);
        return;
    }
    const std::uint64_t length = qFromLittleEndian<std::uint32_t>(data.constData() + 1);
    if (length > kMaxTextBytes) {
        spdlog::warn("ClipboardSharing: remote clipboard text too large ({} bytes, max {} bytes) — ignoring", length,
                     kMaxTextBytes);
        return;
    }
    if (size < length + kHeaderSize) {
        spdlog::warn("ClipboardSharing: message truncated — expected {} bytes, got {}", length + kHeaderSize, size);
        return;
    }
    const QString text = QString::fromUtf8(data.constData() + kHeaderSize, static_cast<qsizetype>(length));
    if (text.isEmpty()) {
        spdlog::debug("ClipboardSharing: received empty clipboard text — ignoring");
        return;
    }
    spdlog::debug("ClipboardSharing: received {} bytes of remote clipboard text", length);
    // Only a watching service hears its own write; otherwise a flag left set would swallow the
    // user's first copy after start().
    ignoreNextChange_ = active_;
    QClipboard* clipboard = applicationClipboard();
    if (!clipboard) {
        ignoreNextChange_ = false;
        return;
    }
    clipboard->setText(text);
}

}  // namespace veltrix
