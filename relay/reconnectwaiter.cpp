#include "reconnectwaiter.h"

#include "comport.h"

#include <QMetaObject>
#include <QtConcurrent>

ReconnectWaiter::ReconnectWaiter(ComPort& comPort, QObject* context, Reopen reopen)
    : comPort(comPort), context(context), reopen(std::move(reopen))
{
}

ReconnectWaiter::~ReconnectWaiter()
{
    cancelled = true;
    wait.waitForFinished();
}

void ReconnectWaiter::whenPortIsBack(bool portMayStillBeThere, std::function<void()> beforeReopen)
{
    std::lock_guard<std::mutex> lock(stepLock);
    if (beforeReopen)
        pendingSteps.push_back(std::move(beforeReopen));
    if (waiting) {
        // The wait under way may already have seen the old port leave: it has to
        // see this reset's GCU leave too.
        leaveAgain = leaveAgain || portMayStillBeThere;
        return;
    }
    waiting = true;
    wait =
        QtConcurrent::run([this, portMayStillBeThere] { waitInBackground(portMayStillBeThere); });
}

void ReconnectWaiter::waitInBackground(bool portMayStillBeThere)
{
    auto keepWaiting = [this] { return !cancelled; };
    QSerialPortInfo found;
    for (;;) {
        if (portMayStillBeThere)
            comPort.waitForPortToLeave(leaveLimitMs, keepWaiting);
        found = comPort.waitForPortAvaliable(keepWaiting);
        if (found.isNull() || cancelled)
            return;
        std::lock_guard<std::mutex> lock(stepLock);
        if (!leaveAgain)
            break;
        leaveAgain = false;
        portMayStillBeThere = true;
    }
    std::lock_guard<std::mutex> lock(stepLock);
    waiting = false;
    QMetaObject::invokeMethod(
        context,
        [this, found, steps = std::move(pendingSteps)] {
            for (const auto& step : steps)
                step();
            reopen(found);
        },
        Qt::QueuedConnection);
    pendingSteps.clear();
}

bool ReconnectWaiter::isWaiting()
{
    std::lock_guard<std::mutex> guard(stepLock);
    return waiting;
}
