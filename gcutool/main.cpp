// gcutool: the GCU service tool for scripts, production lines and headless
// workshops. See README.md and `gcutool --help`.
#include "gcutool.h"

#include <QCoreApplication>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("gcutool");
    QCoreApplication::setApplicationVersion(ORV_VERSION);
    GcuTool tool;
    return tool.run(QCoreApplication::arguments());
}
