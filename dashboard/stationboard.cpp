#include "stationboard.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

// Ten a second are as many as a page can show or a person follow. Counted over
// the last second rather than spaced 100 ms apart: progress comes ten times a
// second already, and a report a little early is not held back a whole turn.
constexpr int messagesPerSecond = 10;
constexpr int flushIntervalMs = 20;
constexpr int expiryIntervalMs = 30 * 1000;

QByteArray encoded(const QJsonObject& message)
{
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}

QJsonValue share(int part, int whole)
{
    return whole > 0 ? QJsonValue(double(part) / whole) : QJsonValue();
}

} // namespace

StationBoard::StationBoard(QString stationName, Firmware firmwareInUse, bool fleetOnly,
                           QObject* parent)
    : QObject(parent), station(std::move(stationName)), firmware(std::move(firmwareInUse)),
      fleet(fleetOnly)
{
    startDay();
    clock.start();
    flushTimer.setInterval(flushIntervalMs);
    connect(&flushTimer, &QTimer::timeout, this, &StationBoard::flush);
    expiryTimer.setInterval(expiryIntervalMs);
    connect(&expiryTimer, &QTimer::timeout, this, &StationBoard::dropExpiredTiles);
    expiryTimer.start();
}

void StationBoard::take(const QJsonObject& event)
{
    QMetaObject::invokeMethod(
        this, [this, event] { apply(event); }, Qt::QueuedConnection);
}

void StationBoard::startDay()
{
    today = Counters();
    today.day = QDateTime::currentDateTimeUtc().date();
    countersChanged = true;
}

void StationBoard::apply(const QJsonObject& event)
{
    const QString kind = event.value("event").toString();
    // A GCU without a serial number is known by its port, where it was turned away.
    const QString serial = event.value("serial").toString().isEmpty()
                               ? event.value("port").toString()
                               : event.value("serial").toString();
    if (serial.isEmpty())
        return;
    if (QDateTime::currentDateTimeUtc().date() != today.day)
        startDay();
    auto [found, added] = tiles.try_emplace(serial);
    Tile& tile = found->second;
    const bool ending = kind == "end" || kind == "error";
    // A refusal is the whole of a GCU's visit: one turned away again after it
    // was re-plugged is a visit of its own, counted and kept its ten minutes.
    const bool refused = event.value("refused").toBool();
    if (added || (tile.finished() && (refused || (!ending && kind != "log")))) {
        // A GCU back for another update starts a fresh tile; its log goes on.
        const std::deque<QJsonObject> log = std::move(tile.log);
        tile = Tile();
        tile.log = log;
        tile.shown = {{"serial", event.value("serial")},
                      {"key", serial},
                      {"port", event.value("port")},
                      {"state", "waiting"},
                      {"started", event.value("time")}};
        countersChanged = true;
    }
    if (kind == "state") {
        tile.shown.insert("state", event.value("state"));
    } else if (kind == "begin") {
        tile.shown.insert("port", event.value("port"));
        tile.shown.insert("bytes_total", event.value("bytes_total"));
        addLog(tile, event);
    } else if (kind == "progress") {
        progress(tile, event);
    } else if (ending && !tile.finished()) {
        const bool done = kind == "end" && event.value("exit_code").toInt(-1) == 0;
        addLog(tile, event);
        finish(tile, serial, done ? "done" : refused ? "refused" : "failed", event);
    } else {
        if (kind == "resumed")
            tile.uploading.invalidate();
        addLog(tile, event);
    }
    markChanged(serial);
}

void StationBoard::progress(Tile& tile, const QJsonObject& event)
{
    const int stepsDone = event.value("steps_done").toInt();
    const int stepsTotal = event.value("steps_total").toInt();
    const qint64 bytesDone = event.value("bytes_done").toVariant().toLongLong();
    const qint64 bytesTotal = event.value("bytes_total").toVariant().toLongLong();
    tile.shown.insert("steps_done", stepsDone);
    tile.shown.insert("steps_total", stepsTotal);
    tile.shown.insert("bytes_done", bytesDone);
    tile.shown.insert("bytes_total", bytesTotal);
    tile.shown.insert("percent",
                      stepsTotal > 0 ? qMin(100, int(qint64(stepsDone) * 100 / stepsTotal)) : 0);
    if (!tile.uploading.isValid()) {
        tile.uploading.start();
        tile.bytesAtStart = bytesDone;
    }
    // A rate over less than half a second says more about the link's bursts.
    const double seconds = tile.uploading.elapsed() / 1000.0;
    if (seconds < 0.5)
        return;
    const double rate = (bytesDone - tile.bytesAtStart) / seconds;
    tile.shown.insert("rate", rate);
    tile.shown.insert("seconds_left",
                      rate > 0 ? QJsonValue(double(bytesTotal - bytesDone) / rate) : QJsonValue());
}

void StationBoard::finish(Tile& tile, const QString& serial, const QString& outcome,
                          const QJsonObject& event)
{
    tile.finishedAt = QDateTime::currentDateTimeUtc();
    tile.shown.insert("state", outcome);
    tile.shown.insert("outcome", outcome);
    tile.shown.insert("reason", event.value("message"));
    tile.shown.insert("exit_code", event.value("exit_code"));
    tile.shown.insert("ended", event.value("time"));
    if (event.contains("old_version"))
        tile.shown.insert("version_before", event.value("old_version"));
    if (event.contains("new_version"))
        tile.shown.insert("version_after", event.value("new_version"));
    tile.shown.remove("seconds_left");
    if (outcome == "done") {
        ++today.done;
        today.doneTimes.push_back(tile.finishedAt);
    } else {
        ++today.failed;
    }
    today.firstAttempt.emplace(serial, outcome == "done");
    countersChanged = true;
}

void StationBoard::addLog(Tile& tile, const QJsonObject& event)
{
    const QJsonObject line{{"time", event.value("time")},
                           {"kind", event.value("event")},
                           {"text", event.value("message")}};
    tile.log.push_back(line);
    if (tile.log.size() > keptLogLines)
        tile.log.pop_front();
    tile.unsentLog.append(line);
}

void StationBoard::markChanged(const QString& serial)
{
    Tile& tile = tiles.at(serial);
    tile.dirty = true;
    if (maySend(tile))
        flush();
    else if (!flushTimer.isActive())
        flushTimer.start();
}

bool StationBoard::maySend(const Tile& tile) const
{
    return tile.sent.size() < messagesPerSecond || clock.elapsed() - tile.sent.front() >= 1000;
}

void StationBoard::flush()
{
    bool waiting = false;
    for (auto& [serial, tile] : tiles) {
        if (!tile.dirty)
            continue;
        if (!maySend(tile)) {
            waiting = true;
            continue;
        }
        QJsonObject message{{"type", "gcu"}, {"gcu", tile.shown}, {"log", tile.unsentLog}};
        if (countersChanged) {
            message.insert("counters", counters());
            countersChanged = false;
        }
        tile.unsentLog = QJsonArray();
        tile.dirty = false;
        tile.sent.push_back(clock.elapsed());
        if (tile.sent.size() > messagesPerSecond)
            tile.sent.pop_front();
        emit changed(encoded(message));
    }
    if (!waiting)
        flushTimer.stop();
    else if (!flushTimer.isActive())
        flushTimer.start();
}

void StationBoard::dropExpiredTiles()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (now.date() != today.day)
        startDay();
    for (auto tile = tiles.begin(); tile != tiles.end();) {
        if (tile->second.finished() && !tile->second.dirty &&
            tile->second.finishedAt.msecsTo(now) >= keepFinishedMs) {
            emit changed(encoded({{"type", "remove"}, {"serial", tile->first}}));
            tile = tiles.erase(tile);
        } else {
            ++tile;
        }
    }
    // Units an hour fall as the hour moves on.
    while (!today.doneTimes.empty() && today.doneTimes.front().secsTo(now) > 3600)
        today.doneTimes.pop_front();
    emit changed(encoded({{"type", "counters"}, {"counters", counters()}}));
    countersChanged = false;
}

QJsonObject StationBoard::counters() const
{
    const QDateTime hourAgo = QDateTime::currentDateTimeUtc().addSecs(-3600);
    int lastHour = 0;
    for (const QDateTime& done : today.doneTimes)
        lastHour += done >= hourAgo ? 1 : 0;
    int firstPassed = 0;
    for (const auto& [serial, passed] : today.firstAttempt)
        firstPassed += passed ? 1 : 0;
    int running = 0;
    for (const auto& [serial, tile] : tiles)
        running += tile.finished() ? 0 : 1;
    return {{"day", today.day.toString(Qt::ISODate)},
            {"in_progress", running},
            {"done", today.done},
            {"failed", today.failed},
            {"yield", share(today.done, today.done + today.failed)},
            {"first_pass_yield", share(firstPassed, int(today.firstAttempt.size()))},
            {"units_per_hour", lastHour}};
}

QByteArray StationBoard::snapshot() const
{
    QJsonArray gcus;
    for (const auto& [serial, tile] : tiles) {
        QJsonObject shown = tile.shown;
        QJsonArray log;
        for (const QJsonObject& line : tile.log)
            log.append(line);
        shown.insert("log", log);
        gcus.append(shown);
    }
    return encoded({{"type", "snapshot"},
                    {"mode", fleet ? "fleet" : "station"},
                    {"station", station},
                    {"firmware", QJsonObject{{"file", firmware.file},
                                             {"version", firmware.version},
                                             {"description", firmware.description},
                                             {"sha256", firmware.sha256}}},
                    {"counters", counters()},
                    {"gcus", gcus}});
}
