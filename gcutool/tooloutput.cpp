#include "tooloutput.h"

#include "firmwareupdate.h"
#include "terminaltext.h"

#include <QDateTime>
#include <QJsonDocument>
#include <unistd.h>

namespace {

// Ten a second are as many as a person can follow or a script needs.
constexpr int progressIntervalMs = 100;

// A GCU's line names it first; its serial number is its own, shown as text.
QString lineFor(const QString& serial, const QString& message)
{
    return serial.isEmpty() ? message : QString("%1: %2").arg(TerminalText::shown(serial), message);
}

QJsonObject progressFields(const ToolOutput::Progress& progress)
{
    return {{"steps_done", progress.stepsDone},
            {"steps_total", progress.stepsTotal},
            {"bytes_done", progress.bytesDone},
            {"bytes_total", progress.bytesTotal}};
}

QString clock(qint64 seconds)
{
    return QString("%1:%2")
        .arg(seconds / 60, 2, 10, QChar('0'))
        .arg(seconds % 60, 2, 10, QChar('0'));
}

} // namespace

ToolOutput::ToolOutput(Style style, bool verbose, std::FILE* out, std::FILE* err)
    : outputStyle(style), verbose(verbose), terminal(isatty(fileno(out))), out(out), err(err)
{
}

ToolOutput::~ToolOutput()
{
    std::lock_guard<std::mutex> guard(lock);
    for (auto meter = meters.begin(); meter != meters.end(); ++meter)
        if (meter->progressUnshown)
            showProgress(meter.key(), *meter);
}

namespace {

QJsonObject stamped(const char* kind, const QString& serial, QJsonObject fields)
{
    fields.insert("event", kind);
    fields.insert("serial", serial);
    fields.insert("time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    return fields;
}

} // namespace

void ToolOutput::emitJson(const char* kind, const QString& serial, QJsonObject fields)
{
    writer.write(
        out,
        QJsonDocument(stamped(kind, serial, std::move(fields))).toJson(QJsonDocument::Compact) +
            '\n');
}

void ToolOutput::put(std::FILE* stream, const QString& text)
{
    writer.write(stream, text.toLocal8Bit());
}

void ToolOutput::printLine(std::FILE* stream, const QString& line)
{
    if (barShown) {
        put(out, "\n");
        barShown = false;
    }
    eraseLiveLines();
    put(stream, TerminalText::shownLines(line) + '\n');
    drawLiveLines();
}

void ToolOutput::keepLiveLines()
{
    std::lock_guard<std::mutex> guard(lock);
    liveLines = false;
    drawnLines = 0;
}

void ToolOutput::restartMeter(const QString& serial)
{
    meters[serial].lastTenth = -1;
}

void ToolOutput::eraseLiveLines()
{
    if (drawnLines == 0)
        return;
    // Up to the first live line, and clear from there to the end of the screen.
    put(out, QString("\x1b[%1A\r\x1b[J").arg(drawnLines));
    drawnLines = 0;
}

void ToolOutput::drawLiveLines()
{
    if (!liveLines || liveOrder.isEmpty())
        return;
    QString lines;
    for (const QString& serial : liveOrder)
        lines += barText(serial, meters[serial]) + '\n';
    put(out, lines);
    drawnLines = liveOrder.size();
    sinceDrawn.start();
}

void ToolOutput::state(const QString& serial, const QString& state)
{
    std::lock_guard<std::mutex> guard(lock);
    meters[serial].state = state;
    if (!liveLines)
        return;
    if (!liveOrder.contains(serial))
        liveOrder << serial;
    eraseLiveLines();
    drawLiveLines();
}

void ToolOutput::announce(const char* kind, const QString& serial, const QString& message,
                          QJsonObject fields, bool shownToPeople)
{
    showUnshownProgress(serial);
    fields.insert("message", message);
    if (outputStyle == Style::Json) {
        emitJson(kind, serial, fields);
    } else if (outputStyle == Style::Human && shownToPeople) {
        printLine(out, lineFor(serial, message));
    }
}

void ToolOutput::begin(const QString& serial, const QString& message, QJsonObject fields)
{
    std::lock_guard<std::mutex> guard(lock);
    restartMeter(serial);
    announce("begin", serial, message, fields, true);
}

void ToolOutput::progress(const QString& serial, const Progress& progress)
{
    std::lock_guard<std::mutex> guard(lock);
    Meter& meter = meters[serial];
    const bool shown =
        outputStyle == Style::Json || (outputStyle == Style::Human && progress.stepsTotal > 0);
    if (!shown)
        return;
    meter.progress = progress;
    const bool last = progress.stepsTotal > 0 && progress.stepsDone >= progress.stepsTotal;
    if (!last && meter.sinceShown.isValid() && meter.sinceShown.elapsed() < progressIntervalMs) {
        meter.progressUnshown = true;
        return;
    }
    showProgress(serial, meter);
}

void ToolOutput::showUnshownProgress(const QString& serial)
{
    const auto meter = meters.find(serial);
    if (meter != meters.end() && meter->progressUnshown)
        showProgress(serial, *meter);
}

void ToolOutput::showProgress(const QString& serial, Meter& meter)
{
    meter.sinceShown.start();
    meter.progressUnshown = false;
    const Progress& progress = meter.progress;
    if (outputStyle == Style::Json) {
        emitJson("progress", serial, progressFields(progress));
        return;
    }
    if (outputStyle == Style::Quiet || progress.stepsTotal <= 0)
        return;
    if (liveLines) {
        if (!liveOrder.contains(serial))
            liveOrder << serial;
        // Many GCUs report many steps: the lines are redrawn ten times a second.
        if (!sinceDrawn.isValid() || sinceDrawn.elapsed() >= progressIntervalMs ||
            progress.stepsDone >= progress.stepsTotal) {
            eraseLiveLines();
            drawLiveLines();
        }
        return;
    }
    if (terminal) {
        drawBar(serial, meter);
        return;
    }
    const int tenth = static_cast<int>(qint64(progress.stepsDone) * 10 / progress.stepsTotal);
    if (tenth <= meter.lastTenth)
        return;
    meter.lastTenth = tenth;
    // A relayed update's server says how many steps, not how many bytes.
    const QString done = progress.bytesTotal > 0 ? UpdateProgress::bytesText(progress.bytesDone)
                                                 : QString("step %1").arg(progress.stepsDone);
    const QString total = progress.bytesTotal > 0 ? UpdateProgress::bytesText(progress.bytesTotal)
                                                  : QString::number(progress.stepsTotal);
    printLine(out, QString("%1: %2 % (%3 of %4)")
                       .arg(TerminalText::shown(serial))
                       .arg(tenth * 10)
                       .arg(done, total));
}

QString ToolOutput::barText(const QString& serial, const Meter& meter) const
{
    constexpr int width = 24;
    const Progress& progress = meter.progress;
    const double share = progress.stepsTotal > 0
                             ? std::min(1.0, double(progress.stepsDone) / progress.stepsTotal)
                             : 0.0;
    const int filled = int(share * width);
    const QString left = progress.secondsLeft >= 0 ? clock(progress.secondsLeft) : "--:--";
    QString line = QString("%1 [%2%3] %4 %  %5 / %6  %7/s  %8 left")
                       .arg(TerminalText::shown(serial))
                       .arg(QString(filled, '#'), QString(width - filled, '-'))
                       .arg(int(share * 100), 3)
                       .arg(UpdateProgress::bytesText(progress.bytesDone),
                            UpdateProgress::bytesText(progress.bytesTotal))
                       .arg(UpdateProgress::bytesText(qint64(progress.bytesPerSecond)), left);
    if (liveLines)
        line = QString("%1  step %2/%3  %4")
                   .arg(line)
                   .arg(progress.stepsDone)
                   .arg(progress.stepsTotal)
                   .arg(meter.state);
    return line;
}

void ToolOutput::drawBar(const QString& serial, Meter& meter)
{
    put(out, "\r" + barText(serial, meter) + " ");
    barShown = true;
}

void ToolOutput::log(const QString& serial, const QString& message, bool detail, QJsonObject fields)
{
    std::lock_guard<std::mutex> guard(lock);
    announce("log", serial, message, fields, !detail || verbose);
}

void ToolOutput::retry(const QString& serial, const QString& message, QJsonObject fields)
{
    std::lock_guard<std::mutex> guard(lock);
    announce("retry", serial, message, fields, verbose);
}

void ToolOutput::lost(const QString& serial, const QString& message)
{
    std::lock_guard<std::mutex> guard(lock);
    announce("lost", serial, message, {}, true);
}

void ToolOutput::resumed(const QString& serial, const QString& message, QJsonObject fields)
{
    std::lock_guard<std::mutex> guard(lock);
    restartMeter(serial);
    announce("resumed", serial, message, fields, true);
}

void ToolOutput::end(const QString& serial, ExitCode code, const QString& message,
                     QJsonObject fields)
{
    std::lock_guard<std::mutex> guard(lock);
    showUnshownProgress(serial);
    fields.insert("message", message);
    fields.insert("exit_code", static_cast<int>(code));
    if (outputStyle == Style::Json) {
        emitJson("end", serial, fields);
    } else {
        printLine(out, lineFor(serial, message));
    }
}

void ToolOutput::error(const QString& serial, ExitCode code, const QString& message,
                       QJsonObject fields)
{
    std::lock_guard<std::mutex> guard(lock);
    showUnshownProgress(serial);
    fields.insert("message", message);
    fields.insert("exit_code", static_cast<int>(code));
    if (outputStyle == Style::Json)
        emitJson("error", serial, fields);
    else
        printLine(err, "gcutool: " + lineFor(serial, message));
}

void ToolOutput::follow(FirmwareUpdate& update, const QString& serial)
{
    // Said on the update's own thread, in order: this output is thread-safe.
    constexpr auto direct = Qt::DirectConnection;
    QObject::connect(
        &update, &FirmwareUpdate::began, &update,
        [this, serial](const QString& message, const FirmwareUpdate::Start& start) {
            begin(serial, message,
                  {{"file", start.file},
                   {"secure", start.secure},
                   {"commands", start.commands},
                   {"bytes_total", start.bytesTotal},
                   {"port", start.port},
                   {"mode", start.mode}});
        },
        direct);
    QObject::connect(
        &update, &FirmwareUpdate::stageChanged, &update,
        [this, serial](FirmwareUpdate::Stage stage) {
            // The end's state is its outcome's name, said with the end.
            if (stage != FirmwareUpdate::Stage::Ended)
                state(serial, FirmwareUpdate::stageName(stage));
        },
        direct);
    QObject::connect(
        &update, &FirmwareUpdate::progressed, &update,
        [this, serial](const UpdateProgress& reported) { progress(serial, reported); }, direct);
    QObject::connect(
        &update, &FirmwareUpdate::logged, &update,
        [this, serial](const QString& message) { log(serial, message); }, direct);
    QObject::connect(
        &update, &FirmwareUpdate::retried, &update,
        [this, serial](const QString& message, int step, int result) {
            retry(serial, message, {{"step", step}, {"result", result}});
        },
        direct);
    QObject::connect(
        &update, &FirmwareUpdate::gone, &update,
        [this, serial](const QString& message) { lost(serial, message); }, direct);
    QObject::connect(
        &update, &FirmwareUpdate::back, &update,
        [this, serial](const QString& message, int fromCommand, const QString& port) {
            resumed(serial, message, {{"from_command", fromCommand}, {"port", port}});
        },
        direct);
    QObject::connect(
        &update, &FirmwareUpdate::ended, &update,
        [this, serial, &update](const UpdateOutcome& outcome) {
            state(serial, outcome.name());
            // A GCU that came back and said its version ends the update; any
            // other end is an error.
            if (outcome.newVersion.isEmpty()) {
                error(serial, outcome.code, outcome.message,
                      outcome.oldVersion.isEmpty()
                          ? QJsonObject()
                          : QJsonObject{{"old_version", outcome.oldVersion}});
                return;
            }
            end(serial, outcome.code, outcome.message,
                {{"old_version", outcome.oldVersion},
                 {"new_version", outcome.newVersion},
                 {"mode", "application"},
                 {"seconds", outcome.seconds},
                 {"retries", outcome.retries},
                 {"resumes", outcome.resumes},
                 {"bytes_total", update.firmwareBytes()}});
        },
        direct);
}
