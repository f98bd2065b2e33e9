#pragma once

#include "framecodec.h"
#include "orvcommon_global.h"

#include <QMutex>
#include <QObject>
#include <QSerialPortInfo>
#include <functional>
#include <memory>
#include <string>

class QSerialPort;

// The serial link to the GCU: opens a port with the GCU's fixed line settings,
// sends every payload as one length-prefixed frame and emits every received
// frame's payload through commandRead.
//
// The port belongs to the thread that created the ComPort. commandSend may be
// called from any thread: a frame sent from another thread is handed to the
// owner thread whole, so frames never interleave and each thread's frames leave
// in the order it sent them.
class ORV_COMMON_EXPORT ComPort : public QObject
{
    Q_OBJECT
public:
    ComPort();
    ~ComPort() override;

    bool open(QSerialPortInfo info);
    bool isOpen();
    void close();
    void commandSend(std::string payload);
    std::string getSerialNumber();
    std::string error();
    QSerialPortInfo getOpenedPort();

    // Blocks until the GCU with the stored serial number is present in bootloader
    // mode; opens nothing.
    void waitForPortAvaliable();
    // The same wait, given up as soon as `keepWaiting` says so; true when the
    // port was found.
    bool waitForPortAvaliable(const std::function<bool()>& keepWaiting);
    // Waits as waitForPortAvaliable does, then opens the port found.
    bool reconnect();

signals:
    void commandRead(std::string data);
    // The device went away under the open port (unplugged, reset, powered off);
    // the port's own words. The port stays open until someone closes it.
    void portLost(QString reason);

private slots:
    void dataAvaliable();
    void portError();

private:
    void writeFrame(const QByteArray& frame);
    QSerialPortInfo waitForPort(const std::function<bool()>& keepWaiting);

    std::unique_ptr<QSerialPort> port;
    QSerialPortInfo openedPort;
    QMutex writeLock;
    QString serialNumber;
    FrameCodec reader;
    // portLost has been emitted for the current port object.
    bool lossReported = false;
};

// The first present port with the GCU's bootloader identity (vendor 0x04D8,
// product 0xEEEF) and exactly this USB serial number, or a null description.
ORV_COMMON_EXPORT QSerialPortInfo getPortBySerialNumber(QString& serialNumber);
