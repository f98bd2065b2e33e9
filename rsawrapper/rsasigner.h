#pragma once

#include "rsakey.h"

#include <cstdint>
#include <memory>
#include <string>

// Signs what the secure upload sends. The signed form is a serialised SignedData:
// the bytes, their SHA-256 RSA signature and the selector of the signing key.
class RsaSigner
{
public:
    explicit RsaSigner(std::unique_ptr<RsaKey> key);

    uint32_t keySelector() const { return selector; }
    // The serialised SignedData; empty when no signature could be made.
    std::string sign(const std::string& data) const;
    // Whether `publicPem` is this signer's own public key.
    bool matchesPublicKey(const std::string& publicPem) const;

private:
    std::unique_ptr<RsaKey> key;
    uint32_t selector;
};
