#include "gcutool.h"

#include "dashboardoptions.h"
#include "interruptwatcher.h"
#include "recordoptions.h"
#include "updaterecorder.h"

#include <QCoreApplication>

// serve, and the dashboard that station --listen starts.

std::optional<ExitCode> GcuTool::startDashboard(Dashboard::Settings settings,
                                                std::unique_ptr<Dashboard>* dashboard)
{
    QString problem;
    if (!DashboardOptions::read(parser, &settings.server, &problem))
        return usage(problem);
    *dashboard = std::make_unique<Dashboard>(std::move(settings));
    if (!(*dashboard)->start(&problem)) {
        output->error({}, ExitCode::Usage, problem);
        return ExitCode::Usage;
    }
    output->log({}, "Dashboard: " + (*dashboard)->pageUrl(), false,
                {{"url", (*dashboard)->pageUrl()}, {"port", (*dashboard)->port()}});
    return std::nullopt;
}

ExitCode GcuTool::serve()
{
    if (!parser.isSet("listen"))
        return usage("serve needs --listen [ADDR:]PORT");
    RecordLocation location;
    QString problem;
    if (!RecordOptions::locate(parser, &location, &problem))
        return usage(problem);
    // As any run that reaches the record: spooled rows are forwarded and rows of
    // ended processes marked.
    UpdateRecorder recorder(location);
    if (recorder.prepare(&problem) != UpdateRecorder::Readiness::Ready) {
        output->error({}, ExitCode::FileUnusable,
                      QString("The record %1 cannot be used: %2").arg(location.text(), problem));
        return ExitCode::FileUnusable;
    }
    Dashboard::Settings settings;
    settings.fleet = true;
    settings.station = parser.value("station");
    settings.record = location;
    std::unique_ptr<Dashboard> dashboard;
    if (const auto refused = startDashboard(settings, &dashboard))
        return *refused;
    InterruptWatcher interrupts;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    output->end({}, ExitCode::Done, "Stopped serving");
    return ExitCode::Done;
}
