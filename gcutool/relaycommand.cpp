#include "gcutool.h"

#include "devicesession.h"
#include "recordoptions.h"
#include "relayrun.h"
#include "updaterecording.h"

// relay: an update that a remote update server drives.

ExitCode GcuTool::relay()
{
    RelayRun::Options options;
    const QString server = parser.value("server");
    const int colon = server.lastIndexOf(':');
    bool portOk = false;
    const uint port = colon > 0 ? server.mid(colon + 1).toUInt(&portOk) : 0;
    if (!portOk || port == 0 || port > 65535)
        return usage("relay needs --server HOST:PORT");
    options.host = server.left(colon);
    options.port = static_cast<unsigned short>(port);
    options.version = parser.value("version");
    if (!positiveNumber("stall-timeout", &options.stallTimeoutS) ||
        !positiveNumber("connect-timeout", &options.connectTimeoutS))
        return ExitCode::Usage;
    // Only an update is recorded, not a look at the server's versions.
    UpdateRecording recording;
    if (!options.version.isEmpty())
        if (const auto refused = RecordOptions::start(parser, *output, recording))
            return *refused;
    return withDevice([&](DeviceSession& session, const QSerialPortInfo& port) {
        if (options.version.isEmpty())
            return RelayRun(options, *output).run(session);
        UpdateRow row = recording.begin("relay", session.serialNumber(), port.systemLocation());
        RelayRun run(options, *output);
        const ExitCode code = run.run(session);
        UpdateOutcome outcome;
        outcome.code = code;
        outcome.message = run.failure();
        recording.end(row, outcome);
        return code;
    });
}
