#include "uploadprocedure.h"

#include "commandssender.h"
#include "logline.h"

#include <QTimer>
#include <algorithm>
#include <chrono>

namespace {

// A GCU that refuses a command again and again is given time: the fourth
// re-send in a row waits 50 ms, each one after twice as long, up to a second.
constexpr int refusalsBeforeBackOff = 3;
constexpr int firstBackOffMs = 50;
constexpr int longestBackOffMs = 1000;

int backOffMs(int refusalsInARow)
{
    if (refusalsInARow < refusalsBeforeBackOff)
        return 0;
    const int doublings = std::min(refusalsInARow - refusalsBeforeBackOff, 5);
    return std::min(longestBackOffMs, firstBackOffMs << doublings);
}

} // namespace

UploadProcedure::UploadProcedure(const std::string& fileName, CommandsSender& sender,
                                 IProcedureFeedback& feedback)
    : stream(fileName, std::ios::in | std::ios::binary), sender(sender), feedback(feedback)
{
    // A file that cannot be read leaves an empty or partly filled message, and
    // the procedure works on that; the owner may ask why and refuse to start it.
    auto parsed = std::make_shared<FirmwareFile>();
    if (!stream.is_open())
        fileProblem = "cannot be opened";
    else if (!parsed->ParseFromIstream(&stream))
        fileProblem = "is not a firmware file";
    else if (parsed->commands_size() == 0)
        fileProblem = "holds no firmware commands";
    file = std::move(parsed);
}

UploadProcedure::UploadProcedure(std::shared_ptr<const FirmwareFile> firmware,
                                 CommandsSender& sender, IProcedureFeedback& feedback)
    : file(firmware ? std::move(firmware) : std::make_shared<const FirmwareFile>()), sender(sender),
      feedback(feedback)
{
    if (file->commands_size() == 0)
        fileProblem = "holds no firmware commands";
}

UploadProcedure::~UploadProcedure()
{
    stopWatchdog();
    steps.reset();
}

void UploadProcedure::setSteps(std::unique_ptr<UploadSteps> wireSteps)
{
    steps = std::move(wireSteps);
    // Made here, on the thread that made the procedure, with the owner.
    resendTimer = new QTimer(owner.get());
    resendTimer->setSingleShot(true);
    QObject::connect(resendTimer, &QTimer::timeout, owner.get(), [this] { resendAfterWait(); });
}

void UploadProcedure::stopWatchdog()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
    }
    joinWatchdog();
}

void UploadProcedure::joinWatchdog()
{
    // The cycle in progress may be waiting out a long deadline (the key step's)
    // that no answer will end: `finished` ends it.
    condition.notify_all();
    if (watchdog.joinable() && watchdog.get_id() != std::this_thread::get_id())
        watchdog.join();
}

void UploadProcedure::start()
{
    // The normal course: the handshake leads to commands[1] (see above).
    begin(0, 0);
}

void UploadProcedure::startFrom(int32_t checkpoint)
{
    const int32_t restartPoint = std::max(0, std::min(checkpoint, commandCount()));
    begin(restartPoint - 1, restartPoint);
}

void UploadProcedure::begin(int32_t indexBeforeFirstCommand, int32_t restartPoint)
{
    // A second start begins the procedure again with a fresh watchdog.
    stopWatchdog();
    std::lock_guard<std::mutex> lock(mutex);
    ++answersSeen;
    refusalsInARow = 0;
    resendPending = false;
    firstIndexAfterHandshake = indexBeforeFirstCommand;
    checkpointIndex = restartPoint;
    currentIndex = 0;
    finished = false;
    step = Step::IntroductionSent;
    watchdog = std::thread(&UploadProcedure::timeoutHandler, this);
    timeoutMs = commandTimeoutMs;
    steps->sendIntroduction();
}

void UploadProcedure::pause()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (step != Step::Finished)
            step = Step::Paused;
        resendPending = false;
    }
    stopWatchdog();
    // A re-send put off is off too; the timer is stopped on its own thread.
    QMetaObject::invokeMethod(resendTimer, [timer = resendTimer] { timer->stop(); });
}

void UploadProcedure::abandon(std::unique_lock<std::mutex>& lock)
{
    finished = true;
    step = Step::Finished;
    lock.unlock();
    joinWatchdog();
}

int32_t UploadProcedure::lastCheckpoint()
{
    std::lock_guard<std::mutex> lock(mutex);
    return checkpointIndex;
}

void UploadProcedure::sendCommand()
{
    const FirmwareCommand& command = file->commands(currentIndex);
    if (command.checkpoint())
        checkpointIndex = currentIndex;
    steps->sendCommand(command, command.checkpoint());
}

void UploadProcedure::commandRsult(FirmwareCommandResult result)
{
    LogLine() << ">got command result!";
    std::unique_lock<std::mutex> lock(mutex);
    responseReceived = true;
    ++answersSeen;
    resendPending = false;
    handleResult(lock, result);
    // The watchdog is woken once the mutex is free: it could not run before, and
    // waking it earlier only has it sleep again on the mutex.
    if (lock.owns_lock())
        lock.unlock();
    condition.notify_all();
}

void UploadProcedure::handleResult(std::unique_lock<std::mutex>& lock, FirmwareCommandResult result)
{
    if (step == Step::Created || step == Step::Finished) {
        LogLine() << "> Upload is over, answer ignored";
        return;
    }
    if (step == Step::Paused) {
        LogLine() << "> Upload paused, answer ignored";
        return;
    }
    if (result == FirmwareCommandAccepted) {
        refusalsInARow = 0;
        switch (step) {
        case Step::IntroductionSent:
            timeoutMs = steps->keyStepTimeoutMs();
            steps->sendKeyStep();
            step = Step::KeyStepSent;
            feedback.updateProgress(1, commandCount() + 3);
            break;
        case Step::KeyStepSent:
            if (!steps->keyStepAnswerEndsHandshake()) {
                LogLine() << "> Key exchange not complete yet, success answer ignored";
                break;
            }
            endHandshake(lock, true);
            break;
        default:
            advance(lock, true);
            break;
        }
    } else if (result <= FirmwareCommandWriteFailed) {
        ++refusalsInARow;
        if (const int waitMs = backOffMs(refusalsInARow); waitMs > 0) {
            resendLater(waitMs);
            return;
        }
        if (!resumeFromCheckpoint()) {
            lock.unlock();
            joinWatchdog();
        }
    }
}

void UploadProcedure::resendLater(int waitMs)
{
    // Until then the watchdog's time-out sends nothing either: the GCU did
    // answer, and the re-send is only put off.
    resendPending = true;
    resendAnswersSeen = answersSeen;
    // The timer is the owner's thread's, wherever the answer came from.
    QMetaObject::invokeMethod(resendTimer, [timer = resendTimer, waitMs] { timer->start(waitMs); });
}

void UploadProcedure::resendAfterWait()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Another answer or a restart came meanwhile, or the upload is paused
        // or over: that decides what goes out next.
        if (!resendPending || answersSeen != resendAnswersSeen || step == Step::Paused ||
            step == Step::Finished)
            return;
        resendPending = false;
        // The watchdog's cycle counts from this re-send.
        responseReceived = true;
        resumeFromCheckpoint();
    }
    condition.notify_all();
}

void UploadProcedure::endHandshake(std::unique_lock<std::mutex>& lock, bool announce)
{
    step = Step::Commands;
    currentIndex = firstIndexAfterHandshake;
    advance(lock, announce);
}

void UploadProcedure::advance(std::unique_lock<std::mutex>& lock, bool announce)
{
    timeoutMs = commandTimeoutMs;
    ++currentIndex;
    const int count = commandCount();
    if (currentIndex < count) {
        if (announce)
            steps->logAdvance(false);
        sendCommand();
        feedback.updateProgress(currentIndex + 2, count + 3);
        return;
    }
    if (announce)
        steps->logAdvance(true);
    finished = true;
    step = Step::Finished;
    const int done = currentIndex + 3;
    lock.unlock();
    joinWatchdog();
    sender.sendReset();
    feedback.updateProgress(done, count + 3);
}

bool UploadProcedure::resumeFromCheckpoint()
{
    switch (step) {
    case Step::IntroductionSent:
        steps->sendIntroduction();
        return true;
    case Step::KeyStepSent:
        steps->sendKeyStep();
        return true;
    case Step::Commands:
        break;
    default:
        return false;
    }
    currentIndex = checkpointIndex;
    if (currentIndex < commandCount()) {
        sendCommand();
        return true;
    }
    finished = true;
    step = Step::Finished;
    return false;
}

void UploadProcedure::timeout()
{
    LogLine() << "< fallback to checkpoint and retry";
    resumeFromCheckpoint();
}

void UploadProcedure::fallBackUnlessAnswered(uint64_t answersAtTimeout)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (finished || answersSeen != answersAtTimeout || resendPending)
            return;
        timeout();
    }
    // A fall-back that found nothing left to send has finished the procedure.
    condition.notify_all();
}

void UploadProcedure::timeoutHandler()
{
    LogLine() << "<starting TO handler";
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        LogLine() << "<got mutex";
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        responseReceived = false;
        // Waking for `finished` ends the cycle at once: a procedure being
        // destroyed sends no last fall-back.
        condition.wait_until(lock, deadline, [this] { return responseReceived || finished; });
        if (!responseReceived && !finished) {
            LogLine() << "<timeout!";
            QMetaObject::invokeMethod(
                owner.get(), [this, seen = answersSeen] { fallBackUnlessAnswered(seen); },
                Qt::QueuedConnection);
        }
        LogLine() << "<release";
        const bool done = finished;
        lock.unlock();
        if (done) {
            LogLine() << "<done!";
            return;
        }
        lock.lock();
    }
}
