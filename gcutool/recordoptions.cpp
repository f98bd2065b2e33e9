#include "recordoptions.h"

#include "tooloutput.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
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

void RecordOptions::addOptions(QCommandLineParser& parser, bool updates)
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

bool RecordOptions::locate(const QCommandLineParser& parser, RecordLocation* location,
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

std::optional<ExitCode> RecordOptions::start(const QCommandLineParser& parser, ToolOutput& output,
                                             UpdateRecording& recording,
                                             const FirmwareFileCheck* firmware)
{
    if (parser.isSet("no-record"))
        return std::nullopt;
    UpdateRecording::Setup setup;
    QString problem;
    if (!locate(parser, &setup.location, &problem)) {
        output.error({}, ExitCode::Usage, problem);
        return ExitCode::Usage;
    }
    setup.program = "gcutool";
    setup.programVersion = QCoreApplication::applicationVersion();
    setup.station = parser.value("station");
    setup.firmware = firmware;
    setup.warn = [&output](const QString& warning) { output.log({}, warning); };
    const QString where = setup.location.text();
    switch (recording.start(std::move(setup), &problem)) {
    case UpdateRecorder::Readiness::Ready:
        return std::nullopt;
    case UpdateRecorder::Readiness::Refused:
        output.error({}, ExitCode::FileUnusable,
                     QString("The record %1 is refused: %2").arg(where, problem));
        return ExitCode::FileUnusable;
    case UpdateRecorder::Readiness::Spooling:
        break;
    }
    if (parser.isSet("record-required")) {
        output.error({}, ExitCode::FileUnusable,
                     QString("The record %1 cannot be written, and --record-required: %2")
                         .arg(where, problem));
        return ExitCode::FileUnusable;
    }
    // The first row that goes to the spool says so.
    return std::nullopt;
}
