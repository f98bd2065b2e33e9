#include "recordtable.h"

#include "csvreport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace {

QString cellText(const QVariant& value)
{
    if (value.isNull())
        return {};
    if (value.type() == QVariant::Double)
        return QString::number(value.toDouble(), 'f', 1);
    return value.toString();
}

} // namespace

QString RecordTable::printable(const QString& text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const ushort code = c.unicode();
        if (code < 0x20 || code == 0x7f || (code >= 0x80 && code < 0xa0))
            shown += QString("\\x%1").arg(code, 2, 16, QChar('0'));
        else
            shown += c;
    }
    return shown;
}

QString RecordTable::text() const
{
    QList<QStringList> cells;
    QVector<int> widths(columns.size());
    for (int c = 0; c < columns.size(); ++c)
        widths[c] = columns[c].size();
    for (const QVariantList& row : rows) {
        QStringList line;
        for (int c = 0; c < columns.size(); ++c) {
            line << printable(cellText(row.value(c)));
            widths[c] = std::max(widths[c], line.back().size());
        }
        cells << line;
    }
    const auto format = [&](const QStringList& line) {
        QStringList padded;
        for (int c = 0; c < line.size(); ++c)
            padded << (c + 1 < line.size() ? line[c].leftJustified(widths[c]) : line[c]);
        return padded.join("  ");
    };
    QStringList header;
    for (const QString& column : columns)
        header << column.toUpper();
    QStringList lines = {format(header)};
    for (const QStringList& line : cells)
        lines << format(line);
    return lines.join('\n');
}

QByteArray RecordTable::jsonLines() const
{
    QByteArray out;
    for (const QVariantList& row : rows) {
        QJsonObject object;
        for (int c = 0; c < columns.size(); ++c)
            object.insert(columns[c], QJsonValue::fromVariant(row.value(c)));
        out += QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    }
    return out;
}

QByteArray RecordTable::csv() const
{
    QStringList lines = {columns.join(',')};
    for (const QVariantList& row : rows) {
        QStringList line;
        for (const QVariant& value : row)
            line << CsvReport::cell(value.isNull() ? QString() : value.toString());
        lines << line.join(',');
    }
    return (lines.join('\n') + '\n').toUtf8();
}
