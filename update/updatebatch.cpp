#include "updatebatch.h"

#include "devicefinder.h"
#include "devicesession.h"
#include "updaterecording.h"

#include <algorithm>

UpdateBatch::Targets UpdateBatch::chooseTargets(bool all, const QStringList& serials,
                                                const QString& portPath)
{
    Targets targets;
    if (all) {
        targets.ports = DeviceFinder::attached();
        if (targets.ports.isEmpty())
            targets.problem = "No GCU is attached";
        return targets;
    }
    if (serials.size() <= 1) {
        const DeviceFinder::Choice choice = DeviceFinder::choose(serials.value(0), portPath);
        targets.ports = {choice.port};
        targets.problem = choice.problem;
        targets.problemSerial = serials.value(0);
        return targets;
    }
    const QList<QSerialPortInfo> attached = DeviceFinder::attached();
    for (const QString& serial : serials) {
        const DeviceFinder::Choice choice = DeviceFinder::choose(serial, {});
        if (!choice.problem.isEmpty()) {
            targets.problem = choice.problem;
            targets.problemSerial = serial;
            return targets;
        }
        // Every GCU with the serial number: one that shares it is turned away
        // with the others, never updated in their place.
        for (const QSerialPortInfo& port : attached) {
            const bool listed =
                std::any_of(targets.ports.begin(), targets.ports.end(), [&](const auto& target) {
                    return target.systemLocation() == port.systemLocation();
                });
            if (port.serialNumber() == serial && !listed)
                targets.ports.append(port);
        }
    }
    return targets;
}

UpdateBatch::UpdateBatch(Settings batchSettings, FirmwareFileCheck firmware, QObject* parent)
    : QObject(parent), settings(std::move(batchSettings)), file(std::move(firmware))
{
    qRegisterMetaType<UpdateOutcome>();
}

UpdateBatch::~UpdateBatch() = default;

bool UpdateBatch::refuses(const QSerialPortInfo& port, const QList<QSerialPortInfo>& attached,
                          bool aloneWithoutSerial)
{
    const QString why = DeviceFinder::whyNotFollowable(port, attached, aloneWithoutSerial);
    if (why.isEmpty())
        return false;
    emit refused(port, why);
    if (settings.recording)
        settings.recording->refuse(settings.command, port.serialNumber(), port.systemLocation(),
                                   why);
    return true;
}

void UpdateBatch::start(const QSerialPortInfo& port)
{
    launch(port.systemLocation(), port.serialNumber(),
           [port](FirmwareUpdate& update, DeviceSession& session) {
               return update.run(session, port);
           });
}

void UpdateBatch::followRestart(const QString& serial, const QString& versionBefore)
{
    // Its port may be gone for the moment: it is known by its serial number.
    launch(serial, serial, [versionBefore](FirmwareUpdate& update, DeviceSession& session) {
        return update.awaitRestart(session, versionBefore);
    });
}

void UpdateBatch::launch(const QString& location, const QString& serial, const Job& job)
{
    const int id = ++launches;
    Running& entry = updates[id];
    entry.serial = serial;
    entry.port = location;
    entry.session = std::make_unique<DeviceSession>(serial);
    entry.update = std::make_unique<FirmwareUpdate>(settings.update, file);
    connect(
        entry.session.get(), &DeviceSession::finished, this, [this, id] { end(id); },
        Qt::QueuedConnection);
    emit started(entry.update.get(), serial, location);
    FirmwareUpdate* update = entry.update.get();
    entry.session->start([this, update, job, location](DeviceSession& session) {
        UpdateRow row;
        if (settings.recording)
            row = settings.recording->begin(settings.command, session.serialNumber(), location);
        const UpdateOutcome outcome = job(*update, session);
        if (settings.recording)
            settings.recording->end(row, outcome);
        return outcome.code;
    });
}

void UpdateBatch::cancel()
{
    for (auto& [port, update] : updates)
        update.session->cancel();
}

bool UpdateBatch::isRunning(const QString& serial) const
{
    return std::any_of(updates.begin(), updates.end(),
                       [&](const auto& entry) { return entry.second.serial == serial; });
}

void UpdateBatch::end(int launch)
{
    const auto found = updates.find(launch);
    if (found == updates.end())
        return;
    const QString serial = found->second.serial;
    const QString port = found->second.port;
    const UpdateOutcome outcome = found->second.update->outcome();
    updates.erase(found);
    emit finished(serial, port, outcome);
    if (updates.empty())
        emit allFinished();
}
