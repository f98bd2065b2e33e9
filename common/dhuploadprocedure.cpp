#include "dhuploadprocedure.h"

#include "dhuploadsteps.h"
#include "logline.h"

DhUploadProcedure::DhUploadProcedure(std::string firmwareFile, std::string certFile,
                                     std::string keychainFile, CommandsSender& sender,
                                     IProcedureFeedback& feedback)
    : UploadProcedure(firmwareFile, sender, feedback)
{
    takeSteps(certFile, keychainFile);
}

DhUploadProcedure::DhUploadProcedure(std::shared_ptr<const FirmwareFile> firmware,
                                     std::string certFile, std::string keychainFile,
                                     CommandsSender& sender, IProcedureFeedback& feedback)
    : UploadProcedure(std::move(firmware), sender, feedback)
{
    takeSteps(certFile, keychainFile);
}

void DhUploadProcedure::takeSteps(const std::string& certFile, const std::string& keychainFile)
{
    auto wireSteps = std::make_unique<DhUploadSteps>(certFile, keychainFile, sender);
    secure = wireSteps.get();
    setSteps(std::move(wireSteps));
}

const std::string& DhUploadProcedure::diffieHellmanParameters() const
{
    return secure->parameters();
}

bool DhUploadProcedure::requireKeyProof(const std::string& publicKeyPem)
{
    std::lock_guard<std::mutex> lock(mutex);
    return secure->requireSignatureBy(publicKeyPem);
}

void DhUploadProcedure::keyExchangeResult(FirmwareCommandResult result, std::string answer)
{
    (void)result;
    LogLine() << ">got key exchange result!";
    std::unique_lock<std::mutex> lock(mutex);
    if (step != Step::KeyStepSent) {
        LogLine() << "> No key exchange in progress, answer ignored";
        return;
    }
    if (!secure->provesKey(answer)) {
        LogLine() << "> The key exchange answer is not signed with the required key, upload "
                     "stopped";
        keyProofFailed = true;
        abandon(lock);
        return;
    }
    // Without a session key the watchdog repeats the key exchange in time.
    if (!secure->startSession(answer))
        return;
    // The first command's cycle starts now, with the command's time-out rather
    // than what is left of the key exchange's.
    responseReceived = true;
    ++answersSeen;
    endHandshake(lock, false);
    if (lock.owns_lock())
        lock.unlock();
    condition.notify_all();
}
