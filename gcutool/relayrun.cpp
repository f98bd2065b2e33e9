#include "relayrun.h"

#include "comport.h"
#include "devicesession.h"
#include "reconnectwaiter.h"
#include "terminaltext.h"
#include "tooloutput.h"
#include "updateprogress.h"
#include "updaterelay.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <algorithm>
#include <limits>

RelayRun::RelayRun(Options options, ToolOutput& output)
    : options(std::move(options)), output(output)
{
}

ExitCode RelayRun::fail(ExitCode code, const QString& message)
{
    failureMessage = message;
    output.error(serial, code, message);
    return code;
}

std::optional<ExitCode> RelayRun::chooseVersion(const QStringList& offered)
{
    // The names are the server's: shown as text, one a line.
    QStringList names;
    for (const QString& name : offered)
        names << TerminalText::shown(name);
    if (options.version.isEmpty()) {
        output.end(serial, ExitCode::Done,
                   offered.isEmpty() ? "The server offers no version"
                                     : "The server offers:\n" + names.join('\n'),
                   {{"versions", QJsonArray::fromStringList(offered)}});
        return ExitCode::Done;
    }
    if (!offered.contains(options.version))
        return fail(ExitCode::Usage,
                    QString("The server does not offer version %1; it offers: %2")
                        .arg(options.version, offered.isEmpty() ? "none" : names.join(", ")));
    output.log(serial, QString("Asking the server for version %1").arg(options.version));
    return std::nullopt;
}

ExitCode RelayRun::run(DeviceSession& session)
{
    serial = session.serialNumber();
    ComPort& link = session.serialLink();
    const QString server = QString("%1:%2").arg(options.host).arg(options.port);
    output.begin(serial,
                 QString("Relaying between the update server at %1 and the GCU").arg(server),
                 {{"server", server}});

    // Objects made here live on the session's thread, where the link's port is
    // re-opened once the server has reset the GCU.
    QObject context;
    ReconnectWaiter portWaiter(link);
    // Heard before the relay, which ends on it: the end says why.
    QString reopenProblem;
    QObject::connect(
        &portWaiter, &ReconnectWaiter::reopenFailed, &context, [&](const QString& reason) {
            reopenProblem =
                QString("The GCU's port came back but could not be opened: %1").arg(reason);
        });
    UpdateRelay relay(link, portWaiter);
    relay.setStallTimeoutMs(options.stallTimeoutS * 1000);
    QObject::connect(&link, &ComPort::portLost, &context, [&](const QString& reason) {
        output.lost(serial, QString("The GCU's port went away (%1); the server's packets wait "
                                    "for it")
                                .arg(reason));
    });
    QObject::connect(&link, &ComPort::opened, &context, [&] {
        output.log(serial,
                   QString("The GCU is back on %1").arg(link.getOpenedPort().systemLocation()));
    });
    QElapsedTimer sinceTraffic;
    sinceTraffic.start();
    ProgressMeter meter;
    // Every frame from the server is logged; until one has come, the connection
    // may still be on its way to an address that never answers.
    bool connectionAsked = false;
    bool serverHeard = false;
    QString lastLine;
    bool offered = false;
    bool lastStepSent = false;
    bool serverFinished = false;
    QObject::connect(&relay, &UpdateRelay::log, &context, [&](const QString& line) {
        serverHeard = serverHeard || connectionAsked;
        sinceTraffic.restart();
        lastLine = line;
        output.log(serial, line, true);
    });
    QObject::connect(&relay, &UpdateRelay::versionsOffered, &context,
                     [&](const QStringList& versions) {
                         offered = true;
                         outcome = chooseVersion(versions);
                         if (!outcome)
                             relay.requestVersion(options.version.toStdString());
                     });
    QObject::connect(&relay, &UpdateRelay::progress, &context, [&](int done, int total) {
        lastStepSent = total > 0 && done >= total;
        // The server's counts, kept within what a progress report can show.
        total = std::max(total, 0);
        output.progress(serial, meter.measure(std::clamp(done, 0, total), total, 0, 0));
    });
    QObject::connect(&relay, &UpdateRelay::ended, &context, [&](UpdateRelay::End end) {
        if (outcome)
            return;
        // A server that closes before its last step has gone away mid-update.
        if (end == UpdateRelay::End::Completed && !lastStepSent)
            end = UpdateRelay::End::ServerFailed;
        const ExitCode code = UpdateOutcome::ofRelay(end, offered);
        if (code == ExitCode::Done)
            serverFinished = true;
        else if (end == UpdateRelay::End::Stalled)
            outcome = fail(code, lastLine);
        else if (end == UpdateRelay::End::GcuLost)
            outcome = fail(code, reopenProblem.isEmpty() ? lastLine : reopenProblem);
        else if (code == ExitCode::NoDevice)
            outcome =
                fail(code, QString("No update from the server at %1: %2").arg(server, lastLine));
        else
            outcome =
                fail(code, QString("The update server went away before its update was complete: %1")
                               .arg(lastLine));
    });
    session.routeFrames([&](const std::string& frame) {
        sinceTraffic.restart();
        // Nothing of gcutool's own asks the GCU anything while it relays.
        relay.forwardGcuAnswer(frame, 0);
    });
    relay.connectToServer(options.host, options.port);
    connectionAsked = true;
    QElapsedTimer sinceConnecting;
    sinceConnecting.start();

    const int stallMs = options.stallTimeoutS * 1000;
    const int connectMs = options.connectTimeoutS * 1000;
    const auto unanswered = [&] { return !serverHeard && sinceConnecting.elapsed() >= connectMs; };
    session.waitUntil(
        [&] {
            return outcome || serverFinished || unanswered() || sinceTraffic.elapsed() >= stallMs;
        },
        std::numeric_limits<int>::max());
    if (!outcome && !session.cancelled() && unanswered())
        outcome = fail(ExitCode::NoDevice,
                       QString("No update from the server at %1: it did not answer within %2 s")
                           .arg(server)
                           .arg(options.connectTimeoutS));
    // Closing the port would drop what it has not written yet: the server's last
    // packets are on their way to the GCU only once the port has handed them on.
    if (serverFinished && !outcome) {
        if (session.waitUntil([&] { return link.bytesToWrite() == 0 || !link.isOpen(); },
                              stallMs)) {
            output.end(serial, ExitCode::Done, "The server has sent its whole update and closed");
            outcome = ExitCode::Done;
        } else if (!session.cancelled()) {
            outcome = fail(ExitCode::Stalled,
                           QString("The GCU did not take the server's last packets within %1 s")
                               .arg(options.stallTimeoutS));
        }
    }
    session.routeFrames(nullptr);
    if (outcome)
        return *outcome;
    if (session.cancelled())
        return fail(ExitCode::Interrupted, "Interrupted; the port and the server connection are "
                                           "closed");
    return fail(
        ExitCode::Stalled,
        QString("Nothing came from the server or the GCU for %1 s").arg(options.stallTimeoutS));
}
