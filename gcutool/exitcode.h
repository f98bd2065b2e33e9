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
