#include "clientconnection.h"
#include "server.pb.h"
#include "softwareserverresponsesender.h"
#include "testbus.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A ClientConnection to a local server, and the server's end of it.
class ConnectionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
        connection = std::make_unique<ClientConnection>("127.0.0.1", server.serverPort());
        QObject::connect(connection.get(), &ClientConnection::commandRead,
                         [this](std::string payload) { received.push_back(payload); });
        ASSERT_TRUE(spinUntil([this] { return server.hasPendingConnections(); }));
        peer = server.nextPendingConnection();
        ASSERT_TRUE(spinUntil([this] {
            return connection->error().empty() || peer->state() == QAbstractSocket::ConnectedState;
        }));
    }

    void peerWrites(const std::string& bytes)
    {
        peer->write(bytes.data(), static_cast<qint64>(bytes.size()));
        peer->flush();
        spinFor(30);
    }

    std::string peerReads(int quietMs = 100)
    {
        std::string bytes;
        spinUntil([&] { return false; }, quietMs);
        bytes = peer->readAll().toStdString();
        return bytes;
    }

    QTcpServer server;
    std::unique_ptr<ClientConnection> connection;
    QTcpSocket* peer = nullptr;
    std::vector<std::string> received;
};

} // namespace

TEST_F(ConnectionTest, HeaderBytesArrivingOneByOneWaitForTheRest)
{
    const std::string frame = frameOf("xyz");
    for (size_t i = 0; i < 3; ++i) {
        peerWrites(frame.substr(i, 1));
        EXPECT_TRUE(received.empty());
    }
    peerWrites(frame.substr(3, 1));
    EXPECT_TRUE(received.empty()) << "a header alone is no frame";
    for (size_t i = 4; i < frame.size(); ++i)
        peerWrites(frame.substr(i, 1));
    ASSERT_TRUE(spinUntil([&] { return received.size() == 1; }));
    EXPECT_EQ(received[0], "xyz");
}

TEST_F(ConnectionTest, FramesTogetherAndEmptyFramesArriveInOrder)
{
    peerWrites(frameOf("one") + frameOf("") + frameOf("two"));
    ASSERT_TRUE(spinUntil([&] { return received.size() == 3; }));
    EXPECT_EQ(received, (std::vector<std::string>{"one", "", "two"}));
    const std::string big(100000, 'b');
    const std::string frame = frameOf(big);
    for (size_t at = 0; at < frame.size(); at += 7001)
        peerWrites(frame.substr(at, 7001));
    ASSERT_TRUE(spinUntil([&] { return received.size() == 4; }));
    EXPECT_EQ(received[3], big);
}

TEST_F(ConnectionTest, WriteSendsExactFramesAndNothingAfterClose)
{
    connection->write("");
    EXPECT_EQ(peerReads(), std::string(4, '\0'));
    connection->write("abc");
    EXPECT_EQ(peerReads(), std::string("\x03\x00\x00\x00"
                                       "abc",
                                       7));
    connection->close();
    connection->write("late");
    EXPECT_EQ(peerReads(), "");
    EXPECT_TRUE(connection->isActive());
}

TEST_F(ConnectionTest, OversizeHeaderIsDroppedAndReadingGoesOn)
{
    StdoutCapture log;
    peerWrites(std::string("\xf0\xff\xff\xff", 4) + "rest of a bogus frame");
    ASSERT_TRUE(spinUntil([&] { return log.text().find("4294967280") != std::string::npos; }));
    peerWrites(frameOf("after"));
    ASSERT_TRUE(spinUntil([&] { return received.size() == 1; }));
    EXPECT_EQ(received[0], "after");
}

TEST_F(ConnectionTest, ResponseSenderSelectsEachMemberAlsoWhenEmpty)
{
    SoftwareServerResponseSender sender(connection.get());
    sender.sendReconnect();
    EXPECT_EQ(peerReads(), std::string("\x02\x00\x00\x00\x22\x00", 6));

    std::vector<std::function<void()>> sends = {
        [&] { sender.sendGetSerialNumber(""); },
        [&] { sender.sendGetFirmwareVersion(""); },
        [&] { sender.sendReceivedPacketFromGcu(""); },
        [&] { sender.sendReconnect(); },
    };
    for (size_t member = 1; member <= sends.size(); ++member) {
        sends[member - 1]();
        const std::string frame = peerReads();
        ASSERT_GE(frame.size(), 4u);
        SoftwareServerResponse response;
        ASSERT_TRUE(response.ParseFromString(frame.substr(4)));
        EXPECT_EQ(static_cast<size_t>(response.resp_case()), member);
    }

    // Two sends, two frames, each with only its own member.
    sender.sendGetSerialNumber("SN1");
    sender.sendGetFirmwareVersion("2.0.0");
    const std::string both = peerReads();
    SoftwareServerResponse first, second;
    ASSERT_TRUE(first.ParseFromString(both.substr(4, uint8_t(both[0]))));
    ASSERT_TRUE(second.ParseFromString(both.substr(8 + uint8_t(both[0]))));
    EXPECT_EQ(first.get_serial_number().serial_number(), "SN1");
    EXPECT_FALSE(second.has_get_serial_number());
    EXPECT_EQ(second.get_firmware_versions().version(), "2.0.0");
}

TEST(ClientConnectionFailures, UnreachableServerIsReportedButStaysActive)
{
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const quint16 closedPort = probe.serverPort();
    probe.close();
    // A refused connection is reported later; a multicast address fails inside
    // connectToHost itself, before anyone could listen to the connection.
    for (const char* host : {"127.0.0.1", "224.0.0.1"}) {
        ClientConnection connection(host, closedPort);
        EXPECT_TRUE(connection.isActive());
        QSignalSpy failed(&connection, &ClientConnection::connectionFailed);
        QSignalSpy closed(&connection, &ClientConnection::connectionClosed);
        ASSERT_TRUE(spinUntil([&] { return failed.count() == 1; })) << host;
        EXPECT_FALSE(failed.at(0).at(0).toString().isEmpty());
        EXPECT_FALSE(connection.error().empty());
        EXPECT_EQ(closed.count(), 0);
    }
}

TEST_F(ConnectionTest, ServerClosingAfterItsLastFrameIsNoFailure)
{
    QSignalSpy failed(connection.get(), &ClientConnection::connectionFailed);
    QSignalSpy closed(connection.get(), &ClientConnection::connectionClosed);
    peerWrites(frameOf("last"));
    peer->disconnectFromHost();
    ASSERT_TRUE(spinUntil([&] { return closed.count() == 1; }));
    EXPECT_EQ(received, std::vector<std::string>{"last"}) << "the frame came before the close";
    EXPECT_EQ(failed.count(), 0);
}

TEST_F(ConnectionTest, ServerClosingWhileReadingIsPausedIsToldAfterTheFramesHeldBack)
{
    QSignalSpy closedLater(connection.get(), &ClientConnection::connectionClosed);
    std::vector<size_t> framesAtClose;
    QObject::connect(connection.get(), &ClientConnection::connectionClosed,
                     [&] { framesAtClose.push_back(received.size()); });
    connection->pauseReading();
    peerWrites(frameOf("one") + frameOf("two"));
    peer->disconnectFromHost();
    spinFor(300);
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(closedLater.count(), 0) << "the close overtook the frames held back";
    connection->resumeReading();
    ASSERT_TRUE(spinUntil([&] { return closedLater.count() == 1; }));
    EXPECT_EQ(received, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(framesAtClose, std::vector<size_t>{2});
}

namespace {

// A server on a thread of its own, for the blocking reads that hold the
// connection's thread.
class ThreadedPeer
{
public:
    ThreadedPeer()
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 1);
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~ThreadedPeer()
    {
        if (worker.joinable())
            worker.join();
        ::close(listener);
    }
    // Accepts, waits, writes `bytes`, then closes.
    void serve(std::string bytes, int delayMs)
    {
        worker = std::thread([this, bytes, delayMs] {
            const int client = accept(listener, nullptr, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            if (!bytes.empty() && ::write(client, bytes.data(), bytes.size()) < 0)
                ADD_FAILURE() << "the peer could not write";
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ::close(client);
        });
    }

    unsigned short port = 0;

private:
    int listener = -1;
    std::thread worker;
};

} // namespace

TEST(ClientConnectionBlockingReads, ReadDataWaitsForAWholeFrame)
{
    ThreadedPeer peer;
    peer.serve(frameOf("blocking"), 100);
    ClientConnection connection("127.0.0.1", peer.port);
    EXPECT_EQ(connection.readData(), "blocking");
}

TEST(ClientConnectionBlockingReads, ReadsGiveUpWhenThePeerCloses)
{
    ThreadedPeer peer;
    peer.serve(std::string("\x09\x00\x00\x00part", 8), 50);
    ClientConnection connection("127.0.0.1", peer.port);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(connection.readData(), "");
    char buffer[16];
    EXPECT_LT(connection.read(buffer, sizeof buffer), 0);
    EXPECT_FALSE(connection.isActive());
    EXPECT_LT(timer.elapsed(), 5000) << "the reads spun instead of giving up";
}

TEST(ClientConnectionBlockingReads, RawReadTakesExactlyWhatWasAskedFor)
{
    ThreadedPeer peer;
    peer.serve("0123456789", 50);
    ClientConnection connection("127.0.0.1", peer.port);
    char buffer[6] = {};
    EXPECT_EQ(connection.read(buffer, 6), 6);
    EXPECT_EQ(std::string(buffer, 6), "012345");
    EXPECT_TRUE(connection.isActive());
}
