#include "market/MarketFrameCodec.h"

#include <gtest/gtest.h>

using namespace glimmet;

namespace {

using Codec = MarketFrameCodec;

const auto hex = [](const char* digits) { return QByteArray::fromHex(digits); }; // blanks are skipped

// A raw frame: the pixels `head`, then the pixel `fill` up to the end.
QByteArray frameOf(const QByteArray& head, const char* fill) {
    return head + hex(fill).repeated(Codec::pixelCount - head.size() / 2);
}

TEST(MarketFrameCodec, KnownFramesPackAndWrapByteForByte) {
    const QByteArray black = Codec::packRGB565(frameOf({}, "0000"));
    EXPECT_EQ(black.size(), 1350);
    EXPECT_EQ(black, hex("ff0000").repeated(450));

    // No two equal neighbours: 450 literals of 128 pixels, larger than the frame itself.
    const QByteArray alternating = Codec::packRGB565(hex("1234 1235").repeated(Codec::pixelCount / 2));
    EXPECT_EQ(alternating.size(), 115650);
    EXPECT_EQ(alternating, ('\x7f' + hex("1234 1235").repeated(64)).repeated(450));

    // The documented example, its CRC and its envelope.
    const QByteArray example = Codec::packRGB565(frameOf(hex("0000 0000 0000 f800 07e0 07e0 001f"), "ffff"));
    ASSERT_EQ(example.size(), 1362);
    EXPECT_EQ(example, hex("820000 00f800 8107e0 00001f") + hex("ffffff").repeated(449) + hex("f8ffff"));
    EXPECT_EQ(Codec::crc32(example), 0xE0CD88ECu);
    EXPECT_EQ(Codec::crc32("123456789"), 0xCBF43926u); // the zlib CRC's check value
    const QByteArray envelope = Codec::envelope(example, 2);
    EXPECT_EQ(envelope.size(), 1382);
    EXPECT_EQ(envelope, hex("4d4b5431 0000000000000002 00f0 00f0 e0cd88ec") + example);
    EXPECT_EQ(Codec::envelope(example, 0x0102030405060708).mid(4, 8), hex("0102030405060708"));
}

TEST(MarketFrameCodec, PacketBoundaries) {
    const QByteArray run129 = hex("1111").repeated(129);
    // The frame's first pixels, the pixel after them, and how the packed frame starts.
    const std::tuple<QByteArray, const char*, const char*> cases[] = {
        {hex("0001 0001 abcd 0001"), "0001", "810001 00abcd ff0001"},       // a single odd pixel
        {run129 + hex("2222 2222"), "3333", "ff1111 001111 812222 ff3333"}, // the 129th before a run
        {run129 + hex("2222"), "3333", "ff1111 0111112222 ff3333"},         // the 129th in a literal
        {hex("0001 0002 0003 0003"), "0004", "0100010002 810003 ff0004"},   // a literal before a run
    };
    for (const auto& [head, fill, start] : cases)
        EXPECT_EQ(Codec::packRGB565(frameOf(head, fill)).left(hex(start).size()), hex(start)) << start;
    // The frame's last pixel may end a literal on its own.
    EXPECT_EQ(Codec::packRGB565(frameOf({}, "0000").chopped(1) + '\x01').right(6), hex("fe0000 000001"));
}

TEST(MarketFrameCodec, OnlyWholeFramesArePacked) {
    for (int size : {0, 2, Codec::rawFrameBytes - 1, Codec::rawFrameBytes + 2})
        EXPECT_TRUE(Codec::packRGB565(QByteArray(size, 0)).isEmpty()) << size;
    EXPECT_TRUE(Codec::envelope({}, 7).isEmpty());
}

} // namespace
