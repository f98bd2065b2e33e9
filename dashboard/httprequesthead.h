#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// An HTTP/1.x request head (request line and header fields) as it arrives on a
// socket, read strictly: anything malformed is refused rather than guessed at.
// The body, if any, is not part of it.
class HttpRequestHead
{
public:
    enum class Status
    {
        // The blank line that ends the head has not arrived yet.
        Incomplete,
        Complete,
        // Not a request this server will read (said in `problem`).
        Malformed,
        // Longer than the limit before its end.
        TooLarge
    };

    // Reads the head at the start of `bytes`, of at most `limit` bytes including
    // its blank line.
    static HttpRequestHead parse(const QByteArray& bytes, int limit);

    Status status() const { return state; }
    const QByteArray& problem() const { return why; }
    // The head's length in bytes, blank line included, once complete.
    int length() const { return size; }

    const QByteArray& method() const { return verb; }
    // The path without its query, percent-escapes left as they came.
    const QByteArray& path() const { return targetPath; }
    const QByteArray& query() const { return targetQuery; }
    // The value of a query parameter, percent-decoded; empty when absent.
    QByteArray queryItem(const QByteArray& name) const;
    // HTTP/1.0 or HTTP/1.1.
    const QByteArray& version() const { return httpVersion; }

    // The value of a header field (names compared without case); several fields
    // of one name are joined with commas. Empty when absent.
    QByteArray header(const QByteArray& name) const;
    // Whether a comma-separated header holds `token`, without case.
    bool headerHasToken(const QByteArray& name, const QByteArray& token) const;
    // A cookie's value from the Cookie header; empty when absent.
    QByteArray cookie(const QByteArray& name) const;

private:
    bool readRequestLine(const QByteArray& line);
    bool readField(const QByteArray& line);
    void fail(const char* reason);

    Status state = Status::Incomplete;
    QByteArray why;
    int size = 0;
    QByteArray verb;
    QByteArray targetPath;
    QByteArray targetQuery;
    QByteArray httpVersion;
    // Names in lower case.
    QList<QPair<QByteArray, QByteArray>> fields;
};
