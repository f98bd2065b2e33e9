#include "bootloadersession.h"

#include "firmware.pb.h"
#include "imagecipher.h"

#include <mbedtls/dhm.h>
#include <mbedtls/sha256.h>
#include <vector>

namespace {

constexpr uint32_t accepted = 0;
constexpr uint32_t rejected = 1;
constexpr uint32_t corrupted = 2;
constexpr uint32_t unauthentic = 3;

std::string sha256(const unsigned char* data, size_t length)
{
    unsigned char digest[32];
    mbedtls_sha256_ret(data, length, digest, 0);
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

} // namespace

BootloaderSession::BootloaderSession(const RsaKey& deviceKey, const RsaKey& exchangeKey)
    : deviceKey(deviceKey), exchangeKey(exchangeKey)
{
}

void BootloaderSession::forget()
{
    introducedKey.reset();
    imageKey.clear();
    sessionKey.clear();
}

BootloaderSession::Step BootloaderSession::introduce(const std::string& publicKeyPem)
{
    std::string error;
    auto key = RsaKey::fromPublicPem(publicKeyPem, &error);
    if (!key)
        return {rejected, "introduction is not an RSA public key: " + error};
    introducedKey = std::move(key);
    imageKey.clear();
    sessionKey.clear();
    return {accepted, "introduced to key " + std::to_string(introducedKey->selector())};
}

BootloaderSession::Step BootloaderSession::takeImageKey(const std::string& wrappedKey)
{
    std::string key;
    if (!deviceKey.decrypt(wrappedKey, &key) || key.size() != ImageCipher::keySize)
        return {rejected, "image key is not wrapped for this device"};
    imageKey = key;
    return {accepted, "image key accepted"};
}

std::optional<std::string> BootloaderSession::openCommand(const std::string& data,
                                                          std::string* note) const
{
    if (!sessionKey.empty()) {
        SignedData signedData;
        if (!signedData.ParseFromString(data) || !introducedKey ||
            !introducedKey->verify(signedData.data(), signedData.signature())) {
            *note = "command signature does not verify";
            return std::nullopt;
        }
        AesEncryptedData encrypted;
        if (!encrypted.ParseFromString(signedData.data())) {
            *note = "command is not encrypted data";
            return std::nullopt;
        }
        auto plain = ImageCipher::decrypt(sessionKey, encrypted.iv(), encrypted.data());
        if (!plain)
            *note = "command does not decrypt under the session key";
        return plain;
    }
    if (imageKey.empty()) {
        *note = "command before any key";
        return std::nullopt;
    }
    auto plain = ImageCipher::open(imageKey, data);
    if (!plain)
        *note = "command does not decrypt under the image key";
    return plain;
}

BootloaderSession::Step BootloaderSession::writeCommand(const std::string& data,
                                                        SimulatedFlash& flash)
{
    std::string note;
    const auto plain = openCommand(data, &note);
    if (!plain)
        return {sessionKey.empty() ? rejected : unauthentic, note};
    const auto record = FlashRecord::decode(*plain);
    if (!record)
        return {corrupted, "command is not an intact image record"};
    flash.write(*record);
    if (record->kind == FlashRecord::Begin)
        return {accepted, "image of " + std::to_string(record->imageSize) + " bytes begins"};
    return {accepted, "wrote " + std::to_string(record->data.size()) + " bytes at " +
                          std::to_string(record->offset)};
}

std::optional<Response> BootloaderSession::exchangeKeys(const std::string& signedParams,
                                                        std::string* note)
{
    SignedData request;
    if (!request.ParseFromString(signedParams) || !introducedKey ||
        !introducedKey->verify(request.data(), request.signature())) {
        *note = "key exchange signature does not verify";
        return std::nullopt;
    }
    mbedtls_dhm_context dhm;
    mbedtls_dhm_init(&dhm);
    auto* begin = reinterpret_cast<unsigned char*>(const_cast<char*>(request.data().data()));
    unsigned char* at = begin;
    std::vector<unsigned char> ownPublic, secret(1024);
    size_t secretLength = 0;
    int code = mbedtls_dhm_read_params(&dhm, &at, begin + request.data().size());
    if (code == 0) {
        ownPublic.resize(mbedtls_mpi_size(&dhm.P));
        code = mbedtls_dhm_make_public(&dhm, static_cast<int>(ownPublic.size()), ownPublic.data(),
                                       ownPublic.size(), RandomSource::generate, &random);
    }
    if (code == 0)
        code = mbedtls_dhm_calc_secret(&dhm, secret.data(), secret.size(), &secretLength,
                                       RandomSource::generate, &random);
    mbedtls_dhm_free(&dhm);
    if (code != 0) {
        *note = "key exchange parameters refused (" + std::to_string(code) + ")";
        return std::nullopt;
    }
    sessionKey = sha256(secret.data(), secretLength);
    Response answer;
    SignedData* signedAnswer = answer.mutable_key_exchange();
    signedAnswer->set_data(std::string(ownPublic.begin(), ownPublic.end()));
    signedAnswer->set_signature(exchangeKey.sign(signedAnswer->data()));
    signedAnswer->set_key_id(deviceKey.selector());
    *note = "session key agreed";
    return answer;
}
