#pragma once

// Shared by the quota suites: the endpoints on a fake server with a credential for each, and
// a fetcher over them.
#include "usage/QuotaEndpoints.h"
#include "usage/UsageFetcher.h"

#include "common/Endpoints.h"
#include "common/Log.h"
#include "support/FakeClock.h"
#include "support/FakeHttpServer.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace glimmet {

// Readable failure output for records compared whole.
inline void PrintTo(const ProviderUsage& u, std::ostream* os) {
    const auto n = [](const auto& v) { return v ? QString::number(*v) : QStringLiteral("-"); };
    *os << QStringList{n(u.primaryPct),     n(u.primaryResetMin),  n(u.weeklyPct),
                       n(u.weeklyResetMin), n(u.fablePct),         n(u.fableResetMin),
                       n(u.fetchedAt),      u.error.value_or("-"), u.rateLimited ? "limited" : ""}
               .join(' ')
               .toStdString();
}

namespace test {

using U = ProviderUsage;
using Fetch = ProviderUsage (*)(const Clock&);

inline constexpr double now = 1'780'000'000.0; // FakeClock's default: 2026-05-28T20:26:40Z
inline const QString claudePath = "/api/oauth/usage", codexPath = "/backend-api/wham/usage",
                     grokPath = "/v1/billing", kimiPath = "/coding/v1/usages";

inline void pointQuotaEndpointsAt(const QString& base) {
    for (Endpoint e : {Endpoint::AnthropicApi, Endpoint::Chatgpt, Endpoint::GrokCliProxy, Endpoint::KimiApi})
        Endpoints::setOverride(e, base);
}

inline U failed(const char* text, bool rateLimited = false) {
    return {.error = QString::fromUtf8(text), .rateLimited = rateLimited};
}

// The headers of `request` as "Name: value" lines in the order sent, without those Qt adds itself.
inline QByteArray sentHeaders(const RecordedRequest& request) {
    QByteArrayList lines;
    for (const auto& [name, value] : request.headers) {
        if (!QByteArrayList{"host", "connection", "accept-encoding", "accept-language"}.contains(
                name.toLower()))
            lines.append(name + ": " + value);
    }
    return lines.join('\n');
}

// The quota endpoints on the fake server, each answering with numbers (Kimi Code 100 ms late, so a
// cycle is still running when a test looks), a credential for each, and a fetcher over them.
class UsageTest : public testing::Test {
protected:
    TempHome home;
    FakeHttpServer fake;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<UsageFetcher> fetcher = std::make_shared<UsageFetcher>(clock);
    int updates = 0;
    bool onMainThread = true; // for every update so far

    void SetUp() override {
        pointQuotaEndpointsAt(fake.baseUrl());
        home.write(".claude/.credentials.json", R"({"claudeAiOauth":{"accessToken":"claude-token"}})");
        home.write(".codex/auth.json", R"({"tokens":{"access_token":"codex-token","account_id":"acct-7"}})");
        home.write(".grok/auth.json", R"({"https://auth.x.ai::me":{"key":"grok-token"}})");
        home.write(".kimi-code/credentials/kimi-code.json", R"({"access_token":"kimi-token"})");
        fake.setJson(claudePath,
                     R"({"five_hour":{"utilization":12.5},"seven_day":{"utilization":30},"limits":[
            {"kind":"weekly_scoped","scope":{"model":{"display_name":"Fable"}},"percent":61}]})");
        fake.setJson(codexPath, R"({"rate_limit":{"secondary":{"used_percent":44,"window_minutes":10080}}})");
        fake.setJson(grokPath, R"({"config":{"creditUsagePercent":7}})");
        fake.setResponse(kimiPath, FakeResponse{200, R"({"usage":{"limit":10,"used":5}})", {}, 100});
        fetcher->setOnUpdate([this] {
            onMainThread &= QThread::currentThread() == QCoreApplication::instance()->thread();
            ++updates;
        });
    }
    void TearDown() override {
        // A cycle still running ends, and its update runs, before the fixture goes.
        QThreadPool::globalInstance()->waitForDone(30000);
        QCoreApplication::processEvents();
    }
    void cycle() {
        const int before = updates;
        ASSERT_TRUE(fetcher->refresh());
        ASSERT_TRUE(waitUntil([&] { return updates == before + 1; }, 15000));
    }
};
using QuotaEndpointsTest = UsageTest;
using UsageFetcherTest = UsageTest;

} // namespace test
} // namespace glimmet
