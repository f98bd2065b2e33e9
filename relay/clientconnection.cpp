#include "clientconnection.h"

#include "frametrace.h"
#include "logline.h"

#include <QTcpSocket>

namespace {
constexpr int readWaitMs = 30000;
}

ClientConnection::ClientConnection(QString host, unsigned short port)
    : socket(std::make_unique<QTcpSocket>())
{
    connect(socket.get(), SIGNAL(readyRead()), this, SLOT(dataAvaliable()));
    connect(socket.get(), SIGNAL(bytesWritten(qint64)), this, SIGNAL(bytesWritten()));
    // Some failures are reported while connectToHost is still running, before
    // whoever made this connection could listen: they are passed on from the
    // event loop, after any frames that came before them.
    connect(socket.get(), &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) {
                const QString reason = socket->errorString();
                QMetaObject::invokeMethod(
                    this,
                    [this, error, reason] {
                        // Frames held back while reading is paused came before
                        // the close: it is told once they have been taken.
                        if (error == QAbstractSocket::RemoteHostClosedError && paused) {
                            closeWaiting = true;
                            emit closeHeldBack();
                        } else if (error == QAbstractSocket::RemoteHostClosedError)
                            emit connectionClosed();
                        else
                            emit connectionFailed(reason);
                    },
                    Qt::QueuedConnection);
            });
    // The option asked for before connecting is asked for again on the live socket.
    connect(socket.get(), &QTcpSocket::connected, this,
            [this] { socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    active = true;
}

ClientConnection::~ClientConnection() = default;

void ClientConnection::write(std::string data)
{
    if (!socket->isOpen())
        return;
    FrameTrace::process().record(FrameTrace::Direction::ToServer, data);
    const QByteArray frame = FrameCodec::encode(data);
    QMutexLocker lock(&writeLock);
    socket->write(frame);
    socket->flush();
}

void ClientConnection::dataAvaliable()
{
    if (blockingRead || paused)
        return;
    reader.readFrames(*socket, [this](std::string payload) {
        FrameTrace::process().record(FrameTrace::Direction::FromServer, payload);
        emit commandRead(std::move(payload));
        return !paused;
    });
    if (closeWaiting && !paused) {
        closeWaiting = false;
        emit connectionClosed();
    } else if (closeWaiting) {
        // Paused again by what was just taken: the close still waits, and whoever
        // paused may now know it cannot wait for ever.
        emit closeHeldBack();
    }
}

namespace {
// While paused the socket reads no more than this from the system.
constexpr qint64 pausedReadBufferSize = 64 * 1024;
} // namespace

void ClientConnection::pauseReading()
{
    paused = true;
    socket->setReadBufferSize(pausedReadBufferSize);
}

void ClientConnection::resumeReading()
{
    if (!paused)
        return;
    paused = false;
    socket->setReadBufferSize(0);
    // Frames already buffered announce nothing new: they are read from the
    // event loop, outside whatever handler resumed.
    QMetaObject::invokeMethod(this, "dataAvaliable", Qt::QueuedConnection);
}

bool ClientConnection::waitForMoreData()
{
    const qint64 before = socket->bytesAvailable();
    socket->waitForReadyRead(readWaitMs);
    return socket->bytesAvailable() > before ||
           socket->state() != QAbstractSocket::UnconnectedState;
}

namespace {

// Marks a blocking read for as long as it lasts.
class BlockingReadScope
{
public:
    explicit BlockingReadScope(bool& flag) : flag(flag) { flag = true; }
    ~BlockingReadScope() { flag = false; }

private:
    bool& flag;
};

} // namespace

std::string ClientConnection::readData()
{
    QMutexLocker lock(&readLock);
    BlockingReadScope scope(blockingRead);
    std::optional<uint32_t> length;
    while (!(length = FrameCodec::takeHeader(*socket))) {
        LogLine() << "Waiting for header data " << socket->bytesAvailable();
        if (!waitForMoreData())
            return {};
    }
    std::string payload(*length, '\0');
    for (;;) {
        if (socket->bytesAvailable() < *length) {
            if (!waitForMoreData())
                return {};
            continue;
        }
        socket->startTransaction();
        if (socket->read(payload.data(), *length) == *length) {
            socket->commitTransaction();
            FrameTrace::process().record(FrameTrace::Direction::FromServer, payload);
            return payload;
        }
        LogLine() << "Socket message rollback!";
        socket->rollbackTransaction();
    }
}

int32_t ClientConnection::read(void* buffer, unsigned long long length)
{
    QMutexLocker lock(&readLock);
    BlockingReadScope scope(blockingRead);
    for (;;) {
        while (static_cast<unsigned long long>(socket->bytesAvailable()) < length) {
            LogLine() << "Waiting for data " << socket->bytesAvailable() << "/" << length;
            if (!waitForMoreData()) {
                active = false;
                return -1;
            }
        }
        socket->startTransaction();
        const qint64 count = socket->read(static_cast<char*>(buffer), static_cast<qint64>(length));
        LogLine() << "Red data " << count << "/" << length;
        if (count < 0 || static_cast<unsigned long long>(count) >= length) {
            socket->commitTransaction();
            active = count >= 0;
            return static_cast<int32_t>(count);
        }
        LogLine() << "Socket rollback!";
        socket->rollbackTransaction();
    }
}

void ClientConnection::close()
{
    socket->close();
}

qint64 ClientConnection::bytesToWrite() const
{
    return socket->bytesToWrite();
}

bool ClientConnection::isActive()
{
    return active;
}

std::string ClientConnection::error()
{
    return socket->errorString().toStdString();
}
