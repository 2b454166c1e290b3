#pragma once

#include <QByteArray>
#include <QObject>

#include <cstddef>

class QClipboard;

namespace veltrix {

// Shares clipboard text with the session's partner. While started it sends every change of the
// local clipboard's text as a clipboard message (tag 0x04, 32-bit little-endian length, UTF-8
// text, at most 10485760 bytes); text from the partner is put into the local clipboard without
// being sent back. It needs a GUI application's clipboard: in a core application (the service)
// start() stays inactive and received text is not applied. Thread: the application's thread.
class ClipboardSharing : public QObject {
    Q_OBJECT

public:
    static constexpr std::size_t kMaxTextBytes = 10485760;
    static constexpr std::size_t kHeaderSize = 5;
    static constexpr std::uint8_t kTag = 0x04;

    explicit ClipboardSharing(QObject* parent = nullptr);
    ~ClipboardSharing() override;

    void start();
    void stop();
    bool isActive() const { return active_; }

signals:
    // A complete clipboard message (tag included) to send to the partner.
    void clipboardDataReady(const QByteArray& data);

public slots:
    void onRemoteClipboardData(const QByteArray& data);
    void onLocalClipboardChanged();

private:
    static QClipboard* applicationClipboard();

    bool active_ = false;
    bool ignoreNextChange_ = false;
};

}  // namespace veltrix
