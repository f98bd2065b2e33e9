#include "tooloutput.h"

#include <QDateTime>
#include <QJsonDocument>
#include <unistd.h>

namespace {

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

QString ToolOutput::bytesText(qint64 bytes)
{
    if (bytes < 1024)
        return QString("%1 B").arg(bytes);
    if (bytes < 1024 * 1024)
        return QString("%1 KiB").arg(bytes / 1024.0, 0, 'f', 1);
    return QString("%1 MiB").arg(bytes / (1024.0 * 1024.0), 0, 'f', 1);
}

void ToolOutput::emitJson(const char* kind, const QString& serial, QJsonObject fields)
{
    fields.insert("event", kind);
    fields.insert("serial", serial);
    fields.insert("time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    const QByteArray line = QJsonDocument(fields).toJson(QJsonDocument::Compact);
    std::fprintf(out, "%s\n", line.constData());
    std::fflush(out);
}

void ToolOutput::printLine(std::FILE* stream, const QString& line)
{
    if (barShown) {
        std::fputs("\n", out);
        barShown = false;
    }
    eraseLiveLines();
    std::fprintf(stream, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stream);
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
    Meter& meter = meters[serial];
    meter.started.invalidate();
    meter.lastTenth = -1;
}

void ToolOutput::eraseLiveLines()
{
    if (drawnLines == 0)
        return;
    // Up to the first live line, and clear from there to the end of the screen.
    std::fprintf(out, "\x1b[%dA\r\x1b[J", drawnLines);
    drawnLines = 0;
}

void ToolOutput::drawLiveLines()
{
    if (!liveLines || liveOrder.isEmpty())
        return;
    for (const QString& serial : liveOrder)
        std::fprintf(out, "%s\n", barText(serial, meters[serial]).toLocal8Bit().constData());
    std::fflush(out);
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
    if (outputStyle == Style::Json) {
        fields.insert("message", message);
        emitJson(kind, serial, fields);
    } else if (outputStyle == Style::Human && shownToPeople) {
        printLine(out, serial.isEmpty() ? message : QString("%1: %2").arg(serial, message));
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
    if (!meter.started.isValid())
        meter.started.start();
    if (outputStyle == Style::Json) {
        emitJson("progress", serial,
                 {{"steps_done", progress.stepsDone},
                  {"steps_total", progress.stepsTotal},
                  {"bytes_done", progress.bytesDone},
                  {"bytes_total", progress.bytesTotal}});
        return;
    }
    if (outputStyle == Style::Quiet || progress.stepsTotal <= 0)
        return;
    meter.progress = progress;
    if (liveLines) {
        if (!liveOrder.contains(serial))
            liveOrder << serial;
        // Many GCUs report many steps: the lines are redrawn ten times a second.
        if (!sinceDrawn.isValid() || sinceDrawn.elapsed() >= 100 ||
            progress.stepsDone >= progress.stepsTotal) {
            eraseLiveLines();
            drawLiveLines();
        }
        return;
    }
    if (terminal) {
        drawBar(serial, progress, meter);
        return;
    }
    const int tenth = static_cast<int>(qint64(progress.stepsDone) * 10 / progress.stepsTotal);
    if (tenth <= meter.lastTenth)
        return;
    meter.lastTenth = tenth;
    // A relayed update's server says how many steps, not how many bytes.
    const QString done = progress.bytesTotal > 0 ? bytesText(progress.bytesDone)
                                                 : QString("step %1").arg(progress.stepsDone);
    const QString total = progress.bytesTotal > 0 ? bytesText(progress.bytesTotal)
                                                  : QString::number(progress.stepsTotal);
    printLine(out, QString("%1: %2 % (%3 of %4)").arg(serial).arg(tenth * 10).arg(done, total));
}

QString ToolOutput::barText(const QString& serial, const Meter& meter) const
{
    constexpr int width = 24;
    const Progress& progress = meter.progress;
    const double share = progress.stepsTotal > 0
                             ? std::min(1.0, double(progress.stepsDone) / progress.stepsTotal)
                             : 0.0;
    const int filled = int(share * width);
    const double seconds =
        meter.started.isValid() ? std::max(0.001, meter.started.elapsed() / 1000.0) : 0.001;
    const double rate = progress.bytesDone / seconds;
    const QString left =
        rate > 0 ? clock(qint64((progress.bytesTotal - progress.bytesDone) / rate)) : "--:--";
    QString line = QString("%1 [%2%3] %4 %  %5 / %6  %7/s  %8 left")
                       .arg(serial)
                       .arg(QString(filled, '#'), QString(width - filled, '-'))
                       .arg(int(share * 100), 3)
                       .arg(bytesText(progress.bytesDone), bytesText(progress.bytesTotal))
                       .arg(bytesText(qint64(rate)), left);
    if (liveLines)
        line = QString("%1  step %2/%3  %4")
                   .arg(line)
                   .arg(progress.stepsDone)
                   .arg(progress.stepsTotal)
                   .arg(meter.state);
    return line;
}

void ToolOutput::drawBar(const QString& serial, const Progress& progress, Meter& meter)
{
    meter.progress = progress;
    std::fputs(("\r" + barText(serial, meter) + " ").toLocal8Bit().constData(), out);
    std::fflush(out);
    barShown = true;
}

void ToolOutput::log(const QString& serial, const QString& message, bool detail)
{
    std::lock_guard<std::mutex> guard(lock);
    announce("log", serial, message, {}, !detail || verbose);
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
    if (outputStyle == Style::Json) {
        fields.insert("message", message);
        fields.insert("exit_code", static_cast<int>(code));
        emitJson("end", serial, fields);
    } else {
        printLine(out, serial.isEmpty() ? message : QString("%1: %2").arg(serial, message));
    }
}

void ToolOutput::error(const QString& serial, ExitCode code, const QString& message)
{
    std::lock_guard<std::mutex> guard(lock);
    if (outputStyle == Style::Json)
        emitJson("error", serial, {{"message", message}, {"exit_code", static_cast<int>(code)}});
    else
        printLine(err, serial.isEmpty() ? QString("gcutool: %1").arg(message)
                                        : QString("gcutool: %1: %2").arg(serial, message));
}
