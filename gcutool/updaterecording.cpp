#include "updaterecording.h"

#include "firmwarefilecheck.h"
#include "tooloutput.h"
#include "uploadrun.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

namespace {

QString configuredRecord()
{
    const QByteArray config = qgetenv("XDG_CONFIG_HOME");
    QFile file((config.isEmpty() ? QDir::homePath() + "/.config" : QString(config)) +
               "/orv/gcutool.conf");
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QTextStream lines(&file);
    QString record;
    while (!lines.atEnd()) {
        const QString line = lines.readLine().trimmed();
        if (line.startsWith("record="))
            record = line.mid(7).trimmed();
    }
    return record;
}

} // namespace

void UpdateRecording::addOptions(QCommandLineParser& parser, bool updates)
{
    parser.addOption({"record",
                      "The fleet record: sqlite:///FILE, a path, or "
                      "postgresql://[user@]host[:port]/dbname (default $ORV_RECORD, record= "
                      "in ~/.config/orv/gcutool.conf, else ~/.local/share/orv/record.sqlite).",
                      "URL"});
    if (!updates) {
        parser.addOption({"station", "Only the updates of this station.", "NAME"});
        return;
    }
    parser.addOption(
        {"station", "The station's name in the record (default the host name).", "NAME"});
    parser.addOption({"no-record", "Write nothing into the fleet record."});
    parser.addOption(
        {"record-required", "Refuse to start (exit 3) when the fleet record cannot be written."});
}

bool UpdateRecording::locate(const QCommandLineParser& parser, RecordLocation* location,
                             QString* problem)
{
    QString text = parser.value("record");
    if (text.isEmpty())
        text = QString::fromLocal8Bit(qgetenv("ORV_RECORD"));
    if (text.isEmpty())
        text = configuredRecord();
    if (text.isEmpty()) {
        *location = RecordLocation::defaultLocation();
        return true;
    }
    return RecordLocation::parse(text, location, problem);
}

std::optional<ExitCode> UpdateRecording::start(const QCommandLineParser& parser, ToolOutput& output,
                                               const QString& firmwareFile)
{
    if (parser.isSet("no-record"))
        return std::nullopt;
    RecordLocation location;
    QString problem;
    if (!locate(parser, &location, &problem)) {
        output.error({}, ExitCode::Usage, problem);
        return ExitCode::Usage;
    }
    station = parser.value("station");
    if (!firmwareFile.isEmpty()) {
        firmwareName = QFileInfo(firmwareFile).fileName();
        firmwareSha256 = FirmwareFileCheck::sha256(firmwareFile);
    }
    recorder = std::make_unique<UpdateRecorder>(location);
    recorder->setWarning([&output](const QString& warning) { output.log({}, warning); });
    switch (recorder->prepare(&problem)) {
    case UpdateRecorder::Readiness::Ready:
        return std::nullopt;
    case UpdateRecorder::Readiness::Refused:
        output.error({}, ExitCode::FileUnusable,
                     QString("The record %1 is refused: %2").arg(location.text(), problem));
        return ExitCode::FileUnusable;
    case UpdateRecorder::Readiness::Spooling:
        break;
    }
    if (parser.isSet("record-required")) {
        output.error({}, ExitCode::FileUnusable,
                     QString("The record %1 cannot be written, and --record-required: %2")
                         .arg(location.text(), problem));
        return ExitCode::FileUnusable;
    }
    // The first row that goes to the spool says so.
    return std::nullopt;
}

std::optional<RecordLocation> UpdateRecording::location() const
{
    if (!recorder)
        return std::nullopt;
    return recorder->location();
}

UpdateRow UpdateRecording::newRow(const QString& command, const QString& serial,
                                  const QString& port) const
{
    UpdateRow row =
        UpdateRow::beginning("gcutool", QCoreApplication::applicationVersion(), command);
    if (!station.isEmpty())
        row.station = station;
    row.serial = serial;
    row.port = port;
    row.firmwareFile = firmwareName;
    row.firmwareSha256 = firmwareSha256;
    return row;
}

UpdateRow UpdateRecording::begin(const QString& command, const QString& serial, const QString& port)
{
    UpdateRow row = newRow(command, serial, port);
    if (recorder)
        recorder->begin(row);
    return row;
}

void UpdateRecording::refuse(const QString& command, const QString& serial, const QString& port,
                             const QString& reason)
{
    UpdateRow row = newRow(command, serial, port);
    row.finish("refused", static_cast<int>(ExitCode::NoDevice), reason);
    // Its end is the whole row: written once, never seen running.
    if (recorder)
        recorder->end(row);
}

void UpdateRecording::end(UpdateRow& row, ExitCode code, const QString& reason)
{
    row.finish(outcomeName(code), static_cast<int>(code),
               code == ExitCode::Done ? QString() : reason);
    if (recorder)
        recorder->end(row);
}

void UpdateRecording::endUpload(UpdateRow& row, const UploadRun& run)
{
    const UploadRun::Outcome& outcome = run.outcome();
    row.versionBefore = outcome.oldVersion;
    row.versionAfter = outcome.newVersion;
    row.retries = outcome.retries;
    row.resumes = outcome.resumes;
    row.bytes = run.bytesUploaded();
    row.keyFingerprint = run.keyFingerprint();
    end(row, outcome.code, outcome.message);
}

QString UpdateRecording::outcomeName(ExitCode code)
{
    switch (code) {
    case ExitCode::Done:
        return "done";
    case ExitCode::Stalled:
        return "stalled";
    case ExitCode::Lost:
        return "lost";
    case ExitCode::Refused:
        return "refused";
    case ExitCode::VersionDiffers:
        return "version-mismatch";
    case ExitCode::Interrupted:
        return "interrupted";
    default:
        return "failed";
    }
}
