#include "clientconnection.h"

#include "logline.h"

#include <QTcpSocket>

namespace {
constexpr int readWaitMs = 30000;
}

ClientConnection::ClientConnection(QString host, unsigned short port)
    : socket(std::make_unique<QTcpSocket>())
{
    connect(socket.get(), SIGNAL(readyRead()), this, SLOT(dataAvaliable()));
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    // The option asked for before connecting is asked for again on the live socket.
    connect(socket.get(), &QTcpSocket::connected, this,
            [this] { socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
    connect(socket.get(), &QAbstractSocket::errorOccurred, this,
            [this] { emit connectionFailed(socket->errorString()); });
    active = true;
}

ClientConnection::~ClientConnection() = default;

void ClientConnection::write(std::string data)
{
    if (!socket->isOpen())
        return;
    const QByteArray frame = FrameCodec::encode(data);
    QMutexLocker lock(&writeLock);
    socket->write(frame);
    socket->flush();
}

void ClientConnection::dataAvaliable()
{
    if (blockingRead)
        return;
    reader.readFrames(*socket, [this](std::string payload) {
        emit commandRead(std::move(payload));
        return true;
    });
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
    uint32_t length = 0;
    for (;;) {
        if (socket->bytesAvailable() > 3) {
            socket->startTransaction();
            unsigned char header[FrameCodec::headerSize];
            if (socket->read(reinterpret_cast<char*>(header), sizeof header) == sizeof header) {
                socket->commitTransaction();
                length = FrameCodec::lengthOf(header);
                break;
            }
            LogLine() << "Socket header rollback!";
            socket->rollbackTransaction();
            continue;
        }
        LogLine() << "Waiting for header data " << socket->bytesAvailable();
        if (!waitForMoreData())
            return {};
    }
    if (length > FrameCodec::maxFrameLength) {
        LogLine() << "Corrupt stream: frame length " << length << " exceeds the limit of "
                  << FrameCodec::maxFrameLength << " bytes";
        return {};
    }
    std::string payload(length, '\0');
    for (;;) {
        if (socket->bytesAvailable() < length) {
            if (!waitForMoreData())
                return {};
            continue;
        }
        socket->startTransaction();
        if (socket->read(payload.data(), length) == length) {
            socket->commitTransaction();
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

bool ClientConnection::isActive()
{
    return active;
}

std::string ClientConnection::error()
{
    return socket->errorString().toStdString();
}
