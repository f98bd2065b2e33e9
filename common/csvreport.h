#pragma once

#include "orvcommon_global.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

// A CSV report that rows are appended to, one flushed write each, below a header
// of its own: a report that already holds rows keeps them, and a file with
// another header is not ours to write into.
//
// Cells are written so that a spreadsheet or a terminal shows them as text:
// control characters but tabs and line breaks are escaped as TerminalText does,
// a cell with a comma, a quote, a line break or a carriage return is quoted, and one that a spreadsheet would take for a
// formula (it begins with =, +, -, @, a tab or a carriage return) gets a
// leading '.
class ORV_COMMON_EXPORT CsvReport
{
public:
    // Opens `path` for appending, writing `header` if the file is new or empty;
    // false (with the reason) when it cannot be written or has another header.
    bool open(const QString& path, const QStringList& header, QString* problem);
    bool isOpen() const { return file.isOpen(); }
    // False (with the reason) when the row did not reach the file whole.
    bool append(const QStringList& cells, QString* problem);

    static QString cell(const QString& text);
    // The cells as one line, its line break included.
    static QByteArray line(const QStringList& cells);

private:
    bool write(const QByteArray& bytes, QString* problem);

    QFile file;
};
