#include "framecodec.h"

#include "logline.h"

#include <QIODevice>

QByteArray FrameCodec::encode(const std::string& payload)
{
    const auto length = static_cast<uint32_t>(payload.size());
    QByteArray frame;
    frame.reserve(headerSize + static_cast<int>(payload.size()));
    for (int shift = 0; shift < 32; shift += 8)
        frame.append(static_cast<char>((length >> shift) & 0xff));
    frame.append(payload.data(), static_cast<int>(payload.size()));
    return frame;
}

uint32_t FrameCodec::lengthOf(const unsigned char (&header)[headerSize])
{
    return header[0] | header[1] << 8 | header[2] << 16 | uint32_t(header[3]) << 24;
}

void FrameCodec::reset()
{
    readState = 0;
    frameLength = 0;
}

std::optional<uint32_t> FrameCodec::takeHeader(QIODevice& device)
{
    if (device.bytesAvailable() < headerSize)
        return std::nullopt;
    device.startTransaction();
    unsigned char header[headerSize];
    if (device.read(reinterpret_cast<char*>(header), headerSize) != headerSize) {
        device.rollbackTransaction();
        return std::nullopt;
    }
    device.commitTransaction();
    const uint32_t length = lengthOf(header);
    if (length > maxFrameLength) {
        // Nothing in the stream tells where the next frame starts: drop what is
        // buffered and take the next bytes that arrive for a header.
        const qint64 discarded = device.bytesAvailable();
        device.skip(discarded);
        LogLine() << "Corrupt stream: frame length " << length << " exceeds the limit of "
                  << maxFrameLength << " bytes, discarded " << discarded << " buffered bytes";
        return std::nullopt;
    }
    return length;
}

bool FrameCodec::midFrame(const QIODevice& device) const
{
    return readState == 1 || device.bytesAvailable() > 0;
}

void FrameCodec::dropIncompleteFrame(QIODevice& device, int quietMs)
{
    const qint64 buffered = device.bytesAvailable();
    device.skip(buffered);
    const qint64 dropped = buffered + (readState == 1 ? headerSize : 0);
    LogLine() << "Incomplete frame dropped: no bytes came for " << quietMs << " ms, discarded "
              << dropped << " bytes";
    reset();
}

// Delivers one frame if it is buffered whole; false when the reader must wait for
// more bytes. `goOn` tells whether the handler wants the reader to go on.
bool FrameCodec::readFrame(QIODevice& device, const FrameHandler& onFrame, bool& goOn)
{
    if (readState == 0) {
        const std::optional<uint32_t> length = takeHeader(device);
        if (!length)
            return false;
        frameLength = *length;
        readState = 1;
    }
    if (device.bytesAvailable() < frameLength)
        return false;
    device.startTransaction();
    std::string payload(frameLength, '\0');
    if (device.read(payload.data(), frameLength) != frameLength) {
        device.rollbackTransaction();
        return false;
    }
    device.commitTransaction();
    goOn = onFrame(std::move(payload));
    readState = 0;
    return true;
}

void FrameCodec::readFrames(QIODevice& device, const FrameHandler& onFrame)
{
    bool goOn = true;
    while (readFrame(device, onFrame, goOn) && goOn && device.bytesAvailable() > 0) {
    }
}
