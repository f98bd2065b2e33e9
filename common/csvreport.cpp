#include "csvreport.h"

#include "terminaltext.h"

#include <QFileInfo>

namespace {

bool startsLikeFormula(const QString& text)
{
    return !text.isEmpty() && QString("=+-@\t\r").contains(text.front());
}

} // namespace

QString CsvReport::cell(const QString& text)
{
    // A report is read with cat and less as well as in a spreadsheet: escape
    // sequences are shown, while tabs and line breaks stay the cell's own text.
    const QString shown = TerminalText::shown(text, "\t\r\n");
    const QString written = startsLikeFormula(shown) ? '\'' + shown : shown;
    const bool needsQuotes = written.contains(',') || written.contains('"') ||
                             written.contains('\n') || written.contains('\r');
    if (!needsQuotes)
        return written;
    return '"' + QString(written).replace('"', "\"\"") + '"';
}

QByteArray CsvReport::line(const QStringList& cells)
{
    QStringList written;
    for (const QString& text : cells)
        written << cell(text);
    return (written.join(',') + '\n').toUtf8();
}

bool CsvReport::open(const QString& path, const QStringList& header, QString* problem)
{
    const QByteArray headerLine = line(header);
    QByteArray firstLine;
    QByteArray lastByte;
    {
        QFile existing(path);
        if (existing.open(QIODevice::ReadOnly)) {
            firstLine = existing.readLine(headerLine.size() + 1);
            if (existing.size() > 0 && existing.seek(existing.size() - 1))
                lastByte = existing.read(1);
        }
    }
    const bool fresh = QFileInfo(path).size() == 0;
    if (!fresh && firstLine != headerLine) {
        *problem = QString("%1 is not a report of this kind (its first line is not \"%2\"); "
                           "name a new file or that report")
                       .arg(path, QString::fromUtf8(headerLine.trimmed()));
        return false;
    }
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        *problem = QString("Cannot write the report %1: %2").arg(path, file.errorString());
        return false;
    }
    if (fresh)
        return write(headerLine, problem);
    // A row cut short (by a full disk, say) must not run into the next one.
    if (lastByte != "\n")
        return write("\n", problem);
    return true;
}

bool CsvReport::append(const QStringList& cells, QString* problem)
{
    return write(line(cells), problem);
}

bool CsvReport::write(const QByteArray& bytes, QString* problem)
{
    if (file.write(bytes) == bytes.size() && file.flush())
        return true;
    *problem = QString("Cannot write the report %1: %2").arg(file.fileName(), file.errorString());
    return false;
}
