#include "tools/clock-sim/SimScreen.h"

#include "common/ClockFont.h"
#include "common/Json.h"
#include "common/Log.h"
#include "tools/clock-sim/PackedFrame.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QPainter>
#include <QSaveFile>
#include <QStringList>

namespace glimmet {

namespace {

QString agentLine(const QString& name, const QJsonObject& agent) {
    const auto tokens = integer(agent[QStringLiteral("tokens_today")]).value_or(0);
    const auto cost = number(agent[QStringLiteral("cost_today_usd")]);
    return QStringLiteral("%1 %2  %3 tok  %4")
        .arg(name, agent[QStringLiteral("status")].toString(QStringLiteral("?")))
        .arg(tokens)
        .arg(cost ? QStringLiteral("$%1").arg(*cost, 0, 'f', 2) : QStringLiteral("$?"));
}

} // namespace

SimScreen::SimScreen(QString folder)
    : folder(std::move(folder)) {
    if (!this->folder.isEmpty())
        QDir().mkpath(this->folder);
}

void SimScreen::showStatus(const QByteArray& json) {
    if (folder.isEmpty())
        return;
    write(QStringLiteral("status.json"), json);
    const QJsonObject status = parseObject(json).value_or(QJsonObject());
    QStringList lines{agentLine(QStringLiteral("CLAUDE"), status[QStringLiteral("claude")].toObject()),
                      agentLine(QStringLiteral("CODEX"), status[QStringLiteral("codex")].toObject()),
                      QStringLiteral("preferred: ") + status[QStringLiteral("preferred_agent")].toString(),
                      QStringLiteral("music: ") + (status[QStringLiteral("music_playing")].toBool()
                                                       ? QStringLiteral("playing")
                                                       : QStringLiteral("off"))};
    QImage canvas(240, 240, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    QPainter painter(&canvas);
    painter.setPen(Qt::white);
    painter.setFont(clockFont(12, QFont::Normal));
    painter.drawText(canvas.rect().adjusted(6, 6, -6, -6), Qt::TextWordWrap, lines.join(u'\n'));
    painter.end();
    writeImage(QStringLiteral("status.png"), canvas);
}

void SimScreen::showMarket(const QByteArray& rawFrame) {
    writeImage(QStringLiteral("market.png"), PackedFrame::image(rawFrame, 240, 240));
}

void SimScreen::showMusicCover(const QByteArray& rgb565) {
    if (rgb565.isEmpty())
        return remove(QStringLiteral("music-cover.png"));
    writeImage(QStringLiteral("music-cover.png"), PackedFrame::image(rgb565, 128, 128));
}

void SimScreen::showMusicTitle(const QByteArray& rgb565) {
    writeImage(QStringLiteral("music-title.png"), PackedFrame::image(rgb565, 232, 44));
}

void SimScreen::keepSprite(const QString& slot, const QByteArray& gif) {
    if (gif.isEmpty())
        return remove(slot + QStringLiteral(".gif"));
    write(slot + QStringLiteral(".gif"), gif);
}

// Written whole under a temporary name, then renamed, so a reader never sees half a file.
void SimScreen::write(const QString& name, const QByteArray& bytes) const {
    if (folder.isEmpty())
        return;
    QSaveFile file(folder + u'/' + name);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        Log::line(QStringLiteral("[sim] cannot write %1: %2").arg(file.fileName(), file.errorString()));
}

void SimScreen::writeImage(const QString& name, const QImage& image) const {
    if (folder.isEmpty() || image.isNull())
        return;
    QSaveFile file(folder + u'/' + name);
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG") || !file.commit())
        Log::line(QStringLiteral("[sim] cannot write %1: %2").arg(file.fileName(), file.errorString()));
}

void SimScreen::remove(const QString& name) const {
    if (!folder.isEmpty())
        QFile::remove(folder + u'/' + name);
}

} // namespace glimmet
