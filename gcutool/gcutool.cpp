#include "gcutool.h"

#include "frametrace.h"
#include "interruptwatcher.h"
#include "logline.h"
#include "terminaltext.h"

#include <QCoreApplication>
#include <QSaveFile>
#include <iostream>
#include <sstream>

ExitCode GcuTool::interrupted(const QString& serial)
{
    output->error(serial, ExitCode::Interrupted, "Interrupted; the port is closed");
    return ExitCode::Interrupted;
}

ExitCode GcuTool::usage(const QString& message)
{
    std::cerr << "gcutool: " << TerminalText::shownLines(message).toLocal8Bit().constData() << "\n";
    if (output && output->style() == ToolOutput::Style::Json)
        output->error({}, ExitCode::Usage, message);
    return ExitCode::Usage;
}

ExitCode GcuTool::showText(const QString& text, ExitCode code)
{
    // Scripts reading JSON get an event; the text is for a person.
    if (output->style() == ToolOutput::Style::Json) {
        std::cerr << text.toLocal8Bit().constData() << std::flush;
        output->end({}, code, text);
    } else {
        std::cout << text.toLocal8Bit().constData() << std::flush;
    }
    return code;
}

int GcuTool::run(const QStringList& arguments)
{
    const Subcommand* command = findSubcommand(arguments);
    parser.addHelpOption();
    // relay's --version names the firmware the server is asked for.
    const bool versionOption = !command || command->handler != &GcuTool::relay;
    if (versionOption)
        parser.addVersionOption();
    parser.addOption({"json", "JSON Lines on standard output: one object per event."});
    parser.addOption({{"q", "quiet"}, "Print only the outcome."});
    parser.addOption({"verbose", "Print every retry, and the library's diagnostics on standard "
                                 "error."});
    parser.addOption({"trace",
                      "Write the frames to and from the GCUs and the update server to "
                      "FILE, for a bug report.",
                      "FILE"});
    if (command) {
        parser.setApplicationDescription(
            QString("gcutool %1: %2").arg(command->name, command->summary));
        parser.addPositionalArgument(command->name, "The command.");
        if (command->positional)
            parser.addPositionalArgument(command->positional, "The firmware file.");
        command->addOptions(parser);
    } else {
        parser.setApplicationDescription(overview());
        parser.addPositionalArgument("command", "One of the commands above.");
    }
    // Parsed here rather than by the parser's own process(), which would answer
    // a mistake or --help in plain text even under --json.
    const bool parsed = parser.parse(arguments);
    const bool verbose = parser.isSet("verbose");
    output = std::make_unique<ToolOutput>(parser.isSet("json")    ? ToolOutput::Style::Json
                                          : parser.isSet("quiet") ? ToolOutput::Style::Quiet
                                                                  : ToolOutput::Style::Human,
                                          verbose);
    if (!parsed)
        return static_cast<int>(usage(parser.errorText()));
    if (parser.isSet("help") || parser.isSet("help-all"))
        return static_cast<int>(showText(parser.helpText(), ExitCode::Done));
    if (versionOption && parser.isSet("version"))
        return static_cast<int>(
            showText(QString("%1 %2\n").arg(QCoreApplication::applicationName(),
                                            QCoreApplication::applicationVersion()),
                     ExitCode::Done));
    if (!command) {
        const QStringList words = parser.positionalArguments();
        if (!words.isEmpty())
            return static_cast<int>(usage(QString("unknown command %1").arg(words.first())));
        if (output->style() != ToolOutput::Style::Json)
            return static_cast<int>(showText(parser.helpText(), ExitCode::Usage));
        std::cerr << parser.helpText().toLocal8Bit().constData();
        return static_cast<int>(usage("a command is needed"));
    }
    // The library's diagnostics would mix with what scripts read.
    LogLine::redirect(verbose ? &std::cerr : nullptr);
    const int expected = command->positional ? 2 : 1;
    // history's SERIAL may be left out.
    const bool optionalSerial = QString(command->name) == "history";
    if (parser.positionalArguments().size() != expected &&
        !(optionalSerial && parser.positionalArguments().size() == 2))
        return static_cast<int>(usage(
            command->positional ? QString("%1 takes one %2").arg(command->name, command->positional)
                                : QString("%1 takes no arguments").arg(command->name)));
    if (parser.isSet("trace"))
        FrameTrace::process().start();
    const ExitCode code = (this->*command->handler)();
    // A trace that cannot be written fails a command that went well; one that
    // failed, or counted problems, keeps its own code.
    if (parser.isSet("trace") && !writeTrace(parser.value("trace")) && code == ExitCode::Done)
        return static_cast<int>(ExitCode::FileUnusable);
    return static_cast<int>(code);
}

bool GcuTool::writeTrace(const QString& path)
{
    std::ostringstream text;
    FrameTrace::process().write(text);
    const std::string bytes = text.str();
    // A kill while it is written leaves the trace written before, not half of one.
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) &&
        file.write(bytes.data(), static_cast<qint64>(bytes.size())) ==
            static_cast<qint64>(bytes.size()) &&
        file.commit())
        return true;
    output->error({}, ExitCode::FileUnusable,
                  QString("Cannot write the trace to %1: %2").arg(path, file.errorString()));
    return false;
}

void GcuTool::saveTraceOnInterrupt(InterruptWatcher& interrupts)
{
    // A second Ctrl-C or a kill may follow: what led up to the first is saved now.
    if (parser.isSet("trace"))
        QObject::connect(&interrupts, &InterruptWatcher::interrupted,
                         [this] { writeTrace(parser.value("trace")); });
}

bool GcuTool::positiveNumber(const char* option, int* value)
{
    // A day is more than any wait or count here needs, and keeps the
    // milliseconds made of it within range.
    constexpr int largest = 24 * 60 * 60;
    bool ok = false;
    *value = parser.value(option).toInt(&ok);
    if (ok && *value > 0 && *value <= largest)
        return true;
    usage(QString("--%1 takes a whole number from 1 to %2").arg(option).arg(largest));
    return false;
}
