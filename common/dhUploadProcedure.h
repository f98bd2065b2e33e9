#pragma once

#include "uploadprocedure.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/dhm.h>
#include <mbedtls/entropy.h>
#include <memory>
#include <stdexcept>

class AesCbcEncryptor;
class RsaKeychain;
class RsaSigner;

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
    ~DhUploadProcedure() override;

    // The GCU's answer to the key exchange: a serialised SignedData holding its
    // public value. `result` is not looked at.
    void keyExchangeResult(FirmwareCommandResult result, std::string answer);

    // The signed Diffie-Hellman parameters as they go to the GCU, before signing.
    const std::string& diffieHellmanParameters() const { return dhParams; }

protected:
    void sendIntroduction() override;
    void sendKeyStep() override;
    int32_t keyStepTimeoutMs() const override { return keyExchangeTimeoutMs; }
    void sendCommand() override;
    void logAdvance(bool toReset) override;
    bool keyStepAnswerEndsHandshake() const override { return false; }

private:
    // The session key from the GCU's public value; false (with a log line) when
    // the value or the computation is not sound.
    // Signs `data`; false (with a log line) when no signature could be made, so
    // that nothing unsigned goes out.
    bool signOrLog(const std::string& data, std::string& signedData);
    bool agreeSessionKey(const std::string& publicValue, unsigned char (&sessionKey)[32]);

    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_dhm_context dhm;
    std::string dhParams;
    std::unique_ptr<RsaSigner> signer;
    std::unique_ptr<RsaKeychain> keychain;
    std::unique_ptr<AesCbcEncryptor> encryptor;
};
