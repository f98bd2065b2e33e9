#include "csvcell.h"

QString csvCell(const QString& text)
{
    static const QString formulaStarts = QStringLiteral("=+-@\t\r");
    QString cell = !text.isEmpty() && formulaStarts.contains(text.front()) ? '\'' + text : text;
    if (cell.contains(',') || cell.contains('"') || cell.contains('\n') || cell.contains('\r'))
        cell = '"' + cell.replace('"', QStringLiteral("\"\"")) + '"';
    return cell;
}
