#include "logpane.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>

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
    // The pane would keep no more than its bound of them anyway; a peer that
    // makes one turn say millions of lines must not make the window hold them.
    const int bound = pane->maximumBlockCount();
    if (bound > 0 && waiting.size() >= bound)
        waiting.removeFirst();
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
    QTextDocument* document = pane->document();
    // What the pane's own append does a line at a time, for all lines in one
    // edit.
    QScrollBar* scroll = pane->verticalScrollBar();
    const bool following = scroll->value() == scroll->maximum();
    const QTextCursor typing = pane->textCursor();
    QTextCursor end(document);
    end.movePosition(QTextCursor::End);
    end.beginEditBlock();
    for (const QString& line : qAsConst(waiting)) {
        if (document->isEmpty())
            end.setCharFormat(typing.charFormat());
        else
            end.insertBlock(typing.blockFormat(), typing.charFormat());
        end.insertText(line);
    }
    end.endEditBlock();
    waiting.clear();
    if (following)
        scroll->setValue(scroll->maximum());
}
