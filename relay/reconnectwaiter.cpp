#include "reconnectwaiter.h"

#include "comport.h"

#include <QMetaObject>
#include <QTimer>
#include <QtConcurrent>

namespace {
constexpr int reopenIntervalMs = 200;
}

ReconnectWaiter::ReconnectWaiter(ComPort& comPort, QObject* parent)
    : QObject(parent), comPort(comPort)
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
    leaveAgain = false;
    // The GCU that reset is the one waited for, whatever is opened meanwhile.
    wait = QtConcurrent::run([this, serial = comPort.storedSerialNumber(), portMayStillBeThere] {
        waitInBackground(serial, portMayStillBeThere);
    });
}

void ReconnectWaiter::waitInBackground(QString serial, bool portMayStillBeThere)
{
    auto keepWaiting = [this] { return !cancelled; };
    bool left = !portMayStillBeThere;
    for (;;) {
        if (portMayStillBeThere && comPort.waitForPortToLeave(serial, leaveLimitMs, keepWaiting))
            left = true;
        const QSerialPortInfo found = comPort.waitForPortAvaliable(serial, keepWaiting);
        if (found.isNull() || cancelled)
            return;
        // Whether to wait again and the hand-over are one step: a request that
        // comes after it starts a wait of its own.
        std::lock_guard<std::mutex> lock(stepLock);
        if (leaveAgain) {
            leaveAgain = false;
            portMayStillBeThere = true;
            continue;
        }
        waiting = false;
        reopening = true;
        QMetaObject::invokeMethod(
            this,
            [this, found, left, steps = std::move(pendingSteps)] {
                for (const auto& step : steps)
                    step();
                // A GCU that never reset keeps the link it has: closing it would
                // cut an update that runs on it.
                if (!left && comPort.isOpen()) {
                    reopening = false;
                    return;
                }
                reopen(found, reopenRetryMs / reopenIntervalMs);
            },
            Qt::QueuedConnection);
        pendingSteps.clear();
        return;
    }
}

void ReconnectWaiter::reopen(const QSerialPortInfo& found, int triesLeft)
{
    if (comPort.isOpen())
        comPort.close();
    if (comPort.reconnect(found)) {
        reopening = false;
        return;
    }
    if (triesLeft <= 0) {
        reopening = false;
        emit reopenFailed(QString::fromStdString(comPort.error()));
        return;
    }
    QTimer::singleShot(reopenIntervalMs, this,
                       [this, found, triesLeft] { reopen(found, triesLeft - 1); });
}

bool ReconnectWaiter::isWaiting()
{
    std::lock_guard<std::mutex> guard(stepLock);
    return waiting || reopening.load();
}
