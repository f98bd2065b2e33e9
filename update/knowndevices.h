#pragma once

#include "updateoutcome.h"

#include <QString>
#include <optional>
#include <string>

// The public keys seen so far, one per GCU serial number (trust on first use):
// a secure update goes only to a GCU that still has the key it had when it was
// first met. Kept as a JSON file in the user's configuration folder.
class KnownDevices
{
public:
    explicit KnownDevices(QString path = defaultPath());

    // $ORV_KNOWN_DEVICES, or known-gcus.json in the user's configuration folder.
    static QString defaultPath();
    // "SHA256:" and the hex SHA-256 of the key as the GCU sends it.
    static QString fingerprint(const std::string& publicKey);

    const QString& path() const { return file; }
    // False, with the reason, when a file is there but is not one of pinned keys.
    bool readable(QString* problem) const;
    std::optional<std::string> pinnedKey(const QString& serialNumber) const;
    // Records the key for this GCU, replacing an earlier one; false (with the
    // reason) when the file cannot be written.
    bool pin(const QString& serialNumber, const std::string& publicKey, QString* problem);
    // Whether the GCU may be worked with under this key: it is the pinned one,
    // none is pinned yet, or the user accepts a new one. If not, `problem` names
    // both fingerprints.
    bool admits(const QString& serialNumber, const std::string& publicKey, bool acceptNewKey,
                QString* problem) const;
    // Pins the key unless it is pinned already; false (with the reason) if the
    // file cannot be written.
    bool remember(const QString& serialNumber, const std::string& publicKey, QString* problem);

    // The one step that lets a GCU's key in: read the pins, check the key
    // against its pin and pin it. Done; FileUnusable when the file cannot be
    // read or written; Refused when the key differs from its pin and a new one
    // is not accepted (`problem` names both fingerprints).
    struct Admission
    {
        ExitCode verdict = ExitCode::Done;
        QString problem;
    };
    Admission admitAndPin(const QString& serialNumber, const std::string& publicKey,
                          bool acceptNewKey);

private:
    // The read-change-write of pin, with the file's lock held.
    bool write(const QString& serialNumber, const std::string& publicKey, QString* problem);

    QString file;
};
