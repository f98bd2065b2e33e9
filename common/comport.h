#pragma once

#include "framecodec.h"
#include "orvcommon_global.h"

#include <QMutex>
#include <QObject>
#include <QSerialPortInfo>
#include <QTimer>
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

    // Bytes handed to the port that it has not written yet.
    qint64 bytesToWrite();
    // Stops taking frames from the GCU until resumeReading: what arrives stays in
    // the system's buffer, and once that is full the line's flow control holds
    // the GCU back.
    void pauseReading();
    void resumeReading();

    // Blocks until the GCU with the stored serial number is present in bootloader
    // mode; opens nothing. The wait works on the serial number stored when it
    // starts, so it may run on any thread while the owner thread opens ports.
    void waitForPortAvaliable();
    // The same wait for the GCU with `serial`, given up as soon as `keepWaiting`
    // says so; the port found, or a null description when the wait was given up.
    QSerialPortInfo waitForPortAvaliable(const QString& serial,
                                         const std::function<bool()>& keepWaiting);
    // Waits up to `limitMs` for the bootloader port of the GCU with `serial` to
    // leave the bus, as it does when the GCU resets; true when it left (or was
    // not there at all).
    bool waitForPortToLeave(const QString& serial, int limitMs,
                            const std::function<bool()>& keepWaiting);
    // The serial number the next wait looks for.
    QString storedSerialNumber();
    // Waits as waitForPortAvaliable does, then opens the port found.
    bool reconnect();
    // Opens a port that a wait has already found, without searching again.
    bool reconnect(const QSerialPortInfo& found);

signals:
    void commandRead(std::string data);
    // The device went away under the open port (unplugged, reset, powered off);
    // the port's own words. The port stays open until someone closes it.
    void portLost(QString reason);
    // The port has written this many more bytes to the GCU.
    void bytesWritten(qint64 count);
    // A port was opened, or the open one closed (also when open replaces it).
    void opened();
    void closed();

private slots:
    void dataAvaliable();
    void portError();
    void frameStalled();

private:
    void writeFrame(const QByteArray& frame);
    // Closes the current port object and lets it go once the event loop is back:
    // the signal being handled may be its own.
    void retirePort();
    // The reader has not run although the system holds bytes for it.
    bool readerStuck();

    std::unique_ptr<QSerialPort> port;
    QSerialPortInfo openedPort;
    QMutex writeLock;
    // The serial number is read by waits on other threads.
    QMutex serialNumberLock;
    QString serialNumber;
    FrameCodec reader;
    // Runs while a frame is incomplete; restarted by every arrival.
    QTimer* stallTimer;
    // portLost has been emitted for the current port object.
    bool lossReported = false;
    bool readingPaused = false;
    // Stall checks in a row that found bytes waiting and no readyRead between.
    int checksWithoutRead = 0;
};

// The first present port with the GCU's bootloader identity (vendor 0x04D8,
// product 0xEEEF) and exactly this USB serial number, or a null description.
ORV_COMMON_EXPORT QSerialPortInfo getPortBySerialNumber(QString& serialNumber);
