#pragma once

#include <QFuture>
#include <QSerialPortInfo>
#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

class ComPort;
class QObject;

// Waits on the global thread pool for the GCU's port to come back after a reset,
// then, on the thread of `context`, runs every step asked for and re-opens the
// link once with the port the wait found; the owner's thread never waits for a
// port itself. Asking while a wait runs joins that wait: no request is lost.
// Destroying the waiter gives up the wait and waits for it to end, so it never
// outlives what it serves.
class ReconnectWaiter
{
public:
    using Reopen = std::function<void(const QSerialPortInfo& found)>;

    // How long a GCU that was told to reset may take to leave the bus.
    static constexpr int leaveLimitMs = 3000;

    ReconnectWaiter(ComPort& comPort, QObject* context, Reopen reopen);
    ~ReconnectWaiter();
    ReconnectWaiter(const ReconnectWaiter&) = delete;
    ReconnectWaiter& operator=(const ReconnectWaiter&) = delete;

    // `portMayStillBeThere`: the GCU has just been told to reset and its old
    // port may not have left yet; it is given leaveLimitMs to do so, and is
    // re-opened as it is if it never leaves.
    void whenPortIsBack(bool portMayStillBeThere, std::function<void()> beforeReopen = {});
    bool isWaiting();

private:
    void waitInBackground(bool portMayStillBeThere);

    ComPort& comPort;
    QObject* context;
    Reopen reopen;
    std::atomic<bool> cancelled{false};
    std::mutex stepLock;
    bool waiting = false;
    // A request that came during the wait needs the GCU to leave once more.
    bool leaveAgain = false;
    std::vector<std::function<void()>> pendingSteps;
    QFuture<void> wait;
};
