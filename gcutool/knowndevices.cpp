#include "knowndevices.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

QJsonObject readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

} // namespace

KnownDevices::KnownDevices(QString path) : file(std::move(path)) {}

QString KnownDevices::defaultPath()
{
    const QString chosen = qEnvironmentVariable("ORV_KNOWN_DEVICES");
    if (!chosen.isEmpty())
        return chosen;
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           "/orv/known-gcus.json";
}

QString KnownDevices::fingerprint(const std::string& publicKey)
{
    return "SHA256:" +
           QString::fromLatin1(QCryptographicHash::hash(QByteArray::fromStdString(publicKey),
                                                        QCryptographicHash::Sha256)
                                   .toHex());
}

std::optional<std::string> KnownDevices::pinnedKey(const QString& serialNumber) const
{
    const QJsonObject devices = readAll(file);
    if (!devices.contains(serialNumber))
        return std::nullopt;
    return devices.value(serialNumber).toObject().value("key").toString().toStdString();
}

bool KnownDevices::pin(const QString& serialNumber, const std::string& publicKey, QString* problem)
{
    QJsonObject devices = readAll(file);
    devices.insert(serialNumber,
                   QJsonObject{{"key", QString::fromStdString(publicKey)},
                               {"fingerprint", fingerprint(publicKey)},
                               {"pinned", QDateTime::currentDateTimeUtc().toString(Qt::ISODate)}});
    QDir().mkpath(QFileInfo(file).absolutePath());
    // Written whole or not at all: a crash never leaves half a file of keys.
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(QJsonDocument(devices).toJson()) < 0 ||
        !out.commit()) {
        *problem = QString("Cannot record the GCU's key in %1: %2").arg(file, out.errorString());
        return false;
    }
    return true;
}

bool KnownDevices::admits(const QString& serialNumber, const std::string& publicKey,
                          bool acceptNewKey, QString* problem) const
{
    const auto pinned = pinnedKey(serialNumber);
    if (!pinned || *pinned == publicKey || acceptNewKey)
        return true;
    *problem = QString("The GCU's key %1 is not the key %2 pinned for it in %3; nothing was sent "
                       "or written. If the GCU's key was changed on purpose, run again with "
                       "--accept-new-key")
                   .arg(fingerprint(publicKey), fingerprint(*pinned), file);
    return false;
}

bool KnownDevices::remember(const QString& serialNumber, const std::string& publicKey,
                            QString* problem)
{
    const auto pinned = pinnedKey(serialNumber);
    return (pinned && *pinned == publicKey) || pin(serialNumber, publicKey, problem);
}
