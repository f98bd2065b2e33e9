#pragma once

#include "rsakeychain.h"
#include "rsasigner.h"

#include <memory>
#include <string>

// Loads the secure upload's signing key and keychain.
//
// The signer file is a PEM RSA private key. The keychain file is a serialised
// Keychain message: public keys (PEM) with their selectors. Both return null
// when the file cannot be read or holds no usable key; `error` then says why.
class RsaWrapper
{
public:
    static std::unique_ptr<RsaSigner> loadCert(std::string certFile, std::string* error = nullptr);
    static std::unique_ptr<RsaKeychain> loadKeychain(const std::string& keychainFile,
                                                     std::string* error = nullptr);
};
