#include "gcutool.h"

#include "devicefinder.h"
#include "doctor.h"
#include "firmwarefilecheck.h"
#include "recordcommands.h"
#include "terminaltext.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <iostream>

// The commands that open no GCU: the list of attached GCUs, a firmware file's
// check, the udev rule, the doctor and the fleet record's queries.

ExitCode GcuTool::list()
{
    const QList<QSerialPortInfo> gcus = DeviceFinder::attached();
    if (output->style() == ToolOutput::Style::Json) {
        QJsonArray devices;
        for (const QSerialPortInfo& port : gcus)
            devices.append(QJsonObject{{"serial", port.serialNumber()},
                                       {"mode", DeviceFinder::modeName(port)},
                                       {"port", port.systemLocation()},
                                       {"manufacturer", port.manufacturer()},
                                       {"description", port.description()}});
        output->end({}, ExitCode::Done, QString("%1 GCUs attached").arg(gcus.size()),
                    {{"devices", devices}});
        return ExitCode::Done;
    }
    if (gcus.isEmpty()) {
        output->end({}, ExitCode::Done, "No GCU is attached");
        return ExitCode::Done;
    }
    QString table = QString("%1 %2 %3 %4 %5")
                        .arg("SERIAL", -16)
                        .arg("MODE", -12)
                        .arg("PORT", -20)
                        .arg("MANUFACTURER", -16)
                        .arg("DESCRIPTION");
    // The GCU's own strings are shown as text, each within its column.
    for (const QSerialPortInfo& port : gcus)
        table += QString("\n%1 %2 %3 %4 %5")
                     .arg(TerminalText::shown(port.serialNumber()), -16)
                     .arg(DeviceFinder::modeName(port), -12)
                     .arg(TerminalText::shown(port.systemLocation()), -20)
                     .arg(TerminalText::shown(port.manufacturer()), -16)
                     .arg(TerminalText::shown(port.description()));
    output->end({}, ExitCode::Done, table);
    return ExitCode::Done;
}

ExitCode GcuTool::check()
{
    const QString path = parser.positionalArguments().at(1);
    const FirmwareFileCheck file = FirmwareFileCheck::read(path);
    if (!file.usable()) {
        output->error({}, ExitCode::FileUnusable, file.whyNot());
        return ExitCode::FileUnusable;
    }
    output->end({}, ExitCode::Done, file.describe().join('\n'), file.toJson());
    return ExitCode::Done;
}

// The rule lives in this static library's resources, which are not registered
// by themselves. (Outside any namespace, as the macro requires.)
static void registerResources()
{
    Q_INIT_RESOURCE(gcutool);
}

static QByteArray carriedUdevRule()
{
    registerResources();
    QFile rule(":/70-orv-gcu.rules");
    rule.open(QIODevice::ReadOnly);
    return rule.readAll();
}

ExitCode GcuTool::udevRule()
{
    const QString rule = carriedUdevRule();
    if (output->style() != ToolOutput::Style::Json) {
        std::cout << rule.toStdString() << std::flush;
        return ExitCode::Done;
    }
    std::cerr << rule.toStdString() << std::flush;
    output->end({}, ExitCode::Done, "The udev rule that gives the logged-in user access to GCUs",
                {{"rule", rule}});
    return ExitCode::Done;
}

ExitCode GcuTool::doctor()
{
    const QString name = parser.isSet("user") ? parser.value("user") : Doctor::defaultUser();
    const std::optional<Doctor::Account> account = Doctor::account(name);
    if (!account)
        return usage(QString("there is no user %1").arg(name));
    const Doctor doctor(parser.value("root"), *account, carriedUdevRule());
    return Doctor::report(*output, doctor.examine(DeviceFinder::attached()));
}

ExitCode GcuTool::recordQuery()
{
    return RecordCommands(parser, *output).run();
}
