#pragma once

#include <QFuture>
#include <QList>
#include <atomic>
#include <functional>
#include <memory>

class ComPort;
class QObject;

// Waits on the global thread pool for the GCU's port to come back after a reset,
// then runs a step on the thread of `context`. Destroying the waiter gives up
// every wait still running and waits for it to end, so no wait outlives the
// objects it serves.
class ReconnectWaiter
{
public:
    ReconnectWaiter(ComPort& comPort, QObject* context);
    ~ReconnectWaiter();
    ReconnectWaiter(const ReconnectWaiter&) = delete;
    ReconnectWaiter& operator=(const ReconnectWaiter&) = delete;

    void whenPortIsBack(std::function<void()> step);
    bool isWaiting() const;

private:
    ComPort& comPort;
    QObject* context;
    std::shared_ptr<std::atomic<bool>> cancelled;
    QList<QFuture<void>> waits;
};
