// gcu-keytool: makes the RSA keys and keychains that the simulator, the packer
// and the secure upload use.
//
//   gcu-keytool genkey OUT.pem [BITS]         a new private key (default 2048 bits)
//   gcu-keytool orvkc KEY.pem OUT.orvkc       a device keychain file for the key
//   gcu-keytool keychain OUT KEY.pem...        a signer's keychain of public keys
#include "gcu.pb.h"
#include "rsakey.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace {

int usage()
{
    std::cerr << "usage: gcu-keytool genkey OUT.pem [BITS]\n"
                 "       gcu-keytool orvkc KEY.pem OUT.orvkc\n"
                 "       gcu-keytool keychain OUT KEY.pem...\n";
    return 2;
}

std::unique_ptr<RsaKey> loadKey(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string error;
    auto key = RsaKey::fromPrivatePem(pem, &error);
    if (!key)
        key = RsaKey::fromPublicPem(pem, &error);
    if (!key)
        std::cerr << "gcu-keytool: " << path << ": " << error << "\n";
    return key;
}

ModulePublicKey entryFor(const RsaKey& key)
{
    ModulePublicKey entry;
    entry.set_key_id(key.selector());
    entry.set_key(key.publicPem());
    return entry;
}

bool writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
    if (!file.flush()) {
        std::cerr << "gcu-keytool: cannot write " << path << "\n";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return usage();
    const std::string command = argv[1];
    if (command == "genkey") {
        const unsigned bits = argc > 3 ? static_cast<unsigned>(std::stoul(argv[3])) : 2048;
        std::string error;
        auto key = RsaKey::generate(bits, &error);
        if (!key) {
            std::cerr << "gcu-keytool: " << error << "\n";
            return 1;
        }
        return writeFile(argv[2], key->privatePem()) ? 0 : 1;
    }
    if (command == "orvkc" && argc == 4) {
        auto key = loadKey(argv[2]);
        return key && writeFile(argv[3], entryFor(*key).SerializeAsString()) ? 0 : 1;
    }
    if (command == "keychain" && argc >= 4) {
        Keychain keychain;
        for (int i = 3; i < argc; ++i) {
            auto key = loadKey(argv[i]);
            if (!key)
                return 1;
            *keychain.add_keys() = entryFor(*key);
        }
        return writeFile(argv[2], keychain.SerializeAsString()) ? 0 : 1;
    }
    return usage();
}
