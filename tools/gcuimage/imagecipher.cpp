#include "imagecipher.h"

#include <mbedtls/aes.h>

namespace {

std::optional<std::string> crypt(int mode, const std::string& key, const std::string& iv,
                                 const std::string& input)
{
    if (key.size() != ImageCipher::keySize || iv.size() != ImageCipher::ivSize ||
        input.size() % 16 != 0)
        return std::nullopt;
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    const auto* keyBytes = reinterpret_cast<const unsigned char*>(key.data());
    const int keyResult = mode == MBEDTLS_AES_ENCRYPT ? mbedtls_aes_setkey_enc(&aes, keyBytes, 256)
                                                      : mbedtls_aes_setkey_dec(&aes, keyBytes, 256);
    unsigned char ivBuffer[ImageCipher::ivSize];
    std::copy(iv.begin(), iv.end(), ivBuffer);
    std::string output(input.size(), '\0');
    const int result =
        keyResult != 0 ? keyResult
                       : mbedtls_aes_crypt_cbc(&aes, mode, input.size(), ivBuffer,
                                               reinterpret_cast<const unsigned char*>(input.data()),
                                               reinterpret_cast<unsigned char*>(output.data()));
    mbedtls_aes_free(&aes);
    if (result != 0)
        return std::nullopt;
    return output;
}

} // namespace

std::string ImageCipher::encrypt(const std::string& key, const std::string& iv,
                                 const std::string& plaintext)
{
    std::string filled = plaintext;
    filled.resize((plaintext.size() + 15) / 16 * 16, '\0');
    return crypt(MBEDTLS_AES_ENCRYPT, key, iv, filled).value_or(std::string());
}

std::optional<std::string> ImageCipher::decrypt(const std::string& key, const std::string& iv,
                                                const std::string& ciphertext)
{
    return crypt(MBEDTLS_AES_DECRYPT, key, iv, ciphertext);
}

std::string ImageCipher::seal(const std::string& key, const std::string& iv,
                              const std::string& plaintext)
{
    return iv + encrypt(key, iv, plaintext);
}

std::optional<std::string> ImageCipher::open(const std::string& key, const std::string& sealed)
{
    if (sealed.size() < ivSize)
        return std::nullopt;
    return decrypt(key, sealed.substr(0, ivSize), sealed.substr(ivSize));
}
