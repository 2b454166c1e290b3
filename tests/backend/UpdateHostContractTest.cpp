// Contract tests of the download host: the client's own UpdateService against the running
// backend (scripts/backend), with installers signed by backend/tools/sign-installer.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>

#include <filesystem>
#include <fstream>
#include <memory>

#include "gui/UpdateService.h"
#include "platform/CodeSigning.h"
#include "support/LocalHttpsServer.h"
#include "support/LogCapture.h"
#include "support/RunningBackend.h"
#include "support/TempInstanceRoot.h"
#include "support/TestCodeSigning.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kPublisher = "Brackwell Systems Ltd";
constexpr const char* kWrongSigner = "Test Wrong Signer";

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

QString tool(const char* name) { return QStringLiteral(VELTRIX_TEST_SOURCE_DIR "/backend/tools/") + QLatin1String(name); }

// Runs a tool of the backend; its output on failure.
QString run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QStringLiteral("%1 failed: %2").arg(program, QString::fromUtf8(process.readAll()) + process.errorString());
    return {};
}

QByteArray readAll(const fs::path& path) {
    QFile file(q(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const fs::path& path, const QByteArray& bytes) {
    fs::create_directories(path.parent_path());
    QFile file(q(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray package(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 37 + 11);
    return bytes;
}

QByteArray sha256Hex(const QByteArray& bytes) { return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex(); }

// The parts of a signed package by its trailer: package, DER signature; empty on a wrong layout.
struct Trailer {
    QByteArray content, signature;
};
Trailer splitTrailer(const QByteArray& file) {
    if (file.size() < 12 || file.right(8) != "VLTXSIG1") return {};
    const auto* length = reinterpret_cast<const unsigned char*>(file.constData() + file.size() - 12);
    const qsizetype size = (qsizetype(length[0]) << 24) | (length[1] << 16) | (length[2] << 8) | length[3];
    if (size <= 0 || size > file.size() - 12) return {};
    return {file.left(file.size() - 12 - size), file.mid(file.size() - 12 - size, size)};
}

class UpdateHostContractTest : public ::testing::Test {
protected:
    void SetUp() override { QCoreApplication::setApplicationVersion(QStringLiteral("1.301")); }

    // The backend with this test's manifest and installer folder, and an update service that
    // knows the download host from the instance file the backend wrote.
    void createBackend() {
        backend = std::make_unique<test::RunningBackend>(QStringList{
            "--no-turn", "--instance", q(root.path()), "--update-manifest", q(manifest), "--update-dir", q(published)});
    }
    void startBackend(const QStringList& extra = {}) {
        if (!backend) createBackend();
        backend->addArguments(extra);
        ASSERT_TRUE(backend->start()) << backend->output().toStdString();
        service = std::make_unique<UpdateService>();
        available = std::make_unique<QSignalSpy>(service.get(), &UpdateService::updateAvailable);
        ready = std::make_unique<QSignalSpy>(service.get(), &UpdateService::readyToInstall);
        errors = std::make_unique<QSignalSpy>(service.get(), &UpdateService::updateError);
    }

    fs::path codeSigning() const { return fs::path(backend->folder().toStdString()) / "codesign"; }
    QString url(const QString& name) const {
        return QStringLiteral("https://127.0.0.1:%1/download/%2").arg(backend->downloadPort()).arg(name);
    }

    // `bytes` signed by `signer` with sign-installer.
    QByteArray signedBy(const QByteArray& bytes, const char* signer) {
        const fs::path in = root.path() / "unsigned.bin", out = root.path() / "signed.bin";
        writeAll(in, bytes);
        const QString failure = run(tool("sign-installer"), {"sign", q(codeSigning()), q(in), q(out), signer});
        EXPECT_TRUE(failure.isEmpty()) << failure.toStdString();
        return readAll(out);
    }

    // Publishes `installer` as `name` with a manifest naming it and `sha256`, and lets the service read it.
    void publish(const QString& name, const QByteArray& installer, const QByteArray& sha256) {
        writeAll(published / name.toStdString(), installer);
        writeAll(manifest, R"({"version":"1.302","download_url":")" + url(name).toUtf8() +
                               R"(","release_notes":"notes","sha256":")" + sha256 + "\"}");
        const qsizetype before = available->count();
        service->checkForUpdates();
        ASSERT_TRUE(test::waitUntil([&] { return available->count() > before; }, 10s));
    }

    // Downloads `name`; its one outcome: the error text, or empty when the installer was accepted.
    QString download(const QString& name) {
        int outcomes = 0;
        QString error;
        QObject guard;
        QObject::connect(service.get(), &UpdateService::readyToInstall, &guard, [&] { ++outcomes; });
        QObject::connect(service.get(), &UpdateService::updateError, &guard, [&](const QString& text) {
            ++outcomes;
            error = text;
        });
        service->downloadUpdate(url(name));
        EXPECT_TRUE(test::waitUntil([&] { return outcomes > 0; }, 10s));
        test::runEventsFor(50ms);
        EXPECT_EQ(outcomes, 1);
        return error;
    }

    bool staged() const { return QFileInfo::exists(UpdateService::stagedInstallerPath()); }

    test::LogCapture logs;
    test::TempInstanceRoot root;
    fs::path manifest = root.path() / "manifest.json";
    fs::path published = root.path() / "published";
    std::unique_ptr<test::RunningBackend> backend;
    std::unique_ptr<UpdateService> service;
    std::unique_ptr<QSignalSpy> available, ready, errors;
};

TEST_F(UpdateHostContractTest, TheManifestIsFoundOnceItIsPublished) {
    startBackend();
    service->checkForUpdates();  // nothing published yet: 404
    ASSERT_TRUE(test::waitUntil([&] { return logs.contains("Update check failed"); }, 10s));

    writeAll(manifest, R"({"version":"1.301","download_url":"x","release_notes":"","sha256":""})");
    service->checkForUpdates();
    ASSERT_TRUE(test::waitUntil([&] { return logs.contains("Update check: current=1.301, latest=1.301"); }, 10s));

    writeAll(manifest, R"({"version":"1.302","download_url":")" + url("VeltrixSetup.exe").toUtf8() + R"(","release_notes":"notes"})");
    service->checkForUpdates();
    ASSERT_TRUE(test::waitUntil([&] { return available->count() == 1; }, 10s));
    EXPECT_EQ(available->first().at(0).toString(), QStringLiteral("1.302"));
    EXPECT_EQ(available->first().at(1).toString(), url("VeltrixSetup.exe"));
    EXPECT_EQ(service->manifestUrl().toString(), url("VeltrixSetup.json"));
}

TEST_F(UpdateHostContractTest, OnlyAnInstallerSignedByThePublisherWithTheRightHashIsAccepted) {
    startBackend();
    const QByteArray good = signedBy(package(4096), kPublisher);
    const QByteArray wrongSigner = signedBy(package(4096), kWrongSigner);
    struct Case {
        const char* name;
        QByteArray installer;
        QByteArray sha256;
        const char* error;  // nullptr: accepted
    };
    const QList<Case> cases = {
        {"wrong-signer.exe", wrongSigner, sha256Hex(wrongSigner), "Update aborted: signature verification failed."},
        {"unsigned.exe", package(4096), sha256Hex(package(4096)), "Update aborted: signature verification failed."},
        {"cut.exe", good.left(good.size() - 5), sha256Hex(good.left(good.size() - 5)),
         "Update aborted: signature verification failed."},
        {"wrong-hash.exe", good, sha256Hex("something else"), "Update aborted: integrity check failed."},
        {"tiny.exe", package(100), sha256Hex(package(100)), "Downloaded file is too small — update aborted."},
        {"no-hash.exe", good, "", nullptr},
        {"VeltrixSetup.exe", good, sha256Hex(good).toUpper(), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        publish(QString::fromLatin1(c.name), c.installer, c.sha256);
        const QString error = download(QString::fromLatin1(c.name));
        EXPECT_EQ(error.toStdString(), c.error ? c.error : "");
        EXPECT_EQ(staged(), c.error == nullptr);
    }
    EXPECT_TRUE(logs.contains("No SHA-256 hash in manifest — skipping integrity check"));
    EXPECT_EQ(readAll(UpdateService::stagedInstallerPath().toStdString()), good);
    const auto folder = fs::status(fs::path(UpdateService::stagedInstallerPath().toStdString()).parent_path()).permissions();
    EXPECT_EQ(folder & fs::perms::all, fs::perms::owner_all);
    EXPECT_NE(fs::status(UpdateService::stagedInstallerPath().toStdString()).permissions() & fs::perms::owner_exec,
              fs::perms::none);

    // A name the host does not serve is a failed download.
    EXPECT_FALSE(download(QStringLiteral("missing.exe")).isEmpty());
}

TEST_F(UpdateHostContractTest, ARedirectToAnotherPortIsNotFollowed) {
    // The redirect target serves a good installer with the backend's own certificate, so only
    // the client's redirect policy stands between the two.
    createBackend();
    const fs::path tls = fs::path(backend->folder().toStdString()) / "tls";
    ASSERT_EQ(run(tool("make-certificates"), {q(tls)}), QString());
    test::LocalHttpsServer elsewhere(tls / "server.pem", tls / "server.key");
    startBackend({"--", "--download-redirect-port", QString::number(elsewhere.port())});
    const QByteArray good = signedBy(package(4096), kPublisher);
    elsewhere.setResponse(QStringLiteral("/download/VeltrixSetup.exe"), {200, good, {}, -1});
    elsewhere.setResponse(QStringLiteral("/download/VeltrixSetup.json"),
                          {200, R"({"version":"1.302","download_url":")" + url("VeltrixSetup.exe").toUtf8() + "\"}", {}, -1});

    service->checkForUpdates();
    ASSERT_TRUE(test::waitUntil([&] { return logs.contains("Update check failed"); }, 10s));
    EXPECT_EQ(available->count(), 0);
    EXPECT_FALSE(download(QStringLiteral("VeltrixSetup.exe")).isEmpty());
    EXPECT_FALSE(staged());
    EXPECT_TRUE(elsewhere.requests().isEmpty());
}

TEST_F(UpdateHostContractTest, AnAnnouncedLengthAboveTheCapIsAbortedAtTheFirstReport) {
    startBackend({"--", "--download-oversized-length"});
    const QByteArray good = signedBy(package(4096), kPublisher);
    publish(QStringLiteral("VeltrixSetup.exe"), good, sha256Hex(good));
    EXPECT_FALSE(download(QStringLiteral("VeltrixSetup.exe")).isEmpty());
    EXPECT_TRUE(logs.contains("Update download exceeds 157286400 byte cap (received="));
    EXPECT_FALSE(staged());
}

// sign-installer and the tests' own signing helper write one layout, and the client's reader
// trusts both: package bytes, DER signature, its 4-byte big-endian length, "VLTXSIG1".
TEST(SignInstallerTest, WritesTheTrailerTheClientReads) {
    test::TempInstanceRoot root;
    const fs::path folder = root.path() / "codesign";
    ASSERT_EQ(run(tool("sign-installer"), {"init", q(folder)}), QString());
    test::TestCodeSigning helper(root.path() / "helper");
    helper.addSigner(QString::fromLatin1(kPublisher));
    // One CA file with both CAs, so one instance file trusts both signatures.
    writeAll(root.path() / "cas.pem", readAll(folder / "ca.pem") + readAll(helper.caCertificate()));
    std::ofstream(root.path() / "instance.ini") << "[update]\ncode_signing_ca_file=" << (root.path() / "cas.pem").string() << "\n";

    const QByteArray content = package(5000);
    writeAll(root.path() / "package.bin", content);
    ASSERT_EQ(run(tool("sign-installer"), {"sign", q(folder), q(root.path() / "package.bin"), q(root.path() / "tool.exe")}),
              QString());
    writeAll(root.path() / "helper.exe", helper.sign(content, QString::fromLatin1(kPublisher)));
    for (const char* name : {"tool.exe", "helper.exe"}) {
        SCOPED_TRACE(name);
        const QByteArray file = readAll(root.path() / name);
        const Trailer parts = splitTrailer(file);
        EXPECT_EQ(parts.content, content);
        EXPECT_GT(parts.signature.size(), 100);
        EXPECT_EQ(parts.signature.at(0), '0');  // a DER SEQUENCE
        const auto verification = platform::codesign::verifyFile(root.path() / name);
        EXPECT_TRUE(verification.trusted) << verification.reason;
        EXPECT_EQ(platform::codesign::signerName(root.path() / name), kPublisher);
    }
    // The wrong signer is a real, trusted signer with another name.
    ASSERT_EQ(run(tool("sign-installer"),
                  {"sign", q(folder), q(root.path() / "package.bin"), q(root.path() / "wrong.exe"), kWrongSigner}),
              QString());
    EXPECT_TRUE(platform::codesign::verifyFile(root.path() / "wrong.exe").trusted);
    EXPECT_EQ(platform::codesign::signerName(root.path() / "wrong.exe"), kWrongSigner);
    EXPECT_FALSE(run(tool("sign-installer"), {"sign", q(folder), q(root.path() / "package.bin"), q(root.path() / "x.exe"),
                                              "Nobody"})
                     .isEmpty());
}

}  // namespace
}  // namespace veltrix
