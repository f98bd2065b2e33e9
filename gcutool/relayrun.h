#pragma once

#include "updateoutcome.h"

#include <QString>
#include <QStringList>
#include <optional>

class DeviceSession;
class ToolOutput;

// An update that a remote update server drives, relayed to one GCU on its device
// session's thread: the same relay as the window's, with the server's versions
// listed or the chosen one asked for, its progress shown, and an exit code for
// how the server's session ended.
class RelayRun
{
public:
    struct Options
    {
        QString host;
        unsigned short port = 0;
        // Without a version the server's offer is listed and the run ends there.
        QString version;
        // No frame either way for this long ends the run.
        int stallTimeoutS = 30;
        // A server that has said nothing this long after the connection was
        // asked for cannot be reached.
        int connectTimeoutS = 10;
    };

    RelayRun(Options options, ToolOutput& output);

    ExitCode run(DeviceSession& session);
    // Why the run failed, once it has.
    const QString& failure() const { return failureMessage; }

private:
    // What the server offered, once it has: the outcome when the run ends there.
    std::optional<ExitCode> chooseVersion(const QStringList& offered);
    ExitCode fail(ExitCode code, const QString& message);

    Options options;
    ToolOutput& output;
    QString serial;
    std::optional<ExitCode> outcome;
    QString failureMessage;
};
