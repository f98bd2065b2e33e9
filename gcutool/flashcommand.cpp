#include "gcutool.h"

#include "devicefinder.h"
#include "firmwarefilecheck.h"
#include "interruptwatcher.h"
#include "knowndevices.h"
#include "recordoptions.h"
#include "runsummary.h"
#include "updatebatch.h"
#include "updaterecording.h"

#include <QCoreApplication>
#include <map>

// flash and secure-flash: one GCU, or several at once.

std::optional<ExitCode> GcuTool::uploadSettings(bool secure, FirmwareUpdate::Options* options,
                                                FirmwareFileCheck* file)
{
    options->firmwareFile = parser.positionalArguments().at(1);
    options->secure = secure;
    options->expectVersion = parser.value("expect-version");
    if (!positiveNumber("stall-timeout", &options->stallTimeoutS) ||
        !positiveNumber("resume-within", &options->resumeWithinS) ||
        !positiveNumber("reset-timeout", &options->resetTimeoutS))
        return ExitCode::Usage;
    if (secure) {
        options->certFile = parser.value("cert");
        options->keychainFile = parser.value("keychain");
        if (options->certFile.isEmpty() || options->keychainFile.isEmpty())
            return usage("the secure upload needs --cert KEY.pem and --keychain FILE");
        options->acceptNewKey = parser.isSet("accept-new-key");
        options->knownDevicesFile = parser.isSet("known-devices") ? parser.value("known-devices")
                                                                  : KnownDevices::defaultPath();
    }
    // A file that cannot be uploaded is refused before any GCU is touched.
    *file = FirmwareFileCheck::read(options->firmwareFile);
    if (!file->usable()) {
        output->error({}, ExitCode::FileUnusable, file->whyNot());
        return ExitCode::FileUnusable;
    }
    return std::nullopt;
}

ExitCode GcuTool::flash()
{
    const QString command = parser.positionalArguments().at(0);
    UpdateBatch::Settings settings;
    settings.command = command;
    FirmwareFileCheck file;
    if (const auto refused = uploadSettings(command == "secure-flash", &settings.update, &file))
        return *refused;
    const UpdateBatch::Targets chosen = UpdateBatch::chooseTargets(
        parser.isSet("all"), parser.values("serial"), parser.value("port"));
    if (!chosen.problem.isEmpty()) {
        output->error(chosen.problemSerial, ExitCode::NoDevice, chosen.problem);
        return ExitCode::NoDevice;
    }
    UpdateRecording recording;
    if (const auto refused = RecordOptions::start(parser, *output, recording, &file))
        return *refused;
    settings.recording = &recording;
    output->showLiveLines(chosen.ports.size() > 1);
    UpdateBatch batch(settings, file);
    // Ports are told apart by where they are: two GCUs may share a serial number.
    std::map<QString, UpdateOutcome> outcomes;
    QObject::connect(
        &batch, &UpdateBatch::started,
        [this](FirmwareUpdate* update, const QString& serial) { output->follow(*update, serial); });
    QObject::connect(&batch, &UpdateBatch::refused,
                     [this, &outcomes](const QSerialPortInfo& port, const QString& why) {
                         outcomes[port.systemLocation()] = UpdateOutcome::refusal(why);
                         output->error(port.serialNumber(), ExitCode::NoDevice, why);
                     });
    QObject::connect(&batch, &UpdateBatch::finished,
                     [&outcomes](const QString&, const QString& port,
                                 const UpdateOutcome& outcome) { outcomes[port] = outcome; });
    QObject::connect(&batch, &UpdateBatch::allFinished, [] { QCoreApplication::quit(); });
    // A GCU that could be taken for another after its resets is turned away
    // before anything is sent to it; a lone one without a serial number is not.
    InterruptWatcher interrupts;
    saveTraceOnInterrupt(interrupts);
    QObject::connect(
        &interrupts, &InterruptWatcher::interrupted, &batch, [&batch] { batch.cancel(); },
        Qt::DirectConnection);
    // Every refusal is said before any update begins.
    const QList<QSerialPortInfo> attached = DeviceFinder::attached();
    QList<QSerialPortInfo> followable;
    for (const QSerialPortInfo& port : chosen.ports)
        if (!batch.refuses(port, attached, true))
            followable.append(port);
    for (const QSerialPortInfo& port : followable)
        batch.start(port);
    if (batch.running() > 0)
        QCoreApplication::exec();
    if (chosen.ports.size() == 1)
        return outcomes.begin()->second.code;
    // Every GCU asked for has its row: updated, failed or turned away.
    std::vector<RunSummary::Result> results;
    for (const QSerialPortInfo& port : chosen.ports)
        results.push_back({port.serialNumber(), outcomes.at(port.systemLocation())});
    return RunSummary::report(*output, results);
}
