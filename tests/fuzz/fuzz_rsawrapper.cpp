// The secure upload's signing key and keychain files, of arbitrary bytes.
#include "fuzzsupport.h"
#include "rsawrapper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = fuzz::scratchFile(data, size, "key");
    std::string error;
    if (auto signer = RsaWrapper::loadCert(path, &error))
        signer->sign("probe");
    if (auto keychain = RsaWrapper::loadKeychain(path, &error))
        keychain->publicKey(0);
    return 0;
}
