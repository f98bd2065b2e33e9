#include "comport.h"

#include "logline.h"

#include <QSerialPort>
#include <QThread>

namespace {

constexpr quint16 gcuVendorId = 0x04D8;
constexpr quint16 gcuBootloaderProductId = 0xEEEF;
constexpr unsigned long portPollIntervalMs = 200;

void log(const std::string& line)
{
    LogLine() << line;
}

bool isGcuBootloaderPort(const QSerialPortInfo& info, const QString& serialNumber)
{
    return info.hasProductIdentifier() && info.hasVendorIdentifier() &&
           info.vendorIdentifier() == gcuVendorId &&
           info.productIdentifier() == gcuBootloaderProductId &&
           info.serialNumber() == serialNumber;
}

bool waitWithoutEnd()
{
    return true;
}

} // namespace

QSerialPortInfo getPortBySerialNumber(QString& serialNumber)
{
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : ports) {
        if (isGcuBootloaderPort(info, serialNumber)) {
            log("Found proper port " + info.systemLocation().toStdString());
            return info;
        }
    }
    log("Returning invalid port!");
    return QSerialPortInfo();
}

ComPort::ComPort() : port(std::make_unique<QSerialPort>()) {}

ComPort::~ComPort() = default;

bool ComPort::open(QSerialPortInfo info)
{
    log("Starting worker thread");
    log("Creat new port instance");
    port = std::make_unique<QSerialPort>();
    log("save serial number");
    serialNumber = info.serialNumber();

    port->setPort(info);
    port->setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
    port->setFlowControl(QSerialPort::HardwareControl);
    port->setDataBits(QSerialPort::Data8);
    port->setStopBits(QSerialPort::OneStop);
    port->setParity(QSerialPort::NoParity);
    connect(port.get(), SIGNAL(readyRead()), this, SLOT(dataAvaliable()));
    connect(port.get(), SIGNAL(errorOccurred(QSerialPort::SerialPortError)), this,
            SLOT(portError()));
    openedPort = info;
    // Whatever the previous port left half-read has nothing to do with this one.
    reader.reset();
    lossReported = false;

    log("Trying to open port " + info.systemLocation().toStdString());
    const bool opened = port->open(QIODevice::ReadWrite);
    if (!opened) {
        LogLine() << "serial error: " << static_cast<int>(port->error()) << " "
                  << port->errorString().toStdString();
    }
    log("Worker thread started");
    return opened;
}

bool ComPort::isOpen()
{
    return port && port->isOpen();
}

void ComPort::close()
{
    if (!isOpen())
        return;
    log("Closing underlying port ");
    port->close();
    port.reset();
}

void ComPort::commandSend(std::string payload)
{
    if (QThread::currentThread() == thread()) {
        if (isOpen())
            writeFrame(FrameCodec::encode(payload));
        return;
    }
    // QSerialPort may only be used from its own thread. Queued calls from one
    // thread run in the order they were posted, which keeps that thread's frames
    // in order; whether the port is open is decided when the frame is written.
    QMetaObject::invokeMethod(
        this, [this, frame = FrameCodec::encode(payload)] { writeFrame(frame); },
        Qt::QueuedConnection);
}

void ComPort::writeFrame(const QByteArray& frame)
{
    if (!isOpen())
        return;
    QMutexLocker lock(&writeLock);
    port->write(frame);
    port->flush();
}

std::string ComPort::getSerialNumber()
{
    return serialNumber.toStdString();
}

std::string ComPort::error()
{
    return port ? port->errorString().toStdString() : std::string();
}

QSerialPortInfo ComPort::getOpenedPort()
{
    return openedPort;
}

void ComPort::dataAvaliable()
{
    QSerialPort* reading = port.get();
    if (!reading)
        return;
    reader.readFrames(*reading, [this, reading](std::string payload) {
        emit commandRead(std::move(payload));
        // A handler that re-opened or closed the link has replaced the port.
        return port.get() == reading;
    });
}

void ComPort::portError()
{
    // Only the loss of the device matters here (a USB port reports it as a resource
    // error, a vanished terminal as a failed read); open reports its own errors.
    if (port && port->isOpen() && !lossReported &&
        (port->error() == QSerialPort::ResourceError || port->error() == QSerialPort::ReadError)) {
        lossReported = true;
        emit portLost(port->errorString());
    }
}

QSerialPortInfo ComPort::waitForPort(const std::function<bool()>& keepWaiting)
{
    log("Getting port by serial number");
    QSerialPortInfo found = getPortBySerialNumber(serialNumber);
    while (found.isNull()) {
        QThread::msleep(portPollIntervalMs);
        if (!keepWaiting())
            return QSerialPortInfo();
        log("Getting port by serial number");
        found = getPortBySerialNumber(serialNumber);
    }
    return found;
}

void ComPort::waitForPortAvaliable()
{
    waitForPort(waitWithoutEnd);
}

bool ComPort::waitForPortAvaliable(const std::function<bool()>& keepWaiting)
{
    return !waitForPort(keepWaiting).isNull();
}

bool ComPort::reconnect()
{
    const QSerialPortInfo found = waitForPort(waitWithoutEnd);
    log("Found serial port " + found.systemLocation().toStdString());
    log("Opening new port");
    return open(found);
}
