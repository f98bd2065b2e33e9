#pragma once

#include <QObject>

class QSocketNotifier;

// Turns Ctrl-C (SIGINT) and SIGTERM into a signal on the main thread, where it
// is safe to act on. A second Ctrl-C ends the program at once.
class InterruptWatcher : public QObject
{
    Q_OBJECT
public:
    InterruptWatcher();
    ~InterruptWatcher() override;

signals:
    void interrupted();

private:
    QSocketNotifier* notifier = nullptr;
};
