#pragma once

#include "csvreport.h"
#include "firmwarefilecheck.h"
#include "runsummary.h"
#include "updatebatch.h"
#include "updateoutcome.h"

#include <QDateTime>
#include <QObject>
#include <QSerialPortInfo>
#include <QTimer>
#include <map>
#include <memory>
#include <set>
#include <vector>

class StationBoard;
class ToolOutput;

// A production line's station: every GCU that appears on the bus is updated,
// each in a session of its own, until the station is stopped. A GCU is known by
// its serial number: once updated it is left alone (it comes back after its
// reset, and again whenever it is re-plugged) unless `repeat` is set, in which
// case it is updated again after it has left the bus and returned. A GCU whose
// update failed is tried again once it has been re-plugged. A GCU that could be
// taken for another after its resets (no serial number, or one shared with
// another attached GCU) is turned away, once for each time it is plugged in.
class Station : public QObject
{
    Q_OBJECT
public:
    struct Settings
    {
        UpdateBatch::Settings batch;
        QString serialPrefix;
        bool repeat = false;
        QString reportFile;
        // The dashboard's board, shown every update; none when null.
        StationBoard* board = nullptr;
    };

    Station(Settings settings, FirmwareFileCheck file, ToolOutput& output);
    ~Station() override;

    // Runs until stop() and the updates under way have ended; the most severe
    // exit code among the GCUs it updated, or 3 when the report could not be
    // written.
    ExitCode run();
    // `now`: running updates are stopped too, rather than let finish.
    void stop(bool now);

private:
    void poll();
    void begin(FirmwareUpdate* update, const QString& serial);
    void refuse(const QSerialPortInfo& port, const QString& reason);
    void finish(const QString& serialNumber, const UpdateOutcome& outcome);
    bool openReport(QString* problem);
    void writeReportRow(const QString& serialNumber, const QDateTime& started,
                        const UpdateOutcome& outcome);

    Settings settings;
    ToolOutput& output;
    UpdateBatch batch;
    QTimer pollTimer;
    // When each running update began.
    std::map<QString, QDateTime> started;
    // GCUs this run has dealt with, and whether they have left the bus since.
    std::map<QString, bool> attempted;
    std::set<QString> succeeded;
    // Ports of GCUs turned away, until they leave the bus.
    std::set<QString> refusedPorts;
    std::vector<RunSummary::Result> results;
    bool stopping = false;
    CsvReport report;
    // A row that did not reach the report fails the station's run.
    bool reportFailed = false;
};
