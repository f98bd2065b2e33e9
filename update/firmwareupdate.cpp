#include "firmwareupdate.h"

#include "commandssender.h"
#include "devicesession.h"
#include "dhuploadprocedure.h"
#include "firmwareuploadprocedure.h"
#include "gcuusbidentity.h"
#include "knowndevices.h"

#include <QMetaEnum>
#include <algorithm>

FirmwareUpdate::FirmwareUpdate(Options updateOptions, FirmwareFileCheck checkedFile,
                               QObject* parent)
    : QObject(parent), options(std::move(updateOptions)), file(std::move(checkedFile))
{
    qRegisterMetaType<FirmwareUpdate::Stage>();
    qRegisterMetaType<FirmwareUpdate::Start>();
    qRegisterMetaType<UpdateOutcome>();
    qRegisterMetaType<UpdateProgress>();
}

FirmwareUpdate::~FirmwareUpdate() = default;

QString FirmwareUpdate::stageName(Stage stage)
{
    return QString(QMetaEnum::fromType<Stage>().valueToKey(static_cast<int>(stage))).toLower();
}

void FirmwareUpdate::enter(Stage next)
{
    stage = next;
    if (stage == Stage::Away || stage == Stage::Ended)
        meter.pause();
    emit stageChanged(stage);
}

ExitCode FirmwareUpdate::finish(ExitCode code, const QString& message)
{
    // Whatever ended the update, nothing of it reaches the GCU after: no
    // fall-back, no re-send put off for later.
    if (procedure)
        procedure->pause();
    if (activeSession)
        activeSession->routeAnswers(nullptr, nullptr, nullptr);
    result.code = code;
    result.message = message;
    result.seconds = sinceStart.isValid() ? sinceStart.elapsed() / 1000.0 : 0;
    enter(Stage::Ended);
    emit ended(result);
    return code;
}

ExitCode FirmwareUpdate::fail(ExitCode code, const QString& message)
{
    // Only a GCU that came back and said its version has a version after.
    result.newVersion.clear();
    return finish(code, message);
}

ExitCode FirmwareUpdate::interrupted(const QString& where)
{
    return fail(ExitCode::Interrupted, "Interrupted " + where);
}

UpdateOutcome FirmwareUpdate::run(DeviceSession& session, QSerialPortInfo port)
{
    serial = session.serialNumber();
    sinceStart.start();
    activeSession = &session;
    session.routeFrames([this](const std::string& payload) { emit frameRead(payload); });
    runOn(session, port);
    session.routeFrames(nullptr);
    activeSession = nullptr;
    return result;
}

void FirmwareUpdate::runOn(DeviceSession& session, QSerialPortInfo port)
{
    QString problem;
    if (const ExitCode opened = session.open(port, &problem); opened != ExitCode::Done) {
        fail(opened, problem);
        return;
    }
    if (makeProcedure(session) != ExitCode::Done)
        return;
    const Start start{options.firmwareFile, options.secure,        file.commandCount(),
                      file.dataBytes(),     port.systemLocation(), DeviceFinder::modeName(port)};
    emit began(QString("%1 update with %2 (%3 commands, %4) on %5")
                   .arg(options.secure ? "secure" : "plain", options.firmwareFile)
                   .arg(file.commandCount())
                   .arg(UpdateProgress::bytesText(file.dataBytes()), port.systemLocation()),
               start);
    enter(Stage::Waiting);
    if (options.secure && checkPinnedKey(session) != ExitCode::Done)
        return;
    if (enterBootloader(session, port) != ExitCode::Done || upload(session) != ExitCode::Done)
        return;
    awaitNewFirmware(session);
}

ExitCode FirmwareUpdate::makeProcedure(DeviceSession& session)
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

ExitCode FirmwareUpdate::checkPinnedKey(DeviceSession& session)
{
    const auto key = session.readPublicKey();
    if (session.cancelled())
        return interrupted("while asking for the GCU's key");
    if (!key)
        return fail(ExitCode::Stalled, "The GCU did not answer the request for its public key");
    result.keyFingerprint = KnownDevices::fingerprint(key->pem);
    KnownDevices known(options.knownDevicesFile);
    const KnownDevices::Admission admission =
        known.admitAndPin(serial, key->pem, options.acceptNewKey);
    if (admission.verdict != ExitCode::Done)
        return fail(admission.verdict, admission.problem);
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

ExitCode FirmwareUpdate::keyNotProven()
{
    return fail(ExitCode::Refused,
                QString("The GCU could not prove it holds the pinned key %1 (it claims the key "
                        "%2): its key-exchange answer is not signed with the pinned key, so it "
                        "may be another device posing as this GCU; nothing more was sent to it")
                    .arg(KnownDevices::fingerprint(pinnedKey), claimedKeyFingerprint));
}

ExitCode FirmwareUpdate::enterBootloader(DeviceSession& session, QSerialPortInfo& port)
{
    const auto version = session.readFirmwareVersion();
    if (session.cancelled())
        return interrupted("before the upload began");
    if (version && result.oldVersion.isEmpty())
        result.oldVersion = *version;
    if (GcuUsbIdentity::isBootloaderPort(port))
        return ExitCode::Done;
    enter(Stage::Bootloader);
    emit logged("Resetting the GCU into its bootloader");
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
    emit logged(QString("In the bootloader on %1").arg(port.systemLocation()));
    return ExitCode::Done;
}

void FirmwareUpdate::updateProgress(int done, int total)
{
    stepsDone = done;
    stepsTotal = total;
    // Going over ground already covered after a fall-back is no progress: a
    // command that keeps failing must end in a stall.
    if (stallWatch.progressed(done))
        stuckReported = false;
    if (stage == Stage::Handshake && done >= 2)
        enter(Stage::Uploading);
    // After the answer to commands[i] the progress is i + 3.
    const qint64 bytes = done >= total ? file.dataBytes() : file.bytesThrough(done - 3);
    result.bytes = std::max(result.bytes, bytes);
    emit progressed(meter.measure(done, total, bytes, file.dataBytes()));
}

void FirmwareUpdate::noteResult(uint32_t answer)
{
    stallWatch.resultSeen(answer);
    if (answer >= 1 && answer <= 3) {
        ++result.retries;
        emit retried(QString("The GCU refused %1 with %2 (%3); going back to the last checkpoint")
                         .arg(stepName(stepsDone + 1))
                         .arg(answer)
                         .arg(UploadStallWatch::resultMeaning(answer)),
                     stepsDone + 1, static_cast<int>(answer));
    }
}

QString FirmwareUpdate::stepName(int step) const
{
    return UploadStallWatch::stepName(step, stepsTotal, options.secure);
}

int FirmwareUpdate::totalSteps() const
{
    return stepsTotal ? stepsTotal : file.commandCount() + 3;
}

ExitCode FirmwareUpdate::upload(DeviceSession& session)
{
    session.routeAnswers(procedure.get(), secureProcedure,
                         [this](uint32_t answer) { noteResult(answer); });
    stallWatch.start();
    meter.restart();
    enter(Stage::Handshake);
    procedure->start();
    const int stallMs = options.stallTimeoutS * 1000;
    const qint64 stuckMs = qint64(options.stuckReportS) * 1000;
    const auto stuck = [&] {
        return stuckMs > 0 && !stuckReported && stallWatch.msSinceProgress() >= stuckMs;
    };
    for (;;) {
        session.waitUntil(
            [&] {
                return (stepsTotal > 0 && stepsDone >= stepsTotal) || session.portLost() ||
                       stallWatch.msSinceProgress() >= stallMs || stuck() ||
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
                                   .arg(totalSteps())
                                   .arg(stepName(stepsDone + 1)));
        if (session.portLost()) {
            if (const ExitCode resumed = resumeAfterLoss(session); resumed != ExitCode::Done)
                return resumed;
            continue;
        }
        if (stallWatch.msSinceProgress() >= stallMs)
            return stall();
        if (stuck())
            reportIfStuck();
    }
    return ExitCode::Done;
}

void FirmwareUpdate::reportIfStuck()
{
    stuckReported = true;
    emit logged(QString("No progress for %1 s at step %2 of %3 (%4): %5; still retrying from "
                        "command %6, the last checkpoint")
                    .arg(stallWatch.msSinceProgress() / 1000)
                    .arg(stepsDone + 1)
                    .arg(totalSteps())
                    .arg(stepName(stepsDone + 1), stallWatch.answersText())
                    .arg(procedure->lastCheckpoint()));
}

ExitCode FirmwareUpdate::resumeAfterLoss(DeviceSession& session)
{
    // Nothing is re-sent into the closed port, nor reaches the GCU ahead of the
    // repeated handshake once it is back.
    procedure->pause();
    const int32_t restartPoint = procedure->lastCheckpoint();
    enter(Stage::Away);
    emit gone(QString("The GCU went away during %1; waiting up to %2 s for it")
                  .arg(stepName(stepsDone + 1))
                  .arg(options.resumeWithinS),
              std::clamp(stepsDone - 1, 0, file.commandCount()), file.commandCount());
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
    ++result.resumes;
    enter(Stage::Resumed);
    emit back(QString("The GCU is back on %1; going on from command %2")
                  .arg(port.systemLocation())
                  .arg(restartPoint),
              restartPoint, port.systemLocation());
    stallWatch.restart();
    stuckReported = false;
    meter.restart();
    procedure->startFrom(restartPoint);
    return ExitCode::Done;
}

ExitCode FirmwareUpdate::stall()
{
    const QString message = QString("No progress for %1 s at step %2 of %3 (%4): %5")
                                .arg(options.stallTimeoutS)
                                .arg(stepsDone + 1)
                                .arg(totalSteps())
                                .arg(stepName(stepsDone + 1), stallWatch.answersText());
    return fail(stallWatch.onlyRefusals() ? ExitCode::Refused : ExitCode::Stalled, message);
}

ExitCode FirmwareUpdate::awaitNewFirmware(DeviceSession& session)
{
    session.routeAnswers(nullptr, nullptr, nullptr);
    result.uploaded = true;
    enter(Stage::Verifying);
    emit logged("Upload complete; waiting for the GCU to start its new firmware");
    // Until it has restarted, the port still there is the bootloader's. The link
    // sees it go even when it is back before a look at the bus would notice; a
    // GCU already in application mode (a quick restart that a look missed, or
    // one followed without a link) has restarted too.
    QElapsedTimer sinceLook;
    const auto inApplication = [&] {
        if (sinceLook.isValid() && sinceLook.elapsed() < 100)
            return false;
        sinceLook.start();
        return !DeviceFinder::find(serial, DeviceFinder::Mode::Application).isNull();
    };
    const bool restarted =
        session.portLost() || session.waitUntilGone(options.resetTimeoutS * 1000, [&] {
            return session.portLost() || inApplication();
        });
    session.close();
    result.restarted = restarted;
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
    result.backInBootloader =
        port.isNull() && !DeviceFinder::find(serial, DeviceFinder::Mode::Bootloader).isNull();
    if (result.backInBootloader)
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
    result.newVersion = *version;
    const double seconds = sinceStart.elapsed() / 1000.0;
    if (!options.expectVersion.isEmpty() && result.newVersion != options.expectVersion)
        return finish(ExitCode::VersionDiffers,
                      QString("The GCU runs firmware %1, not the expected %2")
                          .arg(result.newVersion, options.expectVersion));
    return finish(ExitCode::Done, QString("Updated in %1 s: firmware %2 -> %3")
                                      .arg(seconds, 0, 'f', 1)
                                      .arg(result.oldVersion.isEmpty() ? "?" : result.oldVersion,
                                           result.newVersion));
}

UpdateOutcome FirmwareUpdate::awaitRestart(DeviceSession& session, const QString& versionBefore)
{
    serial = session.serialNumber();
    sinceStart.start();
    activeSession = &session;
    result.oldVersion = versionBefore;
    // The GCU took the update in its bootloader: one in application mode now
    // has restarted already, as the wait sees at its first look.
    awaitNewFirmware(session);
    activeSession = nullptr;
    return result;
}
