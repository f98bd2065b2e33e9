#include "windowrecording.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

WindowRecording::WindowRecording(QSettings& store, std::function<void(const QString&)> logLine)
    : settings(store), log(std::move(logLine))
{
}

bool WindowRecording::prepared()
{
    if (recorder || unusable)
        return !unusable;
    const QString url =
        settings.value("record/url", RecordLocation::defaultLocation().text()).toString();
    RecordLocation location;
    QString problem;
    unusable = true;
    if (!RecordLocation::parse(url, &location, &problem)) {
        log(QString("Updates are not recorded: %1").arg(problem));
        return false;
    }
    recorder = std::make_unique<UpdateRecorder>(location);
    recorder->setWarning(log);
    if (recorder->prepare(&problem) == UpdateRecorder::Readiness::Refused) {
        log(QString("Updates are not recorded: the record %1 is refused: %2").arg(url, problem));
        recorder.reset();
        return false;
    }
    unusable = false;
    return true;
}

void WindowRecording::begin(const QString& command, const QString& serial, const QString& port,
                            const QString& versionBefore, const QString& firmwarePath)
{
    if (row)
        end("interrupted", 130, "another update began in the window");
    if (!prepared())
        return;
    row = UpdateRow::beginning("uploader", QCoreApplication::applicationVersion(), command);
    row->serial = serial;
    row->port = port;
    row->versionBefore = versionBefore;
    if (!firmwarePath.isEmpty()) {
        row->firmwareFile = QFileInfo(firmwarePath).fileName();
        QFile file(firmwarePath);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (file.open(QIODevice::ReadOnly) && hash.addData(&file))
            row->firmwareSha256 = hash.result().toHex();
    }
    recorder->begin(*row);
}

void WindowRecording::end(const QString& outcome, int exitCode, const QString& reason)
{
    if (!row)
        return;
    row->finish(outcome, exitCode, reason);
    recorder->end(*row);
    row.reset();
}
