#pragma once

#include "firmwarefilecheck.h"
#include "firmwareupdate.h"
#include "updateoutcome.h"

#include <QList>
#include <QObject>
#include <QSerialPortInfo>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>

class DeviceSession;
class UpdateRecording;

// Many GCUs updated at once, each in a device session of its own, followed by
// its serial number through every reset; they share nothing but the firmware
// file and the record, and one failing holds up no other. A GCU that could be
// taken for another after its resets (no serial number, or one shared with
// another attached GCU) is turned away before anything is sent to it. Used by
// the one-off run over several GCUs and by the station alike.
class UpdateBatch : public QObject
{
    Q_OBJECT
public:
    struct Settings
    {
        FirmwareUpdate::Options update;
        // The record's name for the command: flash, secure-flash, station.
        QString command;
        // Where each update is recorded; none when null.
        UpdateRecording* recording = nullptr;
    };

    // The GCUs an update is for.
    struct Targets
    {
        QList<QSerialPortInfo> ports;
        // Why one is missing, and its serial number; empty when none is.
        QString problem;
        QString problemSerial;
    };
    // Every attached GCU (`all`), those with the serial numbers given (with
    // every GCU that shares one of them, to be turned away together), or the one
    // that a serial number, a port or being alone on the bus picks.
    static Targets chooseTargets(bool all, const QStringList& serials, const QString& portPath);

    UpdateBatch(Settings settings, FirmwareFileCheck file, QObject* parent = nullptr);
    ~UpdateBatch() override;

    // Turns the GCU on `port` away (refused, and true) when it could be taken
    // for another among `attached`. A GCU without a serial number alone on the
    // bus may be updated when `aloneWithoutSerial`.
    bool refuses(const QSerialPortInfo& port, const QList<QSerialPortInfo>& attached,
                 bool aloneWithoutSerial);
    void start(const QSerialPortInfo& port);
    // A GCU that someone else has just sent its update (a server, through a
    // relay): followed through its restart until it runs its new firmware.
    void followRestart(const QString& serial, const QString& versionBefore);
    // Starts the update of the GCU on `port` unless it refuses it; false if so.
    bool add(const QSerialPortInfo& port, const QList<QSerialPortInfo>& attached,
             bool aloneWithoutSerial)
    {
        if (refuses(port, attached, aloneWithoutSerial))
            return false;
        start(port);
        return true;
    }
    // Every running update stops where it is.
    void cancel();
    int running() const { return static_cast<int>(updates.size()); }
    bool isRunning(const QString& serial) const;

signals:
    // Before the update starts, so that front ends hear all it says.
    void started(FirmwareUpdate* update, const QString& serial, const QString& port);
    void refused(const QSerialPortInfo& port, const QString& reason);
    // On the batch's thread, once the GCU's session is over.
    void finished(const QString& serial, const QString& port, const UpdateOutcome& outcome);
    void allFinished();

private:
    struct Running
    {
        QString serial;
        // The port the update started on.
        QString port;
        std::unique_ptr<FirmwareUpdate> update;
        // Destroyed first: its job uses the update until the session has ended.
        std::unique_ptr<DeviceSession> session;
    };

    using Job = std::function<UpdateOutcome(FirmwareUpdate&, DeviceSession&)>;
    // `location`: the port the update starts on, or what stands in for it.
    void launch(const QString& location, const QString& serial, const Job& job);
    void end(int launch);

    Settings settings;
    FirmwareFileCheck file;
    // By launch: a port that a GCU left for its reset may be another GCU's next.
    std::map<int, Running> updates;
    int launches = 0;
};
