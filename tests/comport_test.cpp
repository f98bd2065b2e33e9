#include "comport.h"
#include "frametrace.h"
#include "gcu.pb.h"
#include "testbus.h"

#include <QSerialPort>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

// A ComPort opened on a fresh fake GCU port, recording every received payload.
class ComPortTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QObject::connect(&comPort, &ComPort::commandRead,
                         [this](std::string payload) { received.push_back(std::move(payload)); });
        ASSERT_TRUE(comPort.open(gcu.info()));
    }

    bool receivedCount(size_t count, int timeoutMs = 3000)
    {
        return spinUntil([&] { return received.size() >= count; }, timeoutMs);
    }

    FakeUsbPort gcu{"SN-COMPORT"};
    ComPort comPort;
    std::vector<std::string> received;
};

} // namespace

TEST_F(ComPortTest, FrameArrivingWholeIsDeliveredWithoutItsHeader)
{
    gcu.far().writeAll(std::string("\x05\x00\x00\x00hello", 9));
    ASSERT_TRUE(receivedCount(1));
    EXPECT_EQ(received, std::vector<std::string>{"hello"});
}

TEST_F(ComPortTest, HeaderSplitInTwoDeliveriesIsReadWhenComplete)
{
    gcu.far().writeAll(std::string("\x03\x00", 2));
    spinFor(50);
    gcu.far().writeAll(std::string("\x00\x00", 2));
    spinFor(50);
    EXPECT_TRUE(received.empty());
    gcu.far().writeAll("abc");
    ASSERT_TRUE(receivedCount(1));
    EXPECT_EQ(received, std::vector<std::string>{"abc"});
}

TEST_F(ComPortTest, PayloadInPiecesIsDeliveredOnceWhole)
{
    const std::string payload(1000, 'p');
    const std::string frame = frameOf(payload);
    gcu.far().writeAll(frame.substr(0, 4));
    for (size_t at = 4; at < frame.size(); at += 97) {
        spinFor(5);
        gcu.far().writeAll(frame.substr(at, 97));
    }
    ASSERT_TRUE(receivedCount(1));
    spinFor(50);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], payload);
}

TEST_F(ComPortTest, FramesArrivingTogetherAreDeliveredInOrder)
{
    gcu.far().writeAll(frameOf("first") + frameOf("") + frameOf("second") + frameOf(""));
    ASSERT_TRUE(receivedCount(4));
    EXPECT_EQ(received, (std::vector<std::string>{"first", "", "second", ""}));
}

TEST_F(ComPortTest, LargePayloadsArriveIntact)
{
    std::string medium(300, '\0');
    for (size_t i = 0; i < medium.size(); ++i)
        medium[i] = static_cast<char>(i);
    std::string large(1 << 20, '\0');
    for (size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i * 7 + 3);

    std::thread writer([&] { gcu.far().writeAll(frameOf(medium) + frameOf(large)); });
    const bool arrived = receivedCount(2, 10000);
    writer.join();
    ASSERT_TRUE(arrived);
    EXPECT_EQ(received[0], medium);
    EXPECT_EQ(received[1], large);
}

TEST_F(ComPortTest, OversizeHeaderIsDiscardedAndTheNextFrameIsRead)
{
    const long before = residentKiB();
    StdoutCapture log;
    gcu.far().writeAll(std::string("\xff\xff\xff\x7f", 4) + "junk");
    ASSERT_TRUE(spinUntil([&] { return log.text().find("2147483647") != std::string::npos; }));
    gcu.far().writeAll(frameOf("good"));
    ASSERT_TRUE(receivedCount(1));
    EXPECT_EQ(received, std::vector<std::string>{"good"});
    EXPECT_LT(residentKiB() - before, 16 * 1024);
}

TEST_F(ComPortTest, CutShortFramesAreDroppedAfterAGapAndAnswersFlowAgain)
{
    StdoutCapture log;
    // The gap is timed from when the bytes are read: the next frame is written
    // only once the cut is made.
    const auto dropped = [&](const std::string& line) {
        return spinUntil([&] { return log.contains(line); }, 10000);
    };
    // A header announcing 100 bytes of which 10 came before the GCU went quiet.
    gcu.far().writeAll(std::string("\x64\x00\x00\x00", 4) + std::string(10, 'x'));
    ASSERT_TRUE(dropped("Incomplete frame dropped: no bytes came for 500 ms, discarded 14 bytes"))
        << log.text();
    gcu.far().writeAll(frameOf("pong"));
    ASSERT_TRUE(receivedCount(1));
    EXPECT_EQ(received, std::vector<std::string>{"pong"});

    // Half a header is cut short just the same.
    gcu.far().writeAll(std::string("\x07\x00", 2));
    ASSERT_TRUE(dropped("Incomplete frame dropped: no bytes came for 500 ms, discarded 2 bytes"))
        << log.text();
    gcu.far().writeAll(frameOf("second"));
    ASSERT_TRUE(receivedCount(2));
    EXPECT_EQ(received[1], "second");

    // A frame whose pieces keep coming, however slowly, is not cut.
    const std::string frame = frameOf(std::string(40, 's'));
    for (size_t at = 0; at < frame.size(); at += 11) {
        gcu.far().writeAll(frame.substr(at, 11));
        spinFor(150);
    }
    ASSERT_TRUE(receivedCount(3));
    EXPECT_EQ(received[2], std::string(40, 's'));
    EXPECT_EQ(log.text().find("discarded 0 bytes"), std::string::npos);
}

TEST_F(ComPortTest, HandlersMayCloseAndReopenTheLinkDirectly)
{
    // Tools built on the library need not defer: the port object a handler
    // replaces outlives the signal it is emitting (AddressSanitizer checks).
    QObject::connect(&comPort, &ComPort::commandRead, [this](const std::string& payload) {
        if (payload == "reopen")
            comPort.open(gcu.info());
        else if (payload == "close")
            comPort.close();
    });
    gcu.far().writeAll(frameOf("reopen") + frameOf("lost in the old port"));
    ASSERT_TRUE(receivedCount(1));
    spinFor(100);
    gcu.writeFrame("after reopen");
    ASSERT_TRUE(receivedCount(2));
    EXPECT_EQ(received[1], "after reopen");
    gcu.writeFrame("close");
    ASSERT_TRUE(receivedCount(3));
    EXPECT_FALSE(comPort.isOpen());

    // The same from portLost: the GCU goes away and the handler opens another port.
    FakeUsbPort other("SN-OTHER");
    ASSERT_TRUE(comPort.open(gcu.info()));
    QObject::connect(&comPort, &ComPort::portLost, [&] { comPort.open(other.info()); });
    gcu.far().close();
    ASSERT_TRUE(spinUntil([&] { return comPort.getSerialNumber() == "SN-OTHER"; }));
    other.writeFrame("from the other port");
    ASSERT_TRUE(receivedCount(4));
    EXPECT_EQ(received[3], "from the other port");
}

TEST(ComPortWaits, WaitKeepsTheSerialNumberItStartedWithWhileTheOwnerOpensOthers)
{
    FakeUsbPort first("SN-FIRST");
    FakeUsbPort second("SN-SECOND");
    ComPort comPort;
    ASSERT_TRUE(comPort.open(first.info()));
    std::atomic<bool> keepWaiting{true};
    // The wait takes the serial number when it starts, and asks whether to go on
    // only after its first look: once it asks, it has its serial number.
    std::atomic<bool> waiting{false};
    QSerialPortInfo found;
    std::thread waiter([&] {
        found = comPort.waitForPortAvaliable(comPort.storedSerialNumber(), [&] {
            waiting = true;
            return keepWaiting.load();
        });
    });
    ASSERT_TRUE(spinUntil([&] { return waiting.load(); }, 5000));
    // Connect pressed on another GCU while the wait runs (ThreadSanitizer watches).
    for (int i = 0; i < 20; ++i) {
        comPort.open(i % 2 ? first.info() : second.info());
        spinFor(10);
    }
    FakeUsbPort back("SN-FIRST", 0xEEEF);
    const bool ended = spinUntil([&] { return !found.isNull(); }, 3000);
    keepWaiting = false;
    waiter.join();
    ASSERT_TRUE(ended);
    EXPECT_EQ(found.serialNumber(), "SN-FIRST");
    EXPECT_EQ(found.systemLocation(), back.systemLocation());
}

TEST_F(ComPortTest, SendWritesOneFrameWithLittleEndianLength)
{
    comPort.commandSend("");
    EXPECT_EQ(gcu.drain(), std::string(4, '\0'));

    const std::string payload(300, 'x');
    comPort.commandSend(payload);
    EXPECT_EQ(gcu.drain(), std::string("\x2c\x01\x00\x00", 4) + payload);

    comPort.commandSend(std::string("a\0b", 3));
    EXPECT_EQ(gcu.drain(), std::string("\x03\x00\x00\x00"
                                       "a\0b",
                                       7));
}

TEST_F(ComPortTest, NothingIsWrittenAfterClose)
{
    StdoutCapture log;
    comPort.close();
    EXPECT_FALSE(comPort.isOpen());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Closing underlying port "});
    comPort.commandSend("dropped");
    spinFor(20);
    EXPECT_EQ(gcu.drain(), "");
    EXPECT_EQ(comPort.error(), "");
    EXPECT_EQ(comPort.getSerialNumber(), "SN-COMPORT");
}

TEST_F(ComPortTest, ReopenLogsTheWholeSequenceAndStartsReadingAfresh)
{
    // Half a frame from before the re-open must not swallow the next frame.
    gcu.far().writeAll(std::string("\x10\x00\x00\x00par", 7));
    spinFor(50);

    StdoutCapture log;
    ASSERT_TRUE(comPort.open(gcu.info()));
    const std::string location = gcu.info().systemLocation().toStdString();
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"Starting worker thread", "Creat new port instance",
                                        "save serial number", "Trying to open port " + location,
                                        "Worker thread started"}));
    gcu.far().writeAll(frameOf("fresh"));
    ASSERT_TRUE(receivedCount(1));
    EXPECT_EQ(received, std::vector<std::string>{"fresh"});
}

TEST(ComPortLifecycle, NothingIsWrittenBeforeOpen)
{
    FakeUsbPort gcu("SN-UNOPENED");
    ComPort comPort;
    EXPECT_FALSE(comPort.isOpen());
    comPort.commandSend("dropped");
    EXPECT_EQ(gcu.drain(), "");
    EXPECT_EQ(comPort.getSerialNumber(), "");
}

TEST(ComPortLifecycle, FailedOpenReportsTheErrorAndKeepsTheIdentity)
{
    // Listed, but its device node is gone. Not a pseudo-terminal freed for the
    // purpose: another test's port may take its number at once.
    VirtualUsbDevice listed(TestBus::directory(), {"ttyVANISHED" + std::to_string(::getpid()),
                                                   TestBus::directory() + "-vanished-node", 0x04D8,
                                                   0xEEF0, "SN-VANISHED"});
    ASSERT_TRUE(listed.publish());
    QSerialPortInfo vanished;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        if (info.serialNumber() == "SN-VANISHED")
            vanished = info;
    ASSERT_FALSE(vanished.isNull());
    ComPort comPort;
    StdoutCapture log;
    EXPECT_FALSE(comPort.open(vanished));
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[4].rfind("serial error: ", 0), 0u) << lines[4];
    EXPECT_EQ(lines[5], "Worker thread started");
    EXPECT_FALSE(comPort.isOpen());
    EXPECT_FALSE(comPort.error().empty());
    EXPECT_EQ(comPort.getSerialNumber(), "SN-VANISHED");
    EXPECT_EQ(comPort.getOpenedPort().systemLocation(), vanished.systemLocation());

    comPort.commandSend("dropped");
    StdoutCapture closeLog;
    comPort.close();
    EXPECT_EQ(closeLog.text(), "");
}

TEST_F(ComPortTest, FramesFromManyThreadsArriveWholeAndInEachThreadsOrder)
{
    constexpr int threads = 4;
    constexpr int framesPerThread = 1000;
    std::vector<std::string> frames;
    std::atomic<bool> readerDone{false};
    std::thread reader([&] {
        while (frames.size() < threads * framesPerThread) {
            auto frame = gcu.readFrame(5000);
            if (!frame)
                break;
            frames.push_back(*frame);
        }
        readerDone = true;
    });
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([this, t] {
            for (int i = 0; i < framesPerThread; ++i)
                comPort.commandSend(std::to_string(t) + ":" + std::to_string(i) + ":" +
                                    std::string(static_cast<size_t>(i % 50), 'z'));
        });
    }
    for (auto& sender : senders)
        sender.join();
    spinUntil([&] { return readerDone.load(); }, 20000);
    reader.join();

    ASSERT_EQ(frames.size(), size_t(threads * framesPerThread));
    std::vector<int> next(threads, 0);
    for (const std::string& frame : frames) {
        const size_t first = frame.find(':');
        const size_t second = frame.find(':', first + 1);
        ASSERT_NE(second, std::string::npos) << frame;
        const int t = std::stoi(frame.substr(0, first));
        const int i = std::stoi(frame.substr(first + 1, second - first - 1));
        EXPECT_EQ(i, next[t]) << "thread " << t;
        EXPECT_EQ(frame.size() - second - 1, size_t(i % 50));
        next[t] = i + 1;
    }
}

TEST(FrameTraceRing, KeepsTheLastFramesFromEveryThreadWithTheirKindAndFirstBytes)
{
    FrameTrace& trace = FrameTrace::process();
    trace.start();
    Command ping;
    ping.mutable_ping()->set_sequenceno(7);
    const std::string unparsable("\x0b\xff", 2);
    // Four threads at once, more frames than the ring holds.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (size_t i = 0; i < FrameTrace::maxFrames / 4 + 100; ++i)
                trace.record(FrameTrace::Direction::ToGcu, ping.SerializeAsString());
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(trace.frames(), FrameTrace::maxFrames);
    trace.record(FrameTrace::Direction::FromGcu, std::string(100, 'x') + unparsable);
    trace.record(FrameTrace::Direction::FromServer, "");
    EXPECT_EQ(trace.frames(), FrameTrace::maxFrames);

    std::ostringstream text;
    trace.write(text);
    std::vector<std::string> lines;
    std::istringstream in(text.str());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), FrameTrace::maxFrames);
    const std::string hexOfPing =
        QByteArray::fromStdString(ping.SerializeAsString()).toHex(' ').toStdString();
    EXPECT_NE(lines.front().find(" to-gcu 4 ping " + hexOfPing), std::string::npos)
        << lines.front();
    EXPECT_NE(lines[lines.size() - 2].find(" from-gcu 102 unparsable 78 78"), std::string::npos);
    EXPECT_EQ(std::count(lines[lines.size() - 2].begin(), lines[lines.size() - 2].end(), ' '),
              3 + 64);
    EXPECT_NE(lines.back().find(" from-server 0 none"), std::string::npos) << lines.back();
}
