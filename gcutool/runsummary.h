#pragma once

#include "updateoutcome.h"

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
        UpdateOutcome outcome;
    };

    static ExitCode report(ToolOutput& output, const std::vector<Result>& results);
};
