#pragma once

#include <QFuture>
#include <QObject>
#include <QSerialPortInfo>
#include <QString>
#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

class ComPort;

// Waits on the global thread pool for the GCU's port to come back after a reset,
// then, on its own thread, runs every step asked for and re-opens the link once
// with the port the wait found; the owner's thread never waits for a port itself.
// Asking while a wait runs joins that wait: no request is lost. Destroying the
// waiter gives up the wait and waits for it to end, so it never outlives what it
// serves.
//
// What the link does is said by the link itself (ComPort's opened and closed);
// a port that came back but would not open is said here.
class ReconnectWaiter : public QObject
{
    Q_OBJECT
public:
    // How long a GCU that was told to reset may take to leave the bus.
    static constexpr int leaveLimitMs = 3000;
    // How long a port that is back but refuses to open (another program probing
    // it, its permissions not set yet) is tried again.
    static constexpr int reopenRetryMs = 3000;

    explicit ReconnectWaiter(ComPort& comPort, QObject* parent = nullptr);
    ~ReconnectWaiter() override;

    // `portMayStillBeThere`: the GCU has just been told to reset and its old
    // port may not have left yet; it is given leaveLimitMs to do so. A port that
    // never leaves while the link is open is left as it is.
    void whenPortIsBack(bool portMayStillBeThere, std::function<void()> beforeReopen = {});
    // A wait or a re-open is under way.
    bool isWaiting();

signals:
    // The port came back but could not be opened within reopenRetryMs; the
    // port's own words.
    void reopenFailed(QString reason);

private:
    void waitInBackground(QString serial, bool portMayStillBeThere);
    void reopen(const QSerialPortInfo& found, int triesLeft);

    ComPort& comPort;
    std::atomic<bool> cancelled{false};
    std::mutex stepLock;
    bool waiting = false;
    // The found port is being opened, or tried again.
    std::atomic<bool> reopening{false};
    // A request that came during the wait needs the GCU to leave once more.
    bool leaveAgain = false;
    std::vector<std::function<void()>> pendingSteps;
    QFuture<void> wait;
};
