#include "updateoutcome.h"

QString UpdateOutcome::name(ExitCode code, bool refused)
{
    if (refused)
        return "refused";
    switch (code) {
    case ExitCode::Done:
        return "done";
    case ExitCode::Stalled:
        return "stalled";
    case ExitCode::Lost:
        return "lost";
    case ExitCode::Refused:
        return "refused";
    case ExitCode::VersionDiffers:
        return "version-mismatch";
    case ExitCode::Interrupted:
        return "interrupted";
    default:
        return "failed";
    }
}

QString UpdateOutcome::verdict() const
{
    if (done())
        return "done";
    return QString("%1 (exit %2): %3").arg(name()).arg(static_cast<int>(code)).arg(message);
}

UpdateOutcome UpdateOutcome::refusal(const QString& reason)
{
    UpdateOutcome outcome;
    outcome.code = ExitCode::NoDevice;
    outcome.message = reason;
    outcome.refused = true;
    return outcome;
}

ExitCode UpdateOutcome::ofRelay(UpdateRelay::End end, bool serverOffered)
{
    switch (end) {
    case UpdateRelay::End::Completed:
        return ExitCode::Done;
    case UpdateRelay::End::ServerFailed:
        return serverOffered ? ExitCode::Lost : ExitCode::NoDevice;
    case UpdateRelay::End::GcuLost:
        return ExitCode::Lost;
    case UpdateRelay::End::Stalled:
        return ExitCode::Stalled;
    }
    return ExitCode::Stalled;
}

int UpdateOutcome::severity(ExitCode code)
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
