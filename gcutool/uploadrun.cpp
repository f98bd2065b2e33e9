#include "uploadrun.h"

#include "commandssender.h"
#include "devicesession.h"
#include "dhUploadProcedure.h"
#include "firmwareuploadprocedure.h"
#include "gcuusbidentity.h"
#include "knowndevices.h"
#include "tooloutput.h"
#include "uploadstallwatch.h"

UploadRun::UploadRun(Options runOptions, FirmwareFileCheck checkedFile, ToolOutput& out)
    : options(std::move(runOptions)), file(std::move(checkedFile)), output(out)
{
}

UploadRun::~UploadRun() = default;

UploadRun::Outcome UploadRun::refusal(const QString& reason)
{
    Outcome outcome;
    outcome.code = ExitCode::NoDevice;
    outcome.message = reason;
    outcome.refused = true;
    return outcome;
}

ExitCode UploadRun::fail(ExitCode code, const QString& message)
{
    output.state(serial, "failed");
    output.error(serial, code, message,
                 oldVersion.isEmpty() ? QJsonObject() : QJsonObject{{"old_version", oldVersion}});
    result = {code,    message, oldVersion, {}, sinceStart.elapsed() / 1000.0,
              retries, resumes, false};
    return code;
}

ExitCode UploadRun::interrupted(const QString& where)
{
    return fail(ExitCode::Interrupted, "Interrupted " + where);
}

ExitCode UploadRun::run(DeviceSession& session, QSerialPortInfo port)
{
    serial = session.serialNumber();
    sinceStart.start();
    QString problem;
    if (const ExitCode opened = session.open(port, &problem); opened != ExitCode::Done)
        return fail(opened, problem);
    if (const ExitCode made = makeProcedure(session); made != ExitCode::Done)
        return made;
    output.begin(serial,
                 QString("%1 update with %2 (%3 commands, %4) on %5")
                     .arg(options.secure ? "secure" : "plain", options.firmwareFile)
                     .arg(file.commandCount())
                     .arg(ToolOutput::bytesText(file.dataBytes()), port.systemLocation()),
                 {{"file", options.firmwareFile},
                  {"secure", options.secure},
                  {"commands", file.commandCount()},
                  {"bytes_total", file.dataBytes()},
                  {"port", port.systemLocation()},
                  {"mode", DeviceFinder::modeName(port)}});
    output.state(serial, "waiting");
    if (options.secure)
        if (const ExitCode pinned = checkPinnedKey(session); pinned != ExitCode::Done)
            return pinned;
    if (const ExitCode entered = enterBootloader(session, port); entered != ExitCode::Done)
        return entered;
    if (const ExitCode uploaded = upload(session); uploaded != ExitCode::Done)
        return uploaded;
    return awaitNewFirmware(session);
}

ExitCode UploadRun::makeProcedure(DeviceSession& session)
{
    // The file as the check read it: many GCUs updated at once share its commands.
    const auto& firmware = file.firmware();
    try {
        if (options.secure) {
            auto secure = std::make_unique<DhUploadProcedure>(
                firmware, options.certFile.toLocal8Bit().toStdString(),
                options.keychainFile.toLocal8Bit().toStdString(), session.sender(), *this);
            secureProcedure = secure.get();
            procedure = std::move(secure);
        } else {
            procedure =
                std::make_unique<FirmwareUploadProcedure>(firmware, session.sender(), *this);
        }
    } catch (const std::runtime_error& error) {
        return fail(ExitCode::FileUnusable, QString::fromStdString(error.what()));
    } catch (int) {
        return fail(ExitCode::FileUnusable,
                    "The secure upload's random generator cannot be seeded");
    }
    if (!procedure->firmwareFileLoaded())
        return fail(ExitCode::FileUnusable,
                    QString("%1 %2").arg(options.firmwareFile,
                                         QString::fromStdString(procedure->firmwareFileProblem())));
    return ExitCode::Done;
}

ExitCode UploadRun::checkPinnedKey(DeviceSession& session)
{
    const auto key = session.readPublicKey();
    if (session.cancelled())
        return interrupted("while asking for the GCU's key");
    if (!key)
        return fail(ExitCode::Stalled, "The GCU did not answer the request for its public key");
    fingerprint = KnownDevices::fingerprint(key->pem);
    KnownDevices known(options.knownDevicesFile);
    QString problem;
    if (!known.readable(&problem))
        return fail(ExitCode::FileUnusable, problem);
    if (!known.admits(serial, key->pem, options.acceptNewKey, &problem))
        return fail(ExitCode::Refused, problem);
    if (!known.remember(serial, key->pem, &problem))
        return fail(ExitCode::FileUnusable, problem);
    // Anyone can repeat a public key: the GCU must also sign its key exchange
    // with it, at the start and after every resume.
    pinnedKey = known.pinnedKey(serial).value_or(key->pem);
    claimedKeyFingerprint = KnownDevices::fingerprint(key->pem);
    if (!secureProcedure->requireKeyProof(pinnedKey))
        return fail(ExitCode::FileUnusable,
                    QString("The key pinned for the GCU in %1 is not a public key; mend or "
                            "remove its entry")
                        .arg(options.knownDevicesFile));
    return ExitCode::Done;
}

ExitCode UploadRun::keyNotProven()
{
    return fail(ExitCode::Refused,
                QString("The GCU could not prove it holds the pinned key %1 (it claims the key "
                        "%2): its key-exchange answer is not signed with the pinned key, so it "
                        "may be another device posing as this GCU; nothing more was sent to it")
                    .arg(KnownDevices::fingerprint(pinnedKey), claimedKeyFingerprint));
}

ExitCode UploadRun::enterBootloader(DeviceSession& session, QSerialPortInfo& port)
{
    const auto version = session.readFirmwareVersion();
    if (session.cancelled())
        return interrupted("before the upload began");
    if (version && oldVersion.isEmpty())
        oldVersion = *version;
    if (GcuUsbIdentity::isBootloaderPort(port))
        return ExitCode::Done;
    output.state(serial, "bootloader");
    output.log(serial, "Resetting the GCU into its bootloader");
    port = session.resetIntoBootloader(options.resetTimeoutS * 1000);
    if (session.cancelled())
        return interrupted("while waiting for the bootloader");
    if (port.isNull())
        return fail(ExitCode::Lost, QString("The GCU did not come back in bootloader mode within "
                                            "%1 s")
                                        .arg(options.resetTimeoutS));
    QString problem;
    if (const ExitCode opened = session.open(port, &problem); opened != ExitCode::Done)
        return fail(opened, problem);
    output.log(serial, QString("In the bootloader on %1").arg(port.systemLocation()));
    return ExitCode::Done;
}

void UploadRun::updateProgress(int done, int total)
{
    stepsDone = done;
    stepsTotal = total;
    // Going over ground already covered after a fall-back is no progress: a
    // command that keeps failing must end in a stall.
    stallWatch.progressed(done);
    // After the answer to commands[i] the progress is i + 3.
    const qint64 bytes = done >= total ? file.dataBytes() : file.bytesThrough(done - 3);
    bytesDone = std::max(bytesDone, bytes);
    output.progress(serial, {done, total, bytes, file.dataBytes()});
}

void UploadRun::noteResult(uint32_t result)
{
    stallWatch.resultSeen(result);
    if (result >= 1 && result <= 3) {
        ++retries;
        output.retry(serial,
                     QString("The GCU refused %1 with %2 (%3); going back to the last checkpoint")
                         .arg(stepName(stepsDone + 1))
                         .arg(result)
                         .arg(UploadStallWatch::resultMeaning(result)),
                     {{"step", stepsDone + 1}, {"result", static_cast<int>(result)}});
    }
}

QString UploadRun::stepName(int step) const
{
    return UploadStallWatch::stepName(step, stepsTotal, options.secure);
}

ExitCode UploadRun::upload(DeviceSession& session)
{
    session.routeAnswers(procedure.get(), secureProcedure,
                         [this](uint32_t result) { noteResult(result); });
    stallWatch.start();
    output.state(serial, "uploading");
    procedure->start();
    const int stallMs = options.stallTimeoutS * 1000;
    for (;;) {
        session.waitUntil(
            [&] {
                return (stepsTotal > 0 && stepsDone >= stepsTotal) || session.portLost() ||
                       stallWatch.msSinceProgress() >= stallMs ||
                       (secureProcedure && secureProcedure->keyNotProven());
            },
            stallMs);
        if (secureProcedure && secureProcedure->keyNotProven())
            return keyNotProven();
        if (stepsTotal > 0 && stepsDone >= stepsTotal)
            break;
        if (session.cancelled())
            return interrupted(QString("at step %1 of %2 (%3); the port is closed")
                                   .arg(stepsDone + 1)
                                   .arg(stepsTotal ? stepsTotal : file.commandCount() + 3)
                                   .arg(stepName(stepsDone + 1)));
        if (session.portLost()) {
            if (const ExitCode resumed = resumeAfterLoss(session); resumed != ExitCode::Done)
                return resumed;
            continue;
        }
        if (stallWatch.msSinceProgress() >= stallMs)
            return stall();
    }
    session.routeAnswers(nullptr, nullptr, nullptr);
    return ExitCode::Done;
}

ExitCode UploadRun::resumeAfterLoss(DeviceSession& session)
{
    // Nothing is re-sent into the closed port, nor reaches the GCU ahead of the
    // repeated handshake once it is back.
    procedure->pause();
    const int32_t restartPoint = procedure->lastCheckpoint();
    output.lost(serial, QString("The GCU went away during %1; waiting up to %2 s for it")
                            .arg(stepName(stepsDone + 1))
                            .arg(options.resumeWithinS));
    output.state(serial, "waiting");
    session.close();
    QSerialPortInfo port =
        session.waitForDevice(DeviceFinder::Mode::Any, options.resumeWithinS * 1000);
    if (session.cancelled())
        return interrupted("while waiting for the GCU to come back");
    if (port.isNull())
        return fail(ExitCode::Lost, QString("The GCU did not come back within %1 s; the upload "
                                            "stopped at command %2")
                                        .arg(options.resumeWithinS)
                                        .arg(restartPoint));
    QString problem;
    if (const ExitCode opened = session.open(port, &problem); opened != ExitCode::Done)
        return fail(opened, problem);
    // A GCU that started its application instead is sent back to its bootloader.
    if (const ExitCode entered = enterBootloader(session, port); entered != ExitCode::Done)
        return entered;
    ++resumes;
    output.state(serial, "resumed");
    output.resumed(serial,
                   QString("The GCU is back on %1; going on from command %2")
                       .arg(port.systemLocation())
                       .arg(restartPoint),
                   {{"from_command", restartPoint}, {"port", port.systemLocation()}});
    stallWatch.restart();
    procedure->startFrom(restartPoint);
    return ExitCode::Done;
}

ExitCode UploadRun::stall()
{
    const QString message = QString("No progress for %1 s at step %2 of %3 (%4): %5")
                                .arg(options.stallTimeoutS)
                                .arg(stepsDone + 1)
                                .arg(stepsTotal ? stepsTotal : file.commandCount() + 3)
                                .arg(stepName(stepsDone + 1), stallWatch.answersText());
    return fail(stallWatch.onlyRefusals() ? ExitCode::Refused : ExitCode::Stalled, message);
}

ExitCode UploadRun::awaitNewFirmware(DeviceSession& session)
{
    output.state(serial, "verifying");
    output.log(serial, "Upload complete; waiting for the GCU to start its new firmware");
    // Until it has restarted, the port still there is the bootloader's. The link
    // sees it go even when it is back before a look at the bus would notice.
    const bool restarted =
        session.portLost() ||
        session.waitUntilGone(options.resetTimeoutS * 1000, [&] { return session.portLost(); });
    session.close();
    if (session.cancelled())
        return interrupted("while waiting for the GCU to restart");
    if (!restarted)
        return fail(ExitCode::Lost,
                    QString("The upload is complete, but the GCU did not restart within %1 s")
                        .arg(options.resetTimeoutS));
    // Only a GCU back in application mode runs the new firmware: one back in its
    // bootloader did not take it.
    const QSerialPortInfo port =
        session.waitForDevice(DeviceFinder::Mode::Application, options.resetTimeoutS * 1000);
    if (session.cancelled())
        return interrupted("while waiting for the GCU to restart");
    if (port.isNull() && !DeviceFinder::find(serial, DeviceFinder::Mode::Bootloader).isNull())
        return fail(ExitCode::Lost,
                    QString("The upload is complete, but within %1 s the GCU did not start its "
                            "new firmware (back in its bootloader)")
                        .arg(options.resetTimeoutS));
    if (port.isNull())
        return fail(ExitCode::Lost,
                    QString("The upload is complete, but the GCU did not come back within %1 s")
                        .arg(options.resetTimeoutS));
    QString problem;
    if (const ExitCode opened = session.open(port, &problem); opened != ExitCode::Done)
        return fail(opened, problem);
    const auto version = session.readFirmwareVersion();
    if (session.cancelled())
        return interrupted("while reading the new firmware version");
    if (!version)
        return fail(ExitCode::Stalled, "The GCU came back but did not say its firmware version");
    const QString& newVersion = *version;
    const QJsonObject summary{{"old_version", oldVersion},
                              {"new_version", newVersion},
                              {"mode", DeviceFinder::modeName(port)},
                              {"seconds", sinceStart.elapsed() / 1000.0},
                              {"retries", retries},
                              {"resumes", resumes},
                              {"bytes_total", file.dataBytes()}};
    result = {ExitCode::Done, {},      oldVersion, newVersion, sinceStart.elapsed() / 1000.0,
              retries,        resumes, false};
    if (!options.expectVersion.isEmpty() && newVersion != options.expectVersion) {
        result.code = ExitCode::VersionDiffers;
        result.message = QString("The GCU runs firmware %1, not the expected %2")
                             .arg(newVersion, options.expectVersion);
    } else {
        result.message = QString("Updated in %1 s: firmware %2 -> %3")
                             .arg(result.seconds, 0, 'f', 1)
                             .arg(oldVersion.isEmpty() ? "?" : oldVersion, newVersion);
    }
    output.state(serial, result.code == ExitCode::Done ? "done" : "failed");
    output.end(serial, result.code, result.message, summary);
    return result.code;
}
