// The shared frame reader, fed an arbitrary stream in arbitrary pieces: the frames
// it delivers must be those a plain reference cutter finds, up to the first
// header over the length limit.
#include "framecodec.h"
#include "fuzzsupport.h"

#include <QBuffer>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> referenceFrames(const std::string& stream)
{
    std::vector<std::string> frames;
    size_t at = 0;
    while (stream.size() - at >= 4) {
        const auto* h = reinterpret_cast<const unsigned char*>(stream.data() + at);
        const uint32_t length = h[0] | h[1] << 8 | h[2] << 16 | uint32_t(h[3]) << 24;
        if (length > FrameCodec::maxFrameLength || stream.size() - at - 4 < length)
            break;
        frames.push_back(stream.substr(at + 4, length));
        at += 4 + length;
    }
    return frames;
}

bool hasOversizeHeader(const std::string& stream, size_t frames)
{
    size_t at = 0;
    for (size_t i = 0; i < frames; ++i) {
        const auto* h = reinterpret_cast<const unsigned char*>(stream.data() + at);
        at += 4 + (h[0] | h[1] << 8 | h[2] << 16 | uint32_t(h[3]) << 24);
    }
    if (stream.size() - at < 4)
        return false;
    const auto* h = reinterpret_cast<const unsigned char*>(stream.data() + at);
    return (h[0] | h[1] << 8 | h[2] << 16 | uint32_t(h[3]) << 24) > FrameCodec::maxFrameLength;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::silenceDiagnostics();
    if (size < 1)
        return 0;
    // The first byte seeds the piece sizes; the rest is the stream.
    unsigned seed = data[0];
    const std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);

    QByteArray bytes;
    QBuffer device(&bytes);
    device.open(QIODevice::ReadOnly);
    FrameCodec codec;
    std::vector<std::string> delivered;
    size_t at = 0;
    while (at < stream.size()) {
        seed = seed * 1103515245 + 12345;
        const size_t piece = 1 + (seed >> 16) % 9;
        bytes.append(stream.data() + at, static_cast<int>(std::min(piece, stream.size() - at)));
        at += piece;
        codec.readFrames(device, [&](std::string payload) {
            delivered.push_back(std::move(payload));
            return true;
        });
    }

    const std::vector<std::string> expected = referenceFrames(stream);
    // Past an oversize header the reader drops what it holds, so only the frames
    // before it are compared.
    if (hasOversizeHeader(stream, expected.size())) {
        if (delivered.size() < expected.size())
            std::abort();
        delivered.resize(expected.size());
    }
    if (delivered != expected)
        std::abort();
    return 0;
}
