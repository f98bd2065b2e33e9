#pragma once

#include <mbedtls/aes.h>
#include <mbedtls/ctr_drbg.h>
#include <string>

// The secure upload's session cipher: AES-256-CBC under the session key, with a
// fresh IV from the procedure's generator for every command.
class AesCbcEncryptor
{
public:
    static constexpr size_t ivSize = 16;

    AesCbcEncryptor(const unsigned char (&sessionKey)[32], mbedtls_ctr_drbg_context& random);
    ~AesCbcEncryptor();
    AesCbcEncryptor(const AesCbcEncryptor&) = delete;
    AesCbcEncryptor& operator=(const AesCbcEncryptor&) = delete;

    // 0, or the generator's error code.
    int drawIv(unsigned char (&iv)[ivSize]);
    // CBC over `payload` followed by filler up to a multiple of 16 bytes; `iv` is
    // taken by value, since CBC advances it.
    std::string encrypt(std::string iv, const std::string& payload);

private:
    mbedtls_aes_context aes;
    mbedtls_ctr_drbg_context& random;
};
