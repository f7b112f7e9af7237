#include "server/HttpRequestParser.h"

#include <limits>
#include <optional>

namespace glimmet {

namespace {

bool isNewline(QChar c) {
    switch (c.unicode()) {
    case u'\n':
    case u'\r':
    case 0x0B: // vertical tab
    case 0x0C: // form feed
    case 0x85: // next line
    case 0x2028:
    case 0x2029:
        return true;
    default:
        return false;
    }
}

QStringList nonEmptyLines(const QString& text) {
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i == text.size() || isNewline(text[i])) {
            if (i > start)
                lines.append(text.mid(start, i - start));
            start = i + 1;
        }
    }
    return lines;
}

// A decimal integer with an optional sign and nothing else; absent on overflow.
std::optional<std::int64_t> decimal(QStringView text) {
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        text = text.mid(1);
    }
    if (text.isEmpty())
        return std::nullopt;
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        const int digit = c.unicode() - u'0';
        if (value > (max - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

std::int64_t contentLength(const QStringList& lines) {
    static const QString prefix = QStringLiteral("content-length:");
    std::int64_t length = 0;
    for (const QString& line : lines) {
        const QString lower = line.toLower();
        if (lower.startsWith(prefix))
            length = decimal(QStringView(lower).mid(prefix.size()).trimmed()).value_or(0);
    }
    return length;
}

} // namespace

QString IncomingRequest::header(QStringView name) const {
    QString value;
    for (const QString& line : headerLines) {
        const qsizetype colon = line.indexOf(u':');
        if (colon >= 0 && QStringView(line).left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            value = line.mid(colon + 1).trimmed();
    }
    return value;
}

ParseResult HttpRequestParser::parse(const QByteArray& buffer, bool peerDone, const BodyLimit& limit) {
    const qsizetype terminator = buffer.indexOf("\r\n\r\n");
    if (terminator < 0)
        return {(peerDone || buffer.size() >= maxHeaderBytes) ? ParseOutcome::Cancel : ParseOutcome::NeedMore,
                {}};
    const qsizetype bodyStart = terminator + 4;
    if (bodyStart > maxHeaderBytes)
        return {ParseOutcome::Cancel, {}};

    QStringList lines = nonEmptyLines(QString::fromUtf8(buffer.constData(), terminator));
    const std::int64_t length = contentLength(lines);

    IncomingRequest request;
    const QStringList pieces =
        lines.isEmpty() ? QStringList() : lines.front().split(u' ', Qt::SkipEmptyParts);
    request.method = pieces.isEmpty() ? QStringLiteral("GET") : pieces[0].toUpper();
    request.path = pieces.size() < 2 ? QStringLiteral("/") : pieces[1];

    if (!lines.isEmpty())
        lines.removeFirst();
    request.headerLines = std::move(lines);
    request.declaredLength = length;

    const qsizetype available = buffer.size() - bodyStart;
    const std::int64_t awaited = limit ? limit(request) : maxAwaitedBody;
    if (request.method == u"POST" && length <= awaited && length > available)
        return {peerDone ? ParseOutcome::Cancel : ParseOutcome::NeedMore, {}};

    // A negative length means no body.
    const qsizetype bodyLength = length <= 0 ? 0 : qsizetype(std::min<std::int64_t>(length, available));
    request.body = buffer.mid(bodyStart, bodyLength);
    return {ParseOutcome::Complete, std::move(request)};
}

} // namespace glimmet
