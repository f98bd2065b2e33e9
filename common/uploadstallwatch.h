#pragma once

#include "orvcommon_global.h"

#include <QElapsedTimer>
#include <QString>
#include <cstdint>
#include <map>

// Whether an upload is getting anywhere, and what the GCU said since it last
// did: what a report of a stalled upload is made of. Only a step beyond the
// furthest one reached counts as progress, so that a command that keeps failing
// and falling back to its checkpoint is seen to stall.
class ORV_COMMON_EXPORT UploadStallWatch
{
public:
    // A new upload, from its first step.
    void start();
    // A fresh chance for the same upload, after the GCU came back.
    void restart();
    // True when `stepsDone` is new ground.
    bool progressed(int stepsDone);
    void resultSeen(uint32_t code);
    qint64 msSinceProgress() const;
    // The answers since the last progress; false when there were none or other ones.
    bool onlyRefusals() const;
    // "the GCU did not answer", or "the GCU answered 1 (key or command refused) 4 times, …"
    QString answersText() const;

    // The step the procedure counts as `step` (from 1), in words.
    static QString stepName(int step, int stepsTotal, bool secure);
    static QString resultMeaning(uint32_t code);

private:
    int furthestStep = 0;
    QElapsedTimer sinceProgress;
    std::map<uint32_t, int> resultsSinceProgress;
};
