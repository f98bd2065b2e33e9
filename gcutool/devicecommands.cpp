#include "gcutool.h"

#include "devicefinder.h"
#include "devicesession.h"
#include "interruptwatcher.h"
#include "knowndevices.h"

#include <QCoreApplication>
#include <QSaveFile>
#include <algorithm>

// The commands that work with one GCU in a session of its own: info,
// bootloader and read-key.

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

ExitCode
GcuTool::withDevice(const std::function<ExitCode(DeviceSession&, const QSerialPortInfo&)>& job)
{
    const DeviceFinder::Choice choice =
        DeviceFinder::choose(parser.value("serial"), parser.value("port"));
    if (!choice.problem.isEmpty()) {
        output->error(parser.value("serial"), ExitCode::NoDevice, choice.problem);
        return ExitCode::NoDevice;
    }
    DeviceSession session(choice.port.serialNumber());
    InterruptWatcher interrupts;
    saveTraceOnInterrupt(interrupts);
    QObject::connect(
        &interrupts, &InterruptWatcher::interrupted, &session, [&session] { session.cancel(); },
        Qt::DirectConnection);
    QObject::connect(
        &session, &DeviceSession::finished, QCoreApplication::instance(),
        [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    session.start([this, &job, port = choice.port](DeviceSession& device) {
        QString problem;
        if (const ExitCode opened = device.open(port, &problem); opened != ExitCode::Done) {
            output->error(device.serialNumber(), opened, problem);
            return opened;
        }
        return job(device, port);
    });
    QCoreApplication::exec();
    return session.exitCode();
}

ExitCode GcuTool::info()
{
    int count = 0;
    if (!positiveNumber("count", &count))
        return ExitCode::Usage;
    return withDevice([this, count](DeviceSession& session, const QSerialPortInfo& port) {
        const QString serial = session.serialNumber();
        const auto version = session.readFirmwareVersion();
        if (session.cancelled())
            return interrupted(serial);
        if (!version) {
            output->error(serial, ExitCode::Stalled,
                          "The GCU did not answer the request for its firmware version");
            return ExitCode::Stalled;
        }
        std::vector<double> roundTrips;
        for (int sequence = 1; sequence <= count; ++sequence) {
            const auto roundTrip = session.ping(static_cast<uint32_t>(sequence));
            if (session.cancelled())
                return interrupted(serial);
            if (!roundTrip) {
                output->error(serial, ExitCode::Stalled,
                              QString("The GCU did not answer ping %1").arg(sequence));
                return ExitCode::Stalled;
            }
            roundTrips.push_back(*roundTrip);
        }
        const double fastest = *std::min_element(roundTrips.begin(), roundTrips.end());
        const double slowest = *std::max_element(roundTrips.begin(), roundTrips.end());
        const double middle = median(roundTrips);
        output->end(
            serial, ExitCode::Done,
            QString("firmware %1, %2 mode on %3; ping %4 / %5 / %6 ms (min / median / "
                    "max of %7)")
                .arg(*version, DeviceFinder::modeName(port), port.systemLocation())
                .arg(fastest, 0, 'f', 2)
                .arg(middle, 0, 'f', 2)
                .arg(slowest, 0, 'f', 2)
                .arg(count),
            {{"version", *version},
             {"mode", DeviceFinder::modeName(port)},
             {"port", port.systemLocation()},
             {"ping_ms",
              QJsonObject{
                  {"min", fastest}, {"median", middle}, {"max", slowest}, {"count", count}}}});
        return ExitCode::Done;
    });
}

ExitCode GcuTool::bootloader()
{
    int resetTimeoutS = 0;
    if (!positiveNumber("reset-timeout", &resetTimeoutS))
        return ExitCode::Usage;
    return withDevice([this, resetTimeoutS](DeviceSession& session, const QSerialPortInfo&) {
        const QString serial = session.serialNumber();
        const QSerialPortInfo back = session.resetIntoBootloader(resetTimeoutS * 1000);
        if (session.cancelled())
            return interrupted(serial);
        if (back.isNull()) {
            output->error(serial, ExitCode::Lost,
                          QString("The GCU did not come back in bootloader mode within %1 s")
                              .arg(resetTimeoutS));
            return ExitCode::Lost;
        }
        output->end(serial, ExitCode::Done,
                    QString("In bootloader mode on %1").arg(back.systemLocation()),
                    {{"port", back.systemLocation()}, {"mode", "bootloader"}});
        return ExitCode::Done;
    });
}

ExitCode GcuTool::readKey()
{
    const QString target = parser.value("output");
    if (target.isEmpty())
        return usage("read-key needs -o FILE");
    KnownDevices known(parser.isSet("known-devices") ? parser.value("known-devices")
                                                     : KnownDevices::defaultPath());
    const bool acceptNewKey = parser.isSet("accept-new-key");
    return withDevice([&](DeviceSession& session, const QSerialPortInfo&) {
        const QString serial = session.serialNumber();
        const auto key = session.readPublicKey();
        if (session.cancelled())
            return interrupted(serial);
        if (!key) {
            output->error(serial, ExitCode::Stalled,
                          "The GCU did not answer the request for its public key");
            return ExitCode::Stalled;
        }
        const QString fingerprint = KnownDevices::fingerprint(key->pem);
        const KnownDevices::Admission admission = known.admitAndPin(serial, key->pem, acceptNewKey);
        if (admission.verdict != ExitCode::Done) {
            output->error(serial, admission.verdict, admission.problem);
            return admission.verdict;
        }
        QSaveFile keychain(target);
        const std::string& bytes = key->keychainEntry;
        if (!keychain.open(QIODevice::WriteOnly) ||
            keychain.write(bytes.data(), static_cast<qint64>(bytes.size())) < 0 ||
            !keychain.commit()) {
            output->error(serial, ExitCode::FileUnusable,
                          QString("Cannot write %1: %2").arg(target, keychain.errorString()));
            return ExitCode::FileUnusable;
        }
        output->end(serial, ExitCode::Done,
                    QString("Saved the GCU's key %1 to %2").arg(fingerprint, target),
                    {{"file", target}, {"fingerprint", fingerprint}});
        return ExitCode::Done;
    });
}
