#pragma once

#include <QObject>
#include <QStringList>

class QEvent;
class QPlainTextEdit;

// What the log pane is given: the lines that arrive while the event loop is at
// work go to the pane in one append once the loop is back, rather than in one
// append each. An append lays the document out and trims it to its line bound,
// tens of microseconds, and the relay writes several lines per packet. The pane
// ends up holding the same lines in the same order either way.
class LogPane : public QObject
{
    Q_OBJECT
public:
    // Belongs to the pane.
    explicit LogPane(QPlainTextEdit* pane);

    // Appends the waiting lines of every log pane now, for a reader that looks at
    // a pane before the event loop has been back.
    static void flushAll();

public slots:
    void append(const QString& line);

protected:
    bool event(QEvent* event) override;

private:
    void flush();

    QPlainTextEdit* pane;
    QStringList waiting;
};
