#pragma once

#include "orvcommon_global.h"

#include <QByteArray>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QIODevice;

// The length-prefixed frame shared by the serial link and the update-server link:
// a 4-byte little-endian payload length, then the payload. No marker, no checksum.
//
// The reader cuts frames out of a QIODevice with read transactions, so nothing of
// an incomplete header is consumed and a payload is taken in one read only once
// it is buffered whole.
class ORV_COMMON_EXPORT FrameCodec
{
public:
    // A header announcing more than this is taken for a corrupt stream.
    static constexpr uint32_t maxFrameLength = 16u * 1024u * 1024u;
    static constexpr int headerSize = 4;

    // Handles one payload; returns false when the device must not be read any
    // further in this call (the handler has closed or replaced it, or wants no
    // more for now).
    using FrameHandler = std::function<bool(std::string payload)>;

    // One buffer holding the header and the payload, ready for a single write.
    static QByteArray encode(const std::string& payload);
    // The payload length a header announces.
    static uint32_t lengthOf(const unsigned char (&header)[headerSize]);
    // Consumes a header if one is buffered whole and returns its length. A length
    // over the limit is a corrupt stream: it is logged, everything buffered is
    // dropped and nothing is returned, so that the next bytes are read as a header.
    static std::optional<uint32_t> takeHeader(QIODevice& device);

    // Delivers every complete frame buffered in `device`, in order. The reader
    // returns to expecting a header only after `onFrame` has returned.
    void readFrames(QIODevice& device, const FrameHandler& onFrame);

    // Whether a frame has begun but is not whole yet: part of a header is
    // buffered, or a header waits for its payload.
    bool midFrame(const QIODevice& device) const;
    // Drops a frame that was cut short (everything of it read or buffered so
    // far) with a log line saying how much; the next bytes are a header.
    void dropIncompleteFrame(QIODevice& device, int quietMs);

    // Forgets a partly received frame: the next bytes are a header.
    void reset();

private:
    bool readFrame(QIODevice& device, const FrameHandler& onFrame, bool& goOn);

    int32_t readState = 0;
    uint32_t frameLength = 0;
};
