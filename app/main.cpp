#include "app/App.h"
#include "status/StatusService.h"

#include <QApplication>
#include <QStringList>

#include <cstdio>

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

} // namespace

int main(int argc, char* argv[]) {
    chooseHeadlessPlatformIfNeeded();
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    // The first argument picks a mode; a mode word with too few arguments falls through to
    // the later ones and in the end to the normal bridge.
    const QStringList args = QApplication::arguments().mid(1);
    const QString mode = args.value(0);
    if (mode == u"--status-json" && args.size() >= 1)
        return printStatusJson();

    App app;
    app.start();
    quitOnTerminationSignals();
    return application.exec();
}
