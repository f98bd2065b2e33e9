#include "updateprogress.h"

namespace {

// A rate over less than half a second says more about the link's bursts.
constexpr qint64 shortestMeasureMs = 500;

} // namespace

QString UpdateProgress::bytesText(qint64 bytes)
{
    if (bytes < 1024)
        return QString("%1 B").arg(bytes);
    if (bytes < 1024 * 1024)
        return QString("%1 KiB").arg(bytes / 1024.0, 0, 'f', 1);
    return QString("%1 MiB").arg(bytes / (1024.0 * 1024.0), 0, 'f', 1);
}

void ProgressMeter::restart()
{
    clock.invalidate();
    paused = false;
}

UpdateProgress ProgressMeter::measure(int stepsDone, int stepsTotal, qint64 bytesDone,
                                      qint64 bytesTotal)
{
    UpdateProgress progress;
    progress.stepsDone = stepsDone;
    progress.stepsTotal = stepsTotal;
    progress.bytesDone = bytesDone;
    progress.bytesTotal = bytesTotal;
    if (paused || progress.complete())
        return progress;
    if (!clock.isValid() || stepsDone < stepsAtStart) {
        clock.start();
        bytesAtStart = bytesDone;
        stepsAtStart = stepsDone;
    }
    const qint64 elapsedMs = clock.elapsed();
    if (elapsedMs < shortestMeasureMs)
        return progress;
    const double seconds = elapsedMs / 1000.0;
    progress.bytesPerSecond = std::max(0.0, (bytesDone - bytesAtStart) / seconds);
    progress.stepsPerSecond = std::max(0.0, (stepsDone - stepsAtStart) / seconds);
    // Bytes where there are any: a firmware file's commands differ in size.
    if (bytesTotal > 0 && progress.bytesPerSecond > 0)
        progress.secondsLeft = qint64((bytesTotal - bytesDone) / progress.bytesPerSecond);
    else if (bytesTotal <= 0 && progress.stepsPerSecond > 0)
        progress.secondsLeft = qint64((qint64(stepsTotal) - stepsDone) / progress.stepsPerSecond);
    return progress;
}
