#include <gtest/gtest.h>

#include <QSettings>

#include "core/SettingsController.h"
#include "platform/SettingsLocations.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {
using platform::settings::Scope;

class ClientSettingsTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;

    // The user store as another process sees it.
    static QSettings userStore() {
        const auto path = platform::settings::storePath(Scope::User, "Veltrix", "VeltrixClient");
        return QSettings(QString::fromStdString(path.string()), QSettings::IniFormat);
    }
};

TEST_F(ClientSettingsTest, AnEmptyStoreGivesTheClientDefaults) {
    SettingsController settings;
    EXPECT_TRUE(settings.autoInstallUpdates());
    EXPECT_TRUE(settings.autoUpdateOnStartup());
    EXPECT_EQ(settings.language(), "");
    EXPECT_TRUE(settings.autoReconnect());
    EXPECT_EQ(settings.maxReconnectAttempts(), 10);
    EXPECT_TRUE(settings.minimizeToTray());
    EXPECT_TRUE(settings.recentPartnerIds().isEmpty());
    EXPECT_EQ(settings.wakeOnLanAddress("123456789"), "");
}

TEST_F(ClientSettingsTest, SettersWriteTheUserStoreAtOnce) {
    SettingsController settings;
    settings.setAutoInstallUpdates(false);
    settings.setAutoUpdateOnStartup(false);
    settings.setLanguage("de");
    settings.setAutoReconnect(false);
    settings.setMaxReconnectAttempts(3);
    settings.setMinimizeToTray(false);
    settings.setWakeOnLanAddress("123456789", "aa:bb:cc:dd:ee:ff");

    QSettings stored = userStore();
    EXPECT_EQ(stored.value("general/autoInstallUpdates").toString(), "false");
    EXPECT_EQ(stored.value("general/autoUpdateOnStartup").toString(), "false");
    EXPECT_EQ(stored.value("general/language").toString(), "de");
    EXPECT_EQ(stored.value("network/autoReconnect").toString(), "false");
    EXPECT_EQ(stored.value("network/maxReconnectAttempts").toString(), "3");
    EXPECT_EQ(stored.value("advanced/minimizeToTray").toString(), "false");
    EXPECT_EQ(stored.value("wol/123456789").toString(), "aa:bb:cc:dd:ee:ff");

    SettingsController other;
    EXPECT_FALSE(other.autoInstallUpdates());
    EXPECT_FALSE(other.autoUpdateOnStartup());
    EXPECT_EQ(other.language(), "de");
    EXPECT_FALSE(other.autoReconnect());
    EXPECT_EQ(other.maxReconnectAttempts(), 3);
    EXPECT_FALSE(other.minimizeToTray());
    EXPECT_EQ(other.wakeOnLanAddress("123456789"), "aa:bb:cc:dd:ee:ff");
    EXPECT_EQ(other.wakeOnLanAddress("123 456 789"), "") << "the caller removes blanks";
}

TEST_F(ClientSettingsTest, ElevenIdsLeaveTheLastTenNewestFirst) {
    SettingsController settings;
    QStringList expected;
    for (int i = 0; i < 11; ++i) {
        const QString id = QString::number(100000000 + i);
        settings.addRecentPartnerId(id);
        expected.prepend(id);
    }
    expected.removeLast();
    EXPECT_EQ(settings.recentPartnerIds(), expected);
    EXPECT_EQ(SettingsController().recentPartnerIds(), expected);
}

TEST_F(ClientSettingsTest, AKnownIdMovesToTheFrontWithoutADuplicate) {
    SettingsController settings;
    settings.addRecentPartnerId("111111111");
    settings.addRecentPartnerId("222222222");
    settings.addRecentPartnerId("333333333");
    settings.addRecentPartnerId("222 222 222");
    EXPECT_EQ(settings.recentPartnerIds(), QStringList({"222222222", "333333333", "111111111"}));
}

TEST_F(ClientSettingsTest, BlanksAreRemovedAndABlankIdIsIgnored) {
    SettingsController settings;
    settings.addRecentPartnerId(" 123 456 789 ");
    settings.addRecentPartnerId("   ");
    settings.addRecentPartnerId("");
    EXPECT_EQ(settings.recentPartnerIds(), QStringList({"123456789"}));
}

}  // namespace
}  // namespace veltrix
