#pragma once

#include <QDate>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <map>

// What a station's dashboard shows, kept up to date from gcutool's events: a
// tile per GCU (its step, progress, rate, outcome and log lines), the day's
// counters and the firmware in use. Pages get a snapshot when they connect,
// then the changes: at most ten messages a second per GCU, the latest state
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

    // One of gcutool's events as its JSON Lines show it (event, serial, time,
    // message and the event's fields), or a state change ({"event": "state",
    // "serial", "state"}). From any thread.
    void take(const QJsonObject& event);

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
        // When its last messages went (the board's clock, ms), at most ten.
        std::deque<qint64> sent;
        bool dirty = false;
        // Unset until the update has ended.
        QDateTime finishedAt;
        bool finished() const { return finishedAt.isValid(); }
        // The rate counts from the upload's first progress, afresh after a resume.
        QElapsedTimer uploading;
        qint64 bytesAtStart = 0;
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

    void apply(const QJsonObject& event);
    void progress(Tile& tile, const QJsonObject& event);
    void finish(Tile& tile, const QString& serial, const QString& outcome,
                const QJsonObject& event);
    void addLog(Tile& tile, const QJsonObject& event);
    void markChanged(const QString& serial);
    // Whether a tile may have another message now: fewer than ten in the last second.
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
