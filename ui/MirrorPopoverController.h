#pragma once

#include "common/Clock.h"
#include "common/Error.h"
#include "device/DeviceInfo.h"

#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>

class QButtonGroup;
class QLabel;
class QSlider;
class QTimer;
class QWidget;

namespace glimmet {

class MarketMonitor;
class MirrorView;
class NetSpeedMonitor;
class NowPlayingMonitor;
class StatusService;
struct Snapshot;

// The popup under the tray icon: a live mirror of the clock's screen, a mode switcher, a
// brightness slider and one status line. While shown it polls the clock once a second and
// fills the mirror from the bridge's own data. Main thread; owned by the menu controller.
class MirrorPopoverController : public QObject {
    Q_OBJECT
public:
    // The segments of the mode switcher, in order, with their labels.
    static const QStringList modeKeys;
    static const QStringList modeLabels;

    MirrorPopoverController(std::shared_ptr<StatusService> service, std::shared_ptr<NetSpeedMonitor> net,
                            std::shared_ptr<NowPlayingMonitor> nowPlaying,
                            std::shared_ptr<MarketMonitor> market,
                            std::shared_ptr<const Clock> clock = Clock::system(), QObject* parent = nullptr);
    ~MirrorPopoverController() override;

    // Shows the popup below `anchor` (near the pointer when the anchor is empty), starts the
    // timers and polls at once; closes it when it is shown.
    void toggle(const QRect& anchor);
    bool isShown() const;

    // One answer of the clock (the poll's result); ignored while closed.
    void handleInfo(const Result<DeviceInfo>& result);
    void animTick();
    void sweepTick();

    QWidget* popover() const { return panel; }
    MirrorView* view() const { return mirror; }
    QSlider* brightnessSlider() const { return slider; }

    static QString pctText(std::optional<double> percent);
    static QString dailyLine(std::int64_t tokens, std::optional<double> cost);
    static QString deviceSpeedText(double bytesPerSecond);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct SpriteEntry {
        std::int64_t rev = 0;
        QList<QImage> frames;
        std::int64_t w = 0, h = 0, drawW = 0, drawH = 0;
    };

    void buildControls();
    void poll();
    void popoverDidClose();
    void applyScene(const DeviceInfo& info);
    void updateFastAnimation(const DeviceInfo& info, const Snapshot& snapshot);
    void ensureSprite(const DeviceInfo& info);
    void showSprite(const SpriteEntry& entry);
    void syncBrightness(const DeviceInfo& info);
    void selectMode(const QString& mode);
    void modeChanged(int index);
    void brightnessChanged(int value);
    void sendBrightness(int value);

    const std::shared_ptr<StatusService> service;
    const std::shared_ptr<NetSpeedMonitor> net;
    const std::shared_ptr<NowPlayingMonitor> nowPlaying;
    const std::shared_ptr<MarketMonitor> market;
    const std::shared_ptr<const Clock> clock;

    QPointer<QWidget> panel;
    MirrorView* mirror = nullptr;
    QButtonGroup* modes = nullptr;
    QSlider* slider = nullptr;
    QLabel* brightnessLabel = nullptr;
    QLabel* statusLabel = nullptr;

    std::optional<std::int64_t> pendingBrightness;
    double lastBrightnessSentAt = 0;
    QTimer* pollTimer = nullptr;
    QTimer* animTimer = nullptr;
    QTimer* sweepTimer = nullptr;
    QHash<QString, SpriteEntry> spriteCache;
    std::optional<DeviceInfo> lastInfo;
    std::optional<QString> fetchingSlot;
    std::int64_t flashCounter = 0;
    QHash<QString, std::int64_t> baselineFastSeq;
    std::optional<double> ludicrousStartedAt;
    QElapsedTimer closedAt;
};

} // namespace glimmet
