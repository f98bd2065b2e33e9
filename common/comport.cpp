#include "comport.h"

#include "frametrace.h"
#include "gcuusbidentity.h"
#include "logline.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr unsigned long portPollIntervalMs = 200;
// A frame whose bytes stop coming for this long was cut short (a GCU reset in
// the middle of an answer, a lost byte, another program's probe).
constexpr int frameStallLimitMs = 500;
// While reading is paused the port takes no more than this from the system.
constexpr qint64 pausedReadBufferSize = 64 * 1024;

void log(const std::string& line)
{
    LogLine() << line;
}

bool isGcuBootloaderPort(const QSerialPortInfo& info, const QString& serialNumber)
{
    return GcuUsbIdentity::isBootloaderPort(info) && info.serialNumber() == serialNumber;
}

// The search itself, without a word: waits look often.
QSerialPortInfo findBootloaderPort(const QString& serialNumber)
{
    const auto ports = QSerialPortInfo::availablePorts();
    const auto found = std::find_if(ports.begin(), ports.end(), [&](const QSerialPortInfo& info) {
        return isGcuBootloaderPort(info, serialNumber);
    });
    return found == ports.end() ? QSerialPortInfo() : *found;
}

// A link that is full (the GCU reads slower than we write) fails a write with
// EAGAIN, which the port reports as a resource error just like a vanished
// device. Nothing is lost: the port keeps the bytes and writes them later. A
// read that fails so is no full link: the port stops reading after it.
bool isFullLink(QSerialPort& port)
{
    return port.error() == QSerialPort::ResourceError && port.bytesToWrite() > 0 &&
           port.errorString() == qt_error_string(EAGAIN);
}

QSerialPortInfo waitForPort(QString serialNumber, const std::function<bool()>& keepWaiting)
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

bool waitWithoutEnd()
{
    return true;
}

} // namespace

QSerialPortInfo getPortBySerialNumber(QString& serialNumber)
{
    const QSerialPortInfo found = findBootloaderPort(serialNumber);
    if (found.isNull())
        log("Returning invalid port!");
    else
        log("Found proper port " + found.systemLocation().toStdString());
    return found;
}

ComPort::ComPort() : port(std::make_unique<QSerialPort>()), stallTimer(new QTimer(this))
{
    stallTimer->setSingleShot(true);
    stallTimer->setInterval(frameStallLimitMs);
    connect(stallTimer, SIGNAL(timeout()), this, SLOT(frameStalled()));
}

ComPort::~ComPort() = default;

bool ComPort::open(QSerialPortInfo info)
{
    log("Starting worker thread");
    log("Creat new port instance");
    retirePort();
    port = std::make_unique<QSerialPort>();
    log("save serial number");
    {
        QMutexLocker lock(&serialNumberLock);
        serialNumber = info.serialNumber();
    }

    port->setPort(info);
    port->setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
    port->setFlowControl(QSerialPort::HardwareControl);
    port->setDataBits(QSerialPort::Data8);
    port->setStopBits(QSerialPort::OneStop);
    port->setParity(QSerialPort::NoParity);
    connect(port.get(), SIGNAL(readyRead()), this, SLOT(dataAvaliable()));
    connect(port.get(), SIGNAL(errorOccurred(QSerialPort::SerialPortError)), this,
            SLOT(portError()));
    connect(port.get(), SIGNAL(bytesWritten(qint64)), this, SIGNAL(bytesWritten(qint64)));
    openedPort = info;
    // Whatever the previous port left half-read has nothing to do with this one.
    reader.reset();
    stallTimer->stop();
    lossReported = false;
    readingPaused = false;
    checksWithoutRead = 0;

    log("Trying to open port " + info.systemLocation().toStdString());
    const bool portOpened = port->open(QIODevice::ReadWrite);
    if (!portOpened) {
        LogLine() << "serial error: " << static_cast<int>(port->error()) << " "
                  << port->errorString().toStdString();
    }
    log("Worker thread started");
    if (portOpened)
        emit opened();
    return portOpened;
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
    retirePort();
}

void ComPort::retirePort()
{
    if (!port)
        return;
    const bool wasOpen = port->isOpen();
    stallTimer->stop();
    port->disconnect(this);
    port->close();
    port.release()->deleteLater();
    if (wasOpen)
        emit closed();
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
    qint64 written = 0;
    bool taken = true;
    {
        QMutexLocker lock(&writeLock);
        // With nothing queued the frame goes to the device at once. Handed to the
        // port, it would have the event loop watch the device for room and wake
        // for it, twice a frame. Whatever the device does not take now, or a
        // failed write, goes through the port as before, which reports errors.
        if (port->bytesToWrite() == 0)
            written = std::max<qint64>(
                0, ::write(port->handle(), frame.constData(), static_cast<size_t>(frame.size())));
        if (written < frame.size()) {
            taken = port->write(frame.constData() + written, frame.size() - written) >= 0;
            port->flush();
        }
    }
    // Only what went out is traced: a frame sent while the port is closed, or
    // that the port refused, is not.
    if (taken && FrameTrace::process().started())
        FrameTrace::process().record(FrameTrace::Direction::ToGcu,
                                     frame.mid(FrameCodec::headerSize).toStdString());
    // Outside the lock: a listener may send the next frame at once.
    if (written > 0)
        emit bytesWritten(written);
}

std::string ComPort::getSerialNumber()
{
    return storedSerialNumber().toStdString();
}

QString ComPort::storedSerialNumber()
{
    QMutexLocker lock(&serialNumberLock);
    return serialNumber;
}

qint64 ComPort::bytesToWrite()
{
    return isOpen() ? port->bytesToWrite() : 0;
}

void ComPort::pauseReading()
{
    readingPaused = true;
    stallTimer->stop();
    if (port)
        port->setReadBufferSize(pausedReadBufferSize);
}

void ComPort::resumeReading()
{
    if (!readingPaused)
        return;
    readingPaused = false;
    if (port)
        port->setReadBufferSize(0);
    // What was buffered meanwhile announces nothing new.
    QMetaObject::invokeMethod(this, "dataAvaliable", Qt::QueuedConnection);
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
    if (!reading || readingPaused)
        return;
    checksWithoutRead = 0;
    reader.readFrames(*reading, [this, reading](std::string payload) {
        FrameTrace::process().record(FrameTrace::Direction::FromGcu, payload);
        emit commandRead(std::move(payload));
        // A handler that re-opened or closed the link has replaced the port.
        return port.get() == reading;
    });
    if (port.get() != reading)
        return;
    if (reader.midFrame(*reading))
        stallTimer->start();
    else
        stallTimer->stop();
}

bool ComPort::readerStuck()
{
    // Bytes that the system holds but this thread has not read yet (it was busy)
    // are no gap; but a port that has stopped announcing them never reads again.
    int waiting = 0;
    if (::ioctl(port->handle(), FIONREAD, &waiting) != 0 || waiting == 0) {
        checksWithoutRead = 0;
        return false;
    }
    ++checksWithoutRead;
    return true;
}

void ComPort::frameStalled()
{
    if (!isOpen() || readingPaused)
        return;
    if (readerStuck()) {
        if (checksWithoutRead < 2) {
            stallTimer->start();
        } else if (!lossReported) {
            lossReported = true;
            emit portLost("The port stopped reading what the GCU sent");
        }
        return;
    }
    if (reader.midFrame(*port))
        reader.dropIncompleteFrame(*port, frameStallLimitMs);
}

void ComPort::portError()
{
    // Only the loss of the device matters here (a USB port reports it as a resource
    // error, a vanished terminal as a failed read); open reports its own errors.
    if (port && isFullLink(*port)) {
        port->clearError();
        // A read that failed at the same time would not be retried: watched.
        if (!stallTimer->isActive() && !readingPaused)
            stallTimer->start();
        return;
    }
    if (port && port->isOpen() && !lossReported &&
        (port->error() == QSerialPort::ResourceError || port->error() == QSerialPort::ReadError)) {
        lossReported = true;
        emit portLost(port->errorString());
    }
}

void ComPort::waitForPortAvaliable()
{
    waitForPort(storedSerialNumber(), waitWithoutEnd);
}

QSerialPortInfo ComPort::waitForPortAvaliable(const QString& serial,
                                              const std::function<bool()>& keepWaiting)
{
    return waitForPort(serial, keepWaiting);
}

bool ComPort::waitForPortToLeave(const QString& serial, int limitMs,
                                 const std::function<bool()>& keepWaiting)
{
    QElapsedTimer waited;
    waited.start();
    while (!findBootloaderPort(serial).isNull()) {
        if (waited.elapsed() >= limitMs || !keepWaiting())
            return false;
        QThread::msleep(portPollIntervalMs / 4);
    }
    return true;
}

bool ComPort::reconnect()
{
    return reconnect(waitForPort(storedSerialNumber(), waitWithoutEnd));
}

bool ComPort::reconnect(const QSerialPortInfo& found)
{
    log("Found serial port " + found.systemLocation().toStdString());
    log("Opening new port");
    return open(found);
}
