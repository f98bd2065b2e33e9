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

    static QString modeName(const QSerialPortInfo& port);
    // "SN1 (application mode, /dev/ttyACM0), SN2 (...)".
    static QString describe(const QList<QSerialPortInfo>& ports);
};
