#pragma once

#include <QFuture>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class ComPort;
class QObject;

// Waits on the global thread pool for the GCU's port to come back after a reset,
// then runs a step on the thread of `context`. One wait at a time: asking again
// while a wait runs only replaces the step it will run. Destroying the waiter
// gives up the wait and waits for it to end, so it never outlives what it serves.
class ReconnectWaiter
{
public:
    ReconnectWaiter(ComPort& comPort, QObject* context);
    ~ReconnectWaiter();
    ReconnectWaiter(const ReconnectWaiter&) = delete;
    ReconnectWaiter& operator=(const ReconnectWaiter&) = delete;

    void whenPortIsBack(std::function<void()> step);

private:
    ComPort& comPort;
    QObject* context;
    std::atomic<bool> cancelled{false};
    std::mutex stepLock;
    std::function<void()> pendingStep;
    QFuture<void> wait;
};
