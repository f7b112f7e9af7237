#include "pets/GifEncoder.h"

#include <QHash>

#include <gif_lib.h>

#include <memory>
#include <vector>

namespace glimmet {

namespace {

// A frame as palette indices, row by row, with its palette (a power of two long).
struct IndexedFrame {
    std::vector<GifByteType> pixels;
    std::vector<GifColorType> palette;
};

int appendToBuffer(GifFileType* gif, const GifByteType* data, int length) {
    static_cast<QByteArray*>(gif->UserData)->append(reinterpret_cast<const char*>(data), length);
    return length;
}

// The exact palette when the frame has at most 256 colours; none otherwise.
std::optional<IndexedFrame> exactPalette(const QImage& frame) {
    IndexedFrame indexed;
    indexed.pixels.reserve(size_t(frame.width()) * size_t(frame.height()));
    QHash<QRgb, GifByteType> index;
    for (int y = 0; y < frame.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(frame.constScanLine(y));
        for (int x = 0; x < frame.width(); ++x) {
            const QRgb colour = line[x] & 0xffffff;
            auto found = index.constFind(colour);
            if (found == index.constEnd()) {
                if (index.size() == 256)
                    return std::nullopt;
                found = index.insert(colour, GifByteType(indexed.palette.size()));
                indexed.palette.push_back(
                    {GifByteType(qRed(colour)), GifByteType(qGreen(colour)), GifByteType(qBlue(colour))});
            }
            indexed.pixels.push_back(*found);
        }
    }
    return indexed;
}

std::optional<IndexedFrame> quantised(const QImage& frame) {
    const size_t count = size_t(frame.width()) * size_t(frame.height());
    std::vector<GifByteType> red(count), green(count), blue(count);
    for (int y = 0, i = 0; y < frame.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(frame.constScanLine(y));
        for (int x = 0; x < frame.width(); ++x, ++i) {
            red[i] = GifByteType(qRed(line[x]));
            green[i] = GifByteType(qGreen(line[x]));
            blue[i] = GifByteType(qBlue(line[x]));
        }
    }
    IndexedFrame indexed{std::vector<GifByteType>(count), std::vector<GifColorType>(256)};
    int size = 256;
    if (GifQuantizeBuffer(unsigned(frame.width()), unsigned(frame.height()), &size, red.data(), green.data(),
                          blue.data(), indexed.pixels.data(), indexed.palette.data()) == GIF_ERROR)
        return std::nullopt;
    return indexed;
}

std::optional<IndexedFrame> indexed(const QImage& image) {
    const QImage frame = image.convertToFormat(QImage::Format_RGB32);
    std::optional<IndexedFrame> result = exactPalette(frame);
    if (!result)
        result = quantised(frame);
    if (result) {
        // giflib takes palettes of 2, 4, ... 256 entries.
        size_t size = 2;
        while (size < result->palette.size())
            size *= 2;
        result->palette.resize(size, GifColorType{0, 0, 0});
    }
    return result;
}

bool putLoopForever(GifFileType* gif) {
    static const GifByteType application[] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
    static const GifByteType loopCount[] = {1, 0, 0}; // sub-block 1, count 0: for ever
    return EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) != GIF_ERROR &&
           EGifPutExtensionBlock(gif, sizeof application, application) != GIF_ERROR &&
           EGifPutExtensionBlock(gif, sizeof loopCount, loopCount) != GIF_ERROR &&
           EGifPutExtensionTrailer(gif) != GIF_ERROR;
}

bool putFrame(GifFileType* gif, const IndexedFrame& frame, int width, int height, int delayCs) {
    const GraphicsControlBlock control{DISPOSE_DO_NOT, false, delayCs, NO_TRANSPARENT_COLOR};
    GifByteType extension[4];
    const size_t length = EGifGCBToExtension(&control, extension);
    if (EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(length), extension) == GIF_ERROR)
        return false;
    const std::unique_ptr<ColorMapObject, void (*)(ColorMapObject*)> palette(
        GifMakeMapObject(int(frame.palette.size()), frame.palette.data()), GifFreeMapObject);
    if (!palette || EGifPutImageDesc(gif, 0, 0, width, height, false, palette.get()) == GIF_ERROR)
        return false;
    for (int y = 0; y < height; ++y) {
        auto* row = const_cast<GifByteType*>(frame.pixels.data() + size_t(y) * size_t(width));
        if (EGifPutLine(gif, row, width) == GIF_ERROR)
            return false;
    }
    return true;
}

} // namespace

std::optional<QByteArray> GifEncoder::encode(const QList<QImage>& frames, int delayCs) {
    if (frames.isEmpty())
        return std::nullopt;
    const QSize size = frames.first().size();
    if (size.isEmpty() || size.width() > 65535 || size.height() > 65535)
        return std::nullopt;

    QByteArray out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, appendToBuffer, &error);
    if (!gif)
        return std::nullopt;
    EGifSetGifVersion(gif, true);
    bool ok = EGifPutScreenDesc(gif, size.width(), size.height(), 8, 0, nullptr) != GIF_ERROR &&
              putLoopForever(gif);
    for (const QImage& image : frames) {
        if (!ok)
            break;
        const std::optional<IndexedFrame> frame = image.size() == size ? indexed(image) : std::nullopt;
        ok = frame && putFrame(gif, *frame, size.width(), size.height(), delayCs);
    }
    // Closing writes the trailer and frees the handle whether or not the frames went well.
    if (EGifCloseFile(gif, &error) == GIF_ERROR)
        ok = false;
    return ok ? std::optional(out) : std::nullopt;
}

} // namespace glimmet
