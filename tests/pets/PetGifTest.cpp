#include "pets/FakeCatalogue.h"
#include "pets/PetdexService.h"

#include <gif_lib.h>

#include <gtest/gtest.h>

#include <cstring>

using namespace glimmet;
using namespace glimmet::test;

namespace {

struct DecodedGif {
    QSize size;
    bool loopsForever = false;
    QList<int> delays; // hundredths of a second
    QList<QImage> frames;
};

// Reads a GIF back with giflib.
std::optional<DecodedGif> decode(QByteArray bytes) {
    const auto read = [](GifFileType* file, GifByteType* out, int wanted) {
        auto* rest = static_cast<QByteArray*>(file->UserData);
        const int count = int(std::min<qsizetype>(wanted, rest->size()));
        std::memcpy(out, rest->constData(), size_t(count));
        rest->remove(0, count);
        return count;
    };
    int error = 0;
    GifFileType* gif = DGifOpen(&bytes, read, &error);
    if (!gif || DGifSlurp(gif) == GIF_ERROR)
        return std::nullopt;
    DecodedGif out{{gif->SWidth, gif->SHeight}};
    const ExtensionBlock* leading = gif->ImageCount ? gif->SavedImages[0].ExtensionBlocks : nullptr;
    out.loopsForever =
        leading && gif->SavedImages[0].ExtensionBlockCount >= 2 &&
        QByteArray(reinterpret_cast<char*>(leading[0].Bytes), leading[0].ByteCount) == "NETSCAPE2.0" &&
        QByteArray(reinterpret_cast<char*>(leading[1].Bytes), leading[1].ByteCount) == "\1\0\0"_qba;
    for (int i = 0; i < gif->ImageCount; ++i) {
        const SavedImage& image = gif->SavedImages[i];
        GraphicsControlBlock control;
        DGifSavedExtensionToGCB(gif, i, &control);
        out.delays << control.DelayTime;
        const ColorMapObject* palette = image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
        QImage frame(out.size, QImage::Format_RGB32);
        for (int p = 0; p < out.size.width() * out.size.height(); ++p) {
            const GifColorType c = palette->Colors[image.RasterBits[p]];
            frame.setPixel(p % out.size.width(), p / out.size.width(), qRgb(c.Red, c.Green, c.Blue));
        }
        out.frames << frame;
    }
    DGifCloseFile(gif, &error);
    return out;
}

bool near(QRgb a, QRgb b) {
    return std::abs(qRed(a) - qRed(b)) <= 8 && std::abs(qGreen(a) - qGreen(b)) <= 8 &&
           std::abs(qBlue(a) - qBlue(b)) <= 8;
}

TEST(PetGif, OneFramePerCellOnBlackLoopingWithTheStateTiming) {
    const QImage sheet = QImage::fromData(webpSheet({1536, 1872}));
    const struct {
        PetdexAnimState state;
        QSize target;
        int frames;
        int delay;
    } rows[] = {
        {*PetdexService::state("waving"), {111, 120}, 4, 18},
        {*PetdexService::state("running"), {120, 120}, 6, 14},
        {*PetdexService::state("running-left"), {111, 120}, 8, 13},
        {{"long", "", 8, 12, 300}, {120, 120}, 8, 5},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.state.id.toStdString());
        const auto gif = PetdexService::buildGif(sheet, row.state, row.target.width(), row.target.height());
        const std::optional<DecodedGif> decoded = decode(gif.value_or(""));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->size, row.target);
        EXPECT_TRUE(decoded->loopsForever);
        EXPECT_EQ(decoded->delays, QList<int>(row.frames, row.delay));
        ASSERT_EQ(decoded->frames.size(), row.frames);
        for (int i = 0; i < row.frames; ++i) {
            const QImage& frame = decoded->frames[i];
            EXPECT_TRUE(
                near(frame.pixel(frame.width() / 2, frame.height() / 2), cellColour(i, row.state.row)))
                << i;
            for (const QPoint corner : {QPoint(0, 0), QPoint(frame.width() - 1, frame.height() - 1)})
                EXPECT_TRUE(near(frame.pixel(corner), qRgb(0, 0, 0))) << i;
        }
    }
}

TEST(PetGif, NoneWithoutFramesOrCells) {
    const QImage oneCell = QImage::fromData(webpSheet({192, 208}));
    EXPECT_TRUE(PetdexService::buildGif(oneCell, {"one", "", 0, 1, 100}, 111, 120));
    EXPECT_FALSE(PetdexService::buildGif(oneCell, *PetdexService::state("waving"), 111, 120));
    EXPECT_FALSE(PetdexService::buildGif(oneCell, {"none", "", 0, 0, 700}, 111, 120));
}

} // namespace
