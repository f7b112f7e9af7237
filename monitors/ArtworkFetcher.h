#pragma once

#include "common/Clock.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

namespace glimmet {

// Loads the cover art a media player points at: a local file:// image is read on every call
// (players rewrite the same file for each track); an http(s) image is downloaded once per URL
// through the shared HTTP client. Used on one worker thread at a time by its source.
class ArtworkFetcher {
public:
    static constexpr qint64 maxBytes = 8 * 1024 * 1024;
    static constexpr double downloadIdleTimeout = 5.0; // without data moving
    static constexpr double downloadDeadline = 10.0;   // for the whole download
    // A failed download is tried again for the same URL after this long.
    static constexpr double retryAfter = 30.0;

    explicit ArtworkFetcher(std::shared_ptr<const Clock> clock = Clock::system());

    // The image bytes behind `url`; empty when there are none, the URL has another scheme,
    // or the image is larger than maxBytes.
    QByteArray fetch(const QString& url);

private:
    static QByteArray readLocalFile(const QString& path);
    QByteArray download(const QString& url);

    const std::shared_ptr<const Clock> clock;
    QString lastUrl;
    QByteArray lastBytes;
    std::optional<double> lastFailureAt;
};

} // namespace glimmet
