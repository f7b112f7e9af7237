#include "ui/MirrorPopoverController.h"

#include "common/Settings.h"
#include "device/DeviceClient.h"
#include "market/MarketMonitor.h"
#include "monitors/NetSpeedMonitor.h"
#include "monitors/NowPlayingMonitor.h"
#include "monitors/SystemStatsMonitor.h"
#include "status/StatusService.h"
#include "ui/MirrorView.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cmath>

namespace glimmet {

namespace {

constexpr double ludicrousSeconds = 2.4;
constexpr double brightnessDragGap = 0.25;
constexpr double brightnessQuietTime = 2.0;
constexpr int segmentMargin = 8;

bool isAgentSlot(const QString& slot) {
    return slot == u"claude" || slot == u"codex" || slot == u"grok" || slot == u"kimi";
}

QString modeLabel(const QString& mode) {
    if (mode == u"auto")
        return QStringLiteral("自动切换");
    if (mode == u"net")
        return QStringLiteral("网速曲线");
    if (mode == u"music")
        return QStringLiteral("音乐播放");
    if (mode == u"btc")
        return QStringLiteral("行情");
    return QStringLiteral("固定显示");
}

// A percentage as a whole number; out-of-range values are clamped, not undefined.
std::int64_t truncated(double value) {
    return std::isfinite(value) ? std::int64_t(std::clamp(value, -1e15, 1e15)) : 0;
}

} // namespace

const QStringList MirrorPopoverController::modeKeys = {"auto", "claude", "codex", "net", "music", "btc"};
const QStringList MirrorPopoverController::modeLabels = {"自动", "Claude", "Codex", "网速", "音乐", "行情"};

MirrorPopoverController::MirrorPopoverController(std::shared_ptr<StatusService> service,
                                                 std::shared_ptr<NetSpeedMonitor> net,
                                                 std::shared_ptr<NowPlayingMonitor> nowPlaying,
                                                 std::shared_ptr<MarketMonitor> market,
                                                 std::shared_ptr<const Clock> clock, QObject* parent)
    : QObject(parent)
    , service(std::move(service))
    , net(std::move(net))
    , nowPlaying(std::move(nowPlaying))
    , market(std::move(market))
    , clock(std::move(clock)) {
    buildControls();
}

MirrorPopoverController::~MirrorPopoverController() {
    delete panel;
}

void MirrorPopoverController::buildControls() {
    panel = new QWidget(nullptr, Qt::Popup | Qt::FramelessWindowHint);
    panel->setObjectName(QStringLiteral("mirrorPopover"));
    panel->setFixedSize(316, 424);
    panel->installEventFilter(this);

    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(14, 14, 14, 12);
    layout->setSpacing(10);
    mirror = new MirrorView(panel);
    layout->addWidget(mirror, 0, Qt::AlignHCenter);

    auto* segments = new QHBoxLayout;
    segments->setSpacing(0);
    modes = new QButtonGroup(panel);
    modes->setExclusive(true);
    for (int i = 0; i < modeKeys.size(); ++i) {
        auto* button = new QPushButton(modeLabels.at(i));
        button->setCheckable(true);
        button->setFocusPolicy(Qt::NoFocus);
        // Six segments share a narrow row: each may shrink, but never below its own label
        // with a margin on both sides.
        button->setMinimumWidth(button->fontMetrics().horizontalAdvance(modeLabels.at(i)) +
                                2 * segmentMargin);
        modes->addButton(button, i);
        segments->addWidget(button);
    }
    connect(modes, &QButtonGroup::idClicked, this, &MirrorPopoverController::modeChanged);
    layout->addLayout(segments);

    auto* brightnessRow = new QHBoxLayout;
    auto* sun = new QLabel(QStringLiteral("☀"));
    sun->setAccessibleName(QStringLiteral("亮度"));
    sun->setToolTip(QStringLiteral("亮度"));
    slider = new QSlider(Qt::Horizontal);
    slider->setRange(0, 100);
    slider->setValue(100);
    brightnessLabel = new QLabel(QStringLiteral("100%"));
    brightnessLabel->setMinimumWidth(40);
    brightnessLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    brightnessRow->addWidget(sun);
    brightnessRow->addWidget(slider, 1);
    brightnessRow->addWidget(brightnessLabel);
    connect(slider, &QSlider::valueChanged, this, &MirrorPopoverController::brightnessChanged);
    connect(slider, &QSlider::sliderReleased, this, [this] {
        if (pendingBrightness)
            sendBrightness(int(*pendingBrightness));
    });
    layout->addLayout(brightnessRow);

    statusLabel = new QLabel(QStringLiteral("连接设备中…"));
    statusLabel->setAlignment(Qt::AlignCenter);
    QFont small = statusLabel->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    statusLabel->setFont(small);
    layout->addWidget(statusLabel);
    layout->addStretch();
}

bool MirrorPopoverController::isShown() const {
    return panel && panel->isVisible();
}

void MirrorPopoverController::toggle(const QRect& anchor) {
    // A click on the tray icon first closes the open popup (a click outside it), then
    // arrives here: that click meant "close", not "open again".
    if (isShown() || (closedAt.isValid() && closedAt.elapsed() < 300)) {
        panel->close();
        return;
    }
    QPoint at = anchor.isValid() ? QPoint(anchor.center().x(), anchor.bottom() + 4) : QCursor::pos();
    const QScreen* screen =
        QGuiApplication::screenAt(at) ? QGuiApplication::screenAt(at) : QGuiApplication::primaryScreen();
    QPoint topLeft(at.x() - panel->width() / 2, at.y());
    if (screen) {
        const QRect area = screen->availableGeometry();
        if (topLeft.y() + panel->height() > area.bottom()) // a panel at the bottom of the screen
            topLeft.setY((anchor.isValid() ? anchor.top() : at.y()) - panel->height() - 4);
        topLeft.setX(
            std::clamp(topLeft.x(), area.left(), std::max(area.left(), area.right() - panel->width())));
        topLeft.setY(
            std::clamp(topLeft.y(), area.top(), std::max(area.top(), area.bottom() - panel->height())));
    }
    panel->move(topLeft);
    panel->show();

    // Owned by the controller, so none outlives it.
    const auto every = [this](int ms, void (MirrorPopoverController::*tick)()) {
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, tick);
        timer->start(ms);
        return timer;
    };
    pollTimer = every(1000, &MirrorPopoverController::poll);
    animTimer = every(120, &MirrorPopoverController::animTick);
    sweepTimer = every(250, &MirrorPopoverController::sweepTick);
    poll();
}

bool MirrorPopoverController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == panel && event->type() == QEvent::Hide)
        popoverDidClose();
    return QObject::eventFilter(watched, event);
}

void MirrorPopoverController::popoverDidClose() {
    closedAt.start();
    for (QTimer** timer : {&pollTimer, &animTimer, &sweepTimer}) {
        delete *timer;
        *timer = nullptr;
    }
}

void MirrorPopoverController::poll() {
    DeviceClient::fetchInfo([self = QPointer(this)](Result<DeviceInfo> result) {
        if (self)
            self->handleInfo(result);
    });
}

void MirrorPopoverController::handleInfo(const Result<DeviceInfo>& result) {
    if (!isShown())
        return;
    if (!result) {
        mirror->deviceOK = false;
        mirror->update();
        const QString host = Settings::deviceHost();
        statusLabel->setText(host.isEmpty() ? QStringLiteral("未设置设备地址（右键菜单 → 设置设备地址）")
                                            : QStringLiteral("无法连接 ") + host);
        return;
    }
    const DeviceInfo& info = *result;
    lastInfo = info;
    mirror->deviceOK = true;
    applyScene(info);
    ensureSprite(info);
    syncBrightness(info);
    selectMode(info.mode);
    statusLabel->setText((info.wired ? QStringLiteral("USB 串口") : info.ip) + QStringLiteral(" · ") +
                         modeLabel(info.mode) + QStringLiteral(" · 数据 ") + info.bridge);
}

void MirrorPopoverController::applyScene(const DeviceInfo& info) {
    const Snapshot snapshot = service->snapshot(false);
    updateFastAnimation(info, snapshot);

    const bool wasNet = mirror->netMode;
    mirror->netMode = info.effective == u"net";
    if (mirror->netMode && !wasNet)
        mirror->resetHistory();
    mirror->musicMode = info.effective == u"music";
    mirror->btcMode = info.effective == u"btc";

    if (mirror->btcMode) {
        mirror->btcFrame = market ? MirrorView::decodeCover(market->frameRGB565(), 240, 240) : std::nullopt;
    } else if (mirror->netMode) {
        // the sweep fills the graphs
    } else if (mirror->musicMode) {
        if (nowPlaying) {
            const auto playing = nowPlaying->snapshot();
            mirror->musicTitle = playing.title;
            mirror->musicArtist = playing.artist;
            mirror->musicElapsed = playing.elapsed;
            mirror->musicDuration = playing.duration;
            mirror->musicPlaying = playing.playing;
            mirror->musicCover = MirrorView::decodeCover(nowPlaying->coverRGB565(), NowPlayingMonitor::coverW,
                                                         NowPlayingMonitor::coverH);
        }
    } else {
        MirrorView& v = *mirror;
        v.showingProvider = info.showing;
        if (info.showing == u"claude") {
            const ClaudeStatus& c = snapshot.claude;
            v.ringPct = c.fiveHourPct            ? *c.fiveHourPct
                        : c.sessionWindowMin < 1 ? 0
                                                 : double(c.sessionMin) * 100.0 / double(c.sessionWindowMin);
            v.ringLevel = QuotaBorderLevel::green;
            v.line1 = v.ringPct < 0 ? QStringLiteral("-") : QString::number(truncated(v.ringPct)) + u'%';
            v.line2 = pctText(c.sevenDayPct);
            v.line3 = pctText(c.fablePct);
            v.needsInput = c.needsInput;
            v.dailyLine = dailyLine(c.tokensToday, c.costToday);
        } else if (info.showing == u"codex" || info.showing == u"grok") {
            const bool codex = info.showing == u"codex";
            const std::optional<double> weekly = codex ? snapshot.codex.weeklyPct : snapshot.grok.weeklyPct;
            v.ringPct = weekly.value_or(0);
            v.ringLevel = quotaBorderLevel(weekly);
            v.line1 = QStringLiteral("Weekly");
            v.line2 = pctText(weekly);
            v.line3.clear();
            v.needsInput = codex && snapshot.codex.needsInput;
            v.dailyLine = codex ? dailyLine(snapshot.codex.tokensToday, snapshot.codex.costToday) : QString();
        } else {
            const ProviderUsage& k = snapshot.kimi;
            v.ringPct = k.primaryPct ? *k.primaryPct : k.weeklyPct.value_or(0);
            v.ringLevel = quotaBorderLevel(k.weeklyPct);
            v.line1 = QStringLiteral("5h ") + pctText(k.primaryPct);
            v.line2 = QStringLiteral("Weekly ") + pctText(k.weeklyPct);
            v.line3.clear();
            v.needsInput = false;
            v.dailyLine.clear();
        }
    }
    mirror->update();
}

void MirrorPopoverController::updateFastAnimation(const DeviceInfo& info, const Snapshot& snapshot) {
    if (info.showing != u"claude" && info.showing != u"codex")
        return;
    const QHash<QString, std::int64_t> seq{{QStringLiteral("claude"), snapshot.claude.fastTaskSeq},
                                           {QStringLiteral("codex"), snapshot.codex.fastTaskSeq}};
    if (baselineFastSeq.isEmpty()) {
        baselineFastSeq = seq;
        return;
    }
    const bool grew = seq.value(info.showing) > baselineFastSeq.value(info.showing);
    baselineFastSeq = seq;
    if (grew && info.effective != u"net" && info.effective != u"music" && info.effective != u"btc") {
        ludicrousStartedAt = clock->now();
        mirror->ludicrousProgress = 0;
    }
}

void MirrorPopoverController::ensureSprite(const DeviceInfo& info) {
    const QString slot = isAgentSlot(info.showing) ? info.showing : QStringLiteral("codex");
    if (const auto cached = spriteCache.constFind(slot);
        cached != spriteCache.cend() && cached->rev == info.spriteRev) {
        showSprite(*cached);
        return;
    }
    if (fetchingSlot == slot)
        return;
    fetchingSlot = slot;
    DeviceClient::fetchSpriteRaw(slot, [self = QPointer(this), slot, info](Result<QByteArray> data) {
        if (!self)
            return;
        self->fetchingSlot.reset();
        if (!data)
            return;
        SpriteEntry entry{
            info.spriteRev,      MirrorView::decodeSpriteFrames(*data, info.spriteW, info.spriteH),
            info.spriteW,        info.spriteH,
            info.spriteDisplayW, info.spriteDisplayH};
        if (entry.frames.isEmpty())
            return;
        self->spriteCache.insert(slot, entry);
        if (self->lastInfo && self->lastInfo->showing == slot)
            self->showSprite(entry);
    });
}

void MirrorPopoverController::showSprite(const SpriteEntry& entry) {
    mirror->frames = entry.frames;
    mirror->spriteW = entry.drawW;
    mirror->spriteH = entry.drawH;
    if (mirror->frameIdx >= entry.frames.size())
        mirror->frameIdx = 0;
    mirror->update();
}

void MirrorPopoverController::syncBrightness(const DeviceInfo& info) {
    if (pendingBrightness || clock->now() - lastBrightnessSentAt <= brightnessQuietTime)
        return;
    const QSignalBlocker blocker(slider);
    slider->setValue(int(std::clamp<std::int64_t>(info.brightness, 0, 100)));
    brightnessLabel->setText(QString::number(slider->value()) + u'%');
}

void MirrorPopoverController::selectMode(const QString& mode) {
    const int index = int(modeKeys.indexOf(mode));
    if (index >= 0) {
        modes->button(index)->setChecked(true);
        return;
    }
    modes->setExclusive(false);
    for (QAbstractButton* button : modes->buttons())
        button->setChecked(false);
    modes->setExclusive(true);
}

void MirrorPopoverController::modeChanged(int index) {
    if (index < 0 || index >= modeKeys.size())
        return;
    DeviceClient::setDisplayMode(modeKeys.at(index), [](std::optional<Error>) {});
}

void MirrorPopoverController::brightnessChanged(int value) {
    brightnessLabel->setText(QString::number(value) + u'%');
    if (!slider->isSliderDown()) {
        sendBrightness(value);
        return;
    }
    pendingBrightness = value;
    if (clock->now() - lastBrightnessSentAt >= brightnessDragGap)
        sendBrightness(value);
}

void MirrorPopoverController::sendBrightness(int value) {
    pendingBrightness.reset();
    lastBrightnessSentAt = clock->now();
    DeviceClient::setBrightness(value, [](std::optional<Error>) {});
}

void MirrorPopoverController::animTick() {
    if (!lastInfo || mirror->netMode)
        return;
    if (ludicrousStartedAt) {
        const double progress = (clock->now() - *ludicrousStartedAt) / ludicrousSeconds;
        if (progress >= 1) {
            ludicrousStartedAt.reset();
            mirror->ludicrousProgress.reset();
        } else
            mirror->ludicrousProgress = progress;
        mirror->update();
        return;
    }
    if (mirror->needsInput) {
        if (++flashCounter >= 3) {
            flashCounter = 0;
            mirror->flashOn = !mirror->flashOn;
        }
    } else
        mirror->flashOn = false;

    const auto n = std::int64_t(mirror->frames.size());
    if (n > 0) {
        const Snapshot snapshot = service->snapshot(false);
        const QString& showing = lastInfo->showing;
        const bool working = (showing == u"claude" && snapshot.claude.status == u"working") ||
                             (showing == u"codex" && snapshot.codex.status == u"working");
        std::int64_t& idx = mirror->frameIdx;
        if (!working)
            idx = 0;
        else if (lastInfo->spriteCustom || (lastInfo->petPreset != u"border-collie" && showing == u"claude"))
            idx = (idx + 1) % n;
        else
            idx = n < 2 ? 0 : (idx < 1 || idx >= n - 1 ? 1 : idx + 1);
    }
    mirror->update();
}

void MirrorPopoverController::sweepTick() {
    if (!isShown() || !mirror->netMode || !net)
        return;
    const auto samples = net->samples();
    const NetSpeedMonitor::Sample newest = samples.empty() ? NetSpeedMonitor::Sample{} : samples.back();
    const NetSpeedMonitor::Sample smoothed = net->currentSmoothed();
    mirror->netHeaderDL = deviceSpeedText(smoothed.rx);
    mirror->netHeaderUL = deviceSpeedText(smoothed.tx);
    const auto load = SystemStatsMonitor::shared()->snapshot();
    mirror->netCPU = load.cpu;
    mirror->netMem = load.mem;
    mirror->pushNetSample(newest.rx, newest.tx);
}

QString MirrorPopoverController::pctText(std::optional<double> percent) {
    if (!percent || *percent < 0 || std::isnan(*percent))
        return QStringLiteral("-");
    return QString::number(truncated(*percent)) + u'%';
}

QString MirrorPopoverController::dailyLine(std::int64_t tokens, std::optional<double> cost) {
    QString count;
    if (tokens >= 1'000'000)
        count = QString::asprintf("%.1fM", double(tokens) / 1e6);
    else if (tokens < 1000)
        count = QString::number(tokens);
    else
        count = QString::asprintf("%.1fK", double(tokens) / 1000);
    return QStringLiteral("TODAY ") + count + QStringLiteral("  ") +
           (cost ? QString::asprintf("$%.2f", *cost) : QStringLiteral("$?"));
}

QString MirrorPopoverController::deviceSpeedText(double v) {
    if (v >= 1e6)
        return QString::asprintf("%.1fM", v / 1e6);
    if (v >= 1000)
        return QString::asprintf("%.0fK", v / 1000);
    return QString::asprintf("%.0fB", v);
}

} // namespace glimmet
