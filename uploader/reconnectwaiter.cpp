#include "reconnectwaiter.h"

#include "comport.h"

#include <QMetaObject>
#include <QtConcurrent>

ReconnectWaiter::ReconnectWaiter(ComPort& comPort, QObject* context)
    : comPort(comPort), context(context)
{
}

ReconnectWaiter::~ReconnectWaiter()
{
    cancelled = true;
    wait.waitForFinished();
}

void ReconnectWaiter::whenPortIsBack(std::function<void()> step)
{
    std::lock_guard<std::mutex> lock(stepLock);
    const bool waiting = static_cast<bool>(pendingStep);
    pendingStep = std::move(step);
    if (waiting)
        return;
    wait = QtConcurrent::run([this] {
        if (!comPort.waitForPortAvaliable([this] { return !cancelled; }) || cancelled)
            return;
        std::function<void()> step;
        {
            std::lock_guard<std::mutex> lock(stepLock);
            step = std::move(pendingStep);
            pendingStep = nullptr;
        }
        QMetaObject::invokeMethod(context, step, Qt::QueuedConnection);
    });
}
