#pragma once

#include <cstdint>
#include <mbedtls/pk.h>
#include <memory>
#include <string>

// An RSA key, public or private, with the operations the upload tools need:
// SHA-256 signatures, PKCS#1 v1.5 encryption, PEM in and out, and a selector
// that names the key (the first four bytes of the SHA-256 of its public DER,
// little-endian).
class RsaKey
{
public:
    ~RsaKey();
    RsaKey(const RsaKey&) = delete;
    RsaKey& operator=(const RsaKey&) = delete;

    // Null, with the reason in `error`, when the text or file is not such a key.
    static std::unique_ptr<RsaKey> fromPrivatePem(const std::string& pem, std::string* error);
    static std::unique_ptr<RsaKey> fromPublicPem(const std::string& pem, std::string* error);
    static std::unique_ptr<RsaKey> fromPrivateFile(const std::string& path, std::string* error);
    static std::unique_ptr<RsaKey> generate(unsigned bits, std::string* error);

    bool isPrivate() const { return hasPrivate; }
    uint32_t selector() const;
    std::string publicPem() const;
    std::string privatePem() const;

    // Empty on failure.
    std::string sign(const std::string& data) const;
    bool verify(const std::string& data, const std::string& signature) const;
    std::string encrypt(const std::string& data) const;
    // False when the ciphertext does not decrypt under this key.
    bool decrypt(const std::string& ciphertext, std::string* plaintext) const;

private:
    RsaKey();

    mutable mbedtls_pk_context key;
    bool hasPrivate = false;
};
