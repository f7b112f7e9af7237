#include "app/App.h"
#include "app/HelpText.h"
#include "app/HookInstaller.h"
#include "app/MarketPreview.h"
#include "app/PetUploadTest.h"
#include "app/RemoteModes.h"
#include "hook/HookForwarder.h"
#include "market/MarketFrameRenderer.h"
#include "market/MarketInstrument.h"
#include "status/DayWindow.h"
#include "status/StatusService.h"

#include <QApplication>
#include <QDateTime>
#include <QStringList>

#include <cstdio>
#include <string_view>

using namespace glimmet;

namespace {

// Without a display server Qt could not start its GUI platform; draw offscreen instead so
// the bridge still serves on a headless machine.
void chooseHeadlessPlatformIfNeeded() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

int printStatusJson() {
    auto service = std::make_shared<StatusService>();
    QByteArray json = service->snapshot(true).jsonData();
    json.append('\n');
    std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
    std::fflush(stdout);
    return 0;
}

// Three built-in rules: the counting window, the frame size and the symbol parser. The first
// that fails prints its message on standard error.
int runSelfTest() {
    const auto fail = [](const char* message) {
        std::fprintf(stderr, "%s\n", message);
        return 1;
    };

    const QTimeZone shanghai("Asia/Shanghai");
    const QDateTime evening(QDate(2026, 7, 14), QTime(18, 0), shanghai);
    const QTime windowStart =
        QDateTime::fromSecsSinceEpoch(
            qint64(todayWindow(double(evening.toSecsSinceEpoch()), shanghai).todayStart), shanghai)
            .time();
    if (windowStart.hour() != 0 || windowStart.minute() != 1)
        return fail("usage window must start at 00:01");

    const MarketInstrument btc{"btc-usd", MarketRegion::crypto, "BTC-USD", "BTC/USD", "BTC", "USD", false};
    if (MarketFrameRenderer::rgb565(MarketSnapshot::waiting(btc, MarketInterval::fiveMinutes)).size() !=
        115200)
        return fail("BTC wire frame must be exactly 115200 bytes");

    for (const char* symbol : {"600519", "hk00700", "AAPL", "kr005930", "SPX"}) {
        if (!MarketInstrument::parse(QString::fromLatin1(symbol)))
            return fail("market symbol parser failed");
    }

    std::fputs("self-test: usage-window=00:01 market-symbols=5 btc-frame=115200 OK\n", stdout);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    // Modes that must not pay for a GUI start-up: they run before any application object.
    const std::string_view first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h")
        return printHelp();
    if (first == "--version")
        return printVersion();
    if (first == "--hook")
        return forwardHook("glimmet-bridge --hook", argc - 2, argv + 2);
    if (first == "--install-hooks" || first == "--uninstall-hooks")
        return runHookInstaller(argc, argv);
    if (first == "--relay")
        return runRelay(argc, argv);
    if (first == "--remote-token")
        return printRemoteToken(argc, argv);

    chooseHeadlessPlatformIfNeeded();
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    // The first argument picks a mode; a mode word with too few arguments falls through to
    // the later ones and in the end to the normal bridge.
    const QStringList args = QApplication::arguments().mid(1);
    const QString mode = args.value(0);
    if (mode == u"--preview-btc" && args.size() >= 2)
        return MarketPreview::previewBtc(args[1]);
    if (mode == u"--preview-market" && args.size() >= 3)
        return MarketPreview::previewMarket(args[1], args[2]);
    if (mode == u"--status-json" && args.size() >= 1)
        return printStatusJson();
    if (mode == u"--self-test" && args.size() >= 1)
        return runSelfTest();
    if (mode == u"--test-pet" && args.size() >= 3)
        return runPetUploadTest(args.mid(1));

    App app;
    app.start();
    quitOnTerminationSignals();
    return application.exec();
}
