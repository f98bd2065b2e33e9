#include "station.h"

#include "devicefinder.h"
#include "stationboard.h"
#include "tooloutput.h"

#include <QCoreApplication>

namespace {

constexpr int pollIntervalMs = 200;

} // namespace

Station::Station(Settings stationSettings, FirmwareFileCheck firmware, ToolOutput& out)
    : settings(std::move(stationSettings)), output(out), batch(settings.batch, std::move(firmware))
{
    pollTimer.setInterval(pollIntervalMs);
    connect(&pollTimer, &QTimer::timeout, this, &Station::poll);
    connect(&batch, &UpdateBatch::started, this,
            [this](FirmwareUpdate* update, const QString& serial) { begin(update, serial); });
    connect(&batch, &UpdateBatch::refused, this, &Station::refuse);
    connect(&batch, &UpdateBatch::finished, this,
            [this](const QString& serial, const QString&, const UpdateOutcome& outcome) {
                finish(serial, outcome);
            });
}

Station::~Station() = default;

bool Station::openReport(QString* problem)
{
    if (settings.reportFile.isEmpty())
        return true;
    // A station restarted during a shift goes on with the shift's report.
    return report.open(settings.reportFile,
                       {"serial", "start", "end", "outcome", "version_before", "version_after",
                        "retries", "resumes"},
                       problem);
}

ExitCode Station::run()
{
    QString problem;
    if (!openReport(&problem)) {
        output.error({}, ExitCode::FileUnusable, problem);
        return ExitCode::FileUnusable;
    }
    output.log(
        {},
        QString("Station ready: every GCU%1 that appears is updated with %2; "
                "Ctrl-C to stop")
            .arg(settings.serialPrefix.isEmpty()
                     ? QString()
                     : QString(" whose serial number begins with %1").arg(settings.serialPrefix),
                 settings.batch.update.firmwareFile));
    pollTimer.start();
    poll();
    QCoreApplication::exec();
    pollTimer.stop();
    const ExitCode reportCode = reportFailed ? ExitCode::FileUnusable : ExitCode::Done;
    if (results.empty()) {
        output.end({}, reportCode, "No GCU was updated");
        return reportCode;
    }
    const ExitCode worst = RunSummary::report(output, results);
    if (!reportFailed)
        return worst;
    // The summary has the outcomes; the last word is that the report lacks some.
    output.error(
        {}, reportCode,
        QString("Not every row reached the report %1 (said above)").arg(settings.reportFile));
    return UpdateOutcome::worse(worst, reportCode);
}

void Station::stop(bool now)
{
    if (stopping)
        return;
    stopping = true;
    const int running = batch.running();
    if (running == 0)
        output.log({}, "Stopping");
    else if (now)
        output.log({}, QString("Stopping %1 running updates").arg(running));
    else
        output.log(
            {},
            QString("Letting %1 running updates finish; Ctrl-C again ends at once").arg(running));
    if (now)
        batch.cancel();
    if (running == 0)
        QCoreApplication::quit();
}

void Station::poll()
{
    const QList<QSerialPortInfo> attached = DeviceFinder::attached();
    std::set<QString> present;
    std::set<QString> presentPorts;
    for (const QSerialPortInfo& port : attached) {
        present.insert(port.serialNumber());
        presentPorts.insert(port.systemLocation());
    }
    for (auto refused = refusedPorts.begin(); refused != refusedPorts.end();)
        refused = presentPorts.count(*refused) ? std::next(refused) : refusedPorts.erase(refused);
    for (auto& [serial, left] : attempted)
        if (!present.count(serial) && !batch.isRunning(serial))
            left = true;
    if (stopping)
        return;
    for (const QSerialPortInfo& port : attached) {
        const QString serial = port.serialNumber();
        if (!serial.startsWith(settings.serialPrefix) || batch.isRunning(serial) ||
            refusedPorts.count(port.systemLocation()))
            continue;
        if (batch.refuses(port, attached, false))
            continue;
        const auto seen = attempted.find(serial);
        if (seen != attempted.end()) {
            const bool again = !succeeded.count(serial) || settings.repeat;
            if (!seen->second || !again)
                continue;
        }
        batch.start(port);
    }
}

void Station::begin(FirmwareUpdate* update, const QString& serial)
{
    attempted[serial] = false;
    succeeded.erase(serial);
    started[serial] = QDateTime::currentDateTimeUtc();
    output.follow(*update, serial);
    if (settings.board)
        settings.board->follow(*update, serial);
}

void Station::refuse(const QSerialPortInfo& port, const QString& reason)
{
    refusedPorts.insert(port.systemLocation());
    output.error(port.serialNumber(), ExitCode::NoDevice, reason,
                 {{"refused", true}, {"port", port.systemLocation()}});
    const UpdateOutcome outcome = UpdateOutcome::refusal(reason);
    results.push_back({port.serialNumber(), outcome});
    writeReportRow(port.serialNumber(), QDateTime::currentDateTimeUtc(), outcome);
    if (settings.board)
        settings.board->refuse(port.serialNumber(), port.systemLocation(), reason);
}

void Station::finish(const QString& serialNumber, const UpdateOutcome& outcome)
{
    if (outcome.done())
        succeeded.insert(serialNumber);
    results.push_back({serialNumber, outcome});
    writeReportRow(serialNumber, started[serialNumber], outcome);
    started.erase(serialNumber);
    if (stopping && batch.running() == 0)
        QCoreApplication::quit();
}

void Station::writeReportRow(const QString& serialNumber, const QDateTime& startedAt,
                             const UpdateOutcome& outcome)
{
    if (!report.isOpen())
        return;
    const QStringList fields = {serialNumber,
                                startedAt.toString(Qt::ISODate),
                                QDateTime::currentDateTimeUtc().toString(Qt::ISODate),
                                outcome.verdict(),
                                outcome.oldVersion,
                                outcome.newVersion,
                                QString::number(outcome.retries),
                                QString::number(outcome.resumes)};
    QString problem;
    if (!report.append(fields, &problem)) {
        reportFailed = true;
        output.error(serialNumber, ExitCode::FileUnusable,
                     QString("This GCU's row is not in the report: %1").arg(problem));
    }
}
