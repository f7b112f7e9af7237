#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

namespace glimmet {

// What the stand-in clock would show, kept as files in a snapshots folder for a developer or
// a test to look at: "market.png", "music-cover.png", "music-title.png", "status.png" (the
// status as text) with "status.json", and uploaded sprites as SLOT.gif. Does nothing
// without a folder. Main thread only; owned by main().
class SimScreen {
public:
    explicit SimScreen(QString folder);

    void showStatus(const QByteArray& json);
    void showMarket(const QByteArray& rawFrame);
    void showMusicCover(const QByteArray& rgb565); // empty: no cover
    void showMusicTitle(const QByteArray& rgb565);
    void keepSprite(const QString& slot, const QByteArray& gif); // empty: forget it

private:
    void write(const QString& name, const QByteArray& bytes) const;
    void writeImage(const QString& name, const QImage& image) const;
    void remove(const QString& name) const;

    QString folder;
};

} // namespace glimmet
