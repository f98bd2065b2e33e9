#pragma once

#include "exitcode.h"
#include "uploadrun.h"

#include <QString>
#include <vector>

class ToolOutput;

// The end of a run over several GCUs: one row each (serial, outcome, old and new
// version, seconds, retries, resumes), why each failure failed, and the most
// severe exit code among them.
class RunSummary
{
public:
    struct Result
    {
        QString serial;
        UploadRun::Outcome outcome;
    };

    static ExitCode report(ToolOutput& output, const std::vector<Result>& results);
};
