#include "support/ServiceDevice.h"

#include <QProcessEnvironment>
#include <QString>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "shared/SharedFrameHeader.h"

namespace veltrix::test {

namespace fs = std::filesystem;

void ServiceDevice::prepare(const fs::path& folder, const std::string& machineId) {
    root = folder;
    fs::create_directories(root / "run");
    std::ofstream(root / "machine-id") << machineId << "\n";
    std::ofstream(root / "instance.ini") << "[machine]\nid_file=" << (root / "machine-id").string()
                                         << "\n\n[stun]\nhost=\n\n[p2p]\nlocalAddresses=127.0.0.1\n\n";
    logOn();
}

void ServiceDevice::logOn(const std::string& display) {
    std::ofstream(root / "run" / "sessions.json")
        << R"({"sessions": [{"id": 1, "user": "user", "uid": )" << ::getuid()
        << R"(, "state": "active", "console": true, "display": ")" << display << R"("}]})";
}

void ServiceDevice::showLogOnScreen(const std::string& display) {
    std::ofstream(root / "run" / "input-desktop.1") << "Winlogon";
    std::ofstream(root / "run" / "sessions.json")
        << R"({"sessions": [{"id": 1, "user": "", "uid": )" << ::getuid()
        << R"(, "state": "connected", "console": true, "display": ")" << display << R"("}]})";
}

void ServiceDevice::start(const fs::path& program, bool serviceMode) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("VELTRIX_SERVICE_MANAGER");
    if (serviceMode) environment.insert("VELTRIX_SERVICE_MANAGER", "1");
    environment.remove("NOTIFY_SOCKET");
    environment.insert("VELTRIX_ROOT", QString::fromStdString(root.string()));
    service.setProcessEnvironment(environment);
    service.start(QString::fromStdString(program.string()), {});
}

void ServiceDevice::startClient(QProcess& client, const fs::path& program, const std::string& display) const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("VELTRIX_SERVICE_MANAGER");
    environment.remove("NOTIFY_SOCKET");
    environment.remove("QT_QPA_PLATFORM");
    environment.insert("VELTRIX_ROOT", QString::fromStdString(root.string()));
    environment.insert("DISPLAY", QString::fromStdString(display));
    client.setProcessEnvironment(environment);
    client.start(QString::fromStdString(program.string()), {});
}

void ServiceDevice::stop() {
    if (service.state() == QProcess::NotRunning) return;
    ::kill(static_cast<pid_t>(service.processId()), SIGTERM);
    service.waitForFinished(10000);
}

std::string ServiceDevice::log() const { return readTextFile(root / "data" / "Veltrix" / "service.log"); }

std::string ServiceDevice::agentLogs() const {
    std::string text;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".log") && name != "service.log") {
            text += "--- " + entry.path().string() + "\n" + readTextFile(entry.path());
        }
    }
    return text;
}

void startProbe(QProcess& probe, const fs::path& client, const ServiceDevice& device, const QStringList& messages,
                int readMs) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("VELTRIX_ROOT", QString::fromStdString(device.root.string()));
    probe.setProcessEnvironment(environment);
    QStringList arguments;
    for (const QString& message : messages) arguments << "--send" << message;
    arguments << "--read-ms" << QString::number(readMs);
    probe.start(QString::fromStdString(client.string()), arguments);
}

std::vector<IpcMessage> messagesOf(const QByteArray& output) {
    std::istringstream lines(output.toStdString());
    std::vector<IpcMessage> messages;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] != '{') continue;
        IpcMessage message = IpcMessage::parse(line, nullptr, false);
        if (message.is_object()) messages.push_back(std::move(message));
    }
    return messages;
}

IpcMessage firstOf(const std::vector<IpcMessage>& messages, const std::string& type) {
    for (const IpcMessage& message : messages) {
        if (message.value("type", "") == type) return message;
    }
    return nullptr;
}

std::vector<IpcMessage> exchange(const fs::path& client, const ServiceDevice& device, const QStringList& messages,
                                 int readMs) {
    QProcess probe;
    startProbe(probe, client, device, messages, readMs);
    if (!probe.waitForFinished(10000)) return {};
    return messagesOf(probe.readAllStandardOutput());
}

IpcMessage talk(const fs::path& client, const ServiceDevice& device, const QStringList& messages, int readMs) {
    IpcMessage latest;
    for (IpcMessage& message : exchange(client, device, messages, readMs)) {
        if (message.value("type", "") == "STATE") latest = std::move(message);
    }
    return latest;
}

int DecodedPicture::lumaAt(double fx, double fy) const {
    const auto x = static_cast<std::size_t>(fx * info.width);
    const auto y = static_cast<std::size_t>(fy * info.height);
    const std::size_t at = y * info.strideY + x;
    return at < planes.size() ? planes[at] : -1;
}

bool openFrameSection(const fs::path& instance, SharedFrameBuffer& section, const char* name) {
    // The section's name derives from VELTRIX_ROOT: the other instance's for the opening only.
    const char* previous = std::getenv("VELTRIX_ROOT");
    const std::string saved = previous ? previous : "";
    ::setenv("VELTRIX_ROOT", instance.c_str(), 1);
    const bool open = section.openReadWrite(name);
    if (previous) ::setenv("VELTRIX_ROOT", saved.c_str(), 1);
    else ::unsetenv("VELTRIX_ROOT");
    return open;
}

std::optional<DecodedPicture> readDecodedFrame(const fs::path& instance) {
    SharedFrameBuffer section;
    if (!openFrameSection(instance, section)) return std::nullopt;
    DecodedPicture picture;
    const auto info = section.readFrameInto(picture.planes);
    if (!info || info->sequence == 0 || info->width == 0) return std::nullopt;
    picture.info = *info;
    return picture;
}

}  // namespace veltrix::test
