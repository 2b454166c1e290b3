// Wake-on-LAN from the main window's button, sent to a receiver on 127.0.0.1 (the instance file
// points the packet there; no test broadcasts): the forms of an address, refused addresses, the
// remembered address, the key of an empty partner box, and a datagram the system refuses.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QInputDialog>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "GuiTestSupport.h"
#include "RecordingPipeServer.h"
#include "core/SettingsController.h"
#include "gui/MainWindow.h"
#include "gui/WakeOnLanSender.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {

using namespace std::chrono_literals;

// Answers every address prompt that opens while it lives with `answer` (a null text cancels),
// counting the prompts.
class PromptAnswerer {
public:
    PromptAnswerer() {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* prompt = qobject_cast<QInputDialog*>(widget);
                if (!prompt || !prompt->isVisible()) continue;
                ++prompts;
                title = prompt->windowTitle();
                label = prompt->labelText();
                if (answer.isNull()) {
                    prompt->reject();
                } else {
                    prompt->setTextValue(answer);
                    prompt->accept();
                }
            }
        });
        timer_.start();
    }

    QString answer;
    int prompts = 0;
    QString title;
    QString label;

private:
    QTimer timer_;
};

QByteArray expectedPacket() {
    QByteArray packet(6, char(0xFF));
    for (int i = 0; i < 16; ++i) packet.append(QByteArray::fromHex("001122334455"));
    return packet;
}

class WakeOnLanTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
        pointAt(receiver.localPort());
        std::string failure;
        ASSERT_TRUE(pipe.start(failure)) << failure;
        window = std::make_unique<MainWindow>(&pipe.client(), &settings);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        for (auto* button : window->findChildren<QPushButton*>())
            if (button->toolTip() == "Wake-on-LAN") wakeButton = button;
        ASSERT_NE(wakeButton, nullptr);
    }

    void pointAt(quint16 port) {
        std::ofstream(root.path() / "instance.ini") << "[wake_on_lan]\naddress=127.0.0.1\nport=" << port << "\n";
    }

    // Clicks the button for `partner`; the datagrams that arrived.
    std::vector<QByteArray> wake(const QString& partner) {
        window->findChild<QComboBox*>()->setEditText(partner);
        boxes.clear();
        QTest::mouseClick(wakeButton, Qt::LeftButton);
        std::vector<QByteArray> packets;
        // A datagram on loopback is there at once; wait a little for the one that may come.
        test::waitUntil([&] { return receiver.hasPendingDatagrams(); }, 200ms);
        while (receiver.hasPendingDatagrams()) packets.push_back(receiver.receiveDatagram().data());
        return packets;
    }

    test::TempInstanceRoot root;
    test::LogCapture logs;
    QUdpSocket receiver;
    test::RecordingPipeServer pipe;
    SettingsController settings;
    test::MessageBoxCatcher boxes;
    PromptAnswerer prompt;
    std::unique_ptr<MainWindow> window;
    QPushButton* wakeButton = nullptr;
};

TEST_F(WakeOnLanTest, EveryFormOfAnAddressSendsTheSameMagicPacket) {
    const QStringList forms = {"00:11:22:33:44:55", "00-11-22-33-44-55", "001122334455", "00 11 22 33 44 55",
                               "0a:1B:2c:3D:4e:5F"};
    int partner = 100000000;
    for (const QString& form : forms) {
        SCOPED_TRACE(form.toStdString());
        const QString id = QString::number(++partner);
        prompt.answer = form;
        const auto packets = wake(id);
        ASSERT_EQ(packets.size(), 1u);
        const QByteArray address = QByteArray::fromHex(form == forms.last() ? "0a1b2c3d4e5f" : "001122334455");
        EXPECT_EQ(packets[0], WakeOnLanSender::magicPacket(address));
        if (form != forms.last()) {
            EXPECT_EQ(packets[0], expectedPacket());
        }
        EXPECT_EQ(packets[0].size(), 102);
        EXPECT_EQ(settings.wakeOnLanAddress(id), form);  // stored as typed
        ASSERT_EQ(boxes.boxes().size(), 1u);
        EXPECT_EQ(boxes.boxes()[0].title, "WoL");
        EXPECT_EQ(boxes.boxes()[0].text, "Wake-on-LAN packet sent to " + form);
        EXPECT_TRUE(logs.contains("WoL magic packet sent to " + form.toStdString()));
    }
    EXPECT_EQ(prompt.prompts, forms.size());
    EXPECT_EQ(prompt.title, "Wake-on-LAN");
    EXPECT_EQ(prompt.label, "Enter MAC address for this partner (XX:XX:XX:XX:XX:XX):");
    EXPECT_EQ(WakeOnLanSender::parseHardwareAddress("0A1B2C3D4E5F"), WakeOnLanSender::parseHardwareAddress("0a1b2c3d4e5f"));
}

TEST_F(WakeOnLanTest, AMalformedAddressIsRefusedAndNotStored) {
    for (const QString bad : {"00:11:22:33:44:5", "00:11:22:33:44:55:6", "00:11:22:33:44:5g", "0x11:22:33:44:55"}) {
        SCOPED_TRACE(bad.toStdString());
        prompt.answer = bad;
        const int before = prompt.prompts;
        EXPECT_TRUE(wake("123 456 789").empty());
        EXPECT_EQ(prompt.prompts, before + 1);  // asked again every time
        ASSERT_EQ(boxes.boxes().size(), 1u);
        EXPECT_EQ(boxes.boxes()[0].title, "WoL");
        EXPECT_EQ(boxes.boxes()[0].text, "Invalid MAC address.");
        EXPECT_TRUE(settings.wakeOnLanAddress("123456789").isEmpty());
    }
    prompt.answer = QString();  // cancelled
    EXPECT_TRUE(wake("123 456 789").empty());
    prompt.answer = "";  // empty
    EXPECT_TRUE(wake("123 456 789").empty());
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_TRUE(settings.wakeOnLanAddress("123456789").isEmpty());
}

TEST_F(WakeOnLanTest, ARememberedAddressIsUsedWithoutAskingAndAnEmptyBoxUsesTheBareKey) {
    settings.setWakeOnLanAddress("123456789", "00-11-22-33-44-55");
    const auto packets = wake("123 456 789");
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], expectedPacket());
    EXPECT_EQ(prompt.prompts, 0);

    prompt.answer = "00:11:22:33:44:55";
    ASSERT_EQ(wake("").size(), 1u);
    EXPECT_EQ(prompt.prompts, 1);
    EXPECT_EQ(settings.wakeOnLanAddress(""), "00:11:22:33:44:55");
    ASSERT_EQ(wake(" ").size(), 1u);
    EXPECT_EQ(prompt.prompts, 1);
}

TEST_F(WakeOnLanTest, ADatagramTheSystemRefusesIsReportedAsAFailure) {
    pointAt(0);  // Linux refuses to send to port 0
    settings.setWakeOnLanAddress("123456789", "00:11:22:33:44:55");
    EXPECT_TRUE(wake("123456789").empty());
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].title, "WoL");
    EXPECT_TRUE(boxes.boxes()[0].text.startsWith("Wake-on-LAN packet not sent: ")) << boxes.boxes()[0].text.toStdString();
    EXPECT_FALSE(logs.contains("WoL magic packet sent to"));
    EXPECT_TRUE(logs.contains("not sent"));
}

TEST(WakeOnLanDestinationTest, TheBroadcastAddressAndPortNineUnlessTheInstanceFileSaysOtherwise) {
    test::TempInstanceRoot root;
    EXPECT_EQ(WakeOnLanSender::destinationAddress(), QHostAddress(QHostAddress::Broadcast));
    EXPECT_EQ(WakeOnLanSender::destinationPort(), 9);
    std::ofstream(root.path() / "instance.ini") << "[wake_on_lan]\naddress=not an address\nport=70000\n";
    EXPECT_EQ(WakeOnLanSender::destinationAddress(), QHostAddress(QHostAddress::Broadcast));
    EXPECT_EQ(WakeOnLanSender::destinationPort(), 9);
    std::ofstream(root.path() / "instance.ini") << "[wake_on_lan]\naddress=127.0.0.5\nport=4009\n";
    EXPECT_EQ(WakeOnLanSender::destinationAddress(), QHostAddress("127.0.0.5"));
    EXPECT_EQ(WakeOnLanSender::destinationPort(), 4009);
}

}  // namespace
}  // namespace veltrix
