#include "station.h"

#include "devicefinder.h"
#include "devicesession.h"
#include "tooloutput.h"
#include "updaterecording.h"

#include <QCoreApplication>
#include <QTextStream>

namespace {

constexpr int pollIntervalMs = 200;

QString csvField(const QString& text)
{
    if (!text.contains(',') && !text.contains('"') && !text.contains('\n'))
        return text;
    return '"' + QString(text).replace('"', "\"\"") + '"';
}

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
    report.setFileName(settings.reportFile);
    if (!report.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        *problem = QString("Cannot write the report %1: %2")
                       .arg(settings.reportFile, report.errorString());
        return false;
    }
    report.write("serial,start,end,outcome,version_before,version_after,retries,resumes\n");
    report.flush();
    return true;
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
    if (results.empty()) {
        output.end({}, ExitCode::Done, "No GCU was updated");
        return ExitCode::Done;
    }
    return RunSummary::report(output, results);
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
    for (const QSerialPortInfo& port : attached)
        present.insert(port.serialNumber());
    for (auto& [serial, left] : attempted)
        if (!present.count(serial) && !running.count(serial))
            left = true;
    if (stopping)
        return;
    for (const QSerialPortInfo& port : attached) {
        const QString serial = port.serialNumber();
        if (!serial.startsWith(settings.serialPrefix) || running.count(serial))
            continue;
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
        QString problem;
        if (const ExitCode opened = session.open(port, &problem); opened != ExitCode::Done) {
            output.error(session.serialNumber(), opened, problem);
            return opened;
        }
        if (!settings.recording)
            return upload->run(session, port);
        UpdateRow row =
            settings.recording->begin("station", session.serialNumber(), port.systemLocation());
        const ExitCode code = upload->run(session, port);
        settings.recording->endUpload(row, *upload);
        return code;
    });
}

void Station::finish(const QString& serialNumber)
{
    const auto found = running.find(serialNumber);
    if (found == running.end())
        return;
    UploadRun::Outcome outcome = found->second.run->outcome();
    // A session that could not even open its port has no run outcome of its own.
    if (outcome.message.isEmpty() && found->second.session->exitCode() != ExitCode::Done) {
        outcome.code = found->second.session->exitCode();
        outcome.message = "its port could not be opened";
    }
    if (outcome.code == ExitCode::Done)
        succeeded.insert(serialNumber);
    results.push_back({serialNumber, outcome});
    writeReportRow(serialNumber, found->second);
    running.erase(found);
    if (stopping && running.empty())
        QCoreApplication::quit();
}

void Station::writeReportRow(const QString& serialNumber, const Update& update)
{
    if (!report.isOpen())
        return;
    const UploadRun::Outcome& outcome = results.back().outcome;
    const QString verdict = outcome.code == ExitCode::Done
                                ? "done"
                                : QString("failed (exit %1): %2")
                                      .arg(static_cast<int>(outcome.code))
                                      .arg(outcome.message);
    const QStringList fields = {serialNumber,
                                update.started.toString(Qt::ISODate),
                                QDateTime::currentDateTimeUtc().toString(Qt::ISODate),
                                verdict,
                                outcome.oldVersion,
                                outcome.newVersion,
                                QString::number(outcome.retries),
                                QString::number(outcome.resumes)};
    QStringList quoted;
    for (const QString& field : fields)
        quoted << csvField(field);
    report.write((quoted.join(',') + '\n').toUtf8());
    report.flush();
}
