#include "monitors/ArtworkFetcher.h"

#include "common/HttpClient.h"
#include "monitors/EmbeddedArtwork.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

namespace glimmet {

ArtworkFetcher::ArtworkFetcher(std::shared_ptr<const Clock> clock)
    : clock(std::move(clock)) {}

QByteArray ArtworkFetcher::fetch(const QString& url, const QString& trackUrl) {
    if (url.isEmpty())
        return embedded(trackUrl);
    const QUrl parsed(url, QUrl::StrictMode);
    if (parsed.isLocalFile())
        return readLocalFile(parsed.toLocalFile());
    const QString scheme = parsed.scheme().toLower();
    if (scheme != u"http" && scheme != u"https")
        return {};
    return download(url);
}

QByteArray ArtworkFetcher::readLocalFile(const QString& path) {
    // Only regular files: reading a FIFO or a device could block the probe for ever.
    const QFileInfo info(path);
    if (!info.isFile() || info.size() > maxBytes)
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray bytes = file.read(maxBytes + 1);
    return bytes.size() > maxBytes ? QByteArray() : bytes;
}

QByteArray ArtworkFetcher::embedded(const QString& trackUrl) {
    const QUrl parsed(trackUrl, QUrl::StrictMode);
    if (trackUrl.isEmpty() || !parsed.isLocalFile())
        return {};
    const QFileInfo track(parsed.toLocalFile());
    const QString version = track.absoluteFilePath() + u'|' + QString::number(track.size()) + u'|' +
                            QString::number(track.lastModified().toMSecsSinceEpoch());
    if (version != embeddedVersion) {
        embeddedVersion = version;
        embeddedBytes = EmbeddedArtwork::read(track.absoluteFilePath(), maxBytes);
    }
    return embeddedBytes;
}

QByteArray ArtworkFetcher::download(const QString& url) {
    if (url == lastUrl && (!lastFailureAt || clock->now() - *lastFailureAt < retryAfter))
        return lastBytes;
    HttpRequest request;
    request.url = QUrl(url);
    request.idleTimeout = downloadIdleTimeout;
    request.maxBodyBytes = maxBytes;
    request.deadline = downloadDeadline;
    const HttpResponse response = HttpClient::shared().syncRequest(request);
    lastUrl = url;
    if (response.isHttp() && response.status == 200 && !response.body.isEmpty()) {
        lastBytes = response.body;
        lastFailureAt.reset();
    } else {
        lastBytes.clear();
        lastFailureAt = clock->now();
    }
    return lastBytes;
}

} // namespace glimmet
