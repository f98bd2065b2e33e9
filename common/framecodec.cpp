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

// Consumes a header if one is buffered; false when the caller must wait.
bool FrameCodec::readHeader(QIODevice& device)
{
    if (device.bytesAvailable() < headerSize)
        return false;
    device.startTransaction();
    unsigned char header[headerSize];
    if (device.read(reinterpret_cast<char*>(header), headerSize) != headerSize) {
        device.rollbackTransaction();
        return false;
    }
    device.commitTransaction();
    const uint32_t length = lengthOf(header);
    if (length > maxFrameLength) {
        // Nothing in the stream tells where the next frame starts: drop what is
        // buffered and take the next bytes that arrive for a header.
        const qint64 discarded = device.bytesAvailable();
        device.readAll();
        LogLine() << "Corrupt stream: frame length " << length << " exceeds the limit of "
                  << maxFrameLength << " bytes, discarded " << discarded << " buffered bytes";
        return false;
    }
    frameLength = length;
    readState = 1;
    return true;
}

void FrameCodec::readFrames(QIODevice& device, const FrameHandler& onFrame)
{
    do {
        if (readState == 0 && !readHeader(device))
            return;
        if (device.bytesAvailable() < frameLength)
            return;
        device.startTransaction();
        std::string payload(frameLength, '\0');
        if (device.read(payload.data(), frameLength) != frameLength) {
            device.rollbackTransaction();
            return;
        }
        device.commitTransaction();
        const bool goOn = onFrame(std::move(payload));
        readState = 0;
        if (!goOn)
            return;
    } while (device.bytesAvailable() > 0);
}
