#include "reconnectwaiter.h"

#include "comport.h"

#include <QMetaObject>
#include <QtConcurrent>

ReconnectWaiter::ReconnectWaiter(ComPort& comPort, QObject* context)
    : comPort(comPort), context(context), cancelled(std::make_shared<std::atomic<bool>>(false))
{
}

ReconnectWaiter::~ReconnectWaiter()
{
    *cancelled = true;
    for (QFuture<void>& wait : waits)
        wait.waitForFinished();
}

bool ReconnectWaiter::isWaiting() const
{
    for (const QFuture<void>& wait : waits)
        if (wait.isRunning())
            return true;
    return false;
}

void ReconnectWaiter::whenPortIsBack(std::function<void()> step)
{
    // Finished waits are forgotten so the list does not grow.
    for (auto it = waits.begin(); it != waits.end();)
        it = it->isFinished() ? waits.erase(it) : it + 1;
    auto flag = cancelled;
    waits.append(QtConcurrent::run([this, flag, step = std::move(step)] {
        if (comPort.waitForPortAvaliable([flag] { return !*flag; }) && !*flag)
            QMetaObject::invokeMethod(context, step, Qt::QueuedConnection);
    }));
}
