// update-server-sim: an update server on loopback for the uploader. See README.md.
#include "updateserversimulator.h"

#include <QCoreApplication>
#include <QTimer>
#include <iostream>

static int usage()
{
    std::cerr << "usage: update-server-sim --version NAME=FILE... [--port PORT]\n"
                 "       [--misbehave garbage,unknown,empty,oversize] [--drop-after N]\n"
                 "       [--answer-timeout MS] [--give-up-after MS]\n";
    return 2;
}

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    UpdateServerSimulator::Options options;
    int giveUpAfterMs = 600000;
    const QStringList arguments = application.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        const QString arg = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (arg == "--port" && hasValue) {
            options.port = arguments[++i].toUShort();
        } else if (arg == "--version" && hasValue) {
            const QString choice = arguments[++i];
            const int equals = choice.indexOf('=');
            if (equals <= 0)
                return usage();
            options.versions.emplace_back(choice.left(equals).toStdString(),
                                          choice.mid(equals + 1).toStdString());
        } else if (arg == "--misbehave" && hasValue) {
            options.misbehaviours = arguments[++i].split(',', Qt::SkipEmptyParts);
        } else if (arg == "--drop-after" && hasValue) {
            options.dropAfterPackets = arguments[++i].toInt();
        } else if (arg == "--answer-timeout" && hasValue) {
            options.answerTimeoutMs = arguments[++i].toInt();
        } else if (arg == "--give-up-after" && hasValue) {
            giveUpAfterMs = arguments[++i].toInt();
        } else {
            return usage();
        }
    }
    for (const QString& kind : options.misbehaviours)
        if (!QStringList{"garbage", "unknown", "empty", "oversize"}.contains(kind))
            return usage();

    UpdateServerSimulator simulator(options);
    if (!simulator.listen()) {
        std::cerr << "update-server-sim: cannot listen on port " << options.port << "\n";
        return 1;
    }
    std::cout << "update-server-sim: listening on 127.0.0.1:" << simulator.port() << std::endl;
    QObject::connect(&simulator, &UpdateServerSimulator::finished, &application,
                     [&](bool completed) { application.exit(completed ? 0 : 1); });
    QTimer::singleShot(giveUpAfterMs, &application, [&] {
        std::cerr << "update-server-sim: giving up, the update did not complete in time\n";
        application.exit(1);
    });
    return application.exec();
}
