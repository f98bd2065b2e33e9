#include "hexdump.h"

#include <cstdio>
#include <iostream>

namespace {

constexpr size_t bytesPerLine = 16;

void dumpLine(const unsigned char* bytes, size_t offset, size_t count, std::ostream& out)
{
    char text[32];
    std::snprintf(text, sizeof text, "%08zx ", offset);
    out << text;
    for (size_t i = 0; i < bytesPerLine; ++i) {
        if (i == bytesPerLine / 2)
            out << ' ';
        if (i < count) {
            std::snprintf(text, sizeof text, " %02x", bytes[i]);
            out << text;
        } else {
            out << "   ";
        }
    }
    out << "  |";
    for (size_t i = 0; i < count; ++i) {
        const unsigned char c = bytes[i];
        out << static_cast<char>(c >= 0x20 && c < 0x7f ? c : '.');
    }
    out << "|\n";
}

} // namespace

void hexdump(const void* data, size_t length, std::ostream& out)
{
    hexdump(data, length, out, length);
}

void hexdump(const void* data, size_t length, std::ostream& out, size_t shownBytes)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    const size_t shown = shownBytes < length ? shownBytes : length;
    for (size_t offset = 0; offset < shown; offset += bytesPerLine) {
        const size_t count = shown - offset < bytesPerLine ? shown - offset : bytesPerLine;
        dumpLine(bytes + offset, offset, count, out);
    }
    if (shown < length)
        out << "... " << length - shown << " more bytes not shown\n";
    char text[48];
    std::snprintf(text, sizeof text, "%08zx\n", length);
    out << text;
    out.flush();
}

void hexdump(const void* data, size_t length)
{
    hexdump(data, length, std::cout);
}
