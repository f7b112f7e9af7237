#include "tools/clock-sim/HostPort.h"

namespace glimmet {

std::optional<HostPort> HostPort::parse(QString text, quint16 defaultPort) {
    text = text.trimmed();
    if (text.startsWith(u"http://"))
        text = text.mid(7);
    while (text.endsWith(u'/'))
        text.chop(1);
    HostPort out{text, defaultPort};
    const qsizetype colon = text.lastIndexOf(u':');
    const qsizetype bracket = text.lastIndexOf(u']');
    if (colon > bracket && (bracket >= 0 || text.count(u':') == 1)) {
        bool ok = false;
        const uint port = text.mid(colon + 1).toUInt(&ok);
        if (!ok || port > 65535)
            return std::nullopt;
        out.host = text.left(colon);
        out.port = quint16(port);
    }
    if (out.host.startsWith(u'[') && out.host.endsWith(u']'))
        out.host = out.host.mid(1, out.host.size() - 2);
    if (out.host.isEmpty() || out.host.contains(u'/'))
        return std::nullopt;
    return out;
}

QString HostPort::text() const {
    return (host.contains(u':') ? u'[' + host + u']' : host) + u':' + QString::number(port);
}

} // namespace glimmet
