#include "dashboard.h"

#include <QFile>

bool Dashboard::parseListen(const QString& text, QHostAddress* address, quint16* port,
                            QString* problem)
{
    const int colon = text.lastIndexOf(':');
    QString host = colon < 0 ? QString("127.0.0.1") : text.left(colon);
    if (host.startsWith('[') && host.endsWith(']'))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint number = text.mid(colon + 1).toUInt(&ok);
    if (!ok || number > 65535) {
        *problem = QString("--listen %1: the port is not a number from 0 to 65535").arg(text);
        return false;
    }
    if (!address->setAddress(host)) {
        *problem = QString("--listen %1: %2 is not an IP address").arg(text, host);
        return false;
    }
    *port = static_cast<quint16>(number);
    return true;
}

bool Dashboard::readTokenFile(const QString& path, QByteArray* token, QString* problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QString("Cannot read the token file %1: %2").arg(path, file.errorString());
        return false;
    }
    *token = file.readLine(4096).trimmed();
    // The token travels in a cookie and a header: visible ASCII only.
    for (char c : *token)
        if (c <= 0x20 || c >= 0x7f || c == ';' || c == ',') {
            *problem = QString("The token in %1 holds a character other than visible "
                               "ASCII, or ';' or ','")
                           .arg(path);
            return false;
        }
    if (token->size() < 16) {
        *problem = QString("The token in %1 is shorter than 16 characters").arg(path);
        return false;
    }
    return true;
}

Dashboard::Dashboard(Settings settings)
    : stationBoard(
          std::make_unique<StationBoard>(settings.station, settings.firmware, settings.fleet)),
      history(std::make_unique<DashboardHistory>(settings.record, settings.station)),
      server(std::make_unique<DashboardServer>(settings.server, *stationBoard, *history))
{
}

Dashboard::~Dashboard() = default;

bool Dashboard::start(QString* problem)
{
    return server->listen(problem);
}
