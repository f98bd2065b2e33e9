// The window's handling of one frame from the GCU (readPort), with and without
// the relay, and of one request from the update server (commandRead).
#include "fuzzsupport.h"
#include "uploaderapp.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QSettings>

namespace {

struct Windows
{
    Windows()
    {
        QSettings settings("Orvane", "Uploader");
        settings.setValue("ui/offlineLoader", true);
        // A server that is not there: the relay is active, its answers are dropped.
        settings.setValue("network/host", "127.0.0.1");
        settings.setValue("network/port", 9);
        relaying.findChild<QComboBox*>("gcuSerialNumber")->addItem("FUZZ GCU", 0);
        QMetaObject::invokeMethod(&relaying, "on_softwareServerConnect_clicked");
    }
    UploaderApp plain;
    UploaderApp relaying;
};

Windows& windows()
{
    static Windows* made = [] {
        setenv("XDG_CONFIG_HOME", "/tmp/orv-fuzz-config", 1);
        fuzz::ensureApplication();
        return new Windows;
    }();
    return *made;
}

void forget(UploaderApp& window)
{
    // The log pane and the version list would otherwise grow with every input.
    window.findChild<QPlainTextEdit*>("plainTextEdit_2")->clear();
    window.findChild<QComboBox*>("softwareServerVersions")->clear();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::silenceDiagnostics();
    Windows& w = windows();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    QMetaObject::invokeMethod(&w.plain, "readPort", Q_ARG(std::string, bytes));
    QMetaObject::invokeMethod(&w.relaying, "readPort", Q_ARG(std::string, bytes));
    QMetaObject::invokeMethod(&w.relaying, "commandRead", Q_ARG(std::string, bytes));
    QCoreApplication::processEvents();
    forget(w.plain);
    forget(w.relaying);
    return 0;
}
