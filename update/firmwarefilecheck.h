#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

// What a firmware file holds, read without a GCU: whether it can be uploaded at
// all, and if not, why.
class FirmwareFile;

class FirmwareFileCheck
{
public:
    static FirmwareFileCheck read(const QString& path);

    bool usable() const { return flaw.isEmpty(); }
    // In words for the user, naming the file; empty when it is usable.
    QString whyNot() const { return flaw.isEmpty() ? QString() : path + " " + flaw; }
    // The same without the file's name: "is not a firmware file".
    const QString& fault() const { return flaw; }
    int commandCount() const { return static_cast<int>(sizes.size()); }
    qint64 dataBytes() const { return total; }
    // Bytes of the command payloads up to and including commands[index].
    qint64 bytesThrough(int index) const;
    // The file as read, for every upload of it to share.
    const std::shared_ptr<const FirmwareFile>& firmware() const { return parsed; }

    // The description the file carries, as it came.
    const QString& fileDescription() const { return description; }
    // The file's name without its folder.
    QString fileName() const;
    // The SHA-256 of the bytes read, in hexadecimal: of the very bytes that
    // every upload of this check sends.
    const QString& sha256() const { return digest; }

    QStringList describe() const;
    QJsonObject toJson() const;

private:
    QString path;
    QString flaw;
    std::shared_ptr<const FirmwareFile> parsed;
    QString description;
    QString digest;
    std::vector<qint64> sizes;
    std::vector<qint64> runningTotal;
    qint64 total = 0;
    qint64 fileSize = 0;
    int checkpoints = 0;
    qint64 keyBlobBytes = 0;
    qint64 aesKeyBytes = 0;
};
