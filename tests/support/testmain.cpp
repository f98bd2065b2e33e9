#include "preload.h"
#include "testbus.h"

#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

// Tests enumerate serial ports through the virtual USB bus, whose stand-in must
// be preloaded; a test binary started without it starts itself again with it,
// so that it runs the same from ctest and by hand.
void ensureVirtualUsbPreloaded(char** argv)
{
    // The sanitizer runtimes need not come first: the stand-in is not instrumented.
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=1", 0);
    setenv("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1", 0);
    setenv("LSAN_OPTIONS", "print_suppressions=0:suppressions=" ORV_LSAN_SUPPRESSIONS, 0);
    setenv("TSAN_OPTIONS",
           "halt_on_error=1:second_deadlock_stack=1:suppressions=" ORV_TSAN_SUPPRESSIONS, 0);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    restartWithVirtualUsb(argv, ORV_VIRTUALUSB_PATH);
}

} // namespace

int main(int argc, char** argv)
{
    ensureVirtualUsbPreloaded(argv);
    TestBus::install();
    // Settings of the program under test stay out of the user's own.
    setenv("XDG_CONFIG_HOME", (TestBus::directory() + "-config").c_str(), 1);
    // And so do the fleet record and its spool.
    setenv("XDG_DATA_HOME", (TestBus::directory() + "-data").c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    const int result = RUN_ALL_TESTS();
    TestBus::remove();
    return result;
}
