#include "interruptwatcher.h"

#include "updateoutcome.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

int wakeUp[2] = {-1, -1};
volatile std::sig_atomic_t interrupted = 0;
// When the first signal came, in whole milliseconds of the monotonic clock.
volatile std::sig_atomic_t firstInterruptMs = 0;

// A person who presses Ctrl-C again after a second means it; a wrapper that sends
// SIGINT and SIGTERM together, or a terminal that sends SIGHUP with them, still
// gets where the run stopped and its summary.
constexpr long insistAfterMs = 1000;

long nowMs()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Kept small enough for sig_atomic_t: the clock runs from boot.
    return static_cast<long>((now.tv_sec % 1000000) * 1000 + now.tv_nsec / 1000000);
}

void onSignal(int signal)
{
    const int savedErrno = errno;
    if (!interrupted) {
        interrupted = 1;
        firstInterruptMs = static_cast<std::sig_atomic_t>(nowMs());
    } else if (signal == SIGINT && nowMs() - firstInterruptMs > insistAfterMs) {
        _exit(static_cast<int>(ExitCode::Interrupted));
    }
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(wakeUp[1], &byte, 1);
    errno = savedErrno;
}

bool signalSeen()
{
    return interrupted != 0;
}

constexpr int watchedSignals[] = {SIGINT, SIGTERM, SIGHUP};

} // namespace

InterruptWatcher::InterruptWatcher()
{
    if (::pipe2(wakeUp, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier = new QSocketNotifier(wakeUp[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte;
        bool first = !reported;
        while (::read(wakeUp[0], &byte, 1) > 0) {
        }
        reported = true;
        if (first)
            emit interrupted();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    // A write to a slow reader, under way on the output thread, goes on rather
    // than fail and have that stream taken for gone.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : watchedSignals)
        sigaction(signal, &action, nullptr);
}

InterruptWatcher::~InterruptWatcher()
{
    delete notifier;
    // Once a signal has come the run is ending as it asked: a SIGTERM or SIGHUP
    // sent with it must not kill the run before its summary and exit code. The
    // handler stays, and with it the pipe it writes to.
    if (signalSeen())
        return;
    for (const int signal : watchedSignals)
        std::signal(signal, SIG_DFL);
    for (int& end : wakeUp)
        if (end >= 0)
            ::close(std::exchange(end, -1));
}
