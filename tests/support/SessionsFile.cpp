#include "support/SessionsFile.h"

#include <filesystem>
#include <fstream>

#include "platform/InstancePaths.h"
#include "platform/TerminalSessions.h"

namespace veltrix::test {

void writeSessions(const std::vector<uid_t>& users) {
    std::filesystem::create_directories(platform::paths::runDir());
    std::string list;
    for (std::size_t i = 0; i < users.size(); ++i) {
        if (i > 0) list += ",";
        list += R"({"id": )" + std::to_string(i + 1) + R"(, "user": "user)" + std::to_string(users[i]) +
                R"(", "uid": )" + std::to_string(users[i]) + R"(, "state": "active", "console": )" +
                (i == 0 ? "true" : "false") + "}";
    }
    std::ofstream(platform::sessions::sessionsFilePath()) << R"({"sessions": [)" << list << "]}";
}

}  // namespace veltrix::test
