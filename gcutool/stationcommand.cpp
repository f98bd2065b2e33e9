#include "gcutool.h"

#include "firmwarefilecheck.h"
#include "interruptwatcher.h"
#include "recordoptions.h"
#include "station.h"
#include "updaterecording.h"

#include <QFileInfo>
#include <QSysInfo>

// station: a production line's station, with its report and its dashboard.

ExitCode GcuTool::station()
{
    Station::Settings settings;
    settings.batch.command = "station";
    FirmwareFileCheck file;
    if (const auto refused = uploadSettings(parser.isSet("secure"), &settings.batch.update, &file))
        return *refused;
    settings.serialPrefix = parser.value("serial-prefix");
    settings.repeat = parser.isSet("repeat");
    settings.reportFile = parser.value("report");
    UpdateRecording recording;
    if (const auto refused = RecordOptions::start(parser, *output, recording, &file))
        return *refused;
    settings.batch.recording = &recording;
    std::unique_ptr<Dashboard> dashboard;
    if (parser.isSet("listen")) {
        Dashboard::Settings board;
        board.station =
            parser.isSet("station") ? parser.value("station") : QSysInfo::machineHostName();
        board.firmware = {QFileInfo(settings.batch.update.firmwareFile).fileName(),
                          settings.batch.update.expectVersion, file.fileDescription(),
                          file.sha256()};
        board.record = recording.location();
        if (const auto refused = startDashboard(board, &dashboard))
            return *refused;
        settings.board = &dashboard->board();
    }
    output->showLiveLines(true);
    Station station(settings, file, *output);
    InterruptWatcher interrupts;
    saveTraceOnInterrupt(interrupts);
    const bool stopNow = parser.isSet("stop-now");
    QObject::connect(&interrupts, &InterruptWatcher::interrupted,
                     [&station, stopNow] { station.stop(stopNow); });
    return station.run();
}
