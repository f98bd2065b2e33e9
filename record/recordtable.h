#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

// A query's answer: named columns and their rows, written as a table for
// people, as JSON Lines or as CSV. What the record holds came from devices and
// files: it is shown as text, never obeyed (control characters are shown
// escaped, CSV cells that would start a formula are neutralised).
struct RecordTable
{
    QStringList columns;
    QList<QVariantList> rows;

    QString text() const;
    QByteArray jsonLines() const;
    QByteArray csv() const;

    // `text` with every control character shown as \xNN.
    static QString printable(const QString& text);
};
