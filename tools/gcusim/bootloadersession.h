#pragma once

#include "gcu.pb.h"
#include "randomsource.h"
#include "rsakey.h"
#include "simulatedflash.h"

#include <memory>
#include <optional>
#include <string>

// What the simulated bootloader knows during one upload: the key it was
// introduced to, the image key (plain upload) or the session key agreed by
// Diffie-Hellman (secure upload). Each step answers with a result code and a
// reason that the simulator logs.
class BootloaderSession
{
public:
    struct Step
    {
        uint32_t result;
        std::string note;
    };

    explicit BootloaderSession(const RsaKey& deviceKey) : BootloaderSession(deviceKey, deviceKey) {}
    // `exchangeKey` signs the answers to key exchanges; the device key does
    // everything else.
    BootloaderSession(const RsaKey& deviceKey, const RsaKey& exchangeKey);

    Step introduce(const std::string& publicKeyPem);
    Step takeImageKey(const std::string& wrappedKey);
    Step writeCommand(const std::string& data, SimulatedFlash& flash);
    // The answer to a key exchange, or null (with the reason) when it is refused.
    std::optional<Response> exchangeKeys(const std::string& signedParams, std::string* note);
    void forget();
    // The plaintext of a command, filler included: checked and decrypted under the
    // session key, or the image key of a plain upload. Null, with the reason, if not.
    std::optional<std::string> openCommand(const std::string& data, std::string* note) const;

private:
    const RsaKey& deviceKey;
    const RsaKey& exchangeKey;
    RandomSource random{"gcu-sim session"};
    std::unique_ptr<RsaKey> introducedKey;
    std::string imageKey;
    std::string sessionKey;
};
