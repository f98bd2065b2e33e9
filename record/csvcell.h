#pragma once

#include <QString>

// One CSV field as a spreadsheet may safely open it: quoted when it holds a
// comma, a quote, a newline or a carriage return, and begun with a ' when it
// would otherwise start a formula (=, +, -, @, tab or carriage return first).
QString csvCell(const QString& text);
