#include "logline.h"

#include "hexdump.h"

#include <iostream>
#include <mutex>

LogLine::~LogLine()
{
    text << '\n';
    write(text.str());
}

void LogLine::hexDump(const void* data, size_t length)
{
    std::ostringstream dump;
    hexdump(data, length, dump, maxDumpBytes);
    write(dump.str());
}

namespace {
std::ostream* destination = &std::cout;
}

void LogLine::redirect(std::ostream* out)
{
    destination = out;
}

void LogLine::write(const std::string& lines)
{
    static std::mutex outputLock;
    std::lock_guard<std::mutex> lock(outputLock);
    if (destination)
        *destination << lines << std::flush;
}
