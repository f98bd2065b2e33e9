#pragma once

#include "updaterelay.h"

#include <QString>

// What gcutool's exit status means; scripts rely on these numbers (README lists
// them).
enum class ExitCode : int
{
    Done = 0,
    Usage = 1,
    // No such GCU, or several where one is needed.
    NoDevice = 2,
    FileUnusable = 3,
    // No progress within the stall time-out, or no answer at all.
    Stalled = 4,
    // The GCU went away and did not come back in time.
    Lost = 5,
    // The GCU refused the update, or its key is not the one pinned for it.
    Refused = 6,
    VersionDiffers = 7,
    NoPermission = 8,
    Interrupted = 130,
};

// How one GCU's update ended, for both front ends, the record, the report and
// the dashboard: its exit code, the one name of that outcome everywhere, and
// what the update found. Until an update has ended it is a failure: a GCU that
// was not updated never reads as done.
struct UpdateOutcome
{
    ExitCode code = ExitCode::Stalled;
    QString message = "The update did not begin";
    QString oldVersion;
    QString newVersion;
    double seconds = 0;
    int retries = 0;
    int resumes = 0;
    // Turned away before anything was sent to it.
    bool refused = false;
    // Firmware data the GCU took, as far as the upload got.
    qint64 bytes = 0;
    // The GCU's key, for a secure upload that has read it.
    QString keyFingerprint;
    // The GCU took every command; only its restart was awaited.
    bool uploaded = false;
    // After that it left the bus to restart.
    bool restarted = false;
    // It came back, but in its bootloader: it did not start the new firmware.
    bool backInBootloader = false;

    bool done() const { return code == ExitCode::Done; }
    // done, stalled, lost, refused, version-mismatch, interrupted or failed.
    QString name() const { return name(code, refused); }
    // "done", or the name with its exit code and why: "lost (exit 5): ...".
    QString verdict() const;

    static QString name(ExitCode code, bool refused = false);
    // A GCU turned away before anything was sent to it.
    static UpdateOutcome refusal(const QString& reason);
    // The exit code of an update a server drove, from how its relay ended; a
    // server that went before it offered anything could not be reached.
    static ExitCode ofRelay(UpdateRelay::End end, bool serverOffered = true);
    // When several GCUs are updated at once the run ends with the most severe
    // of their codes: a GCU that could not be reached at all outweighs one that
    // was updated to an unexpected version.
    static int severity(ExitCode code);
    static ExitCode worse(ExitCode a, ExitCode b) { return severity(b) > severity(a) ? b : a; }
};
