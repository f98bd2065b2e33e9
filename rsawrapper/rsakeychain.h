#pragma once

#include <cstdint>
#include <map>
#include <string>

// The public keys a signer may introduce to a GCU, by key selector.
class RsaKeychain
{
public:
    explicit RsaKeychain(std::map<uint32_t, std::string> keys) : keys(std::move(keys)) {}

    // The public key (PEM) for a selector; empty when the keychain has none.
    std::string publicKey(uint32_t selector) const;

private:
    std::map<uint32_t, std::string> keys;
};
