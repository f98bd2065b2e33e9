#include "logline.h"

#include <iostream>
#include <mutex>

LogLine::~LogLine()
{
    static std::mutex outputLock;
    text << '\n';
    std::lock_guard<std::mutex> lock(outputLock);
    std::cout << text.str() << std::flush;
}
