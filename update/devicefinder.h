#pragma once

#include <QList>
#include <QSerialPortInfo>
#include <QString>

// Finds GCUs among the system's serial ports by their USB identity, and picks
// the one a command is meant for.
class DeviceFinder
{
public:
    enum class Mode
    {
        Any,
        Application,
        Bootloader
    };

    struct Choice
    {
        QSerialPortInfo port;
        // Why there is no port; empty when there is one.
        QString problem;
    };

    static QList<QSerialPortInfo> attached();
    // By serial number, by port path, or the one GCU attached.
    static Choice choose(const QString& serialNumber, const QString& portPath);
    // The GCU with this serial number in the given mode, or a null description.
    static QSerialPortInfo find(const QString& serialNumber, Mode mode);

    // Why an update of the GCU on `port` could take another GCU among `attached`
    // for it after a reset (sessions follow GCUs by serial number): it has no
    // serial number, or shares its own with another. Empty when it can be
    // followed; a GCU without one can when it is the only GCU attached and
    // `aloneWithoutSerial` allows it.
    static QString whyNotFollowable(const QSerialPortInfo& port,
                                    const QList<QSerialPortInfo>& attached,
                                    bool aloneWithoutSerial);

    static QString modeName(const QSerialPortInfo& port);
    // "SN1 (application mode, /dev/ttyACM0), SN2 (...)".
    static QString describe(const QList<QSerialPortInfo>& ports);
};
