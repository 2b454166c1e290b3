// A partner that holds the session keys sends forged messages to a Connected session manager:
// each is sealed with the partner's cipher, so everything behind decryption is reached (the
// control dispatcher, the command parser, the clipboard-file announcement, the chat service, the
// file-transfer service's requesting side and its refusals or serving side, the video decoder).
//
// Input: the first byte picks the victim (even: it views the partner, odd: it shares its
// desktop); then messages, each a flags byte (bit 0: video channel, bit 1: delivered unsealed),
// a 16-bit little-endian length and that many bytes of plaintext.
//
// Each victim keeps its session from input to input (building one costs a key agreement and a
// video decoder) and gets a new one when an input ended it. The instance root is a fresh folder
// without any user session, so the serving side can impersonate nobody and touches no file;
// before each input the viewing side asks for a download into a folder that does not exist and
// for the listing of "/", so its requesting side has work to do.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include <QCoreApplication>

#include <spdlog/spdlog.h>

#include "core/FileTransferService.h"
#include "core/FileTransferWire.h"
#include "core/SessionManager.h"
#include "support/HostilePartner.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "connected_session_fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

void useFreshInstanceRoot() {
    static char root[] = "/tmp/vx-session-fuzz-XXXXXX";
    static const bool made = ::mkdtemp(root) != nullptr && ::setenv("VELTRIX_ROOT", root, 1) == 0;
    check(made);
}

// What a viewing side sends of the file-transfer channel: its own requests and refusals, never
// a listing, a file or a piece of one.
bool servesNothing(const QByteArray& message) {
    using veltrix::filetransfer::SubType;
    const auto type = SubType(static_cast<std::uint8_t>(message[0]));
    return type != SubType::Listing && type != SubType::DownloadStart && type != SubType::DownloadChunk &&
           type != SubType::DownloadDone;
}

void run(const std::uint8_t* data, std::size_t size);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        spdlog::set_level(spdlog::level::off);
        useFreshInstanceRoot();
        application();
        return true;
    }();
    (void)ready;
    if (size == 0) return 0;
    run(data, size);
    return 0;
}

namespace {

// One victim and the partner that plays against it, for the life of the process.
struct Match {
    veltrix::SessionManager victim{nullptr, nullptr};
    veltrix::test::HostilePartner partner{victim};
    bool completed = false;
    QMetaObject::Connection completion;

    // The victim Connected again if the last input ended its session.
    void connect(bool viewing) {
        using namespace veltrix;
        if (victim.state() != SessionState::Connected) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            check(viewing ? partner.connectVictimAsMaster() : partner.connectVictimAsTarget());
        }
        if (viewing) {
            FileTransferService* files = victim.fileTransferService();
            QObject::disconnect(completion);
            completion = QObject::connect(files, &FileTransferService::fileDownloadComplete, [this] { completed = true; });
            files->requestListing("/");
            files->requestDownload("/remote/file", "/nonexistent-veltrix-fuzz/folder/file");
        }
        partner.takeControl();
    }
};

void run(const std::uint8_t* data, std::size_t size) {
    using namespace veltrix;
    const bool viewing = data[0] % 2 == 0;
    static Match viewer, shared;
    Match& match = viewing ? viewer : shared;
    match.connect(viewing);
    SessionManager& victim = match.victim;
    test::HostilePartner& partner = match.partner;

    std::size_t at = 1;
    while (at + 3 <= size && victim.state() == SessionState::Connected) {
        const std::uint8_t flags = data[at];
        const std::size_t length = std::min<std::size_t>(std::size_t(data[at + 1]) | std::size_t(data[at + 2]) << 8,
                                                         size - at - 3);
        const std::uint8_t* message = data + at + 3;
        at += 3 + length;
        const ChannelType channel = flags & 1 ? ChannelType::Video : ChannelType::Control;
        if (flags & 2) {
            if (test::ScriptedTransport* transport = partner.transport())
                transport->deliver(channel, QByteArray(reinterpret_cast<const char*>(message), qsizetype(length)));
        } else {
            partner.sendSealed(channel, message, length);
        }
        if (viewing) {
            for (const QByteArray& reply : partner.takeFileTransfer()) check(reply.isEmpty() || servesNothing(reply));
        }
    }
    // Whatever the messages posted (a remote close) runs before the next input.
    QCoreApplication::processEvents();
    check(!match.completed);
}

}  // namespace
