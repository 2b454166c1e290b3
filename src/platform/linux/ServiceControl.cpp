#include "platform/ServiceControl.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include "platform/InstanceConfig.h"
#include "platform/ServiceManager.h"

namespace veltrix::platform::servicecontrol {
namespace {

QString unitName(std::string_view serviceName) {
    return QString::fromUtf8(serviceName.data(), static_cast<qsizetype>(serviceName.size())) +
           QStringLiteral(".service");
}

struct ProgramRun {
    bool finished = false;
    int exitCode = -1;
    QByteArray output;
};

// The control program's standard input is closed and its run bounded, so a hanging program
// never holds up the client's start.
ProgramRun run(const QStringList& arguments) {
    ProgramRun result;
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(QString::fromStdString(controlProgram()), arguments);
    if (!process.waitForStarted(static_cast<int>(kProgramTimeout.count()))) return result;
    if (!process.waitForFinished(static_cast<int>(kProgramTimeout.count()))) {
        process.kill();
        process.waitForFinished(1000);
        return result;
    }
    result.finished = process.exitStatus() == QProcess::NormalExit;
    result.exitCode = result.finished ? process.exitCode() : -1;
    result.output = process.readAllStandardOutput();
    return result;
}

bool runControl(const char* verb, std::string_view serviceName, int& exitCode) {
    const ProgramRun result = run({QString::fromLatin1(verb), unitName(serviceName)});
    exitCode = result.exitCode;
    return result.finished && result.exitCode == 0;
}

}  // namespace

std::string controlProgram() {
    const auto configured = config::value("service/control_program");
    return configured && !configured->empty() ? *configured : std::string("systemctl");
}

std::optional<std::uint32_t> queryState(std::string_view serviceName) {
    const ProgramRun result = run({QStringLiteral("show"), QStringLiteral("-p"),
                                   QStringLiteral("LoadState,ActiveState"), unitName(serviceName)});
    if (!result.finished || result.exitCode != 0) return std::nullopt;
    QString loadState;
    QString activeState;
    for (const QByteArray& line : result.output.split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (text.startsWith(QLatin1String("LoadState="))) loadState = text.mid(10);
        if (text.startsWith(QLatin1String("ActiveState="))) activeState = text.mid(12);
    }
    if (loadState.isEmpty() || loadState == QLatin1String("not-found")) return std::nullopt;
    if (activeState == QLatin1String("active")) return service::kRunning;
    if (activeState == QLatin1String("activating") || activeState == QLatin1String("reloading"))
        return service::kStartPending;
    if (activeState == QLatin1String("deactivating")) return service::kStopPending;
    return service::kStopped;
}

bool startService(std::string_view serviceName, int& exitCode) { return runControl("start", serviceName, exitCode); }

bool stopService(std::string_view serviceName, int& exitCode) { return runControl("stop", serviceName, exitCode); }

}  // namespace veltrix::platform::servicecontrol
