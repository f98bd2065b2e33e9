#pragma once

#include "updaterecorder.h"
#include "updaterow.h"

#include <QSettings>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

// The window's updates in the fleet record: its own uploads and the updates it
// relays, at the record that the setting "record/url" names (by default the
// same SQLite file as gcutool's). One update at a time, as the window runs them;
// a record that cannot be used never stops one. A row's version_after stays
// empty: the window does not follow the GCU through the reset that ends an
// update, so it never hears which firmware the GCU runs after it.
class WindowRecording
{
public:
    WindowRecording(QSettings& settings, std::function<void(const QString&)> log);

    // window-upload or window-relay; an update still under way ends as interrupted.
    void begin(const QString& command, const QString& serial, const QString& port,
               const QString& versionBefore, const QString& firmwarePath = {});
    // `exitCode` as gcutool would end with it.
    void end(const QString& outcome, int exitCode, const QString& reason);
    bool running() const { return row.has_value(); }
    bool running(const QString& command) const { return row && row->command == command; }

private:
    bool prepared();

    QSettings& settings;
    std::function<void(const QString&)> log;
    std::unique_ptr<UpdateRecorder> recorder;
    bool unusable = false;
    std::optional<UpdateRow> row;
};
