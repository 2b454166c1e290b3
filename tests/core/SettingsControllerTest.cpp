#include <gtest/gtest.h>

#include <QSettings>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "core/SettingsController.h"
#include "platform/DataProtection.h"
#include "platform/SettingsLocations.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {
namespace fs = std::filesystem;
using platform::settings::Scope;

class SettingsControllerTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    test::LogCapture logs;

    static fs::path storeFile(Scope scope) {
        return platform::settings::storePath(scope, "Veltrix",
                                             scope == Scope::Machine ? "VeltrixService" : "VeltrixClient");
    }

    // The store as another process sees it.
    static std::unique_ptr<QSettings> open(Scope scope) {
        return std::make_unique<QSettings>(QString::fromStdString(storeFile(scope).string()), QSettings::IniFormat);
    }

    static QString stored(Scope scope, const QString& key) { return open(scope)->value(key).toString(); }

    static void put(Scope scope, const QString& key, const QString& value) {
        fs::create_directories(storeFile(scope).parent_path());
        auto store = open(scope);
        store->setValue(key, value);
        store->sync();
    }

    static std::string fileText(Scope scope) {
        std::ifstream in(storeFile(scope));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // A value protected without entropy, as the older layout stored it.
    static QString legacyWrapped(const QString& clear) {
        platform::SystemError error;
        const auto blob = platform::protection::protect(clear.toUtf8(), {}, error);
        EXPECT_TRUE(blob);
        return QStringLiteral("DPAPI:") + QString::fromLatin1(blob.value_or(QByteArray()).toBase64());
    }

    // Makes protection fail: the machine key is a folder.
    static void spoilMachineKey() {
        fs::remove(platform::protection::machineKeyPath());
        fs::create_directories(platform::protection::machineKeyPath());
    }
};

TEST_F(SettingsControllerTest, AnEmptyStoreGivesTheDefaults) {
    SettingsController settings;
    EXPECT_EQ(settings.monitorIndex(), 0);
    EXPECT_TRUE(settings.clipboardSharingEnabled());
    EXPECT_EQ(settings.displayMode(), 1);
    EXPECT_EQ(settings.clientId(), "");
    EXPECT_EQ(settings.deviceSecret(), "");
    EXPECT_EQ(settings.savedSecurePassword(), "");
    EXPECT_FALSE(settings.hasClientId());
    EXPECT_TRUE(settings.unattendedAccessEnabled());
}

TEST_F(SettingsControllerTest, ValuesThatCannotBeConvertedReadAsTheDefault) {
    put(Scope::User, "display/mode", "fast");
    put(Scope::User, "display/monitorIndex", "");
    put(Scope::User, "display/clipboardSharing", "maybe");
    put(Scope::Machine, "advanced/unattendedAccess", "perhaps");
    SettingsController settings;
    EXPECT_EQ(settings.displayMode(), 1);
    EXPECT_EQ(settings.monitorIndex(), 0);
    EXPECT_TRUE(settings.clipboardSharingEnabled());
    EXPECT_TRUE(settings.unattendedAccessEnabled());
}

TEST_F(SettingsControllerTest, SettersWriteTheirStoreAtOnce) {
    SettingsController settings;
    settings.setMonitorIndex(2);
    settings.setClipboardSharingEnabled(false);
    settings.setDisplayMode(0);
    settings.setClientId("123456789");
    settings.setUnattendedAccessEnabled(false);
    // Visible to another process without this object being destroyed.
    EXPECT_EQ(stored(Scope::User, "display/monitorIndex"), "2");
    EXPECT_EQ(stored(Scope::User, "display/clipboardSharing"), "false");
    EXPECT_EQ(stored(Scope::User, "display/mode"), "0");
    EXPECT_EQ(stored(Scope::Machine, "auth/clientId"), "123456789");
    EXPECT_EQ(stored(Scope::Machine, "advanced/unattendedAccess"), "false");
    EXPECT_EQ(stored(Scope::User, "auth/clientId"), "") << "the identity lives in the machine store";

    SettingsController other;
    EXPECT_EQ(other.monitorIndex(), 2);
    EXPECT_FALSE(other.clipboardSharingEnabled());
    EXPECT_EQ(other.displayMode(), 0);
    EXPECT_EQ(other.clientId(), "123456789");
    EXPECT_FALSE(other.unattendedAccessEnabled());
}

TEST_F(SettingsControllerTest, AReaderSeesWhatTheOtherProgramWroteLater) {
    SettingsController service;
    SettingsController client;
    EXPECT_TRUE(client.unattendedAccessEnabled());
    service.setUnattendedAccessEnabled(false);
    service.setSavedSecurePassword("Secure#Pass1");
    EXPECT_FALSE(client.unattendedAccessEnabled());
    EXPECT_EQ(client.savedSecurePassword(), "Secure#Pass1");
}

TEST_F(SettingsControllerTest, EncoderValuesFollowTheDisplayMode) {
    SettingsController settings;
    const struct {
        int mode, fps, crf;
        const char* preset;
        int bitrate;
    } table[] = {
        {0, 30, 18, "7", 8000}, {1, 20, 45, "13", 1500}, {2, 20, 45, "13", 1500},
        {-1, 20, 45, "13", 1500}, {7, 20, 45, "13", 1500},
    };
    for (const auto& row : table) {
        settings.setDisplayMode(row.mode);
        EXPECT_EQ(settings.encoderFps(), row.fps) << row.mode;
        EXPECT_EQ(settings.encoderCrf(), row.crf) << row.mode;
        EXPECT_EQ(settings.encoderPreset(), row.preset) << row.mode;
        EXPECT_EQ(settings.encoderBitrateKbps(), row.bitrate) << row.mode;
    }
}

TEST_F(SettingsControllerTest, WrapAndUnwrapSecrets) {
    SettingsController settings;
    EXPECT_EQ(settings.wrapSecret(""), "");
    const QString secret = QStringLiteral("dév1ce-sécret");
    const QString wrapped = settings.wrapSecret(secret);
    EXPECT_TRUE(wrapped.startsWith("DPAPI2:"));
    EXPECT_FALSE(wrapped.contains(secret));
    EXPECT_EQ(settings.unwrapSecret(wrapped), secret);
    EXPECT_EQ(settings.unwrapSecret(legacyWrapped(secret)), secret);
    EXPECT_EQ(settings.unwrapSecret("plain value"), "plain value");
    EXPECT_EQ(settings.unwrapSecret("dpapi2:abc"), "dpapi2:abc") << "prefixes are case-sensitive";
    // A "DPAPI:" value is not a "DPAPI2:" value with the entropy left out, nor the reverse.
    EXPECT_EQ(settings.unwrapSecret("DPAPI:" + wrapped.mid(7)), "");
    EXPECT_EQ(settings.unwrapSecret("DPAPI2:" + legacyWrapped(secret).mid(6)), "");
}

TEST_F(SettingsControllerTest, AValueThatIsNotBase64ReadsEmptyWithTheWarning) {
    SettingsController settings;
    for (const char* value : {"DPAPI2:", "DPAPI2:not base64!", "DPAPI2:@@@@", "DPAPI:***"}) {
        logs.clear();
        EXPECT_EQ(settings.unwrapSecret(value), "") << value;
        EXPECT_TRUE(logs.contains("DPAPI value base64 decode produced empty buffer")) << value;
    }
    put(Scope::Machine, "auth/deviceSecret", "DPAPI2:not base64!");
    put(Scope::Machine, "auth/clientId", "123456789");
    EXPECT_EQ(settings.deviceSecret(), "");
    EXPECT_FALSE(settings.hasClientId());
    EXPECT_EQ(stored(Scope::Machine, "auth/deviceSecret"), "DPAPI2:not base64!") << "an unreadable value stays";
}

TEST_F(SettingsControllerTest, ABlobThatDoesNotOpenReadsEmpty) {
    SettingsController settings;
    EXPECT_EQ(settings.unwrapSecret("DPAPI2:" + QByteArray(48, 'x').toBase64()), "");
    EXPECT_TRUE(logs.contains("CryptUnprotectData failed (err "));
}

TEST_F(SettingsControllerTest, OlderSecretFormsMigrateOnFirstRead) {
    const struct {
        const char* key;
        QString (SettingsController::*get)();
        const char* log;
    } secrets[] = {
        {"auth/deviceSecret", &SettingsController::deviceSecret, "Migrated deviceSecret to DPAPI-wrapped storage"},
        {"auth/sessionPassword", &SettingsController::savedSecurePassword,
         "Migrated savedSecurePassword to DPAPI-wrapped storage"},
    };
    for (const auto& secret : secrets) {
        for (const QString& old : {QStringLiteral("legacy-plain-secret"), legacyWrapped("legacy-plain-secret")}) {
            put(Scope::Machine, secret.key, old);
            SettingsController settings;
            logs.clear();
            EXPECT_EQ((settings.*secret.get)(), "legacy-plain-secret") << secret.key;
            const QString now = stored(Scope::Machine, secret.key);
            EXPECT_TRUE(now.startsWith("DPAPI2:")) << secret.key << " " << now.toStdString();
            EXPECT_EQ(logs.count(secret.log), 1u);
            // Once migrated, a read changes nothing.
            EXPECT_EQ((settings.*secret.get)(), "legacy-plain-secret");
            EXPECT_EQ(stored(Scope::Machine, secret.key), now);
            EXPECT_EQ(logs.count(secret.log), 1u);
        }
    }
}

TEST_F(SettingsControllerTest, TheMachineStoreNeverHoldsASecretInClear) {
    SettingsController settings;
    settings.setClientId("123456789");
    settings.setDeviceSecret("device-secret-value");
    settings.setSavedSecurePassword("Secure#Pass1");
    const std::string text = fileText(Scope::Machine);
    EXPECT_EQ(text.find("device-secret-value"), std::string::npos) << text;
    EXPECT_EQ(text.find("Secure#Pass1"), std::string::npos) << text;
    EXPECT_TRUE(stored(Scope::Machine, "auth/deviceSecret").startsWith("DPAPI2:"));
    EXPECT_TRUE(stored(Scope::Machine, "auth/sessionPassword").startsWith("DPAPI2:"));
    EXPECT_EQ(settings.deviceSecret(), "device-secret-value");
    EXPECT_EQ(settings.savedSecurePassword(), "Secure#Pass1");
    EXPECT_TRUE(settings.hasClientId());

    settings.setDeviceSecret("");
    settings.setSavedSecurePassword("");
    EXPECT_FALSE(open(Scope::Machine)->contains("auth/deviceSecret"));
    EXPECT_FALSE(open(Scope::Machine)->contains("auth/sessionPassword"));
    EXPECT_FALSE(settings.hasClientId());
}

TEST_F(SettingsControllerTest, AWrapFailureRemovesTheKeyAndStoresNothingInClear) {
    SettingsController settings;
    settings.setDeviceSecret("old-device-secret");
    settings.setSavedSecurePassword("Old#Pass1");
    spoilMachineKey();
    settings.setDeviceSecret("new-device-secret");
    settings.setSavedSecurePassword("New#Pass1");
    EXPECT_TRUE(logs.contains("CryptProtectData failed (err "));
    EXPECT_TRUE(logs.contains("Refusing to store deviceSecret: DPAPI wrap failed"));
    EXPECT_TRUE(logs.contains("Refusing to store securePassword: DPAPI wrap failed"));
    EXPECT_FALSE(open(Scope::Machine)->contains("auth/deviceSecret"));
    EXPECT_FALSE(open(Scope::Machine)->contains("auth/sessionPassword"));
    const std::string text = fileText(Scope::Machine);
    EXPECT_EQ(text.find("new-device-secret"), std::string::npos);
    EXPECT_EQ(text.find("New#Pass1"), std::string::npos);
    EXPECT_EQ(settings.wrapSecret("anything"), "");
}

TEST_F(SettingsControllerTest, ALegacyPlainValueStaysWhenItCannotBeWrapped) {
    put(Scope::Machine, "auth/deviceSecret", "legacy-plain-secret");
    spoilMachineKey();
    SettingsController settings;
    EXPECT_EQ(settings.deviceSecret(), "legacy-plain-secret");
    EXPECT_EQ(stored(Scope::Machine, "auth/deviceSecret"), "legacy-plain-secret");
    EXPECT_FALSE(logs.contains("Migrated deviceSecret"));
}

TEST_F(SettingsControllerTest, AStoreCopiedToAnotherMachineDoesNotUnwrap) {
    std::string machineStore;
    {
        SettingsController settings;
        settings.setClientId("123456789");
        settings.setDeviceSecret("device-secret-value");
        machineStore = fileText(Scope::Machine);
    }
    test::TempInstanceRoot otherMachine;
    fs::create_directories(storeFile(Scope::Machine).parent_path());
    std::ofstream(storeFile(Scope::Machine)) << machineStore;
    SettingsController copy;
    platform::SystemError error;
    ASSERT_TRUE(platform::protection::protect("its own key", {}, error));
    EXPECT_EQ(copy.clientId(), "123456789");
    EXPECT_EQ(copy.deviceSecret(), "");
    EXPECT_FALSE(copy.hasClientId());
    EXPECT_TRUE(logs.contains("CryptUnprotectData failed (err "));
}

TEST_F(SettingsControllerTest, StartUpMigrationMovesTheIdentityToTheMachineStore) {
    put(Scope::User, "auth/clientId", "987654321");
    put(Scope::User, "auth/deviceSecret", "old-plain-secret");
    put(Scope::User, "auth/sessionPassword", legacyWrapped("Old#Pass1"));
    SettingsController settings;
    EXPECT_EQ(stored(Scope::Machine, "auth/clientId"), "987654321");
    EXPECT_TRUE(stored(Scope::Machine, "auth/deviceSecret").startsWith("DPAPI2:"));
    EXPECT_TRUE(stored(Scope::Machine, "auth/sessionPassword").startsWith("DPAPI2:"));
    EXPECT_EQ(settings.deviceSecret(), "old-plain-secret");
    EXPECT_EQ(settings.savedSecurePassword(), "Old#Pass1");
    EXPECT_TRUE(settings.hasClientId());
    const auto user = open(Scope::User);
    EXPECT_EQ(user->value("auth/clientId").toString(), "987654321") << "the user store keeps its client ID";
    EXPECT_FALSE(user->contains("auth/deviceSecret"));
    EXPECT_FALSE(user->contains("auth/sessionPassword"));
    EXPECT_EQ(fileText(Scope::Machine).find("old-plain-secret"), std::string::npos);
}

TEST_F(SettingsControllerTest, StartUpMigrationStoresNoSecretInClearWhenWrappingFails) {
    put(Scope::User, "auth/clientId", "987654321");
    put(Scope::User, "auth/deviceSecret", "old-plain-secret");
    put(Scope::User, "auth/sessionPassword", "Old#Pass1");
    spoilMachineKey();
    SettingsController settings;
    EXPECT_TRUE(logs.contains("Refusing to store deviceSecret: DPAPI wrap failed"));
    EXPECT_TRUE(logs.contains("Refusing to store securePassword: DPAPI wrap failed"));
    EXPECT_EQ(stored(Scope::Machine, "auth/clientId"), "987654321");
    EXPECT_FALSE(open(Scope::Machine)->contains("auth/deviceSecret"));
    EXPECT_FALSE(open(Scope::Machine)->contains("auth/sessionPassword"));
    EXPECT_FALSE(settings.hasClientId()) << "the device registers anew";
    const std::string text = fileText(Scope::Machine);
    EXPECT_EQ(text.find("old-plain-secret"), std::string::npos) << text;
    EXPECT_EQ(text.find("Old#Pass1"), std::string::npos) << text;
}

TEST_F(SettingsControllerTest, StartUpMigrationLeavesAnExistingIdentityAlone) {
    put(Scope::Machine, "auth/clientId", "111111111");
    put(Scope::User, "auth/clientId", "987654321");
    put(Scope::User, "auth/deviceSecret", "old-plain-secret");
    put(Scope::User, "auth/sessionPassword", "Old#Pass1");
    const std::string userBefore = fileText(Scope::User);
    SettingsController settings;
    EXPECT_EQ(settings.clientId(), "111111111");
    EXPECT_EQ(settings.deviceSecret(), "");
    EXPECT_EQ(fileText(Scope::User), userBefore);
}

TEST_F(SettingsControllerTest, StartUpMigrationNeedsBothClientIdAndSecret) {
    for (const auto& [id, secret] : {std::pair{"987654321", ""}, std::pair{"", "old-plain-secret"}}) {
        test::TempInstanceRoot fresh;
        put(Scope::User, "auth/clientId", id);
        put(Scope::User, "auth/deviceSecret", secret);
        const std::string userBefore = fileText(Scope::User);
        SettingsController settings;
        EXPECT_EQ(settings.clientId(), "");
        EXPECT_EQ(fileText(Scope::User), userBefore);
    }
}

// A program that may not write the machine store must not drop the old identity it cannot move.
TEST_F(SettingsControllerTest, StartUpMigrationKeepsTheOldValuesWhenTheMachineStoreIsNotWritable) {
    put(Scope::User, "auth/clientId", "987654321");
    put(Scope::User, "auth/deviceSecret", "old-plain-secret");
    put(Scope::User, "auth/sessionPassword", "Old#Pass1");
    fs::create_directories(storeFile(Scope::Machine));  // a folder where the store file belongs
    SettingsController settings;
    EXPECT_TRUE(logs.contains("SettingsController: cannot write"));
    const auto user = open(Scope::User);
    EXPECT_EQ(user->value("auth/deviceSecret").toString(), "old-plain-secret");
    EXPECT_EQ(user->value("auth/sessionPassword").toString(), "Old#Pass1");
}

TEST_F(SettingsControllerTest, TwoFailoversReturnToThePrimaryServer) {
    SettingsController settings;
    EXPECT_TRUE(logs.contains("SettingsController: API servers https://api.veltrix.net:443 and "
                              "https://api2.veltrix.net:443 (built in)"));
    const QUrl primary = settings.serverUrl();
    EXPECT_EQ(primary, QUrl("https://api.veltrix.net:443"));
    EXPECT_EQ(primary.scheme(), "https");
    EXPECT_EQ(primary.port(), 443);
    EXPECT_EQ(primary.path(), "");
    settings.failoverServer();
    EXPECT_EQ(settings.serverUrl(), QUrl("https://api2.veltrix.net:443"));
    EXPECT_TRUE(logs.contains("Server failover: switched to https://api2.veltrix.net:443"));
    settings.failoverServer();
    EXPECT_EQ(settings.serverUrl(), primary);
    EXPECT_TRUE(logs.contains("Server failover: switched to https://api.veltrix.net:443"));
    EXPECT_EQ(SettingsController().serverUrl(), primary) << "the index is not persisted";
}

TEST_F(SettingsControllerTest, TheInstanceFileCanNameTheApiServers) {
    const struct {
        const char* ini;
        const char* primary;
        const char* failover;
    } cases[] = {
        {"[backend]\napi_url=https://127.0.0.1:8443\nfailover_url=https://127.0.0.1:8444\n", "https://127.0.0.1:8443",
         "https://127.0.0.1:8444"},
        // Only a primary: fail-over stays on it rather than leaving for the public servers.
        {"[backend]\napi_url=http://127.0.0.1:9000\n", "http://127.0.0.1:9000", "http://127.0.0.1:9000"},
        {"[backend]\napi_url=ftp://127.0.0.1\n", "https://api.veltrix.net:443", "https://api2.veltrix.net:443"},
        {"[backend]\napi_url=not a url\nfailover_url=https://127.0.0.1:8444\n", "https://api.veltrix.net:443",
         "https://127.0.0.1:8444"},
    };
    for (const auto& c : cases) {
        std::ofstream(root.path() / "instance.ini") << c.ini;
        logs.clear();
        SettingsController settings;
        EXPECT_EQ(settings.serverUrl(), QUrl(c.primary)) << c.ini;
        settings.failoverServer();
        EXPECT_EQ(settings.serverUrl(), QUrl(c.failover)) << c.ini;
        EXPECT_TRUE(logs.contains(std::string("SettingsController: API servers ") + c.primary + " and " + c.failover))
            << c.ini;
    }
    EXPECT_TRUE(logs.contains("SettingsController: ignoring backend/api_url 'not a url'"));
}

}  // namespace
}  // namespace veltrix
