#include "flashrecord.h"

#include <cstdio>
#include <mbedtls/sha256.h>

namespace {

constexpr char magic[] = "ORVR";
constexpr size_t headerSize = 32;
constexpr size_t hashSize = 32;

void put32(std::string& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<char>((value >> shift) & 0xff));
}

uint32_t get32(const std::string& in, size_t at)
{
    return uint32_t(uint8_t(in[at])) | uint32_t(uint8_t(in[at + 1])) << 8 |
           uint32_t(uint8_t(in[at + 2])) << 16 | uint32_t(uint8_t(in[at + 3])) << 24;
}

std::string sha256(const char* data, size_t length)
{
    unsigned char digest[hashSize];
    mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(data), length, digest, 0);
    return std::string(reinterpret_cast<char*>(digest), hashSize);
}

} // namespace

std::optional<ImageVersion> ImageVersion::parse(const std::string& text)
{
    std::string rest = text;
    ImageVersion version;
    if (rest.rfind("test-", 0) == 0) {
        version.flagsWord |= 1u << 13;
        rest = rest.substr(5);
    }
    unsigned major = 0, minor = 0, patch = 0;
    int consumed = 0;
    if (std::sscanf(rest.c_str(), "%u.%u.%u%n", &major, &minor, &patch, &consumed) != 3 ||
        major > 255 || minor > 255 || patch > 255)
        return std::nullopt;
    rest = rest.substr(static_cast<size_t>(consumed));
    if (!rest.empty() && rest[0] == 'b') {
        version.flagsWord |= 1u << 12;
        rest = rest.substr(1);
    }
    if (!rest.empty()) {
        unsigned build = 0;
        int used = 0;
        if (std::sscanf(rest.c_str(), "-%u%n", &build, &used) != 1 ||
            static_cast<size_t>(used) != rest.size() || build > 0xfff)
            return std::nullopt;
        version.flagsWord |= build;
    }
    version.versionWord = major << 8 | minor;
    version.revisionWord = patch << 8;
    return version;
}

std::string FlashRecord::encode() const
{
    std::string out(magic, 4);
    out.push_back(static_cast<char>(kind));
    out.append(3, '\0');
    put32(out, offset);
    put32(out, static_cast<uint32_t>(data.size()));
    put32(out, imageSize);
    put32(out, version.versionWord);
    put32(out, version.revisionWord);
    put32(out, version.flagsWord);
    out += data;
    out += sha256(out.data(), out.size());
    return out;
}

std::optional<FlashRecord> FlashRecord::decode(const std::string& bytes)
{
    if (bytes.size() < headerSize + hashSize || bytes.compare(0, 4, magic, 4) != 0)
        return std::nullopt;
    const uint32_t length = get32(bytes, 12);
    if (length > bytes.size() - headerSize - hashSize)
        return std::nullopt;
    const size_t hashAt = headerSize + length;
    if (bytes.compare(hashAt, hashSize, sha256(bytes.data(), hashAt)) != 0)
        return std::nullopt;
    FlashRecord record;
    record.kind = static_cast<Kind>(uint8_t(bytes[4]));
    if (record.kind != Begin && record.kind != Data)
        return std::nullopt;
    record.offset = get32(bytes, 8);
    record.imageSize = get32(bytes, 16);
    record.version = {get32(bytes, 20), get32(bytes, 24), get32(bytes, 28)};
    record.data = bytes.substr(headerSize, length);
    if (uint64_t(record.offset) + length > record.imageSize)
        return std::nullopt;
    return record;
}
