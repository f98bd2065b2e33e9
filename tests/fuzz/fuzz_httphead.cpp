// The dashboard's request-head reader and access rules, fed whatever a client
// on the network may send: they must never crash, read out of bounds or take
// more than the limit, and a head they accept must hold what its bytes say.
#include "dashboardaccess.h"
#include "httprequesthead.h"

#include <cstdlib>

namespace {

constexpr int limit = 8 * 1024;

void check(bool holds)
{
    if (!holds)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const HttpRequestHead head = HttpRequestHead::parse(bytes, limit);
    if (head.status() != HttpRequestHead::Status::Complete) {
        check(head.length() == 0);
        return 0;
    }
    // A complete head ends in its blank line, within the limit, and its target
    // is a path as it came.
    check(head.length() <= limit && head.length() <= bytes.size());
    check(bytes.mid(head.length() - 4, 4) == "\r\n\r\n");
    check(head.path().startsWith('/') && bytes.contains(head.path()));
    check(head.version() == "HTTP/1.1" || head.version() == "HTTP/1.0");
    head.queryItem("token");
    head.cookie(DashboardAccess::cookieName);
    head.headerHasToken("connection", "upgrade");
    static const DashboardAccess loopback(QHostAddress::LocalHost, 8080, {"station-7"}, {});
    static const DashboardAccess tokened(QHostAddress::AnyIPv4, 8080, {},
                                         "0123456789abcdef0123456789abcdef");
    for (const DashboardAccess* access : {&loopback, &tokened}) {
        const DashboardAccess::Verdict verdict = access->check(head);
        // Nothing but a read is ever let through.
        if (verdict.status == 0 || verdict.status == 303)
            check(head.method() == "GET" || head.method() == "HEAD");
    }
    return 0;
}
