#include "rsawrapper.h"

#include "gcu.pb.h"

#include <fstream>

std::unique_ptr<RsaSigner> RsaWrapper::loadCert(std::string certFile, std::string* error)
{
    std::string reason;
    std::unique_ptr<RsaKey> key = RsaKey::fromPrivateFile(certFile, &reason);
    if (!key) {
        if (error)
            *error = "signing key " + certFile + ": " + reason;
        return nullptr;
    }
    return std::make_unique<RsaSigner>(std::move(key));
}

std::unique_ptr<RsaKeychain> RsaWrapper::loadKeychain(const std::string& keychainFile,
                                                      std::string* error)
{
    auto fail = [&](const std::string& reason) {
        if (error)
            *error = "keychain " + keychainFile + ": " + reason;
        return nullptr;
    };
    std::ifstream file(keychainFile, std::ios::binary);
    if (!file)
        return fail("cannot be opened");
    Keychain keychain;
    if (!keychain.ParseFromIstream(&file))
        return fail("is not a keychain file");
    std::map<uint32_t, std::string> keys;
    for (const ModulePublicKey& entry : keychain.keys()) {
        if (!RsaKey::fromPublicPem(entry.key(), nullptr))
            return fail("holds a key that is not an RSA public key");
        keys[entry.key_id()] = entry.key();
    }
    if (keys.empty())
        return fail("holds no keys");
    return std::make_unique<RsaKeychain>(std::move(keys));
}
