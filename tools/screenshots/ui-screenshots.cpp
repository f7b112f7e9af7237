// Takes the README's pictures of the tray menu and of the mirror popover in each scene: the
// real widgets, run against a clock (the stand-in clock in take-screenshots.sh), with the
// bridge's services fed by staged data. Usage: ui-screenshots CLOCK-ADDRESS OUT-DIR
#include "common/Settings.h"
#include "device/DeviceClient.h"
#include "market/MarketMonitor.h"
#include "monitors/NetSpeedMonitor.h"
#include "monitors/NowPlayingMonitor.h"
#include "status/StatusService.h"
#include "ui/MenuBarController.h"
#include "ui/MirrorPopoverController.h"
#include "ui/MirrorView.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QDeadlineTimer>
#include <QDir>
#include <QMenu>
#include <QPainter>

#include <cmath>
#include <cstdio>

using namespace glimmet;

namespace {

class StagedStatus : public StatusService {
public:
    using StatusService::StatusService;
    std::int64_t fastTaskSeq = 0;

protected:
    ClaudeStatus readClaude() override {
        ClaudeStatus c;
        c.status = QStringLiteral("working");
        c.tokensToday = 1'234'567;
        c.costToday = 4.56;
        c.sessionMin = 95;
        c.fastTaskSeq = fastTaskSeq;
        return c;
    }
    CodexStatus readCodex() override {
        CodexStatus c;
        c.status = QStringLiteral("idle");
        c.tokensToday = 86'400;
        c.costToday = 0.92;
        c.weeklyPct = 58;
        return c;
    }
};

struct StagedUsage : UsageSource {
    ProviderUsage usage(UsageProvider provider) const override {
        ProviderUsage u;
        switch (provider) {
        case UsageProvider::Claude:
            u.primaryPct = 62, u.primaryResetMin = 135, u.weeklyPct = 41, u.weeklyResetMin = 4000,
            u.fablePct = 12;
            break;
        case UsageProvider::Codex:
            u.weeklyPct = 58, u.weeklyResetMin = 3100;
            break;
        case UsageProvider::Grok:
            u.weeklyPct = 23;
            break;
        case UsageProvider::Kimi:
            u.primaryPct = 8, u.weeklyPct = 31, u.weeklyResetMin = 900;
            break;
        }
        return u;
    }
};

// Traffic that swells and ebbs.
struct WaveCounters : NetCounterSource {
    NetCounters total;
    int step = 0;
    std::optional<NetCounters> counters() override {
        ++step;
        total.rx += std::uint64_t(60'000 * (1.6 + std::sin(step / 9.0) + 0.5 * std::sin(step / 2.3)));
        total.tx += std::uint64_t(14'000 * (1.2 + std::cos(step / 7.0)));
        return total;
    }
};

struct StagedTrack : NowPlayingSource {
    std::optional<NowPlayingInfo> probe() override {
        QImage cover(256, 256, QImage::Format_RGB32);
        QPainter p(&cover);
        QLinearGradient sky(0, 0, 256, 256);
        sky.setColorAt(0, QColor(255, 120, 80));
        sky.setColorAt(1, QColor(60, 40, 140));
        p.fillRect(cover.rect(), sky);
        p.setBrush(QColor(255, 220, 120));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(128, 150), 60, 60);
        p.end();
        QBuffer png;
        png.open(QIODevice::WriteOnly);
        cover.save(&png, "PNG");
        return NowPlayingInfo{"Midnight City", "M83", "Hurry Up, We're Dreaming", true, 95, 244, png.data()};
    }
};

void fetchStagedMarket(const MarketInstrument& instrument, MarketInterval interval,
                       const MarketFetchContext& context, MarketCompletion done) {
    MarketSnapshot s;
    s.instrument = instrument;
    s.interval = interval;
    const double now = context.clock->now();
    double price = 67'000;
    for (int i = 0; i < 36; ++i) {
        const double open = price;
        price += 180 * std::sin(i / 3.0) + 60 * std::cos(i * 1.7) + 25;
        s.candles.append(
            {now - (36 - i) * 300.0, std::min(open, price) - 40, std::max(open, price) + 40, open, price});
    }
    s.price = price;
    s.change24h = 2.37;
    s.source = QStringLiteral("Coinbase");
    s.updatedAt = now;
    s.marketOpen = true;
    done(s);
}

void wait(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool save(QWidget* widget, const QString& path) {
    const bool ok = widget->grab().save(path);
    std::fprintf(stderr, "%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: ui-screenshots CLOCK-ADDRESS OUT-DIR\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(out);
    Settings::setDeviceHost(QString::fromLocal8Bit(argv[1]));

    const auto clock = Clock::system();
    auto status = std::make_shared<StagedStatus>(clock);
    auto usage = std::make_shared<StagedUsage>();
    status->setUsage(usage);
    status->snapshot(true); // the staged scan, before the first picture
    auto net = std::make_shared<NetSpeedMonitor>(std::make_shared<WaveCounters>(), clock);
    net->start();
    auto nowPlaying = std::make_shared<NowPlayingMonitor>(std::make_shared<StagedTrack>(), clock);
    nowPlaying->start();
    auto market = std::make_shared<MarketMonitor>(clock, fetchStagedMarket, false);
    market->start();

    auto* popover = new MirrorPopoverController(status, net, nowPlaying, market, clock);
    MenuBarController::Services services;
    services.service = status;
    services.usage = usage;
    services.market = market;
    MenuBarController menu(services, popover);
    popover->setParent(&menu);
    menu.buildMenu();

    bool ok = true;
    const auto setMode = [](const QString& mode) {
        DeviceClient::setDisplayMode(mode, [](std::optional<Error>) {});
    };
    setMode(QStringLiteral("claude"));
    wait(1500);
    menu.menu()->popup(QPoint(40, 30));
    wait(1500);
    ok &= save(menu.menu(), out + "/menu.png");
    menu.menu()->hide();

    popover->toggle(QRect(600, 0, 24, 24));
    wait(2500);
    ok &= save(popover->popover(), out + "/popover-claude.png");
    for (const char* mode : {"codex", "music", "btc", "net"}) {
        setMode(QString::fromLatin1(mode));
        wait(QByteArray(mode) == "net" ? 30'000 : 3000);
        ok &= save(popover->popover(), out + "/popover-" + mode + ".png");
    }
    setMode(QStringLiteral("claude"));
    wait(2500);
    status->fastTaskSeq = qint64(clock->now() * 1000); // a fast-mode task starts
    QDeadlineTimer deadline(15'000);
    while (popover->view()->ludicrousProgress.value_or(0) < 0.3 && !deadline.hasExpired())
        wait(40);
    ok &= save(popover->popover(), out + "/popover-fast.png");
    return ok ? 0 : 1;
}
