#include "httprequesthead.h"

namespace {

constexpr int maxFields = 100;

// RFC 9110's tchar: what a method or a field name may hold.
bool isTokenChar(char c)
{
    static const QByteArray others = "!#$%&'*+-.^_`|~";
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           others.contains(c);
}

bool isToken(const QByteArray& text)
{
    if (text.isEmpty())
        return false;
    for (char c : text)
        if (!isTokenChar(c))
            return false;
    return true;
}

// A field value may hold visible characters, spaces and tabs, and bytes above
// 127 (obsolete text), never other control characters.
bool isFieldValue(const QByteArray& text)
{
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f)
            return false;
    }
    return true;
}

// A request target in origin form: a path from the root and a query, visible
// ASCII only.
bool isOriginForm(const QByteArray& target)
{
    if (!target.startsWith('/'))
        return false;
    for (char c : target) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f)
            return false;
    }
    return true;
}

} // namespace

HttpRequestHead HttpRequestHead::parse(const QByteArray& bytes, int limit)
{
    HttpRequestHead head;
    const int end = bytes.indexOf("\r\n\r\n");
    if (end < 0 || end + 4 > limit) {
        if (bytes.size() >= limit || end >= 0)
            head.state = Status::TooLarge;
        return head;
    }
    const QList<QByteArray> lines = bytes.left(end).split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        // Every line but the last ends in CR before its LF; no bare LF ends one.
        if (i + 1 < lines.size()) {
            if (!line.endsWith('\r')) {
                head.fail("a line ends without CR");
                return head;
            }
            line.chop(1);
        }
        if (line.contains('\r')) {
            head.fail("a CR within a line");
            return head;
        }
        const bool read = i == 0 ? head.readRequestLine(line) : head.readField(line);
        if (!read)
            return head;
    }
    head.state = Status::Complete;
    head.size = end + 4;
    return head;
}

void HttpRequestHead::fail(const char* reason)
{
    state = Status::Malformed;
    why = reason;
}

bool HttpRequestHead::readRequestLine(const QByteArray& line)
{
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3) {
        fail("the request line is not a method, a target and a version");
        return false;
    }
    if (!isToken(parts.at(0))) {
        fail("the method is not a token");
        return false;
    }
    if (!isOriginForm(parts.at(1))) {
        fail("the target is not a path");
        return false;
    }
    if (parts.at(2) != "HTTP/1.1" && parts.at(2) != "HTTP/1.0") {
        fail("not HTTP/1.0 or HTTP/1.1");
        return false;
    }
    verb = parts.at(0);
    const QByteArray& target = parts.at(1);
    const int question = target.indexOf('?');
    targetPath = question < 0 ? target : target.left(question);
    targetQuery = question < 0 ? QByteArray() : target.mid(question + 1);
    httpVersion = parts.at(2);
    return true;
}

bool HttpRequestHead::readField(const QByteArray& line)
{
    if (line.startsWith(' ') || line.startsWith('\t')) {
        fail("a folded header line");
        return false;
    }
    const int colon = line.indexOf(':');
    const QByteArray name = line.left(colon);
    if (colon < 0 || !isToken(name)) {
        fail("a header field without a name");
        return false;
    }
    const QByteArray value = line.mid(colon + 1).trimmed();
    if (!isFieldValue(value)) {
        fail("a control character in a header field");
        return false;
    }
    if (fields.size() == maxFields) {
        fail("too many header fields");
        return false;
    }
    fields.append({name.toLower(), value});
    return true;
}

QByteArray HttpRequestHead::header(const QByteArray& name) const
{
    const QByteArray wanted = name.toLower();
    QByteArray joined;
    bool found = false;
    for (const auto& [fieldName, value] : fields) {
        if (fieldName != wanted)
            continue;
        if (found)
            joined += ", ";
        joined += value;
        found = true;
    }
    return joined;
}

bool HttpRequestHead::headerHasToken(const QByteArray& name, const QByteArray& token) const
{
    for (const QByteArray& item : header(name).split(','))
        if (item.trimmed().toLower() == token.toLower())
            return true;
    return false;
}

QByteArray HttpRequestHead::cookie(const QByteArray& name) const
{
    for (const QByteArray& pair : header("cookie").split(';')) {
        const int equals = pair.indexOf('=');
        if (equals > 0 && pair.left(equals).trimmed() == name)
            return pair.mid(equals + 1).trimmed();
    }
    return {};
}

QByteArray HttpRequestHead::queryItem(const QByteArray& name) const
{
    for (const QByteArray& pair : targetQuery.split('&')) {
        const int equals = pair.indexOf('=');
        const QByteArray key = equals < 0 ? pair : pair.left(equals);
        if (QByteArray::fromPercentEncoding(QByteArray(key).replace('+', ' ')) != name)
            continue;
        return equals < 0 ? QByteArray()
                          : QByteArray::fromPercentEncoding(pair.mid(equals + 1).replace('+', ' '));
    }
    return {};
}
