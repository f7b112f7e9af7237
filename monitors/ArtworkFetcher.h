#pragma once

#include "common/Clock.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

namespace glimmet {

// Loads the cover art a media player points at: a local file:// image is read on every call
// (players rewrite the same file for each track); an http(s) image is downloaded once per URL
// through the shared HTTP client. A player that names no image but plays a local file gets the
// cover stored in that file's tags, read once per version of the file. Used on one worker
// thread at a time by its source.
class ArtworkFetcher {
public:
    static constexpr qint64 maxBytes = 8 * 1024 * 1024;
    static constexpr double downloadIdleTimeout = 5.0; // without data moving
    static constexpr double downloadDeadline = 10.0;   // for the whole download
    // A failed download is tried again for the same URL after this long.
    static constexpr double retryAfter = 30.0;

    explicit ArtworkFetcher(std::shared_ptr<const Clock> clock = Clock::system());

    // The image bytes behind `url`, or when `url` is empty the cover embedded in the track
    // `trackUrl` names (a file:// address); empty when there are none, an address has another
    // scheme, or the image is larger than maxBytes.
    QByteArray fetch(const QString& url, const QString& trackUrl = {});

private:
    static QByteArray readLocalFile(const QString& path);
    QByteArray download(const QString& url);
    QByteArray embedded(const QString& trackUrl);

    const std::shared_ptr<const Clock> clock;
    QString lastUrl;
    QByteArray lastBytes;
    std::optional<double> lastFailureAt;
    QString embeddedVersion; // path, size and modification time of the track last read
    QByteArray embeddedBytes;
};

} // namespace glimmet
