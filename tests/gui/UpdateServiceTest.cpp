#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>

#include <filesystem>
#include <fstream>
#include <memory>

#include "gui/UpdateService.h"
#include "support/LocalHttpsServer.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/TestCertificates.h"
#include "support/TestCodeSigning.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {


using test::LocalHttpsServer;

constexpr const char* kPublisher = "Brackwell Systems Ltd";
constexpr const char* kWrongSigner = "Test Wrong Signer";
constexpr const char* kNoUsageSigner = "Brackwell Systems Ltd ";  // trailing space: its own file

// Signing material is made once: openssl key generation is the slow part of these tests.
struct SigningMaterial {
    std::filesystem::path folder;
    std::unique_ptr<test::TestCodeSigning> trusted;
    std::unique_ptr<test::TestCodeSigning> untrusted;
    test::TestCertificates tls;
};

SigningMaterial* material = nullptr;

QByteArray sha256Hex(const QByteArray& data) {
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QByteArray package(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 31 + 7);
    return bytes;
}

class UpdateServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/vx-sign-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        material = new SigningMaterial;
        material->folder = pattern;
        material->trusted = std::make_unique<test::TestCodeSigning>(material->folder / "trusted");
        material->trusted->addSigner(kPublisher);
        material->trusted->addSigner(kWrongSigner);
        material->trusted->addSigner(kNoUsageSigner, /*codeSigningUsage=*/false);
        material->untrusted = std::make_unique<test::TestCodeSigning>(material->folder / "untrusted");
        material->untrusted->addSigner(kPublisher);
        material->tls = test::makeTestCertificates(material->folder / "tls");
    }
    static void TearDownTestSuite() {
        std::filesystem::remove_all(material->folder);
        delete material;
        material = nullptr;
    }

    void SetUp() override {
        QCoreApplication::setApplicationVersion(QStringLiteral("1.301"));
        server = std::make_unique<LocalHttpsServer>(material->tls.serverCertificate, material->tls.serverKey);
        otherServer = std::make_unique<LocalHttpsServer>(material->tls.serverCertificate, material->tls.serverKey);
        std::ofstream(root.path() / "instance.ini")
            << "[tls]\nextra_ca_file=" << material->tls.caCertificate.string() << "\n"
            << "[update]\nhost=" << server->origin().toStdString() << "\n"
            << "code_signing_ca_file=" << material->trusted->caCertificate().string() << "\n";
        service = std::make_unique<UpdateService>();
        available = std::make_unique<QSignalSpy>(service.get(), &UpdateService::updateAvailable);
        ready = std::make_unique<QSignalSpy>(service.get(), &UpdateService::readyToInstall);
        errors = std::make_unique<QSignalSpy>(service.get(), &UpdateService::updateError);
    }

    QString installerUrl() const { return QStringLiteral("https://%1/download/VeltrixSetup.exe").arg(server->origin()); }

    void serveManifest(const QByteArray& json) {
        server->setResponse(QStringLiteral("/download/VeltrixSetup.json"), {200, json, {}, -1});
    }

    // Publishes `installer` with a manifest naming `sha256`, and lets the service read it.
    void publish(const QByteArray& installer, const QByteArray& sha256) {
        serveManifest(R"({"version":"1.302","download_url":")" + installerUrl().toUtf8() +
                      R"(","release_notes":"notes","sha256":")" + sha256 + "\"}");
        server->setResponse(QStringLiteral("/download/VeltrixSetup.exe"), {200, installer, {}, -1});
        service->checkForUpdates();
        ASSERT_TRUE(test::waitUntil([&] { return available->count() == 1; }, std::chrono::seconds(10)));
    }

    // Downloads the published installer and waits for its one outcome.
    void download() {
        service->downloadUpdate(installerUrl());
        ASSERT_TRUE(test::waitUntil([&] { return ready->count() + errors->count() > 0; }, std::chrono::seconds(10)));
        test::runEventsFor(std::chrono::milliseconds(50));
        EXPECT_EQ(ready->count() + errors->count(), 1);
    }

    QString lastError() const { return errors->isEmpty() ? QString() : errors->last().at(0).toString(); }
    bool stagedExists() const { return QFileInfo::exists(UpdateService::stagedInstallerPath()); }

    test::LogCapture logs;
    test::TempInstanceRoot root;
    std::unique_ptr<LocalHttpsServer> server;
    std::unique_ptr<LocalHttpsServer> otherServer;
    std::unique_ptr<UpdateService> service;
    std::unique_ptr<QSignalSpy> available, ready, errors;
};

TEST(UpdateVersionTest, ComparesDottedNumbers) {
    struct Case {
        const char* a;
        const char* b;
        bool newer;
    };
    for (const Case c : {Case{"1.10", "1.9", true}, Case{"1.9", "1.10", false}, Case{"1.2.0", "1.2", false},
                         Case{"1.2", "1.2.0", false}, Case{"1.2.0.1", "1.2", true}, Case{"1.a", "1.0", false},
                         Case{"1.0", "1.a", false}, Case{"1.302", "1.301", true}, Case{"2", "1.999", true}}) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(UpdateService::isNewerVersion(QString::fromLatin1(c.a), QString::fromLatin1(c.b)), c.newer);
    }
}

TEST_F(UpdateServiceTest, TheManifestUrlNamesTheConfiguredHost) {
    EXPECT_EQ(service->manifestUrl().toString(),
              QStringLiteral("https://%1/download/VeltrixSetup.json").arg(server->origin()));
}

TEST_F(UpdateServiceTest, ANewerManifestAnnouncesTheUpdate) {
    publish(package(2048), {});
    EXPECT_EQ(available->first().at(0).toString(), QStringLiteral("1.302"));
    EXPECT_EQ(available->first().at(1).toString(), installerUrl());
    EXPECT_EQ(available->first().at(2).toString(), QStringLiteral("notes"));
    EXPECT_TRUE(logs.contains("Update available: v1.302"));
}

TEST_F(UpdateServiceTest, ManifestProblemsAreOnlyLogged) {
    struct Case {
        const char* body;  // nullptr: the host has no manifest
        const char* log;
    };
    for (const Case c : {Case{R"({"version":"1.301"})", "Update check: current=1.301, latest=1.301"},
                         Case{R"({"version":"1.300"})", "Update check: current=1.301, latest=1.300"},
                         Case{"{not json", "Update manifest parse error"},
                         Case{R"({"version":1.302})", "Update manifest parse error"},
                         Case{R"(["1.302"])", "Update manifest parse error"},
                         Case{nullptr, "Update check failed"}}) {
        SCOPED_TRACE(c.log);
        logs.clear();
        if (c.body) serveManifest(c.body);
        else server->setResponse(QStringLiteral("/download/VeltrixSetup.json"), {404, "gone", {}, -1});
        service->checkForUpdates();
        ASSERT_TRUE(test::waitUntil([&] { return logs.contains(c.log); }, std::chrono::seconds(10)));
        test::runEventsFor(std::chrono::milliseconds(30));
        EXPECT_EQ(available->count(), 0);
        EXPECT_EQ(errors->count(), 0);
    }
}

TEST_F(UpdateServiceTest, DownloadsOffTheHostAreRefusedBeforeAnyRequest) {
    const QString port = QString::number(server->port());
    for (const QString& url :
         {QStringLiteral("http://localhost:%1/download/VeltrixSetup.exe").arg(port),
          QStringLiteral("https://127.0.0.1:%1/download/VeltrixSetup.exe").arg(port),
          QStringLiteral("https://localhost:%1/download/VeltrixSetup.exe").arg(otherServer->port()),
          QStringLiteral("https://localhost/download/VeltrixSetup.exe"), QStringLiteral("not a url at all"),
          QStringLiteral("file:///tmp/VeltrixSetup.exe")}) {
        SCOPED_TRACE(url.toStdString());
        errors->clear();
        service->downloadUpdate(url);
        ASSERT_EQ(errors->count(), 1);
        EXPECT_EQ(lastError(), QStringLiteral("Update rejected: untrusted download location"));
    }
    test::runEventsFor(std::chrono::milliseconds(50));
    EXPECT_TRUE(server->requests().isEmpty());
    EXPECT_TRUE(otherServer->requests().isEmpty());
}

TEST_F(UpdateServiceTest, TheHostNameIsComparedIgnoringCase) {
    const QByteArray installer = material->trusted->sign(package(4096), kPublisher);
    publish(installer, sha256Hex(installer));
    service->downloadUpdate(installerUrl().replace(QStringLiteral("localhost"), QStringLiteral("LocalHost")));
    ASSERT_TRUE(test::waitUntil([&] { return ready->count() + errors->count() > 0; }, std::chrono::seconds(10)));
    EXPECT_EQ(ready->count(), 1) << lastError().toStdString();
}

TEST_F(UpdateServiceTest, ARedirectToAnotherOriginIsNotFollowed) {
    const QByteArray installer = material->trusted->sign(package(4096), kPublisher);
    publish(installer, sha256Hex(installer));
    const QByteArray elsewhere =
        QStringLiteral("https://localhost:%1/download/VeltrixSetup.exe").arg(otherServer->port()).toUtf8();
    server->setResponse(QStringLiteral("/download/VeltrixSetup.exe"), {302, {}, {{"Location", elsewhere}}, -1});
    otherServer->setResponse(QStringLiteral("/download/VeltrixSetup.exe"), {200, installer, {}, -1});
    download();
    EXPECT_EQ(errors->count(), 1);
    EXPECT_TRUE(otherServer->requests().isEmpty());
    EXPECT_FALSE(stagedExists());
}

TEST_F(UpdateServiceTest, SizeLimits) {
    publish(package(100), {});
    download();
    EXPECT_EQ(lastError(), QStringLiteral("Downloaded file is too small — update aborted."));
    EXPECT_FALSE(stagedExists());

    // Exactly 1024 bytes passes the size check and goes on to the signature check.
    errors->clear();
    server->setResponse(QStringLiteral("/download/VeltrixSetup.exe"), {200, package(1024), {}, -1});
    download();
    EXPECT_EQ(lastError(), QStringLiteral("Update aborted: signature verification failed."));
}

TEST_F(UpdateServiceTest, AnAnnouncedTotalAboveTheCapIsAbortedAtTheFirstReport) {
    publish(package(2048), {});
    server->setResponse(QStringLiteral("/download/VeltrixSetup.exe"),
                        {200, package(4096), {}, UpdateService::kMaxInstallerBytes + 1});
    download();
    EXPECT_TRUE(logs.contains("Update download exceeds 157286400 byte cap"));
    EXPECT_TRUE(logs.contains("Update download failed"));
    EXPECT_EQ(errors->count(), 1);
    EXPECT_FALSE(stagedExists());
}

TEST_F(UpdateServiceTest, AHostThatStopsAnsweringFailsTheCheckAndTheDownload) {
    publish(package(2048), {});
    server->setSilent(QStringLiteral("/download/VeltrixSetup.json"));
    server->setSilent(QStringLiteral("/download/VeltrixSetup.exe"));
    service->setTransferTimeout(std::chrono::milliseconds(300));
    logs.clear();
    service->checkForUpdates();
    ASSERT_TRUE(test::waitUntil([&] { return logs.contains("Update check failed"); }, std::chrono::seconds(10)));
    download();
    EXPECT_TRUE(logs.contains("Update download failed"));
    EXPECT_EQ(errors->count(), 1);
    EXPECT_FALSE(stagedExists());
}

TEST_F(UpdateServiceTest, AWrongHashDeletesTheFile) {
    const QByteArray installer = material->trusted->sign(package(4096), kPublisher);
    publish(installer, QByteArray(64, 'a'));
    download();
    EXPECT_EQ(lastError(), QStringLiteral("Update aborted: integrity check failed."));
    EXPECT_TRUE(logs.contains("SHA-256 mismatch"));
    EXPECT_FALSE(stagedExists());
}

TEST_F(UpdateServiceTest, BadSignaturesDeleteTheFile) {
    const QByteArray body = package(4096);
    QByteArray cutTrailer = material->trusted->sign(body, kPublisher);
    cutTrailer.chop(3);
    QByteArray tampered = material->trusted->sign(body, kPublisher);
    tampered[10] = static_cast<char>(tampered[10] ^ 1);
    struct Case {
        const char* name;
        QByteArray installer;
    };
    for (const Case& c : {Case{"wrong signer", material->trusted->sign(body, kWrongSigner)},
                          Case{"unsigned", body}, Case{"cut trailer", cutTrailer}, Case{"tampered", tampered},
                          Case{"untrusted CA", material->untrusted->sign(body, kPublisher)},
                          Case{"no codeSigning usage", material->trusted->sign(body, kNoUsageSigner)}}) {
        SCOPED_TRACE(c.name);
        errors->clear();
        available->clear();
        publish(c.installer, {});  // no hash: the signature alone must refuse it
        download();
        EXPECT_EQ(lastError(), QStringLiteral("Update aborted: signature verification failed."));
        EXPECT_EQ(ready->count(), 0);
        EXPECT_FALSE(stagedExists());
    }
}

TEST_F(UpdateServiceTest, AVerifiedInstallerIsStagedPrivately) {
    const QByteArray installer = material->trusted->sign(package(8192), kPublisher);
    publish(installer, sha256Hex(installer).toUpper());
    download();
    ASSERT_EQ(ready->count(), 1) << lastError().toStdString();
    const QString path = ready->first().at(0).toString();
    EXPECT_EQ(path, UpdateService::stagedInstallerPath());
    EXPECT_EQ(UpdateService::signerDisplayName(path), QString::fromLatin1(kPublisher));
    const auto folderMode = std::filesystem::status(std::filesystem::path(path.toStdString()).parent_path()).permissions();
    EXPECT_EQ(folderMode & std::filesystem::perms::all, std::filesystem::perms::owner_all);
    EXPECT_TRUE(QFileInfo(path).isExecutable());
    QFile staged(path);
    ASSERT_TRUE(staged.open(QIODevice::ReadOnly));
    EXPECT_EQ(staged.readAll(), installer);
}

TEST_F(UpdateServiceTest, AnEmptyHashWarnsAndStillRequiresTheSignature) {
    const QByteArray installer = material->trusted->sign(package(2048), kPublisher);
    publish(installer, {});
    download();
    EXPECT_TRUE(logs.contains("No SHA-256 hash in manifest — skipping integrity check"));
    EXPECT_EQ(ready->count(), 1) << lastError().toStdString();
}

TEST_F(UpdateServiceTest, AStagedLinkIsReplacedNotFollowed) {
    // A link planted at the staged path must not make the download write through it.
    const auto target = root.path() / "victim";
    std::ofstream(target) << "keep";
    const std::filesystem::path staged = UpdateService::stagedInstallerPath().toStdString();
    std::filesystem::create_directories(staged.parent_path());
    std::filesystem::create_symlink(target, staged);
    const QByteArray installer = material->trusted->sign(package(2048), kPublisher);
    publish(installer, sha256Hex(installer));
    download();
    EXPECT_EQ(ready->count(), 1) << lastError().toStdString();
    std::ifstream victim(target);
    std::string content;
    victim >> content;
    EXPECT_EQ(content, "keep");
    EXPECT_FALSE(std::filesystem::is_symlink(staged));
}

}  // namespace
}  // namespace veltrix
