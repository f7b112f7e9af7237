#include "common/Json.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace glimmet;

namespace {

TEST(Json, Number) {
    const struct {
        QJsonValue value;
        std::optional<double> expected;
    } cases[] = {
        {42.5, 42.5},
        {QString("42.5"), 42.5},
        {QString("-3"), -3},
        {QString("+7"), 7},
        {QString("1e3"), 1000},
        {QString(".5"), 0.5},
        {QString("42%"), std::nullopt},
        {QString(" 1"), std::nullopt},
        {QString("1 "), std::nullopt},
        {QString(""), std::nullopt},
        {QString("+-1"), std::nullopt},
        {QString("inf"), std::nullopt},
        {QString("nan"), std::nullopt},
        {QString("1e999"), std::nullopt},
        {QString("0x10"), std::nullopt},
        {true, std::nullopt},
        {QJsonValue(), std::nullopt},
        {QJsonArray{1}, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(number(c.value), c.expected) << QJsonDocument(QJsonArray{c.value}).toJson().constData();
}

TEST(Json, TruncatedIntegerSaturates) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    const struct {
        double value;
        std::optional<std::int64_t> expected;
    } cases[] = {
        {2.9, 2},
        {-2.9, -2},
        {0, 0},
        {1e30, max},
        {-1e30, min},
        {INFINITY, max},
        {-INFINITY, min},
        {std::nan(""), std::nullopt},
        {9223372036854775807.0, max},
        {-9223372036854775808.0, min},
    };
    for (const auto& c : cases)
        EXPECT_EQ(truncatedInteger(c.value), c.expected) << c.value;
    EXPECT_EQ(integer(QString("12.7")), 12);
    EXPECT_EQ(integer(QString("x")), std::nullopt);
}

TEST(Json, StringAndObject) {
    EXPECT_EQ(string(QString("a")), "a");
    EXPECT_EQ(string(1), std::nullopt);
    EXPECT_TRUE(parseObject("{\"a\":1}").has_value());
    EXPECT_FALSE(parseObject("[1]").has_value());
    EXPECT_FALSE(parseObject("{\"a\":").has_value());
    EXPECT_FALSE(parseObject("").has_value());
}

} // namespace
