#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The identity an image installs: the three words of the GCU's firmware identity.
struct ImageVersion
{
    uint32_t versionWord = 0;
    uint32_t revisionWord = 0;
    uint32_t flagsWord = 0;

    // "1.2.3", with an optional "test-" prefix, "b" beta mark and "-N" build.
    static std::optional<ImageVersion> parse(const std::string& text);
};

// One command's worth of a firmware image, as the simulated bootloader reads it.
// Each record names its own place in the image, so writing it twice is harmless.
//
// Layout (little-endian): "ORVR", kind (1 byte), 3 reserved bytes, offset,
// length, image size, the three version words, the data, and the SHA-256 of all
// that precedes it. Bytes after the hash (cipher filler) are ignored.
struct FlashRecord
{
    enum Kind : uint8_t
    {
        Begin = 0,
        Data = 1
    };

    Kind kind = Data;
    uint32_t offset = 0;
    uint32_t imageSize = 0;
    ImageVersion version;
    std::string data;

    std::string encode() const;
    // Null when the bytes are not a whole, intact record.
    static std::optional<FlashRecord> decode(const std::string& bytes);
};
