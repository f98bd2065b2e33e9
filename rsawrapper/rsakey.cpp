#include "rsakey.h"

#include "randomsource.h"

#include <fstream>
#include <iterator>
#include <mbedtls/error.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha256.h>
#include <vector>

namespace {

std::string describe(int code)
{
    char text[160];
    mbedtls_strerror(code, text, sizeof text);
    return text;
}

void setError(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
}

std::string sha256(const std::string& data)
{
    unsigned char digest[32];
    mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, 0);
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

// Blinding and padding need randomness; one generator serves every key of a thread.
RandomSource& threadRandom()
{
    thread_local RandomSource source("rsa wrapper");
    return source;
}

} // namespace

RsaKey::RsaKey()
{
    mbedtls_pk_init(&key);
}

RsaKey::~RsaKey()
{
    mbedtls_pk_free(&key);
}

std::unique_ptr<RsaKey> RsaKey::fromPrivatePem(const std::string& pem, std::string* error)
{
    std::unique_ptr<RsaKey> result(new RsaKey);
    const int code =
        mbedtls_pk_parse_key(&result->key, reinterpret_cast<const unsigned char*>(pem.c_str()),
                             pem.size() + 1, nullptr, 0);
    if (code != 0 || mbedtls_pk_get_type(&result->key) != MBEDTLS_PK_RSA) {
        setError(error, code ? describe(code) : "not an RSA key");
        return nullptr;
    }
    result->hasPrivate = true;
    return result;
}

std::unique_ptr<RsaKey> RsaKey::fromPublicPem(const std::string& pem, std::string* error)
{
    std::unique_ptr<RsaKey> result(new RsaKey);
    const int code = mbedtls_pk_parse_public_key(
        &result->key, reinterpret_cast<const unsigned char*>(pem.c_str()), pem.size() + 1);
    if (code != 0 || mbedtls_pk_get_type(&result->key) != MBEDTLS_PK_RSA) {
        setError(error, code ? describe(code) : "not an RSA key");
        return nullptr;
    }
    return result;
}

std::unique_ptr<RsaKey> RsaKey::fromPrivateFile(const std::string& path, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        setError(error, "cannot open " + path);
        return nullptr;
    }
    const std::string pem((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return fromPrivatePem(pem, error);
}

std::unique_ptr<RsaKey> RsaKey::generate(unsigned bits, std::string* error)
{
    std::unique_ptr<RsaKey> result(new RsaKey);
    int code = mbedtls_pk_setup(&result->key, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
    if (code == 0)
        code = mbedtls_rsa_gen_key(mbedtls_pk_rsa(result->key), RandomSource::generate,
                                   &threadRandom(), bits, 65537);
    if (code != 0) {
        setError(error, describe(code));
        return nullptr;
    }
    result->hasPrivate = true;
    return result;
}

uint32_t RsaKey::selector() const
{
    std::vector<unsigned char> buffer(4096);
    const int length = mbedtls_pk_write_pubkey_der(&key, buffer.data(), buffer.size());
    if (length <= 0)
        return 0;
    // The DER is written at the end of the buffer.
    const std::string der(reinterpret_cast<char*>(buffer.data() + buffer.size() - length),
                          static_cast<size_t>(length));
    const std::string digest = sha256(der);
    return uint32_t(uint8_t(digest[0])) | uint32_t(uint8_t(digest[1])) << 8 |
           uint32_t(uint8_t(digest[2])) << 16 | uint32_t(uint8_t(digest[3])) << 24;
}

std::string RsaKey::publicPem() const
{
    std::vector<unsigned char> buffer(8192);
    if (mbedtls_pk_write_pubkey_pem(&key, buffer.data(), buffer.size()) != 0)
        return {};
    return reinterpret_cast<char*>(buffer.data());
}

std::string RsaKey::privatePem() const
{
    std::vector<unsigned char> buffer(16384);
    if (!hasPrivate || mbedtls_pk_write_key_pem(&key, buffer.data(), buffer.size()) != 0)
        return {};
    return reinterpret_cast<char*>(buffer.data());
}

std::string RsaKey::sign(const std::string& data) const
{
    if (!hasPrivate)
        return {};
    const std::string digest = sha256(data);
    std::vector<unsigned char> signature(MBEDTLS_PK_SIGNATURE_MAX_SIZE);
    size_t length = 0;
    if (mbedtls_pk_sign(&key, MBEDTLS_MD_SHA256,
                        reinterpret_cast<const unsigned char*>(digest.data()), digest.size(),
                        signature.data(), &length, RandomSource::generate, &threadRandom()) != 0)
        return {};
    return std::string(reinterpret_cast<char*>(signature.data()), length);
}

bool RsaKey::verify(const std::string& data, const std::string& signature) const
{
    const std::string digest = sha256(data);
    return mbedtls_pk_verify(&key, MBEDTLS_MD_SHA256,
                             reinterpret_cast<const unsigned char*>(digest.data()), digest.size(),
                             reinterpret_cast<const unsigned char*>(signature.data()),
                             signature.size()) == 0;
}

std::string RsaKey::encrypt(const std::string& data) const
{
    std::vector<unsigned char> output(MBEDTLS_MPI_MAX_SIZE);
    size_t length = 0;
    if (mbedtls_pk_encrypt(&key, reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                           output.data(), &length, output.size(), RandomSource::generate,
                           &threadRandom()) != 0)
        return {};
    return std::string(reinterpret_cast<char*>(output.data()), length);
}

bool RsaKey::decrypt(const std::string& ciphertext, std::string* plaintext) const
{
    if (!hasPrivate)
        return false;
    std::vector<unsigned char> output(MBEDTLS_MPI_MAX_SIZE);
    size_t length = 0;
    if (mbedtls_pk_decrypt(&key, reinterpret_cast<const unsigned char*>(ciphertext.data()),
                           ciphertext.size(), output.data(), &length, output.size(),
                           RandomSource::generate, &threadRandom()) != 0)
        return false;
    plaintext->assign(reinterpret_cast<char*>(output.data()), length);
    return true;
}
