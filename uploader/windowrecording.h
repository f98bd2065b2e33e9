#pragma once

#include "updateoutcome.h"
#include "updaterecording.h"
#include "updaterow.h"

#include <QSettings>
#include <QString>
#include <functional>
#include <optional>

// The window's updates in the fleet record: its own uploads and the updates it
// relays, at the record that the setting "record/url" names (by default the
// same SQLite file as gcutool's). One update at a time, as the window runs them;
// a record that cannot be used never stops one. A row ends with what the
// engine found: the version the GCU runs after its restart, the bytes it took.
class WindowRecording
{
public:
    WindowRecording(QSettings& settings, std::function<void(const QString&)> log);

    // window-upload or window-relay; an update still under way ends as interrupted.
    void begin(const QString& command, const QString& serial, const QString& port,
               const QString& versionBefore, const FirmwareFileCheck* firmware = nullptr);
    void end(const UpdateOutcome& outcome);
    bool running() const { return row.has_value(); }
    bool running(const QString& command) const { return row && row->command == command; }

private:
    bool prepared();

    QSettings& settings;
    std::function<void(const QString&)> log;
    UpdateRecording recording;
    // Whether the record can be used, once that has been tried.
    std::optional<bool> usable;
    std::optional<UpdateRow> row;
};
