#include "gcutoolrun.h"

#include "gcusimprocess.h"

#include <QJsonDocument>
#include <sstream>

std::vector<QJsonObject> ToolRun::events() const
{
    std::vector<QJsonObject> objects;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] == '{')
            objects.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object());
    return objects;
}

ToolRun gcutool(const std::vector<std::string>& arguments, int timeoutMs)
{
    auto process = startTool("gcutool", arguments);
    ToolRun run;
    run.exitCode = process->waitForExit(timeoutMs);
    run.output = process->log();
    return run;
}
