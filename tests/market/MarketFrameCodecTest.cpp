#include "market/MarketFrameCodec.h"

#include <QList>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <optional>

using namespace glimmet;

namespace {

constexpr int pixels = MarketFrameCodec::pixelCount;

// The clock's reader: a header byte, then one pixel to repeat or a run of literal pixels.
// Absent when the packets do not add up to exactly one frame.
std::optional<QByteArray> unpack(const QByteArray& packed) {
    QByteArray frame;
    qsizetype at = 0;
    while (at < packed.size()) {
        const auto header = quint8(packed[at++]);
        const int count = (header & 0x7F) + 1;
        const qsizetype dataBytes = header >= 0x80 ? 2 : 2 * count;
        if (packed.size() - at < dataBytes || frame.size() + 2 * count > MarketFrameCodec::rawFrameBytes)
            return std::nullopt;
        if (header >= 0x80) {
            for (int i = 0; i < count; ++i)
                frame.append(packed.constData() + at, 2);
        } else {
            frame.append(packed.constData() + at, dataBytes);
        }
        at += dataBytes;
    }
    if (frame.size() != MarketFrameCodec::rawFrameBytes)
        return std::nullopt;
    return frame;
}

QByteArray frameOf(const QList<quint16>& head, quint16 fill) {
    QByteArray frame;
    for (int i = 0; i < pixels; ++i) {
        const quint16 p = i < head.size() ? head[i] : fill;
        frame.append(char(p >> 8));
        frame.append(char(p & 0xFF));
    }
    return frame;
}

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

TEST(MarketFrameCodec, AllBlackFrameIsFourHundredFiftyFullRuns) {
    const QByteArray packed = MarketFrameCodec::packRGB565(QByteArray(MarketFrameCodec::rawFrameBytes, 0));
    ASSERT_EQ(packed.size(), 1350);
    for (int i = 0; i < 450; ++i)
        ASSERT_EQ(packed.mid(3 * i, 3), bytes({0xFF, 0, 0})) << i;
}

TEST(MarketFrameCodec, AlternatingPixelsAreFullLiteralsLargerThanTheFrame) {
    QByteArray frame;
    for (int i = 0; i < pixels; ++i)
        frame.append(i % 2 ? bytes({0x12, 0x34}) : bytes({0x12, 0x35}));
    const QByteArray packed = MarketFrameCodec::packRGB565(frame);
    ASSERT_EQ(packed.size(), 115650);
    for (int i = 0; i < 450; ++i) {
        ASSERT_EQ(quint8(packed[i * 257]), 0x7F) << i;
        ASSERT_EQ(packed.mid(i * 257 + 1, 256), frame.mid(i * 256, 256)) << i;
    }
}

TEST(MarketFrameCodec, DocumentedFramePacksAndWrapsByteForByte) {
    const QByteArray frame = frameOf({0x0000, 0x0000, 0x0000, 0xF800, 0x07E0, 0x07E0, 0x001F}, 0xFFFF);
    const QByteArray packed = MarketFrameCodec::packRGB565(frame);
    ASSERT_EQ(packed.size(), 1362);
    EXPECT_EQ(packed.left(12),
              bytes({0x82, 0x00, 0x00, 0x00, 0xF8, 0x00, 0x81, 0x07, 0xE0, 0x00, 0x00, 0x1F}));
    for (int i = 0; i < 449; ++i)
        ASSERT_EQ(packed.mid(12 + 3 * i, 3), bytes({0xFF, 0xFF, 0xFF})) << i;
    EXPECT_EQ(packed.right(3), bytes({0xF8, 0xFF, 0xFF}));
    EXPECT_EQ(MarketFrameCodec::crc32(packed), 0xE0CD88ECu);

    const QByteArray envelope = MarketFrameCodec::envelope(packed, 2);
    ASSERT_EQ(envelope.size(), 1382);
    EXPECT_EQ(envelope.left(20), bytes({0x4D, 0x4B, 0x54, 0x31, 0,    0,    0,    0,    0,    0,
                                        0,    2,    0x00, 0xF0, 0x00, 0xF0, 0xE0, 0xCD, 0x88, 0xEC}));
    EXPECT_EQ(envelope.mid(20), packed);
}

TEST(MarketFrameCodec, PacketBoundaries) {
    const struct {
        const char* name;
        QList<quint16> head;
        quint16 fill;
        QByteArray start;
    } cases[] = {
        // A lone odd pixel between runs is a literal of one.
        {"single odd pixel",
         {0x0001, 0x0001, 0xABCD, 0x0001},
         0x0001,
         bytes({0x81, 0x00, 0x01, 0x00, 0xAB, 0xCD, 0xFF, 0x00, 0x01})},
        // 129 equal pixels: a full run, then the 129th joins the run that follows it...
        {"run of 129 then a run", QList<quint16>(129, 0x1111) + QList<quint16>{0x2222, 0x2222}, 0x3333,
         bytes({0xFF, 0x11, 0x11, 0x00, 0x11, 0x11, 0x81, 0x22, 0x22})},
        // ...or is a literal start when nothing equal follows it.
        {"run of 129 then a literal", QList<quint16>(129, 0x1111) + QList<quint16>{0x2222, 0x3333, 0x3333},
         0x3333, bytes({0xFF, 0x11, 0x11, 0x01, 0x11, 0x11, 0x22, 0x22, 0xFF, 0x33, 0x33})},
        // A literal stops before two equal neighbours and never holds more than 128 pixels.
        {"literal before a run",
         {0x0001, 0x0002, 0x0003, 0x0003},
         0x0004,
         bytes({0x01, 0x00, 0x01, 0x00, 0x02, 0x81, 0x00, 0x03, 0xFF, 0x00, 0x04})},
    };
    for (const auto& c : cases) {
        const QByteArray frame = frameOf(c.head, c.fill);
        const QByteArray packed = MarketFrameCodec::packRGB565(frame);
        EXPECT_EQ(packed.left(c.start.size()).toHex(' '), c.start.toHex(' ')) << c.name;
        EXPECT_EQ(unpack(packed), frame) << c.name;
    }

    // The last pixel of the frame may end a literal on its own.
    QByteArray frame = frameOf({}, 0x0000);
    frame[frame.size() - 1] = 1;
    EXPECT_EQ(MarketFrameCodec::packRGB565(frame).right(6), bytes({0xFE, 0, 0, 0x00, 0x00, 0x01}));
}

TEST(MarketFrameCodec, OnlyWholeFramesArePacked) {
    for (int size : {0, 2, MarketFrameCodec::rawFrameBytes - 1, MarketFrameCodec::rawFrameBytes + 1,
                     MarketFrameCodec::rawFrameBytes + 2}) {
        EXPECT_TRUE(MarketFrameCodec::packRGB565(QByteArray(size, 0)).isEmpty()) << size;
    }
    EXPECT_TRUE(MarketFrameCodec::envelope({}, 7).isEmpty());
}

TEST(MarketFrameCodec, Crc32IsTheZlibChecksum) {
    EXPECT_EQ(MarketFrameCodec::crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(MarketFrameCodec::crc32({}), 0u);
    EXPECT_EQ(MarketFrameCodec::crc32("a"), 0xE8B7BE43u);
}

TEST(MarketFrameCodec, EnvelopeCarriesTheWholeVersionBigEndian) {
    const QByteArray packed("\x00\x12\x34", 3);
    const quint32 crc = MarketFrameCodec::crc32(packed);
    const QByteArray expected = bytes({'M',
                                       'K',
                                       'T',
                                       '1',
                                       0x01,
                                       0x02,
                                       0x03,
                                       0x04,
                                       0x05,
                                       0x06,
                                       0x07,
                                       0x08,
                                       0x00,
                                       0xF0,
                                       0x00,
                                       0xF0,
                                       int(crc >> 24),
                                       int(crc >> 16 & 0xFF),
                                       int(crc >> 8 & 0xFF),
                                       int(crc & 0xFF)}) +
                                packed;
    EXPECT_EQ(MarketFrameCodec::envelope(packed, 0x0102030405060708ull), expected);
}

TEST(MarketFrameCodec, UnpackingGivesTheFrameBack) {
    QRandomGenerator random(20260714);
    for (int round = 0; round < 20; ++round) {
        // Few colours and long stretches, so runs, literals and their limits all occur.
        const int colours = 1 + round % 5;
        QByteArray frame;
        quint16 pixel = 0;
        for (int i = 0; i < pixels; ++i) {
            if (random.bounded(round % 4 == 0 ? 2 : 150) == 0 || i == 0)
                pixel = quint16(random.bounded(colours) * 0x1357);
            frame.append(char(pixel >> 8));
            frame.append(char(pixel & 0xFF));
        }
        const QByteArray packed = MarketFrameCodec::packRGB565(frame);
        ASSERT_EQ(unpack(packed), frame) << "round " << round;
    }
}

} // namespace
