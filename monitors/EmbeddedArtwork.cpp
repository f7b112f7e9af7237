#include "monitors/EmbeddedArtwork.h"

#include <QFile>
#include <QFileInfo>

#include <aifffile.h>
#include <asffile.h>
#include <asfpicture.h>
#include <asftag.h>
#include <attachedpictureframe.h>
#include <fileref.h>
#include <flacfile.h>
#include <flacpicture.h>
#include <id3v2tag.h>
#include <mp4coverart.h>
#include <mp4file.h>
#include <mp4tag.h>
#include <mpegfile.h>
#include <wavfile.h>
#include <xiphcomment.h>

#include <optional>

namespace glimmet {

namespace {

// Keeps the front cover, else the first picture offered.
class PictureChoice {
public:
    void offer(const TagLib::ByteVector& data, bool front) {
        if (data.isEmpty() || (chosen && (chosenFront || !front)))
            return;
        chosen = data;
        chosenFront = front;
    }
    void offer(TagLib::ID3v2::Tag* tag) {
        if (!tag)
            return;
        for (TagLib::ID3v2::Frame* frame : tag->frameListMap()["APIC"])
            if (const auto* picture = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame))
                offer(picture->picture(), picture->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover);
    }
    void offer(const TagLib::List<TagLib::FLAC::Picture*>& pictures) {
        for (const TagLib::FLAC::Picture* picture : pictures)
            offer(picture->data(), picture->type() == TagLib::FLAC::Picture::FrontCover);
    }
    std::optional<TagLib::ByteVector> result() const { return chosen; }

private:
    std::optional<TagLib::ByteVector> chosen;
    bool chosenFront = false;
};

void offerPictures(TagLib::File* file, PictureChoice& choice) {
    if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) {
        if (mpeg->hasID3v2Tag())
            choice.offer(mpeg->ID3v2Tag());
    } else if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
        choice.offer(flac->pictureList());
        if (flac->hasID3v2Tag())
            choice.offer(flac->ID3v2Tag());
    } else if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file)) {
        if (wav->hasID3v2Tag())
            choice.offer(wav->ID3v2Tag());
    } else if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file)) {
        if (aiff->hasID3v2Tag())
            choice.offer(aiff->tag());
    } else if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file)) {
        if (mp4->tag() && mp4->tag()->contains("covr"))
            for (const TagLib::MP4::CoverArt& art : mp4->tag()->item("covr").toCoverArtList())
                choice.offer(art.data(), true);
    } else if (auto* asf = dynamic_cast<TagLib::ASF::File*>(file)) {
        if (asf->tag())
            for (const TagLib::ASF::Attribute& attribute : asf->tag()->attribute("WM/Picture")) {
                const TagLib::ASF::Picture picture = attribute.toPicture();
                if (picture.isValid())
                    choice.offer(picture.picture(), picture.type() == TagLib::ASF::Picture::FrontCover);
            }
    } else if (auto* xiph = dynamic_cast<TagLib::Ogg::XiphComment*>(file->tag())) {
        choice.offer(xiph->pictureList()); // Ogg Vorbis, Opus, Ogg FLAC
    }
}

} // namespace

QByteArray EmbeddedArtwork::read(const QString& path, qint64 maxBytes) {
    // Only regular files: opening a FIFO or a device could block the caller for ever.
    if (!QFileInfo(path).isFile())
        return {};
    const QByteArray name = QFile::encodeName(path);
    // Tags only: the audio itself is not read.
    TagLib::FileRef ref(name.constData(), false);
    if (ref.isNull() || !ref.file()->isValid())
        return {};
    PictureChoice choice;
    offerPictures(ref.file(), choice);
    const auto picture = choice.result();
    if (!picture || qint64(picture->size()) > maxBytes)
        return {};
    return QByteArray(picture->data(), qsizetype(picture->size()));
}

} // namespace glimmet
