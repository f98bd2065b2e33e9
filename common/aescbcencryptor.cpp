#include "aescbcencryptor.h"

AesCbcEncryptor::AesCbcEncryptor(const unsigned char (&sessionKey)[32],
                                 mbedtls_ctr_drbg_context& random)
    : random(random)
{
    mbedtls_aes_init(&aes);
    mbedtls_aes_setkey_enc(&aes, sessionKey, 256);
}

AesCbcEncryptor::~AesCbcEncryptor()
{
    mbedtls_aes_free(&aes);
}

int AesCbcEncryptor::drawIv(unsigned char (&iv)[ivSize])
{
    return mbedtls_ctr_drbg_random(&random, iv, ivSize);
}

std::string AesCbcEncryptor::encrypt(std::string iv, const std::string& payload)
{
    const size_t length = (payload.size() + 15) / 16 * 16;
    std::string input = payload;
    input.resize(length, '\0');
    std::string output(length, '\0');
    mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_ENCRYPT, length,
                          reinterpret_cast<unsigned char*>(iv.data()),
                          reinterpret_cast<const unsigned char*>(input.data()),
                          reinterpret_cast<unsigned char*>(output.data()));
    return output;
}
