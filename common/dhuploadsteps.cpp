#include "dhuploadsteps.h"

#include "aescbcencryptor.h"
#include "commandssender.h"
#include "dhuploadprocedure.h"
#include "firmware.pb.h"
#include "logline.h"
#include "rsakey.h"
#include "rsawrapper.h"

#include <cstdio>
#include <mbedtls/sha256.h>
#include <vector>

namespace {

// RFC 3526, group 14: the 2048-bit MODP prime.
const char* const group14Prime = "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD1"
                                 "29024E088A67CC74020BBEA63B139B22514A08798E3404DD"
                                 "EF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245"
                                 "E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
                                 "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE45B3D"
                                 "C2007CB8A163BF0598DA48361C55D39A69163FA8FD24CF5F"
                                 "83655D23DCA3AD961C62F356208552BB9ED529077096966D"
                                 "670C354E4ABC9804F1746C08CA18217C32905E462E36CE3B"
                                 "E39E772C180E86039B2783A2EC07A28FB5C55DF06F4C52C9"
                                 "DE2BCBF6955817183995497CEA956AE515D2261898FA0510"
                                 "15728E5A8AACAA68FFFFFFFFFFFFFFFF";
const char* const group14Generator = "02";

constexpr size_t dhBufferSize = 2048;

// Mbed TLS's own failure messages, as the library's examples print them.
void logFailure(const char* what, int code)
{
    char text[96];
    std::snprintf(text, sizeof text, " failed\n ! %s returned -0x%04x", what,
                  static_cast<unsigned>(-code));
    LogLine() << text;
}

int seed(mbedtls_ctr_drbg_context& drbg, mbedtls_entropy_context& entropy, const char* name,
         size_t length)
{
    return mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy,
                                 reinterpret_cast<const unsigned char*>(name), length);
}

} // namespace

DhUploadSteps::DhUploadSteps(const std::string& certFile, const std::string& keychainFile,
                             CommandsSender& sender)
    : sender(sender)
{
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    mbedtls_dhm_init(&dhm);
    auto releaseContexts = [this] {
        mbedtls_dhm_free(&dhm);
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    };
    if (const int code = seed(drbg, entropy, "aes generate key", 16); code != 0) {
        logFailure("mbedtls_ctr_drbg_init", code);
        releaseContexts();
        throw 0;
    }

    std::string error;
    signer = RsaWrapper::loadCert(certFile, &error);
    if (signer)
        keychain = RsaWrapper::loadKeychain(keychainFile, &error);
    if (signer && keychain) {
        // The GCU checks the signatures with the key it is introduced to: an entry
        // under the signer's selector that holds another key would fail every step.
        const std::string introduced = keychain->publicKey(signer->keySelector());
        if (introduced.empty())
            error =
                "keychain " + keychainFile + " has no public key for the signing key " + certFile;
        else if (!signer->matchesPublicKey(introduced))
            error = "keychain " + keychainFile + ": its entry for the signing key " + certFile +
                    " holds another public key";
    }
    if (!error.empty()) {
        LogLine() << "> Cannot start the secure upload: " << error;
        releaseContexts();
        throw std::runtime_error(error);
    }

    mbedtls_mpi p, g;
    mbedtls_mpi_init(&p);
    mbedtls_mpi_init(&g);
    mbedtls_mpi_read_string(&p, 16, group14Prime);
    mbedtls_mpi_read_string(&g, 16, group14Generator);
    mbedtls_dhm_set_group(&dhm, &p, &g);
    mbedtls_mpi_free(&p);
    mbedtls_mpi_free(&g);

    if (!makeParameters()) {
        // Parameters made without a sound random source would give the session
        // key away: fail as an unseedable generator does.
        releaseContexts();
        throw 0;
    }
    LogLine() << "dhm key length: " << mbedtls_mpi_size(&dhm.P);
    LogLine::hexDump(dhParams.data(), dhParams.size());
}

bool DhUploadSteps::makeParameters()
{
    // The key pair comes from a generator of its own, used for nothing else.
    mbedtls_entropy_context keyEntropy;
    mbedtls_ctr_drbg_context keyDrbg;
    mbedtls_entropy_init(&keyEntropy);
    mbedtls_ctr_drbg_init(&keyDrbg);
    std::vector<unsigned char> output(dhBufferSize, 0);
    size_t length = 0;
    int code = seed(keyDrbg, keyEntropy, "dh_server", 9);
    if (code != 0)
        logFailure("mbedtls_ctr_drbg_init", code);
    else if ((code = mbedtls_dhm_make_params(&dhm, static_cast<int>(mbedtls_mpi_size(&dhm.P)),
                                             output.data(), &length, mbedtls_ctr_drbg_random,
                                             &keyDrbg)) != 0)
        logFailure("mbedtls_dhm_make_params", code);
    mbedtls_ctr_drbg_free(&keyDrbg);
    mbedtls_entropy_free(&keyEntropy);
    if (code != 0)
        return false;
    dhParams.assign(reinterpret_cast<char*>(output.data()), length);
    parametersSent = false;
    return true;
}

DhUploadSteps::~DhUploadSteps()
{
    encryptor.reset();
    mbedtls_dhm_free(&dhm);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
}

void DhUploadSteps::sendIntroduction()
{
    sender.sendRsaPublicKey(keychain->publicKey(signer->keySelector()));
}

bool DhUploadSteps::signOrLog(const std::string& data, std::string& signedData)
{
    signedData = signer->sign(data);
    if (signedData.empty())
        LogLine() << "> Signing failed, nothing sent";
    return !signedData.empty();
}

void DhUploadSteps::sendKeyStep()
{
    // Each key exchange gets a key pair of its own: a session key is never
    // agreed twice from the same secret.
    if (parametersSent) {
        encryptor.reset();
        if (!makeParameters()) {
            LogLine() << "> No new Diffie-Hellman parameters, nothing sent";
            return;
        }
    }
    parametersSent = true;
    std::string signedParams;
    if (signOrLog(dhParams, signedParams))
        sender.sendKeyExchange(signedParams);
}

int32_t DhUploadSteps::keyStepTimeoutMs() const
{
    return DhUploadProcedure::keyExchangeTimeoutMs;
}

void DhUploadSteps::logAdvance(bool toReset)
{
    LogLine() << (toReset ? "> Sending reset command" : "> Sending next command");
}

bool DhUploadSteps::agreeSessionKey(const std::string& publicValue, unsigned char (&sessionKey)[32])
{
    LogLine() << "> Reading public value from GCU!";
    int code = mbedtls_dhm_read_public(
        &dhm, reinterpret_cast<const unsigned char*>(publicValue.data()), publicValue.size());
    if (code != 0) {
        LogLine() << "> Key exchange failed: the GCU's public value cannot be read (-0x" << std::hex
                  << -code << ")";
        return false;
    }
    LogLine() << "> Calculating private key";
    std::vector<unsigned char> secret(dhBufferSize, 0);
    size_t length = 0;
    // Mbed TLS refuses public values outside 2 .. P-2 here.
    code = mbedtls_dhm_calc_secret(&dhm, secret.data(), secret.size(), &length,
                                   mbedtls_ctr_drbg_random, &drbg);
    if (code != 0 || length == 0) {
        LogLine() << "> Key exchange failed: the GCU's public value is not in the group (-0x"
                  << std::hex << -code << ")";
        return false;
    }
    mbedtls_sha256_ret(secret.data(), length, sessionKey, 0);
    return true;
}

bool DhUploadSteps::requireSignatureBy(const std::string& publicKeyPem)
{
    std::string error;
    requiredKey = RsaKey::fromPublicPem(publicKeyPem, &error);
    if (!requiredKey)
        LogLine() << "> The key to check the GCU against is not a public key: " << error;
    return requiredKey != nullptr;
}

bool DhUploadSteps::provesKey(const std::string& answer) const
{
    if (!requiredKey)
        return true;
    // The public value must be the GCU's own: anyone may repeat its public key,
    // only the holder of the private key can sign.
    SignedData signedAnswer;
    return signedAnswer.ParseFromString(answer) &&
           requiredKey->verify(signedAnswer.data(), signedAnswer.signature());
}

bool DhUploadSteps::startSession(const std::string& answer)
{
    SignedData signedAnswer;
    signedAnswer.ParseFromString(answer);
    LogLine::hexDump(signedAnswer.data().data(), signedAnswer.data().size());
    unsigned char sessionKey[32];
    if (!agreeSessionKey(signedAnswer.data(), sessionKey))
        return false;
    LogLine() << "> Setting private key to encryptor!";
    encryptor = std::make_unique<AesCbcEncryptor>(sessionKey, drbg);
    return true;
}

void DhUploadSteps::sendCommand(const FirmwareCommand& command, bool checkpoint)
{
    LogLine() << "> Reading command";
    if (checkpoint)
        LogLine() << "> Checkpoint";
    LogLine() << "> Encrypting command";
    unsigned char iv[AesCbcEncryptor::ivSize] = {};
    if (const int code = encryptor->drawIv(iv); code != 0) {
        // A predictable IV would give patterns of the image away.
        logFailure("mbedtls_ctr_drbg_random", code);
        return;
    }
    AesEncryptedData encrypted;
    encrypted.set_iv(reinterpret_cast<char*>(iv), sizeof iv);
    encrypted.set_data(encryptor->encrypt(encrypted.iv(), command.data()));
    LogLine() << "> Signing cipher";
    std::string signedCommand;
    if (!signOrLog(encrypted.SerializeAsString(), signedCommand))
        return;
    LogLine() << "> Sending signed and encrypted command " << signedCommand.size() << " bytes";
    sender.sendCommand(signedCommand);
}
