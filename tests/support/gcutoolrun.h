#pragma once

#include <QJsonObject>
#include <string>
#include <vector>

// One gcutool run to its end: its exit code and everything it printed.
struct ToolRun
{
    int exitCode = -1;
    std::string output;

    // The JSON objects among the output lines, in order.
    std::vector<QJsonObject> events() const;
    bool says(const std::string& text) const { return output.find(text) != std::string::npos; }
};

// Runs gcutool from the build tree with these arguments, up to `timeoutMs`.
ToolRun gcutool(const std::vector<std::string>& arguments, int timeoutMs = 90000);
