// The service's log while the file transfer serves a partner's requests as the interactive user.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/FileTransferService.h"
#include "core/FileTransferWire.h"
#include "service/ServiceLogging.h"
#include "shared/Logging.h"
#include "support/InteractiveUser.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {
namespace fs = std::filesystem;
using filetransfer::SubType;
using filetransfer::WireWriter;

void list(FileTransferService& files, const std::string& path) {
    const QByteArray message = WireWriter(SubType::List).string(QString::fromStdString(path)).take();
    files.handleFileTransferMessage(reinterpret_cast<const std::uint8_t*>(message.constData()),
                                    std::size_t(message.size()));
}

// The numbers of the refused requests, as the log files hold them, oldest file first.
std::vector<int> refusalsLogged() {
    std::vector<int> found;
    for (int index = int(service::kLogFilesKept); index >= 0; --index) {
        const std::string name = index == 0 ? "service.log" : "service." + std::to_string(index) + ".log";
        std::ifstream file(service::logFolder() / name);
        for (std::string line; std::getline(file, line);) {
            if (line.find("path traversal attempt blocked") == std::string::npos) continue;
            found.push_back(std::stoi(line.substr(line.find("request-") + 8)));
        }
    }
    return found;
}

// A partner's LIST requests naming long invalid paths, between ordinary ones, make a small log
// rotate again and again; the path checks run as the user, and the rotations falling among them
// lose no line and do not end the service.
TEST(ServiceLogRotationTest, RotationsAmongFileAccessAsTheUserLoseNoLineAndDoNotCrash) {
    GTEST_FLAG_SET(death_test_style, "fast");
    test::TempInstanceRoot root;
    fs::permissions(root.path(), fs::perms(0755));
    test::makeNobodyTheInteractiveUser();
    const fs::path served = test::makeUserFolder(root.path() / "served");
    std::ofstream(served / "a.txt") << "a";
    constexpr int kRequests = 200;
    EXPECT_EXIT(
        {
            service::setupLogging(4096);
            FileTransferService files([](const QByteArray&) { return true; }, [] { return std::uint64_t(0); },
                                      FileTransferService::Side::Shared);
            for (int i = 0; i < kRequests; ++i) {
                list(files, "/" + std::string(200, 'x') + "/../request-" + std::to_string(i));
                list(files, served.string());
            }
            logging::flush();
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");

    // The kept files hold the latest refusals without a gap, up to the last one.
    const std::vector<int> found = refusalsLogged();
    ASSERT_GT(found.size(), 10u);
    for (std::size_t i = 0; i < found.size(); ++i) EXPECT_EQ(found[i], kRequests - int(found.size() - i)) << i;
}

}  // namespace
}  // namespace veltrix
