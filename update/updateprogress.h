#pragma once

#include <QElapsedTimer>
#include <QMetaType>
#include <QString>
#include <QtGlobal>

// How far an update has got, with its rate and time left computed once, here,
// for every front end: the terminal's bar, the window's status bar and the
// dashboard's tile show the same figures.
struct UpdateProgress
{
    int stepsDone = 0;
    int stepsTotal = 0;
    // Zero for an update a server drives: it counts steps, not bytes.
    qint64 bytesDone = 0;
    qint64 bytesTotal = 0;
    // Since the upload began or last resumed; zero while nothing moves (the GCU
    // away, the update over) or before there is enough to go by.
    double bytesPerSecond = 0;
    double stepsPerSecond = 0;
    // Negative when not known.
    qint64 secondsLeft = -1;

    int percent() const
    {
        return stepsTotal > 0 ? int(qMin<qint64>(100, qint64(stepsDone) * 100 / stepsTotal)) : 0;
    }
    bool complete() const { return stepsTotal > 0 && stepsDone >= stepsTotal; }

    // "812 B", "4.5 KiB", "3.9 MiB".
    static QString bytesText(qint64 bytes);
};
Q_DECLARE_METATYPE(UpdateProgress)

// Turns an update's counts into progress with a rate: counted from the first
// report after a (re)start, so that a resume or an upload going over ground
// again is not taken for speed. Paused, it reports no rate and no time left.
class ProgressMeter
{
public:
    // Counts afresh from the next report.
    void restart();
    // While the GCU is away, or once the update is over.
    void pause() { paused = true; }
    UpdateProgress measure(int stepsDone, int stepsTotal, qint64 bytesDone, qint64 bytesTotal);

private:
    QElapsedTimer clock;
    qint64 bytesAtStart = 0;
    int stepsAtStart = 0;
    bool paused = false;
};
