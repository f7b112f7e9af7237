#pragma once

#include "ui/QuotaBorderLevel.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <vector>

namespace glimmet {

// A live imitation of the clock's 240 x 240 screen, drawn in the clock's own coordinates and
// scaled to the widget. It only draws what its fields hold; the popover controller fills
// them. Main thread; owned by the popover's widget tree.
class MirrorView : public QWidget {
    Q_OBJECT
public:
    static constexpr int screenSize = 240;
    static constexpr int historyLength = 224;

    explicit MirrorView(QWidget* parent = nullptr);

    QList<QImage> frames;
    std::int64_t frameIdx = 0;
    std::int64_t spriteW = 0; // drawn size of the sprite on the clock's screen
    std::int64_t spriteH = 0;
    double ringPct = 0;
    QuotaBorderLevel ringLevel = QuotaBorderLevel::green;
    bool needsInput = false;
    bool flashOn = false;
    QString line1, line2, line3;
    QString dailyLine;
    QString showingProvider;
    bool deviceOK = false;
    bool netMode = false;
    std::int64_t netCPU = 0;
    std::int64_t netMem = 0;
    QString netHeaderDL, netHeaderUL;
    std::vector<double> histRx = std::vector<double>(historyLength, 0.0);
    std::vector<double> histTx = std::vector<double>(historyLength, 0.0);
    bool musicMode = false;
    QString musicTitle, musicArtist;
    double musicElapsed = 0;
    double musicDuration = 0;
    bool musicPlaying = false;
    std::optional<QImage> musicCover;
    bool btcMode = false;
    std::optional<QImage> btcFrame;
    std::optional<double> ludicrousProgress;

    // Drops the oldest rate of each history, appends the new ones and redraws.
    void pushNetSample(double rx, double tx);
    // Both histories back to zeros.
    void resetHistory();

    // The screen as the clock would show it, 240 x 240.
    QImage renderScreen() const;
    void draw(QPainter& painter) const;

    // The clock's sprite dump: byte 0 is the frame count, then every frame's w x h pixels in
    // RGB565, high byte first. No frames unless the data is longer than all frames together.
    static QList<QImage> decodeSpriteFrames(const QByteArray& data, std::int64_t w, std::int64_t h);
    // A w x h RGB565 bitmap (cover, market frame) as an opaque image; absent when too short.
    static std::optional<QImage> decodeCover(const QByteArray& data, std::int64_t w, std::int64_t h);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void drawAgent(QPainter& p) const;
    void drawNet(QPainter& p) const;
    void drawMusic(QPainter& p) const;
    void drawLudicrous(QPainter& p, double progress) const;
};

} // namespace glimmet
