#include "logpane.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPlainTextEdit>

namespace {

// Posted once per batch: it reaches the pane when the loop is back from the work
// that wrote the lines.
QEvent::Type flushEvent()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

} // namespace

LogPane::LogPane(QPlainTextEdit* pane) : QObject(pane), pane(pane) {}

void LogPane::flushAll()
{
    QCoreApplication::sendPostedEvents(nullptr, flushEvent());
}

void LogPane::append(const QString& line)
{
    if (waiting.isEmpty())
        QCoreApplication::postEvent(this, new QEvent(flushEvent()));
    waiting.append(line);
}

bool LogPane::event(QEvent* event)
{
    if (event->type() != flushEvent())
        return QObject::event(event);
    flush();
    return true;
}

void LogPane::flush()
{
    if (waiting.isEmpty())
        return;
    // Each line break starts a block of its own, as a separate append would.
    pane->appendPlainText(waiting.join('\n'));
    waiting.clear();
}
