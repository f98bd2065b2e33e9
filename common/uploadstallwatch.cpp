#include "uploadstallwatch.h"

#include <QStringList>

void UploadStallWatch::start()
{
    furthestStep = 0;
    restart();
}

void UploadStallWatch::restart()
{
    sinceProgress.start();
    resultsSinceProgress.clear();
}

bool UploadStallWatch::progressed(int stepsDone)
{
    if (stepsDone <= furthestStep)
        return false;
    furthestStep = stepsDone;
    restart();
    return true;
}

void UploadStallWatch::resultSeen(uint32_t code)
{
    ++resultsSinceProgress[code];
}

qint64 UploadStallWatch::msSinceProgress() const
{
    return sinceProgress.isValid() ? sinceProgress.elapsed() : 0;
}

bool UploadStallWatch::onlyRefusals() const
{
    if (resultsSinceProgress.empty())
        return false;
    for (const auto& [code, count] : resultsSinceProgress)
        if (code != 1 && code != 3)
            return false;
    return true;
}

QString UploadStallWatch::answersText() const
{
    QStringList answers;
    for (const auto& [code, count] : resultsSinceProgress)
        answers << QString("%1 (%2) %3 times").arg(code).arg(resultMeaning(code)).arg(count);
    return answers.isEmpty() ? "the GCU did not answer" : "the GCU answered " + answers.join(", ");
}

QString UploadStallWatch::stepName(int step, int stepsTotal, bool secure)
{
    if (step <= 1)
        return "the key blob";
    if (step == 2)
        return secure ? "the key exchange" : "the AES key";
    if (step >= stepsTotal && stepsTotal > 0)
        return "the final reset";
    return QString("command %1").arg(step - 2);
}

QString UploadStallWatch::resultMeaning(uint32_t code)
{
    switch (code) {
    case 0:
        return "accepted";
    case 1:
        return "key or command refused";
    case 2:
        return "record damaged";
    case 3:
        return "signature or key exchange refused";
    default:
        return "unknown result";
    }
}
