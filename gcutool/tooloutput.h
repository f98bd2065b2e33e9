#pragma once

#include "outputwriter.h"
#include "updateoutcome.h"
#include "updateprogress.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <mutex>

// Everything gcutool tells its user, from any device session's thread: lines for
// people (a live progress bar on a terminal, a line every 10 % elsewhere), or,
// with --json, one JSON object per event on standard output and nothing else.
//
// Events: begin, progress, log, retry, lost, resumed, end, error. Each carries
// the GCU's serial number and a timestamp; `message` says it in words. A GCU's
// progress is shown at most ten times a second; the latest is always shown
// before its next event. Lines for people show strings from GCUs, servers and
// files as TerminalText does; JSON carries them as they came.
class FirmwareUpdate;

class ToolOutput
{
public:
    enum class Style
    {
        Human,
        Quiet,
        Json
    };

    using Progress = UpdateProgress;

    ToolOutput(Style style, bool verbose, std::FILE* out = stdout, std::FILE* err = stderr);
    // What has been said is written before the output goes.
    ~ToolOutput();

    Style style() const { return outputStyle; }
    // Several GCUs at once on a terminal: one live line each, kept at the bottom
    // of the screen and redrawn in place, with the other lines above them.
    void showLiveLines(bool show) { liveLines = show && terminal && outputStyle == Style::Human; }
    // The live lines stay on the screen as they are; what follows goes below.
    void keepLiveLines();
    // What a GCU's update is doing (its stage, or at the end its outcome's
    // name). Shown in its live line.
    void state(const QString& serial, const QString& state);

    void begin(const QString& serial, const QString& message, QJsonObject fields = {});
    void progress(const QString& serial, const Progress& progress);
    // Details a person may want; on a terminal only with --verbose.
    void log(const QString& serial, const QString& message, bool detail = false,
             QJsonObject fields = {});
    void retry(const QString& serial, const QString& message, QJsonObject fields);
    void lost(const QString& serial, const QString& message);
    void resumed(const QString& serial, const QString& message, QJsonObject fields);
    // The outcome: shown even with --quiet.
    void end(const QString& serial, ExitCode code, const QString& message, QJsonObject fields = {});
    void error(const QString& serial, ExitCode code, const QString& message,
               QJsonObject fields = {});

    // Says everything the update of the GCU `serial` tells, from its thread.
    void follow(FirmwareUpdate& update, const QString& serial);

private:
    struct Meter
    {
        int lastTenth = -1;
        QString state = "waiting";
        Progress progress;
        QElapsedTimer sinceShown;
        // The latest progress waits for its turn to be shown.
        bool progressUnshown = false;
    };

    void showProgress(const QString& serial, Meter& meter);
    // A GCU's latest progress, if it is not shown yet, before its next event.
    void showUnshownProgress(const QString& serial);
    void put(std::FILE* stream, const QString& text);
    void emitJson(const char* kind, const QString& serial, QJsonObject fields);
    // An event as a JSON object, or as a line for people when `shownToPeople`.
    void announce(const char* kind, const QString& serial, const QString& message,
                  QJsonObject fields, bool shownToPeople);
    void printLine(std::FILE* stream, const QString& line);
    void drawBar(const QString& serial, Meter& meter);
    QString barText(const QString& serial, const Meter& meter) const;
    void eraseLiveLines();
    // The rate and the 10 % steps count afresh; the GCU keeps its live line.
    void restartMeter(const QString& serial);
    void drawLiveLines();

    Style outputStyle;
    bool verbose;
    bool terminal;
    std::FILE* out;
    std::FILE* err;
    OutputWriter writer;
    std::mutex lock;
    QHash<QString, Meter> meters;
    // A progress bar occupies the current terminal line.
    bool barShown = false;
    bool liveLines = false;
    // GCUs in the order their lines were first drawn, and how many are drawn.
    QStringList liveOrder;
    int drawnLines = 0;
    QElapsedTimer sinceDrawn;
};
