#include "station.h"

#include "devicefinder.h"
#include "devicesession.h"
#include "tooloutput.h"
#include "updaterecording.h"

#include <QCoreApplication>

namespace {

constexpr int pollIntervalMs = 200;

} // namespace

Station::Station(Settings stationSettings, FirmwareFileCheck firmware, ToolOutput& out)
    : settings(std::move(stationSettings)), file(std::move(firmware)), output(out)
{
    pollTimer.setInterval(pollIntervalMs);
    connect(&pollTimer, &QTimer::timeout, this, &Station::poll);
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
                 settings.upload.firmwareFile));
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
    return severity(reportCode) > severity(worst) ? reportCode : worst;
}

void Station::stop(bool now)
{
    if (stopping)
        return;
    stopping = true;
    if (running.empty())
        output.log({}, "Stopping");
    else if (now)
        output.log({}, QString("Stopping %1 running updates").arg(running.size()));
    else
        output.log({}, QString("Letting %1 running updates finish; Ctrl-C again ends at once")
                           .arg(running.size()));
    if (now)
        for (auto& [serial, update] : running)
            update.session->cancel();
    if (running.empty())
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
        if (!present.count(serial) && !running.count(serial))
            left = true;
    if (stopping)
        return;
    for (const QSerialPortInfo& port : attached) {
        const QString serial = port.serialNumber();
        if (!serial.startsWith(settings.serialPrefix) || running.count(serial) ||
            refusedPorts.count(port.systemLocation()))
            continue;
        if (const QString why = DeviceFinder::whyNotFollowable(port, attached, false);
            !why.isEmpty()) {
            refuse(port, why);
            continue;
        }
        const auto seen = attempted.find(serial);
        if (seen != attempted.end()) {
            const bool again = !succeeded.count(serial) || settings.repeat;
            if (!seen->second || !again)
                continue;
        }
        begin(port);
    }
}

void Station::begin(const QSerialPortInfo& port)
{
    const QString serial = port.serialNumber();
    attempted[serial] = false;
    succeeded.erase(serial);
    Update& update = running[serial];
    update.session = std::make_unique<DeviceSession>(serial);
    update.run = std::make_unique<UploadRun>(settings.upload, file, output);
    update.started = QDateTime::currentDateTimeUtc();
    connect(
        update.session.get(), &DeviceSession::finished, this, [this, serial] { finish(serial); },
        Qt::QueuedConnection);
    UploadRun* upload = update.run.get();
    update.session->start([this, upload, port](DeviceSession& session) {
        if (!settings.recording)
            return upload->run(session, port);
        UpdateRow row =
            settings.recording->begin("station", session.serialNumber(), port.systemLocation());
        const ExitCode code = upload->run(session, port);
        settings.recording->endUpload(row, *upload);
        return code;
    });
}

void Station::refuse(const QSerialPortInfo& port, const QString& reason)
{
    refusedPorts.insert(port.systemLocation());
    output.error(port.serialNumber(), ExitCode::NoDevice, reason,
                 {{"refused", true}, {"port", port.systemLocation()}});
    results.push_back({port.serialNumber(), UploadRun::refusal(reason)});
    writeReportRow(port.serialNumber(), QDateTime::currentDateTimeUtc());
    if (settings.recording)
        settings.recording->refuse("station", port.serialNumber(), port.systemLocation(), reason);
}

void Station::finish(const QString& serialNumber)
{
    const auto found = running.find(serialNumber);
    if (found == running.end())
        return;
    const UploadRun::Outcome& outcome = found->second.run->outcome();
    if (outcome.code == ExitCode::Done)
        succeeded.insert(serialNumber);
    results.push_back({serialNumber, outcome});
    writeReportRow(serialNumber, found->second.started);
    running.erase(found);
    if (stopping && running.empty())
        QCoreApplication::quit();
}

void Station::writeReportRow(const QString& serialNumber, const QDateTime& started)
{
    if (!report.isOpen())
        return;
    const UploadRun::Outcome& outcome = results.back().outcome;
    const QString verdict = outcome.code == ExitCode::Done
                                ? "done"
                                : QString("%1 (exit %2): %3")
                                      .arg(outcome.refused ? "refused" : "failed")
                                      .arg(static_cast<int>(outcome.code))
                                      .arg(outcome.message);
    const QStringList fields = {serialNumber,
                                started.toString(Qt::ISODate),
                                QDateTime::currentDateTimeUtc().toString(Qt::ISODate),
                                verdict,
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
