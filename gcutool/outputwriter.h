#pragma once

#include <QByteArray>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

// Writes what gcutool tells its user to standard output and error on a thread of
// its own, in the order it was said. A reader slow to take standard output (a
// pipe into a busy script) holds up this thread only, never the device sessions
// that report. A stream whose reader has gone (a closed pipe, a dropped ssh
// session) is written to no more, and the run goes on without it.
class OutputWriter
{
public:
    OutputWriter();
    // Writes what is queued, then ends.
    ~OutputWriter();
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    void write(std::FILE* stream, QByteArray bytes);
    // Returns once everything queued before has been written (or dropped).
    void drain();

private:
    void writeQueued();

    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::pair<std::FILE*, QByteArray>> queue;
    bool writing = false;
    bool ending = false;
    std::set<std::FILE*> gone;
    std::thread thread;
};
