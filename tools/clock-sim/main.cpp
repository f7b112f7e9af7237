// glimmet-clock-sim: a stand-in Glimmet clock for developing and testing the bridge.
#include "common/Log.h"
#include "tools/clock-sim/BridgePoller.h"
#include "tools/clock-sim/HostPort.h"
#include "tools/clock-sim/SimHttpServer.h"
#include "tools/clock-sim/SimScreen.h"
#include "tools/clock-sim/SimSerialPort.h"
#include "tools/clock-sim/SimState.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

using namespace glimmet;

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto ignored = ::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the event loop, so that main() unwinds and removes the pty link.
void quitOnSignals() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] { QCoreApplication::quit(); });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

int usageError(const QString& message) {
    std::fprintf(stderr, "glimmet-clock-sim: %s (see --help)\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen"); // never shows a window; fonts need a GUI app
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("glimmet-clock-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A stand-in Glimmet clock: serves the clock's HTTP interface, polls the bridge it is given "
        "like the clock does, or talks the clock's serial protocol over a pty. Logs one \"[sim]\" line "
        "per event on standard error."));
    parser.addHelpOption();
    const QCommandLineOption listen(
        QStringLiteral("listen"),
        QStringLiteral(
            "Serve the clock's HTTP interface on HOST:PORT (port 0 picks one; the log names it). "
            "Default 127.0.0.1:8080, or none with --serial. Polls of the bridge go out from HOST."),
        QStringLiteral("HOST:PORT"));
    const QCommandLineOption bridge(
        QStringLiteral("bridge"),
        QStringLiteral("Poll the bridge at HOST:PORT from the start (as if paired)."),
        QStringLiteral("HOST:PORT"));
    const QCommandLineOption serial(
        QStringLiteral("serial"),
        QStringLiteral("Open a pty linked as DIR/ttyUSB-sim and answer the bridge's serial protocol; "
                       "start the bridge with GLIMMET_SERIAL_DIR=DIR."),
        QStringLiteral("DIR"));
    const QCommandLineOption snapshots(
        QStringLiteral("snapshots"),
        QStringLiteral(
            "Write what the clock would show into DIR: market.png, music-cover.png, music-title.png, "
            "status.png, status.json, and uploaded sprites as SLOT.gif."),
        QStringLiteral("DIR"));
    const QCommandLineOption pollMs(
        QStringLiteral("poll-ms"),
        QStringLiteral("Poll the bridge every MS milliseconds instead of every 2 s."), QStringLiteral("MS"));
    parser.addOptions({listen, bridge, serial, snapshots, pollMs});
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument ") + parser.positionalArguments().first());

    const bool serves = parser.isSet(listen) || !parser.isSet(serial);
    const auto address =
        HostPort::parse(parser.isSet(listen) ? parser.value(listen) : QStringLiteral("127.0.0.1:8080"), 80);
    const QHostAddress listenAddress(address ? address->host : QString());
    if (serves && (!address || listenAddress.isNull()))
        return usageError(QStringLiteral("--listen needs a numeric HOST:PORT"));
    const int period = parser.isSet(pollMs) ? parser.value(pollMs).toInt() : BridgePoller::clockPeriodMs;
    if (period <= 0)
        return usageError(QStringLiteral("--poll-ms needs a positive number"));
    std::optional<HostPort> initialBridge;
    if (parser.isSet(bridge) && !(initialBridge = HostPort::parse(parser.value(bridge), 8765)))
        return usageError(QStringLiteral("--bridge needs HOST:PORT"));

    quitOnSignals();
    SimState state;
    SimScreen screen(parser.value(snapshots));
    BridgePoller poller(state, screen, serves ? listenAddress : QHostAddress(), period);
    SimHttpServer server(state, screen);
    SimSerialPort port(state, screen);

    if (serves) {
        if (const auto started = server.start(listenAddress, address->port); !started) {
            Log::line(QStringLiteral("[sim] cannot listen on %1: %2")
                          .arg(address->text(), started.error().description));
            return 1;
        }
        const bool any = listenAddress == QHostAddress::Any || listenAddress == QHostAddress::AnyIPv6;
        state.ip = any ? QString() : address->host;
        Log::line(
            QStringLiteral("[sim] listening on %1").arg(HostPort{address->host, server.serverPort()}.text()));
    }
    if (parser.isSet(serial)) {
        if (const auto opened = port.open(parser.value(serial)); !opened) {
            Log::line(QStringLiteral("[sim] ") + opened.error().description);
            return 1;
        }
    } else {
        // Over the serial line the bridge pushes its data; otherwise the clock fetches it.
        state.bridgeChanged = [&state, &poller] { poller.setBridge(HostPort::parse(state.bridge(), 8765)); };
    }
    if (initialBridge)
        state.setBridgeHost(initialBridge->text(), QStringLiteral("command line"));

    const int code = QCoreApplication::exec();
    Log::line(QStringLiteral("[sim] stopped"));
    return code;
}
