#pragma once

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

// When several GCUs are updated at once the run ends with the most severe of
// their codes: a GCU that could not be reached at all outweighs one that was
// updated to an unexpected version.
inline int severity(ExitCode code)
{
    switch (code) {
    case ExitCode::Done:
        return 0;
    case ExitCode::VersionDiffers:
        return 1;
    case ExitCode::Stalled:
        return 2;
    case ExitCode::Lost:
        return 3;
    case ExitCode::Refused:
        return 4;
    case ExitCode::NoPermission:
        return 5;
    case ExitCode::NoDevice:
        return 6;
    case ExitCode::FileUnusable:
        return 7;
    case ExitCode::Usage:
        return 8;
    case ExitCode::Interrupted:
        return 9;
    }
    return 9;
}
