#include "knowndevices.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <mutex>

namespace {

// Sessions updating several GCUs at once pin their keys from their own threads,
// and other gcutool processes (two stations sharing a home directory, scripts)
// from theirs: each read-change-write of the file is whole, or the last writer
// would drop the pins the other added.
std::mutex threadLock;
constexpr int fileLockWaitMs = 10000;

// One read-change-write of the pins at a time, across threads and processes: a
// lock file beside the pins.
class PinsLock
{
public:
    explicit PinsLock(const QString& pinsPath)
        : threads(threadLock), path(pinsPath), file(pinsPath + ".lock")
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        locked = file.tryLock(fileLockWaitMs);
    }
    // False, with the reason, when another process held the file too long.
    bool acquired(QString* problem) const
    {
        if (!locked)
            *problem = QString("The file of pinned keys %1 stayed locked by another program "
                               "(%2.lock); nothing was pinned. Run again once it has ended")
                           .arg(path, path);
        return locked;
    }

private:
    std::lock_guard<std::mutex> threads;
    QString path;
    QLockFile file;
    bool locked = false;
};

// The pins in the file; none when there is no file yet. False when a file is
// there but cannot be read as one: replacing it would lose every pin.
bool readAll(const QString& path, QJsonObject* devices, QString* problem)
{
    QFile file(path);
    if (!file.exists()) {
        *devices = {};
        return true;
    }
    QJsonParseError error{};
    const QJsonDocument document = file.open(QIODevice::ReadOnly)
                                       ? QJsonDocument::fromJson(file.readAll(), &error)
                                       : QJsonDocument();
    if (!document.isObject()) {
        *problem = QString("The file of pinned keys %1 cannot be read (%2); mend or remove it")
                       .arg(path, file.error() != QFile::NoError ? file.errorString()
                                                                 : error.errorString());
        return false;
    }
    *devices = document.object();
    return true;
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

bool KnownDevices::readable(QString* problem) const
{
    QJsonObject devices;
    return readAll(file, &devices, problem);
}

std::optional<std::string> KnownDevices::pinnedKey(const QString& serialNumber) const
{
    QJsonObject devices;
    QString problem;
    if (!readAll(file, &devices, &problem) || !devices.contains(serialNumber))
        return std::nullopt;
    return devices.value(serialNumber).toObject().value("key").toString().toStdString();
}

bool KnownDevices::pin(const QString& serialNumber, const std::string& publicKey, QString* problem)
{
    const PinsLock lock(file);
    return lock.acquired(problem) && write(serialNumber, publicKey, problem);
}

bool KnownDevices::write(const QString& serialNumber, const std::string& publicKey,
                         QString* problem)
{
    QJsonObject devices;
    if (!readAll(file, &devices, problem))
        return false;
    devices.insert(serialNumber,
                   QJsonObject{{"key", QString::fromStdString(publicKey)},
                               {"fingerprint", fingerprint(publicKey)},
                               {"pinned", QDateTime::currentDateTimeUtc().toString(Qt::ISODate)}});
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
    const PinsLock lock(file);
    if (!lock.acquired(problem))
        return false;
    const auto pinned = pinnedKey(serialNumber);
    return (pinned && *pinned == publicKey) || write(serialNumber, publicKey, problem);
}

KnownDevices::Admission KnownDevices::admitAndPin(const QString& serialNumber,
                                                  const std::string& publicKey, bool acceptNewKey)
{
    Admission admission;
    if (!readable(&admission.problem)) {
        admission.verdict = ExitCode::FileUnusable;
        return admission;
    }
    if (!admits(serialNumber, publicKey, acceptNewKey, &admission.problem)) {
        admission.verdict = ExitCode::Refused;
        return admission;
    }
    if (!remember(serialNumber, publicKey, &admission.problem))
        admission.verdict = ExitCode::FileUnusable;
    return admission;
}
