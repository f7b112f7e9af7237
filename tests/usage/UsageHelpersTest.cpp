#include "usage/UsageFetcher.h"

#include "support/FakeHttpServer.h"
#include "support/TempHome.h"
#include "usage/UsageTestSupport.h"

#include <QJsonArray>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <limits>

using namespace glimmet;
using namespace glimmet::test;

namespace {

constexpr double now = 1'780'000'000.0; // 2026-05-28T20:26:40Z

TEST(MinutesUntil, WholeMinutesNeverNegative) {
    const struct {
        const char* name;
        QJsonValue value;
        std::optional<std::int64_t> expected;
    } cases[] = {
        {"seconds", now + 90 * 60 + 59, 90},
        {"seconds as a string", QString::number(qint64(now + 600)), 10},
        {"milliseconds", (now + 600) * 1000, 10},
        {"exactly 1e10 stays seconds", 1e10, std::int64_t((1e10 - now) / 60)},
        {"in the past", now - 3600, 0},
        {"ISO", isoAt(now + 120, true), 2},
        {"ISO in the past", isoAt(now - 120), 0},
        {"unparsable string", "tomorrow", std::nullopt},
        {"percent string", "42%", std::nullopt},
        {"bool", true, std::nullopt},
        {"null", QJsonValue(), std::nullopt},
        {"object", QJsonObject{{"at", now}}, std::nullopt},
        {"array", QJsonArray{now}, std::nullopt},
        {"beyond 64 bits", 1e300, std::numeric_limits<std::int64_t>::max()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UsageFetcher::minutesUntil(c.value, now), c.expected) << c.name;
    EXPECT_EQ(UsageFetcher::minutesUntil(QStringLiteral("2026-05-28T21:26:40Z"), now), 60);
    EXPECT_EQ(UsageFetcher::minutesUntil(QStringLiteral("2026-05-28T21:26:40"), now), std::nullopt);
}

TEST(SyncRequest, AnyHttpAnswerIsBodyAndStatusATransportFailureNothing) {
    TempHome home;
    FakeHttpServer fake;
    fake.setJson("/ok", "{\"a\":1}");
    fake.setResponse("/empty", FakeResponse{204, ""});
    fake.setResponse("/limited", FakeResponse{429, "slow down"});
    fake.setResponse("/stalled", FakeResponse{200, "", {}, 0, true});
    const struct {
        const char* path;
        double timeout;
        std::optional<std::pair<QByteArray, int>> expected;
    } cases[] = {
        {"/ok", 5, std::pair<QByteArray, int>{"{\"a\":1}", 200}},
        {"/empty", 5, std::pair<QByteArray, int>{"", 204}},
        {"/limited", 5, std::pair<QByteArray, int>{"slow down", 429}},
        {"/stalled", 0.3, std::nullopt},
    };
    for (const auto& c : cases) {
        HttpRequest request;
        request.url = QUrl(fake.baseUrl() + c.path);
        request.timeout = c.timeout;
        EXPECT_EQ(UsageFetcher::syncRequest(request), c.expected) << c.path;
    }
}

} // namespace
