#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

namespace glimmet {

// One request as the bridge's server reads it.
struct IncomingRequest {
    QString method;          // upper case; "GET" when the request line has none
    QString path;            // the request target as sent (query included); "/" when missing
    QStringList headerLines; // the non-empty lines after the request line
    QByteArray body;
    std::int64_t declaredLength = 0; // what Content-Length said; more than `body` holds when cut

    // The value of the last header line named `name` (any letter case), trimmed; empty when none.
    QString header(QStringView name) const;
};

enum class ParseOutcome {
    NeedMore, // wait for more bytes
    Cancel,   // close the connection without an answer
    Complete, // `request` is ready
};

struct ParseResult {
    ParseOutcome outcome = ParseOutcome::NeedMore;
    IncomingRequest request;
};

// The framing of one HTTP request, as a pure function over everything received so far.
// `peerDone` means no more bytes will come (the peer finished, or the connection failed).
class HttpRequestParser {
public:
    // Headers that grow this large without their blank-line terminator are not waited for.
    static constexpr qsizetype maxHeaderBytes = 64 * 1024;
    // A POST body longer than this is not waited for; the request is answered with the
    // body bytes that came with the headers.
    static constexpr std::int64_t maxAwaitedBody = 1000000;

    // The longest body to wait for, given a request's method, path and header lines.
    using BodyLimit = std::function<std::int64_t(const IncomingRequest& head)>;

    // Without `limit`, bodies up to maxAwaitedBody are awaited.
    static ParseResult parse(const QByteArray& buffer, bool peerDone, const BodyLimit& limit = {});
};

} // namespace glimmet
