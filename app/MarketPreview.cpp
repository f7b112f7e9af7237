#include "app/MarketPreview.h"

#include "common/HttpClient.h"
#include "market/MarketFrameRenderer.h"
#include "market/MarketMonitor.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFileInfo>
#include <QImage>
#include <QSaveFile>
#include <QTimer>

#include <cstdio>

namespace glimmet {

namespace {

int fail(const QString& message) {
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    return 1;
}

// "raw" (any case) writes the RGB565 frame, anything else a PNG; the file is replaced atomically.
int writeFrame(MarketMonitor& monitor, const QString& out) {
    QByteArray bytes;
    if (QFileInfo(out).suffix().compare(u"raw", Qt::CaseInsensitive) == 0) {
        bytes = monitor.frameRGB565();
    } else {
        QBuffer buffer(&bytes);
        if (!buffer.open(QIODevice::WriteOnly) ||
            !MarketFrameRenderer::bitmap(monitor.snapshot()).save(&buffer, "PNG"))
            return fail(QStringLiteral("could not encode the frame as PNG"));
    }
    QSaveFile file(out);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return fail(file.errorString());
    return 0;
}

// Lets the monitor fetch for `seconds`, then writes its frame and ends the event loop. A fetch
// may still be on the wire: the network client ends it before the monitor and its queue,
// which the reply would be delivered to, go away.
int runThenWrite(const std::shared_ptr<MarketMonitor>& monitor, int seconds, const QString& out) {
    QTimer::singleShot(seconds * 1000, [monitor, out] { QCoreApplication::exit(writeFrame(*monitor, out)); });
    const int status = QCoreApplication::exec();
    HttpClient::shared().shutdown();
    return status;
}

} // namespace

int MarketPreview::previewBtc(const QString& out) {
    // A preview shows the user's choices but never changes them.
    const auto monitor = std::make_shared<MarketMonitor>(Clock::system(), MarketFetch::fetchMarket, false);
    monitor->start();
    return runThenWrite(monitor, 10, out);
}

int MarketPreview::previewMarket(const QString& symbol, const QString& out) {
    const auto instrument = MarketInstrument::parse(symbol);
    if (!instrument) {
        std::fputs("unknown market symbol\n", stderr);
        return 2;
    }
    const auto monitor = std::make_shared<MarketMonitor>(Clock::system(), MarketFetch::fetchMarket, false);
    monitor->setInstrument(*instrument);
    monitor->start();
    return runThenWrite(monitor, 8, out);
}

} // namespace glimmet
