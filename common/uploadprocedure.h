#pragma once

#include "firmware.pb.h"
#include "iprocedure.h"
#include "orvcommon_global.h"
#include "uploadsteps.h"

#include <QObject>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class CommandsSender;
class QTimer;

// The sequencing that every firmware upload shares: an introduction, a key step,
// the commands one by one, and a final reset, each sent only after the GCU's
// success answer to the previous one. A watchdog thread re-sends from the last
// checkpoint whenever an answer does not come in time; failure answers do the same,
// at once the first three times in a row, then after a wait that doubles from
// 50 ms up to a second, so that a GCU refusing everything is not flooded.
//
// Progress is counted in count + 3 steps (introduction, key step, the commands,
// the reset). The answer to the key step moves the index from 0 to 1, so in the
// normal course the first command sent is commands[1]; commands[0] goes out only
// when a fall-back lands on checkpoint 0. Firmware files are packed with that in
// mind.
//
// What the introduction, the key step and a command look like on the wire is up
// to the UploadSteps that a subclass hands over. The procedure owns them and
// stops its watchdog before it lets them go, so subclasses have nothing of their
// own to stop.
//
// Once the final reset has gone out the procedure is over: later answers (the
// GCU answering someone else's update in the same session) change nothing.
class ORV_COMMON_EXPORT UploadProcedure : public IProcedure
{
public:
    static constexpr int32_t commandTimeoutMs = 750;

    ~UploadProcedure() override;

    void start() override;
    // Starts again after the GCU was gone (unplugged, reset): the handshake is
    // repeated, then the upload continues at commands[checkpoint] rather than at
    // the start. What the GCU's flash already holds is simply written again from
    // that point on.
    void startFrom(int32_t checkpoint);
    // Holds the procedure while the GCU is away: the watchdog stops, so nothing
    // is re-sent into a closed port, and answers are ignored. startFrom resumes.
    void pause();
    // The restart point of the command last sent: where startFrom would go on.
    int32_t lastCheckpoint();
    void commandRsult(FirmwareCommandResult result) override;
    void hardwareIds(std::string, std::string, std::string) override {}

    // Whether the firmware file could be opened and parsed and holds commands.
    // The procedure runs on whatever it read either way.
    bool firmwareFileLoaded() const { return fileProblem.empty(); }
    // Why the file was not loaded, in words for the user; empty when it was.
    const std::string& firmwareFileProblem() const { return fileProblem; }

protected:
    UploadProcedure(const std::string& fileName, CommandsSender& sender,
                    IProcedureFeedback& feedback);
    // On a firmware file read once and shared: many GCUs updated at once hold its
    // commands once.
    UploadProcedure(std::shared_ptr<const FirmwareFile> file, CommandsSender& sender,
                    IProcedureFeedback& feedback);

    // Called once by the subclass's constructor.
    void setSteps(std::unique_ptr<UploadSteps> wireSteps);

    // Where the procedure stands. Until the handshake is over a fall-back repeats
    // the handshake step in flight: a command could only fail without the key.
    enum class Step
    {
        Created,
        IntroductionSent,
        KeyStepSent,
        Commands,
        // Held by pause() until startFrom.
        Paused,
        // The reset has gone out, or a fall-back found nothing left to send.
        Finished,
    };

    // The handshake is over: on to the first command. Called with `lock` held; it
    // is released before the watchdog is joined when that command is the reset.
    void endHandshake(std::unique_lock<std::mutex>& lock, bool announce);
    int commandCount() const { return file->commands_size(); }
    // Ends the procedure without sending anything more. Called with `lock` held;
    // it is released before the watchdog is joined.
    void abandon(std::unique_lock<std::mutex>& lock);

    std::shared_ptr<const FirmwareFile> file;
    std::ifstream stream;
    CommandsSender& sender;
    int32_t currentIndex = 0;
    IProcedureFeedback& feedback;
    int32_t checkpointIndex = 0;
    bool finished = false;
    bool responseReceived = false;
    // Counts the answers (and starts): a fall-back decided before the latest
    // one is stale.
    uint64_t answersSeen = 0;
    std::thread watchdog;
    std::mutex mutex;
    std::condition_variable condition;
    int32_t timeoutMs = commandTimeoutMs;
    Step step = Step::Created;
    // Failure answers since the last success, and whether the re-send they
    // call for waits its turn.
    int refusalsInARow = 0;
    bool resendPending = false;
    // The answers seen when the re-send was put off: one more makes it stale.
    uint64_t resendAnswersSeen = 0;

private:
    // After a success: move to the next command, or finish with the reset.
    // Called with `lock` held; it is released before the watchdog is joined.
    void advance(std::unique_lock<std::mutex>& lock, bool announce);
    // Sends commands[currentIndex], recording it as the restart point if it is one.
    void sendCommand();
    // Ends the watchdog within its current cycle, without a last fall-back.
    void stopWatchdog();
    void begin(int32_t indexBeforeFirstCommand, int32_t restartPoint);
    void handleResult(std::unique_lock<std::mutex>& lock, FirmwareCommandResult result);
    void timeout();
    void timeoutHandler();
    // The watchdog's fall-back, run on the owner's thread so that it goes out in
    // order with the commands sent there; dropped when an answer came meanwhile.
    void fallBackUnlessAnswered(uint64_t answersAtTimeout);
    // Resumes at the checkpoint; false when there is nothing left to send there
    // and the procedure has finished instead.
    bool resumeFromCheckpoint();
    // The re-send after a failure answer, `waitMs` from now on the owner's thread.
    void resendLater(int waitMs);
    void resendAfterWait();
    void joinWatchdog();

    std::string fileProblem;
    // Where the index stands when the handshake is over: the first command sent
    // is the one after it.
    int32_t firstIndexAfterHandshake = 0;
    std::unique_ptr<UploadSteps> steps;
    // Lives on the thread that made the procedure and delivers its answers.
    std::unique_ptr<QObject> owner = std::make_unique<QObject>();
    // The owner's child: puts a re-send off.
    QTimer* resendTimer = nullptr;
};
