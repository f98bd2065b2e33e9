#include "firmwarefilecheck.h"

#include "firmware.pb.h"
#include "terminaltext.h"
#include "updateprogress.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

FirmwareFileCheck FirmwareFileCheck::read(const QString& path)
{
    FirmwareFileCheck check;
    check.path = path;
    // Only a regular file: a pipe or a device could keep the reader waiting.
    if (!QFileInfo(path).isFile()) {
        check.flaw = "cannot be opened: it is not a file";
        return check;
    }
    QFile input(path);
    if (!input.open(QIODevice::ReadOnly)) {
        check.flaw = "cannot be opened";
        return check;
    }
    // Read once: the digest is of the bytes parsed.
    const QByteArray bytes = input.readAll();
    auto read = std::make_shared<FirmwareFile>();
    FirmwareFile& file = *read;
    if (input.error() != QFile::NoError) {
        check.flaw = "cannot be opened";
        return check;
    }
    if (!file.ParseFromArray(bytes.constData(), bytes.size())) {
        check.flaw = "is not a firmware file";
        return check;
    }
    if (file.commands_size() == 0) {
        check.flaw = "holds no firmware commands";
        return check;
    }
    check.fileSize = bytes.size();
    check.digest = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    check.description = QString::fromStdString(file.description());
    check.keyBlobBytes = static_cast<qint64>(file.rsa_public_key().size());
    check.aesKeyBytes = static_cast<qint64>(file.aes_key().size());
    for (const FirmwareCommand& command : file.commands()) {
        check.sizes.push_back(static_cast<qint64>(command.data().size()));
        check.total += check.sizes.back();
        check.runningTotal.push_back(check.total);
        check.checkpoints += command.checkpoint() ? 1 : 0;
    }
    check.parsed = std::move(read);
    return check;
}

qint64 FirmwareFileCheck::bytesThrough(int index) const
{
    if (runningTotal.empty() || index < 0)
        return 0;
    return runningTotal[std::min<size_t>(index, runningTotal.size() - 1)];
}

QStringList FirmwareFileCheck::describe() const
{
    const auto [smallest, largest] = std::minmax_element(sizes.begin(), sizes.end());
    return {
        QString("%1: a firmware file of %2").arg(path, UpdateProgress::bytesText(fileSize)),
        QString("  description:  %1")
            .arg(description.isEmpty() ? "(none)" : TerminalText::shown(description)),
        QString("  commands:     %1, %2 of them checkpoints").arg(sizes.size()).arg(checkpoints),
        QString("  command data: %1 in all, %2 to %3 each")
            .arg(UpdateProgress::bytesText(total), UpdateProgress::bytesText(*smallest),
                 UpdateProgress::bytesText(*largest)),
        QString("  key blob:     %1; AES key: %2")
            .arg(UpdateProgress::bytesText(keyBlobBytes), UpdateProgress::bytesText(aesKeyBytes))};
}

QJsonObject FirmwareFileCheck::toJson() const
{
    const auto [smallest, largest] = std::minmax_element(sizes.begin(), sizes.end());
    return {{"file", path},
            {"file_bytes", fileSize},
            {"description", description},
            {"commands", static_cast<int>(sizes.size())},
            {"checkpoints", checkpoints},
            {"data_bytes", total},
            {"smallest_command", *smallest},
            {"largest_command", *largest},
            {"key_blob_bytes", keyBlobBytes},
            {"aes_key_bytes", aesKeyBytes}};
}

QString FirmwareFileCheck::fileName() const
{
    return QFileInfo(path).fileName();
}
