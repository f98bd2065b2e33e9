#include "terminaltext.h"

namespace {

bool controlCharacter(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

// The marks that reorder the text after them: embeddings, overrides, isolates.
bool bidirectionalControl(char16_t c)
{
    return (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069) || c == 0x061c ||
           c == 0x200e || c == 0x200f;
}

} // namespace

QString TerminalText::shown(const QString& text, const QString& kept)
{
    QString safe;
    safe.reserve(text.size());
    for (const QChar character : text) {
        const char16_t c = character.unicode();
        if (kept.contains(character))
            safe += character;
        else if (controlCharacter(c))
            safe += QString("\\x%1").arg(static_cast<int>(c), 2, 16, QChar('0'));
        else if (bidirectionalControl(c))
            safe += QString("\\u%1").arg(static_cast<int>(c), 4, 16, QChar('0'));
        else
            safe += character;
    }
    return safe;
}

QString TerminalText::shownLines(const QString& text)
{
    return shown(text, "\n");
}
