#include "frametrace.h"

#include "gcu.pb.h"
#include "server.pb.h"

#include <QDateTime>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format.h>
#include <google/protobuf/wire_format_lite.h>

FrameTrace& FrameTrace::process()
{
    static FrameTrace trace;
    return trace;
}

namespace {

struct DirectionInfo
{
    const char* name;
    // The message type its frames hold.
    const google::protobuf::Descriptor* (*type)();
};

// In the order of FrameTrace::Direction.
const DirectionInfo directions[] = {
    {"to-gcu", &Command::descriptor},
    {"from-gcu", &Response::descriptor},
    {"to-server", &SoftwareServerResponse::descriptor},
    {"from-server", &SoftwareServerRequest::descriptor},
};

} // namespace

const char* FrameTrace::directionName(Direction direction)
{
    return directions[static_cast<int>(direction)].name;
}

std::string FrameTrace::kindOf(Direction direction, const std::string& payload)
{
    using google::protobuf::internal::WireFormatLite;
    const google::protobuf::Descriptor* type = directions[static_cast<int>(direction)].type();
    // Only the tags are read: a frame's kind is its first oneof member, and
    // whatever it holds is skipped over, not parsed.
    google::protobuf::io::CodedInputStream input(reinterpret_cast<const uint8_t*>(payload.data()),
                                                 static_cast<int>(payload.size()));
    while (const uint32_t tag = input.ReadTag()) {
        const auto* field = type->FindFieldByNumber(WireFormatLite::GetTagFieldNumber(tag));
        // A member sent with another wire type is an unknown field to a parser.
        if (field && field->containing_oneof() &&
            WireFormatLite::GetTagWireType(tag) ==
                google::protobuf::internal::WireFormat::WireTypeForField(field))
            return field->name();
        if (!WireFormatLite::SkipField(&input, tag))
            return "unparsable";
    }
    return input.ConsumedEntireMessage() ? "none" : "unparsable";
}

void FrameTrace::record(Direction direction, const std::string& payload)
{
    if (!recording)
        return;
    Entry entry{QDateTime::currentMSecsSinceEpoch(), direction, payload.size(),
                kindOf(direction, payload), payload.substr(0, shownBytes)};
    std::lock_guard<std::mutex> guard(lock);
    bytesHeld += entry.footprint();
    entries.push_back(std::move(entry));
    while (entries.size() > maxFrames || bytesHeld > maxBytes) {
        bytesHeld -= entries.front().footprint();
        entries.pop_front();
    }
}

size_t FrameTrace::frames() const
{
    std::lock_guard<std::mutex> guard(lock);
    return entries.size();
}

void FrameTrace::write(std::ostream& out) const
{
    static const char digits[] = "0123456789abcdef";
    std::lock_guard<std::mutex> guard(lock);
    for (const Entry& entry : entries) {
        out << QDateTime::fromMSecsSinceEpoch(entry.atMs, Qt::UTC)
                   .toString(Qt::ISODateWithMs)
                   .toStdString()
            << ' ' << directionName(entry.direction) << ' ' << entry.length << ' ' << entry.kind;
        for (const unsigned char byte : entry.head)
            out << ' ' << digits[byte >> 4] << digits[byte & 0xf];
        out << '\n';
    }
}
