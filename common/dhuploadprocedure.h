#pragma once

#include "uploadprocedure.h"

#include <atomic>
#include <stdexcept>

class DhUploadSteps;

// The secure firmware upload. It introduces itself with an RSA public key from
// a keychain, agrees a session key with the GCU by an ephemeral Diffie-Hellman
// exchange (RFC 3526 group 14) whose parameters it signs, and sends every command
// payload of the file AES-256-CBC-encrypted under that key with a fresh IV,
// wrapped in AesEncryptedData and signed. Sequencing, checkpoints and the
// watchdog are those of every upload.
//
// Construction throws an int (0) when the random generator cannot be seeded, and
// std::runtime_error when the signing key or the keychain cannot be used.
class ORV_COMMON_EXPORT DhUploadProcedure : public UploadProcedure
{
public:
    static constexpr int32_t keyExchangeTimeoutMs = 60000;

    DhUploadProcedure(std::string firmwareFile, std::string certFile, std::string keychainFile,
                      CommandsSender& sender, IProcedureFeedback& feedback);
    // On a firmware file already read, which many procedures may share.
    DhUploadProcedure(std::shared_ptr<const FirmwareFile> firmware, std::string certFile,
                      std::string keychainFile, CommandsSender& sender,
                      IProcedureFeedback& feedback);

    // The GCU's answer to the key exchange: a serialised SignedData holding its
    // public value. `result` is not looked at.
    void keyExchangeResult(FirmwareCommandResult result, std::string answer);

    // The signed Diffie-Hellman parameters as they go to the GCU, before signing.
    const std::string& diffieHellmanParameters() const;

    // Opt-in, before start: the GCU must sign its answer to every key exchange
    // (the first and each one after startFrom) with this public key (PEM). An
    // answer that is not so signed ends the procedure at once, with nothing more
    // sent, and keyNotProven() says so. False when the text is not a public key.
    // Without it any answer is taken.
    bool requireKeyProof(const std::string& publicKeyPem);
    bool keyNotProven() const { return keyProofFailed; }

private:
    void takeSteps(const std::string& certFile, const std::string& keychainFile);

    // Owned by the procedure as its steps.
    DhUploadSteps* secure = nullptr;
    std::atomic<bool> keyProofFailed{false};
};
