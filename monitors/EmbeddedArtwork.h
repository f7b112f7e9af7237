#pragma once

#include <QByteArray>
#include <QString>

namespace glimmet {

// Reads the cover picture that an audio file carries in its own tags (ID3v2 in MP3, WAV and
// AIFF files; FLAC pictures; Vorbis comments in Ogg Vorbis, Opus and Ogg FLAC; MP4 cover art;
// ASF pictures) with TagLib. Stateless; it reads the file, so call it on a worker thread.
class EmbeddedArtwork {
public:
    // The front cover of the file at `path`, else its first picture; empty when there is none,
    // the path is not a regular file, or the picture is larger than `maxBytes`.
    static QByteArray read(const QString& path, qint64 maxBytes);
};

} // namespace glimmet
