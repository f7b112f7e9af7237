#include "tools/clock-sim/SimSprites.h"

#include "common/Rgb565.h"

#include <QBuffer>
#include <QColor>
#include <QImageReader>
#include <QPainter>

namespace glimmet {

namespace {

// One frame on the sprite canvas: the image scaled to fit, centred on black.
QImage fitted(const QImage& image) {
    QImage canvas(SimSprites::width, SimSprites::height, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    QPainter painter(&canvas);
    const QImage scaled = image.scaled(canvas.size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    painter.drawImage((canvas.width() - scaled.width()) / 2, (canvas.height() - scaled.height()) / 2, scaled);
    return canvas;
}

QColor slotColour(const QString& slot) {
    if (slot == u"claude")
        return QColor(0xD9, 0x77, 0x57);
    if (slot == u"codex")
        return QColor(0xE8, 0xE8, 0xE8);
    if (slot == u"grok")
        return QColor(0x90, 0x90, 0x98);
    return QColor(0x4A, 0x8C, 0xF0);
}

} // namespace

const QStringList& SimSprites::slotNames() {
    static const QStringList names{QStringLiteral("claude"), QStringLiteral("codex"), QStringLiteral("grok"),
                                   QStringLiteral("kimi")};
    return names;
}

Result<int> SimSprites::upload(const QString& slot, const QByteArray& gif) {
    QBuffer buffer;
    buffer.setData(gif);
    QImageReader reader(&buffer, "gif");
    QByteArray frames;
    int count = 0;
    while (count < maxFrames) {
        const QImage frame = reader.read();
        if (frame.isNull())
            break;
        frames += toRgb565(fitted(frame));
        ++count;
    }
    if (count == 0)
        return std::unexpected(Error{QStringLiteral("SimSprites"), 1, QStringLiteral("not a GIF animation")});
    custom.insert(slot, char(count) + frames);
    ++rev;
    return count;
}

void SimSprites::reset(const QString& slot) {
    custom.remove(slot);
    ++rev;
}

QByteArray SimSprites::raw(const QString& slot) const {
    return custom.value(slot, defaultRaw(slot));
}

// Two frames of a round face in the slot's colour: eyes open, then blinking.
QByteArray SimSprites::defaultRaw(const QString& slot) {
    QByteArray out(1, char(2));
    for (int frame = 0; frame < 2; ++frame) {
        QImage canvas(width, height, QImage::Format_RGB32);
        canvas.fill(Qt::black);
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(slotColour(slot));
        painter.drawEllipse(QRectF(15, 20, 90, 85));
        painter.setBrush(Qt::black);
        const qreal eyeHeight = frame == 0 ? 14 : 3;
        painter.drawEllipse(QRectF(40, 52 - eyeHeight / 2, 10, eyeHeight));
        painter.drawEllipse(QRectF(70, 52 - eyeHeight / 2, 10, eyeHeight));
        painter.end();
        out += toRgb565(canvas);
    }
    return out;
}

} // namespace glimmet
