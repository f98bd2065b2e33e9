#pragma once

#include "framecodec.h"
#include "iodevice.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <memory>

class QTcpSocket;

// The TCP link to the update server: length-prefixed frames both ways, the same
// frames as on the serial link. Incoming frames are emitted through commandRead
// as they complete; the blocking reads are an alternative for a caller without an
// event loop.
class ClientConnection : public QObject, public IODevice
{
    Q_OBJECT
public:
    ClientConnection(QString host, unsigned short port);
    ~ClientConnection() override;

    int32_t read(void* buffer, unsigned long long length) override;
    std::string readData() override;
    void write(std::string data) override;
    void close() override;
    bool isActive() override;
    std::string error() override;

    // Stops taking frames from the server until resumeReading: what the socket
    // has buffered stays there, and once its buffer is full TCP holds the server
    // back.
    void pauseReading();
    void resumeReading();
    bool readingPaused() const { return paused; }
    // Bytes written to the connection that the system has not taken yet.
    qint64 bytesToWrite() const;

signals:
    void commandRead(std::string data);
    // The connection could not be made or was lost; the socket's own words.
    void connectionFailed(QString reason);
    // The server closed the connection, as it does when it is done.
    void connectionClosed();
    // The server closed the connection while reading was paused: it is told
    // through connectionClosed once the frames sent before it have been taken.
    void closeHeldBack();
    // The system has taken more of what was written.
    void bytesWritten();

private slots:
    void dataAvaliable();

private:
    // Waits once for more bytes; false when the connection is gone and nothing
    // more will come.
    bool waitForMoreData();

    std::unique_ptr<QTcpSocket> socket;
    bool active = false;
    QMutex writeLock;
    QMutex readLock;
    FrameCodec reader;
    // A blocking read has the stream: the event-driven reader, which the waits
    // inside it would otherwise run, leaves the bytes alone.
    bool blockingRead = false;
    bool paused = false;
    // The server closed while frames it sent before were held back.
    bool closeWaiting = false;
};
