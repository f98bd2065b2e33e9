// gcutool: the GCU service tool for scripts, production lines and headless
// workshops. See README.md and `gcutool --help`.
#include "gcutool.h"

#include <QCoreApplication>
#include <csignal>

int main(int argc, char** argv)
{
    // A reader that goes away (gcutool ... | head -1) must not kill an update
    // half-way: writes to it fail instead, and the run goes on to its end.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("gcutool");
    QCoreApplication::setApplicationVersion(ORV_VERSION);
    GcuTool tool;
    return tool.run(QCoreApplication::arguments());
}
