#include "devicefinder.h"

#include "gcuusbidentity.h"

#include <QFileInfo>
#include <QStringList>

QList<QSerialPortInfo> DeviceFinder::attached()
{
    QList<QSerialPortInfo> gcus;
    for (const QSerialPortInfo& port : QSerialPortInfo::availablePorts())
        if (GcuUsbIdentity::isGcuPort(port))
            gcus.append(port);
    return gcus;
}

QString DeviceFinder::modeName(const QSerialPortInfo& port)
{
    return GcuUsbIdentity::isBootloaderPort(port) ? "bootloader" : "application";
}

QString DeviceFinder::describe(const QList<QSerialPortInfo>& ports)
{
    QStringList names;
    for (const QSerialPortInfo& port : ports)
        names << QString("%1 (%2 mode, %3)")
                     .arg(port.serialNumber(), modeName(port), port.systemLocation());
    return names.join(", ");
}

DeviceFinder::Choice DeviceFinder::choose(const QString& serialNumber, const QString& portPath)
{
    const QList<QSerialPortInfo> gcus = attached();
    if (!portPath.isEmpty()) {
        const QString wanted = QFileInfo(portPath).canonicalFilePath();
        for (const QSerialPortInfo& port : QSerialPortInfo::availablePorts()) {
            const bool same = port.systemLocation() == portPath || port.portName() == portPath ||
                              (!wanted.isEmpty() &&
                               QFileInfo(port.systemLocation()).canonicalFilePath() == wanted);
            if (!same)
                continue;
            if (!GcuUsbIdentity::isGcuPort(port))
                return {{},
                        QString("%1 is not a GCU's port (its USB identity is not a GCU's)")
                            .arg(portPath)};
            return {port, {}};
        }
        return {{}, QString("There is no serial port %1").arg(portPath)};
    }
    if (!serialNumber.isEmpty()) {
        for (const QSerialPortInfo& port : gcus)
            if (port.serialNumber() == serialNumber)
                return {port, {}};
        return {{},
                gcus.isEmpty()
                    ? QString("No GCU with serial number %1: no GCU is attached").arg(serialNumber)
                    : QString("No GCU with serial number %1; attached: %2")
                          .arg(serialNumber, describe(gcus))};
    }
    if (gcus.isEmpty())
        return {{}, "No GCU is attached"};
    if (gcus.size() > 1)
        return {{},
                QString("Several GCUs are attached, choose one with --serial or --port: %1")
                    .arg(describe(gcus))};
    return {gcus.first(), {}};
}

QString DeviceFinder::whyNotFollowable(const QSerialPortInfo& port,
                                       const QList<QSerialPortInfo>& attached,
                                       bool aloneWithoutSerial)
{
    const QString serial = port.serialNumber();
    QStringList others;
    for (const QSerialPortInfo& other : attached)
        if (other.systemLocation() != port.systemLocation() && other.serialNumber() == serial)
            others << other.systemLocation();
    if (serial.isEmpty()) {
        const bool alone =
            attached.size() == 1 && attached.first().systemLocation() == port.systemLocation();
        if (alone && aloneWithoutSerial)
            return {};
        return QString("The GCU on %1 has no USB serial number, so after its resets it cannot "
                       "be told from other GCUs; nothing was sent to it. Update it alone on the "
                       "bus (gcutool flash --port %1 with no other GCU attached)")
            .arg(port.systemLocation());
    }
    if (others.isEmpty())
        return {};
    return QString("The GCU on %1 shares its serial number %2 with the GCU on %3, so after their "
                   "resets one could be taken for the other; nothing was sent to it. Update "
                   "such GCUs one at a time, each alone on the bus")
        .arg(port.systemLocation(), serial, others.join(", "));
}

QSerialPortInfo DeviceFinder::find(const QString& serialNumber, Mode mode)
{
    for (const QSerialPortInfo& port : attached()) {
        if (port.serialNumber() != serialNumber)
            continue;
        if (mode == Mode::Any ||
            (mode == Mode::Bootloader) == GcuUsbIdentity::isBootloaderPort(port))
            return port;
    }
    return QSerialPortInfo();
}
