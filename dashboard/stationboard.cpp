#include "stationboard.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <memory>
#include <utility>

namespace {

// Ten a second are as many as a page can show or a person follow: a tile's
// messages are at least this far apart.
constexpr qint64 messageSpacingMs = 100;
constexpr int flushIntervalMs = 20;
// An update reports every step, far more often than a tile can show: its latest
// progress is taken once a tick.
constexpr int progressTickMs = 40;
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

void StationBoard::post(std::function<void(const QString& time)> change)
{
    const QString time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    QMetaObject::invokeMethod(
        this, [change = std::move(change), time] { change(time); }, Qt::QueuedConnection);
}

void StationBoard::follow(FirmwareUpdate& update, const QString& serial)
{
    // Stamped on the update's thread, shown on the board's.
    constexpr auto direct = Qt::DirectConnection;
    // Set and read on the update's thread: an update that ends before it began
    // (its port would not open) is a visit of its own all the same.
    const auto began = std::make_shared<bool>(false);
    connect(
        &update, &FirmwareUpdate::began, this,
        [this, serial, began](const QString& message, const FirmwareUpdate::Start& start) {
            *began = true;
            post([=](const QString& time) {
                Tile& tile = tileFor(serial, serial, start.port, time, true);
                tile.shown.insert("port", start.port);
                tile.shown.insert("bytes_total", start.bytesTotal);
                addLog(tile, "begin", message, time);
                markChanged(serial);
            });
        },
        direct);
    connect(
        &update, &FirmwareUpdate::stageChanged, this,
        [this, serial](FirmwareUpdate::Stage stage) {
            // The end's state is its outcome, shown with it.
            if (stage == FirmwareUpdate::Stage::Ended)
                return;
            post([=](const QString& time) {
                tileFor(serial, serial, {}, time, true)
                    .shown.insert("state", FirmwareUpdate::stageName(stage));
                markChanged(serial);
            });
        },
        direct);
    // The latest progress waits in `pending`; one tick takes it, however many
    // steps came meanwhile.
    const auto pending = std::make_shared<PendingProgress>();
    connect(
        &update, &FirmwareUpdate::progressed, this,
        [this, serial, pending](const UpdateProgress& progress) {
            {
                const std::lock_guard<std::mutex> guard(pending->lock);
                pending->latest = progress;
                if (std::exchange(pending->waiting, true))
                    return;
            }
            QMetaObject::invokeMethod(
                this,
                [this, serial, pending] {
                    QTimer::singleShot(progressTickMs, this, [this, serial, pending] {
                        const QString time =
                            QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
                        takeProgress(serial, *pending, time);
                    });
                },
                Qt::QueuedConnection);
        },
        direct);
    const auto line = [this, serial](const QString& kind, bool freshVisit) {
        return [this, serial, kind, freshVisit](const QString& message) {
            post([=](const QString& time) {
                addLog(tileFor(serial, serial, {}, time, freshVisit), kind, message, time);
                markChanged(serial);
            });
        };
    };
    connect(&update, &FirmwareUpdate::logged, this, line("log", false), direct);
    connect(
        &update, &FirmwareUpdate::retried, this,
        [retry = line("retry", true)](const QString& message, int, int) { retry(message); },
        direct);
    connect(
        &update, &FirmwareUpdate::gone, this,
        [lost = line("lost", true)](const QString& message, int, int) { lost(message); }, direct);
    connect(
        &update, &FirmwareUpdate::back, this,
        [resumed = line("resumed", true)](const QString& message, int, const QString&) {
            resumed(message);
        },
        direct);
    connect(
        &update, &FirmwareUpdate::ended, this,
        [this, serial, pending, began](const UpdateOutcome& outcome) {
            const bool freshVisit = !*began;
            post([=](const QString& time) {
                // The last progress is shown before the end.
                takeProgress(serial, *pending, time);
                Tile& tile = tileFor(serial, serial, {}, time, freshVisit);
                if (tile.finished())
                    return;
                addLog(tile, outcome.done() ? "end" : "error", outcome.message, time);
                finish(tile, serial, outcome, time);
                markChanged(serial);
            });
        },
        direct);
}

void StationBoard::takeProgress(const QString& serial, PendingProgress& pending,
                                const QString& time)
{
    UpdateProgress latest;
    {
        const std::lock_guard<std::mutex> guard(pending.lock);
        if (!std::exchange(pending.waiting, false))
            return;
        latest = pending.latest;
    }
    // Progress that comes after the end belongs to no visit.
    Tile& tile = tileFor(serial, serial, {}, time, false);
    if (tile.finished())
        return;
    showProgress(tile, latest);
    markChanged(serial);
}

void StationBoard::refuse(const QString& serial, const QString& port, const QString& reason)
{
    post([=](const QString& time) {
        // A refusal is the whole of a GCU's visit: one turned away again after
        // it was re-plugged is a visit of its own, counted and kept its ten
        // minutes.
        const QString key = serial.isEmpty() ? port : serial;
        Tile& tile = tileFor(key, serial, port, time, true);
        addLog(tile, "error", reason, time);
        finish(tile, key, UpdateOutcome::refusal(reason), time);
        markChanged(key);
    });
}

void StationBoard::startDay()
{
    today = Counters();
    today.day = QDateTime::currentDateTimeUtc().date();
    countersChanged = true;
}

StationBoard::Tile& StationBoard::tileFor(const QString& key, const QString& serial,
                                          const QString& port, const QString& time, bool freshVisit)
{
    if (QDateTime::currentDateTimeUtc().date() != today.day)
        startDay();
    auto [found, added] = tiles.try_emplace(key);
    Tile& tile = found->second;
    if (added || (tile.finished() && freshVisit)) {
        // A GCU back for another update starts a fresh tile; its log goes on.
        const std::deque<QJsonObject> log = std::move(tile.log);
        tile = Tile();
        tile.log = log;
        tile.shown = {{"serial", serial},
                      {"key", key},
                      {"port", port},
                      {"state", "waiting"},
                      {"started", time}};
        countersChanged = true;
    }
    return tile;
}

void StationBoard::showProgress(Tile& tile, const UpdateProgress& progress)
{
    tile.shown.insert("steps_done", progress.stepsDone);
    tile.shown.insert("steps_total", progress.stepsTotal);
    tile.shown.insert("bytes_done", progress.bytesDone);
    tile.shown.insert("bytes_total", progress.bytesTotal);
    tile.shown.insert("percent", progress.percent());
    // The update's own rate: none while the GCU is away or before it is known.
    if (progress.bytesPerSecond > 0)
        tile.shown.insert("rate", progress.bytesPerSecond);
    else
        tile.shown.remove("rate");
    if (progress.secondsLeft >= 0)
        tile.shown.insert("seconds_left", double(progress.secondsLeft));
    else
        tile.shown.remove("seconds_left");
}

void StationBoard::finish(Tile& tile, const QString& key, const UpdateOutcome& outcome,
                          const QString& time)
{
    tile.finishedAt = QDateTime::currentDateTimeUtc();
    tile.shown.insert("state", outcome.name());
    tile.shown.insert("outcome", outcome.name());
    tile.shown.insert("reason", outcome.message);
    tile.shown.insert("exit_code", static_cast<int>(outcome.code));
    tile.shown.insert("ended", time);
    if (!outcome.oldVersion.isEmpty())
        tile.shown.insert("version_before", outcome.oldVersion);
    if (!outcome.newVersion.isEmpty())
        tile.shown.insert("version_after", outcome.newVersion);
    tile.shown.remove("seconds_left");
    tile.shown.remove("rate");
    if (outcome.done()) {
        ++today.done;
        today.doneTimes.push_back(tile.finishedAt);
    } else {
        ++today.failed;
    }
    today.firstAttempt.emplace(key, outcome.done());
    countersChanged = true;
}

void StationBoard::addLog(Tile& tile, const QString& kind, const QString& message,
                          const QString& time)
{
    const QJsonObject line{{"time", time}, {"kind", kind}, {"text", message}};
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
    return tile.lastSent < 0 || clock.elapsed() - tile.lastSent >= messageSpacingMs;
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
        tile.lastSent = clock.elapsed();
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
