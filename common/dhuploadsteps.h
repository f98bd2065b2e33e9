#pragma once

#include "uploadsteps.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/dhm.h>
#include <mbedtls/entropy.h>
#include <memory>
#include <string>

class AesCbcEncryptor;
class CommandsSender;
class RsaKey;
class RsaKeychain;
class RsaSigner;

// The secure upload's steps: the introduction with an RSA public key from a
// keychain, the signed Diffie-Hellman parameters (RFC 3526 group 14) as the key
// step, and every command AES-256-CBC-encrypted under the agreed session key
// with a fresh IV, wrapped in AesEncryptedData and signed.
//
// Construction throws an int (0) when the random generator cannot be seeded or
// the parameters cannot be made, and std::runtime_error when the signing key or
// the keychain cannot be used.
class DhUploadSteps : public UploadSteps
{
public:
    DhUploadSteps(const std::string& certFile, const std::string& keychainFile,
                  CommandsSender& sender);
    ~DhUploadSteps() override;
    DhUploadSteps(const DhUploadSteps&) = delete;
    DhUploadSteps& operator=(const DhUploadSteps&) = delete;

    void sendIntroduction() override;
    void sendKeyStep() override;
    int32_t keyStepTimeoutMs() const override;
    bool keyStepAnswerEndsHandshake() const override { return false; }
    void sendCommand(const FirmwareCommand& command, bool checkpoint) override;
    void logAdvance(bool toReset) override;

    // Agrees the session key from the GCU's answer to the key exchange (a
    // serialised SignedData holding its public value); false, with a log line,
    // when the answer is not sound.
    bool startSession(const std::string& answer);
    // The Diffie-Hellman parameters as they go to the GCU, before signing.
    const std::string& parameters() const { return dhParams; }

    // From now on the GCU's answer to the key exchange must be signed with this
    // public key (PEM); false when it is not a key.
    bool requireSignatureBy(const std::string& publicKeyPem);
    // Whether the answer proves that the GCU holds the required key: its public
    // value carries that key's signature. Any answer does when none is required.
    bool provesKey(const std::string& answer) const;

private:
    // Signs `data`; false (with a log line) when no signature could be made, so
    // that nothing unsigned goes out.
    bool signOrLog(const std::string& data, std::string& signedData);
    bool agreeSessionKey(const std::string& publicValue, unsigned char (&sessionKey)[32]);
    // A fresh key pair; false (with a log line) when none could be made.
    bool makeParameters();

    CommandsSender& sender;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_dhm_context dhm;
    std::string dhParams;
    // dhParams went out in a key exchange: the next one needs new ones.
    bool parametersSent = false;
    std::unique_ptr<RsaSigner> signer;
    std::unique_ptr<RsaKeychain> keychain;
    std::unique_ptr<AesCbcEncryptor> encryptor;
    std::unique_ptr<RsaKey> requiredKey;
};
