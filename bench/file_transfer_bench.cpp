// File-transfer throughput: a 100 MiB file downloaded and uploaded between two session ends (the
// services sealing their messages with the session cipher, as in a session) over a RelayTransport
// pair through the local backend's relay node and over a P2PTransport pair on loopback, beside
// each transport's own throughput for the same bytes in 1 MiB messages. The figures include
// reading the file, the cipher and writing the received file. Runs as root: the transfers act
// as the user nobody, as for an interactive user.
#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include "support/InteractiveUser.h"
#include "support/LoopbackP2PPair.h"
#include "support/RunningBackend.h"
#include "support/SessionServicesEnd.h"
#include "support/TempInstanceRoot.h"
#include "support/TransportPump.h"
#include "support/WaitUntil.h"
#include "transport/P2PTransport.h"
#include "transport/RelayTransport.h"

using namespace veltrix;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFileSize = std::size_t(100) << 20;
constexpr double kGoalMBps = 50;

struct Figures {
    double transport = -1, download = -1, upload = -1;
};

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

// MB/s of one download and one upload of `file` between the two ends.
void measureTransfers(ITransport& a, ITransport& b, const fs::path& folder, Figures& figures) {
    test::SessionServicesEnd master(a, SessionRole::Master, "bench"), target(b, SessionRole::Target, "bench");
    bool done = false, failed = false;
    QObject::connect(&master.files, &FileTransferService::fileDownloadComplete, [&] { done = true; });
    QObject::connect(&master.files, &FileTransferService::fileError, [&](const QString& e) {
        std::fprintf(stderr, "file_transfer_bench: %s\n", qPrintable(e));
        failed = true;
    });
    QElapsedTimer clock;
    clock.start();
    master.files.requestDownload(q(folder / "source"), q(folder / "downloaded"));
    if (!test::waitUntil([&] { return done || failed; }, 120s) || failed) return;
    figures.download = double(kFileSize) / (1 << 20) / (clock.nsecsElapsed() / 1e9);

    clock.restart();
    master.files.sendFile(q(folder / "downloaded"), q(folder / "uploaded"));
    if (failed || !test::waitUntil([&] { return fs::exists(folder / "uploaded"); }, 120s)) return;
    figures.upload = double(kFileSize) / (1 << 20) / (clock.nsecsElapsed() / 1e9);
    fs::remove(folder / "downloaded");
    fs::remove(folder / "uploaded");
}

double pumpTransport(ITransport& a, ITransport& b) {
    qint64 received = 0;
    QObject context;
    QObject::connect(&b, &ITransport::dataReceived, &context, [&](ChannelType, const QByteArray& d) { received += d.size(); });
    return bench::pumpVideo(a, received, int(kFileSize >> 20), 1 << 20);
}

template <typename Make>
Figures measure(Make makePair, const fs::path& folder) {
    Figures figures;
    std::unique_ptr<ITransport> a, b;
    if (!makePair(a, b)) return figures;
    figures.transport = pumpTransport(*a, *b);
    measureTransfers(*a, *b, folder, figures);
    return figures;
}

bool relayPair(quint16 port, std::unique_ptr<ITransport>& a, std::unique_ptr<ITransport>& b) {
    for (auto* end : {&a, &b}) {
        auto relay = std::make_unique<RelayTransport>();
        relay->setSessionId("bench-file-transfer");
        relay->connect("127.0.0.1", port);
        *end = std::move(relay);
    }
    return test::waitUntil([&] { return a->isConnected() && b->isConnected(); }, 60s);
}

bool p2pPair(std::unique_ptr<ITransport>& a, std::unique_ptr<ITransport>& b) {
    auto offerer = std::make_unique<P2PTransport>(), answerer = std::make_unique<P2PTransport>();
    // Both ends share this thread, which also writes the received 100 MiB files.
    for (P2PTransport* end : {offerer.get(), answerer.get()}) end->setLiveness({1000ms, 30000ms});
    const bool up = test::connectLoopbackP2PPair(*offerer, *answerer, 30s);
    a = std::move(offerer);
    b = std::move(answerer);
    return up;
}

void print(const char* name, const Figures& f) {
    std::printf("  %-6s transport %8.1f MB/s   download %8.1f MB/s   upload %8.1f MB/s\n", name, f.transport, f.download,
                f.upload);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (geteuid() != 0) {
        std::printf("file_transfer_bench: needs root (the transfers act as the user nobody); skipped\n");
        return 0;
    }
    test::TempInstanceRoot root;
    fs::permissions(root.path(), fs::perms(0755));
    std::ofstream(root.path() / "instance.ini") << "[stun]\nhost=\n[p2p]\nlocalAddresses=127.0.0.1\n";
    test::makeNobodyTheInteractiveUser();
    const fs::path folder = test::makeUserFolder(root.path() / "files");
    {
        std::ofstream source(folder / "source", std::ios::binary);
        std::vector<char> block(1 << 20);
        for (std::size_t i = 0; i < kFileSize >> 20; ++i) {
            for (std::size_t j = 0; j < block.size(); j += 64) block[j] = char(i + j);
            source.write(block.data(), std::streamsize(block.size()));
        }
    }

    test::RunningBackend backend({"--no-turn", "--instance", q(root.path()), "--", "--relay-any-token"});
    if (!backend.start()) {
        std::fprintf(stderr, "file_transfer_bench: the backend did not start:\n%s\n", qPrintable(backend.output()));
        return 1;
    }
    spdlog::set_level(spdlog::level::warn);  // keep the figures readable
    const Figures relay = measure([&](auto& a, auto& b) { return relayPair(backend.relayPort(), a, b); }, folder);
    const Figures p2p = measure([](auto& a, auto& b) { return p2pPair(a, b); }, folder);

    std::printf("file_transfer_bench: a 100 MiB file each way, beside 100 MiB in 1 MiB transport messages (goal: %.0f MB/s)\n",
                kGoalMBps);
    print("relay", relay);
    print("p2p", p2p);
    const bool ran = relay.download > 0 && relay.upload > 0 && p2p.download > 0 && p2p.upload > 0;
    return ran ? 0 : 1;
}
