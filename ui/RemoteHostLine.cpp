#include "ui/RemoteHostLine.h"

#include "status/RemoteHosts.h"
#include "status/SessionLogs.h"
#include "ui/MenuBarController.h"

namespace glimmet {

namespace {

QString stateText(const RemoteAgentView& agent) {
    if (agent.needsInput)
        return QStringLiteral("等你确认");
    if (agent.status == u"working")
        return QStringLiteral("工作中");
    if (agent.status == u"idle")
        return QStringLiteral("空闲");
    return QStringLiteral("离线");
}

} // namespace

QString remoteHostLine(const RemoteHostView& host) {
    QString line = QStringLiteral("远程 ") + host.host + QStringLiteral("　Claude ") +
                   stateText(host.claude) + QStringLiteral(" · Codex ") + stateText(host.codex);
    if (!host.counted) {
        return line + QStringLiteral("　") + MenuBarController::fmtMin(std::int64_t(host.silentFor / 60)) +
               QStringLiteral("前有消息");
    }
    const bool complete = host.claude.costComplete && host.codex.costComplete;
    return line +
           MenuBarController::todaySuffix(
               addCounts(host.claude.tokensToday, host.codex.tokensToday),
               complete ? std::optional(*host.claude.costToday + *host.codex.costToday) : std::nullopt);
}

} // namespace glimmet
