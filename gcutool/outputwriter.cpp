#include "outputwriter.h"

OutputWriter::OutputWriter() : thread([this] { writeQueued(); }) {}

OutputWriter::~OutputWriter()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        ending = true;
    }
    changed.notify_all();
    thread.join();
}

void OutputWriter::write(std::FILE* stream, QByteArray bytes)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        queue.emplace_back(stream, std::move(bytes));
    }
    changed.notify_all();
}

void OutputWriter::drain()
{
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [this] { return queue.empty() && !writing; });
}

void OutputWriter::writeQueued()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        changed.wait(guard, [this] { return !queue.empty() || ending; });
        if (queue.empty())
            return;
        auto [stream, bytes] = std::move(queue.front());
        queue.pop_front();
        if (gone.count(stream)) {
            changed.notify_all();
            continue;
        }
        writing = true;
        guard.unlock();
        const bool written = std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()),
                                         stream) == static_cast<size_t>(bytes.size()) &&
                             std::fflush(stream) == 0;
        guard.lock();
        writing = false;
        if (!written)
            gone.insert(stream);
        changed.notify_all();
    }
}
