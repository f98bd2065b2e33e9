// 100 uploads in a row through one window against the simulator: memory, open
// files and threads must stay where they were after the first few.
#include "filedialoguser.h"
#include "gcusimprocess.h"
#include "testbus.h"
#include "uploaderapp.h"

#include <QComboBox>
#include <QDir>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <fstream>
#include <gtest/gtest.h>

namespace {

struct Footprint
{
    long residentKiB = 0;
    int openFiles = 0;
    int threads = 0;
};

Footprint footprint()
{
    Footprint now;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            now.residentKiB = std::stol(line.substr(6));
        else if (line.rfind("Threads:", 0) == 0)
            now.threads = std::stoi(line.substr(8));
    }
    now.openFiles = static_cast<int>(
        QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files).size());
    return now;
}

} // namespace

TEST(Soak, HundredUploadsInOneRunKeepTheFootprintSteady)
{
    QSettings settings("Orvane", "Uploader");
    settings.clear();
    settings.setValue("ui/offlineLoader", true);
    const std::string image = randomImage(4096, 31);
    const std::string firmware = packFirmware(image, {"--chunk", "2048"});
    const std::string flashOut = temporaryPath("flash.bin");
    GcuSimProcess gcu("SIM-SOAK", {"--bootloader", "--flash-out", flashOut, "--reset-delay", "50"});
    ASSERT_FALSE(gcu.waitForPort(0xEEEF).isNull()) << gcu.log();

    UploaderApp window;
    auto* log = window.findChild<QPlainTextEdit*>("plainTextEdit_2");
    ASSERT_TRUE(
        spinUntil([&] { return window.findChild<QComboBox*>("gcuSerialNumber")->count() > 0; }));
    window.findChild<QPushButton*>("pushButton_2")->click();
    FileDialogUser user(QString::fromStdString(firmware));

    std::map<int, Footprint> seen;
    for (int upload = 1; upload <= 100; ++upload) {
        std::remove(flashOut.c_str());
        log->clear();
        window.findChild<QPushButton*>("pushButton_5")->click();
        ASSERT_TRUE(
            spinUntil([&] { return readWholeFile(flashOut).size() == image.size(); }, 10000))
            << "upload " << upload << "\n"
            << gcu.log();
        ASSERT_TRUE(readWholeFile(flashOut) == image) << "upload " << upload;
        // The GCU restarts with its new firmware after each upload; the window
        // follows it, says so and connects to it again (the next upload resets
        // it into its bootloader first).
        ASSERT_TRUE(spinUntil(
            [&] {
                const QStringList lines = log->toPlainText().split('\n');
                const int updated = lines.indexOf(QRegularExpression("^Updated: .* -> .*$"));
                return updated >= 0 && lines.indexOf("Connected", updated) > updated;
            },
            20000))
            << "upload " << upload << "\n"
            << log->toPlainText().toStdString();
        if (upload == 1 || upload == 10 || upload == 100) {
            seen[upload] = footprint();
            std::printf("after %3d uploads: resident %ld KiB, %d open files, %d threads\n", upload,
                        seen[upload].residentKiB, seen[upload].openFiles, seen[upload].threads);
        }
    }
    EXPECT_LE(seen[100].openFiles, seen[10].openFiles + 2);
    EXPECT_LE(seen[100].threads, seen[10].threads + 2);
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer holds freed memory back for a while, so resident memory
    // says nothing there; its leak check speaks instead.
    EXPECT_LE(seen[100].residentKiB, seen[10].residentKiB + 8 * 1024);
#endif
    settings.clear();
}
