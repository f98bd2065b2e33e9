#pragma once

#include "orvcommon_global.h"

#include <QString>

// Text from a GCU, an update server, a file or the system, made safe to show on
// a terminal or in plain output: control characters (C0, C1, DEL) and the
// bidirectional override characters are replaced by a visible escape (\x1b,
// \u202e), so that such a string is read, never obeyed by the terminal.
class ORV_COMMON_EXPORT TerminalText
{
public:
    // One field: every control character escaped, line breaks too, but for the
    // characters in `kept` (a CSV cell keeps its tabs and line breaks, quoted).
    static QString shown(const QString& text, const QString& kept = {});
    // Lines of the program's own making: the line breaks between them stay.
    static QString shownLines(const QString& text);
};
