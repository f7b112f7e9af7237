#include "app/RemoteModes.h"

#include "app/App.h"
#include "common/HttpClient.h"
#include "common/Log.h"
#include "server/RemoteToken.h"
#include "status/ModelPricing.h"
#include "status/RelayReporter.h"

#include <QCoreApplication>
#include <QSysInfo>
#include <QThreadPool>
#include <QUrl>

#include <cstdio>

namespace glimmet {

int runRelay(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    const QUrl bridge(QCoreApplication::arguments().value(2), QUrl::StrictMode);
    if (!bridge.isValid() || (bridge.scheme() != u"http" && bridge.scheme() != u"https") ||
        bridge.host().isEmpty()) {
        std::fputs("usage: glimmet-bridge --relay URL (the bridge's address, e.g. http://desk:8765)\n",
                   stderr);
        return 2;
    }
    RelayReporter::Options options;
    options.bridge = bridge;
    options.token = qgetenv("GLIMMET_REMOTE_TOKEN").trimmed();
    options.host = QSysInfo::machineHostName();
    ModelPricing::shared()->refresh();
    int status = 0;
    {
        RelayReporter relay(options, Clock::system());
        relay.start();
        quitOnTerminationSignals();
        status = QCoreApplication::exec();
    }
    HttpClient::shared().shutdown();
    QThreadPool::globalInstance()->waitForDone();
    Log::line(QStringLiteral("[relay] stopped"));
    return status;
}

int printRemoteToken(int argc, char* argv[]) {
    const QCoreApplication application(argc, argv);
    const QString path = RemoteToken::defaultPath();
    const Result<QByteArray> token = RemoteToken::loadOrCreate(path);
    if (!token) {
        Log::line(QStringLiteral("glimmet-bridge --remote-token: ") + token.error().description);
        return 1;
    }
    std::fwrite(token->constData(), 1, size_t(token->size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return 0;
}

} // namespace glimmet
