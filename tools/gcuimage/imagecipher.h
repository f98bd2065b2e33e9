#pragma once

#include <optional>
#include <string>

// AES-256-CBC as the simulated bootloader uses it: a command is the 16-byte IV
// followed by the ciphertext of the record, zero-filled to a multiple of 16.
class ImageCipher
{
public:
    static constexpr size_t keySize = 32;
    static constexpr size_t ivSize = 16;

    // CBC over `plaintext` filled with zeros to a multiple of 16 bytes.
    static std::string encrypt(const std::string& key, const std::string& iv,
                               const std::string& plaintext);
    // Null when the key or the length does not fit.
    static std::optional<std::string> decrypt(const std::string& key, const std::string& iv,
                                              const std::string& ciphertext);

    // IV and ciphertext in one string.
    static std::string seal(const std::string& key, const std::string& iv,
                            const std::string& plaintext);
    static std::optional<std::string> open(const std::string& key, const std::string& sealed);
};
