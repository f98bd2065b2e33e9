#pragma once

#include <QObject>

class QSocketNotifier;

// Turns Ctrl-C (SIGINT), SIGTERM and SIGHUP (a dropped ssh session) into a
// signal on the main thread, where it is safe to act on, once. A second Ctrl-C
// more than a second after the first ends the program at once; other signals
// after the first let the run end as the first asked.
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
    bool reported = false;
};
