#include "common/Rgb565.h"

#include <gtest/gtest.h>

using namespace glimmet;

namespace {

TEST(Rgb565, BigEndianTruncatedChannelsRowByRow) {
    QImage image(2, 2, QImage::Format_ARGB32_Premultiplied);
    image.setPixel(0, 0, qRgb(255, 0, 0));
    image.setPixel(1, 0, qRgb(0, 255, 0));
    image.setPixel(0, 1, qRgb(0, 0, 255));
    image.setPixel(1, 1, qRgb(0x0F, 0x1F, 0x07)); // low bits are dropped, not rounded
    EXPECT_EQ(toRgb565(image), QByteArray("\xF8\x00"
                                          "\x07\xE0"
                                          "\x00\x1F"
                                          "\x08\xE0",
                                          8));
}

TEST(Rgb565, OtherFormatsAreConvertedAndNullIsEmpty) {
    QImage rgb888(1, 1, QImage::Format_RGB888);
    rgb888.setPixel(0, 0, qRgb(0xFF, 0xFF, 0xFF));
    EXPECT_EQ(toRgb565(rgb888), QByteArray("\xFF\xFF", 2));
    EXPECT_TRUE(toRgb565(QImage()).isEmpty());
}

} // namespace
