#pragma once

#include "firmwareupdate.h"

#include <QDate>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

// What a station's dashboard shows, kept up to date from the updates' own
// signals: a tile per GCU (its stage, progress, rate, outcome and log lines),
// the day's counters and the firmware in use. Pages get a snapshot when they connect,
// then the changes: a GCU's messages at least 100 ms apart, the latest state
// always sent. Fed from any thread; lives on the thread that serves the pages.
class StationBoard : public QObject
{
    Q_OBJECT
public:
    struct Firmware
    {
        QString file;
        QString version;
        QString description;
        QString sha256;
    };

    // A finished tile stays this long.
    static constexpr int keepFinishedMs = 10 * 60 * 1000;
    // Log lines kept per GCU.
    static constexpr int keptLogLines = 500;

    // `fleet`: a page of the record alone, with no GCUs of its own.
    StationBoard(QString station, Firmware firmware, bool fleet, QObject* parent = nullptr);

    // Shows everything the update of the GCU `serial` tells, from whichever
    // thread it runs on.
    void follow(FirmwareUpdate& update, const QString& serial);
    // A GCU turned away before anything was sent to it; one without a serial
    // number is known by its port. From any thread.
    void refuse(const QString& serial, const QString& port, const QString& reason);

    // Everything, for a page that has just connected.
    QByteArray snapshot() const;

signals:
    // A change for every connected page.
    void changed(const QByteArray& message);

private:
    struct Tile
    {
        QJsonObject shown;
        QJsonArray unsentLog;
        std::deque<QJsonObject> log;
        // When its last message went (the board's clock, ms); none yet when negative.
        qint64 lastSent = -1;
        bool dirty = false;
        // Unset until the update has ended.
        QDateTime finishedAt;
        bool finished() const { return finishedAt.isValid(); }
    };

    struct Counters
    {
        QDate day;
        int done = 0;
        int failed = 0;
        // Each GCU's first outcome of the day: whether it was done.
        std::map<QString, bool> firstAttempt;
        std::deque<QDateTime> doneTimes;
    };

    // An update's latest progress, from its thread, until the board takes it.
    struct PendingProgress
    {
        std::mutex lock;
        UpdateProgress latest;
        bool waiting = false;
    };
    void takeProgress(const QString& serial, PendingProgress& pending, const QString& time);

    // What happened, stamped when it happened, applied on the board's thread.
    void post(std::function<void(const QString& time)> change);
    // The GCU's tile for an event of its update; a GCU back for another update
    // after its last one ended (`freshVisit`) starts a fresh tile.
    Tile& tileFor(const QString& key, const QString& serial, const QString& port,
                  const QString& time, bool freshVisit);
    void showProgress(Tile& tile, const UpdateProgress& progress);
    void finish(Tile& tile, const QString& key, const UpdateOutcome& outcome, const QString& time);
    void addLog(Tile& tile, const QString& kind, const QString& message, const QString& time);
    void markChanged(const QString& serial);
    // Whether a tile may have another message now: its last one is 100 ms old.
    bool maySend(const Tile& tile) const;
    // Sends every changed tile whose last message is at least 100 ms old.
    void flush();
    void dropExpiredTiles();
    QJsonObject counters() const;
    void startDay();

    QString station;
    Firmware firmware;
    bool fleet;
    std::map<QString, Tile> tiles;
    Counters today;
    bool countersChanged = false;
    QTimer flushTimer;
    QElapsedTimer clock;
    QTimer expiryTimer;
};
