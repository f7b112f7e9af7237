#include "device/DeviceClient.h"
#include "common/Settings.h"
#include "device/Await.h"
#include "support/FakeHttpServer.h"
#include "support/TempHome.h"

#include <QRegularExpression>
#include <QTcpServer>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

TEST(DecodeInfo, DefaultsAndTypes) {
    const struct {
        QByteArray json;
        std::function<bool(const DeviceInfo&)> check;
    } cases[] = {
        {R"({"mode":"clock","pet_scale":50,"sprite_w":100})",
         [](const DeviceInfo& i) {
             return i.effective == u"clock" && i.spriteDisplayW == 50 && i.spriteDisplayH == 60 &&
                    i.claudeDisplayW == 94 && i.codexDisplayH == 102 && i.lastUpdateS == -1 &&
                    i.brightness == 100;
         }},
        {R"({"pet_scale":25,"sprite_w":2})", [](const DeviceInfo& i) { return i.spriteDisplayW == 1; }},
        {R"({"last_update_s":12.9})", [](const DeviceInfo& i) { return i.lastUpdateS == 12; }},
        {R"({"last_update_s":"12.9","mode":7})", [](const DeviceInfo& i) { return i == DeviceInfo{}; }},
        {R"({"claude":{"w":200,"custom_sprite":1},"codex":[1],"wired":true})",
         [](const DeviceInfo& i) {
             return i.claudeDisplayW == 170 && i.claudeCustomSprite && i.codexW == 120 && i.wired;
         }},
    };
    for (const auto& c : cases) {
        const auto info = decodeInfo(c.json);
        ASSERT_TRUE(info) << c.json.constData();
        EXPECT_TRUE(c.check(*info)) << c.json.constData();
    }
    for (const QByteArray bad : {"", "[1]", "\"x\"", "{bad"})
        EXPECT_FALSE(decodeInfo(bad)) << bad.constData();
}

TEST(DeviceClientAddress, BaseUrlFromSetting) {
    TempHome home;
    const struct {
        QString stored;
        QString base; // empty: none
    } cases[] = {
        {" 192.168.4.7 \n", "http://192.168.4.7"},
        {"https://192.168.4.7", "https://192.168.4.7"},
        {"10.0.0.2:8080", "http://10.0.0.2:8080"},
        {"", ""},
        {" \t\n", ""},
        {"http://[bad", ""},
    };
    for (const auto& c : cases) {
        Settings::setDeviceHost(c.stored);
        const auto base = DeviceClient::baseURL();
        EXPECT_EQ(base ? base->toString() : QString(), c.base) << c.stored.toStdString();
    }
}

TEST(DeviceClientWire, FormEncoding) {
    const struct {
        QMap<QString, QString> fields;
        QByteArray body;
    } cases[] = {
        {{{"host", "10.99.0.2:8765"}}, "host=10.99.0.2%3A8765"},
        {{{"scale", "85"}, {"preset", "border-collie"}}, "preset=border-collie&scale=85"},
        {{{"mode", "a b&c=d/é~_."}}, "mode=a%20b%26c%3Dd%2Fé~_."},
        {{{"t", "中文!"}}, "t=中文%21"},
        {{}, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DeviceClient::formBody(c.fields), c.body);
}

class DeviceClientHttpTest : public testing::Test {
protected:
    TempHome home;
    FakeHttpServer clock;
    void SetUp() override {
        Settings::setDeviceHost(clock.baseUrl());
        for (const char* path : {"/api/brightness", "/api/bridge", "/sprite/codex/reset", "/sprite/codex"})
            clock.setResponse(path, {204});
    }

    std::optional<Error> set(const std::function<void(DeviceClient::Completion)>& operation) {
        std::optional<std::optional<Error>> result;
        operation([&](std::optional<Error> error) { result = error; });
        EXPECT_TRUE(await(result));
        return result.value_or(std::nullopt);
    }
    Result<DeviceInfo> info() {
        std::optional<Result<DeviceInfo>> result;
        DeviceClient::fetchInfo([&](Result<DeviceInfo> r) { result = std::move(r); });
        EXPECT_TRUE(await(result));
        return result.value_or(std::unexpected(Error{}));
    }
};

TEST_F(DeviceClientHttpTest, SettingsArePostedAsForms) {
    clock.setResponse("/api/display", {500, "busy"});
    EXPECT_EQ(set([](auto done) { DeviceClient::setBrightness(40, done); }), std::nullopt);
    EXPECT_EQ(set([](auto done) { DeviceClient::setBridgeHost("10.99.0.2:8765", done); }), std::nullopt);
    EXPECT_EQ(set([](auto done) { DeviceClient::resetSprite("codex", done); }), std::nullopt);
    const auto failed = set([](auto done) { DeviceClient::setDisplayMode("net", done); });
    EXPECT_EQ(failed, DeviceClient::httpStatusError(500, "busy"));
    EXPECT_EQ(failed->description, QStringLiteral("设备返回 HTTP 500 busy"));

    const struct {
        QString path;
        QByteArray body;
    } expected[] = {{"/api/brightness", "level=40"},
                    {"/api/bridge", "host=10.99.0.2%3A8765"},
                    {"/sprite/codex/reset", ""},
                    {"/api/display", "mode=net"}};
    const auto requests = clock.requests();
    ASSERT_EQ(requests.size(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(requests[i].method, "POST");
        EXPECT_EQ(requests[i].path, expected[i].path);
        EXPECT_EQ(requests[i].body, expected[i].body);
        EXPECT_EQ(requests[i].header("Content-Type"), "application/x-www-form-urlencoded");
    }
}

TEST_F(DeviceClientHttpTest, WithoutAddressFailsAtOnce) {
    Settings::setDeviceHost("  ");
    std::optional<Error> error;
    DeviceClient::setPetAppearance("classic", 85, [&](std::optional<Error> e) { error = e; });
    EXPECT_EQ(error, DeviceClient::noHostError());
    std::optional<Result<QByteArray>> sprite;
    DeviceClient::fetchSpriteRaw("claude", [&](Result<QByteArray> r) { sprite = r; });
    ASSERT_TRUE(sprite);
    EXPECT_EQ(sprite->error(), DeviceClient::noHostError());
    EXPECT_EQ(info().error(), DeviceClient::noHostError());
}

TEST_F(DeviceClientHttpTest, InfoPreferenceOrder) {
    clock.setJson("/api/info", R"({"mode":"btc","sprite_rev":3})", 500);
    const auto decoded = info();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->mode, "btc");
    clock.setJson("/api/info", "<html>");
    EXPECT_EQ(info().error(), DeviceClient::badResponseError());
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    Settings::setDeviceHost("127.0.0.1:" + QString::number(closed.serverPort()));
    closed.close();
    EXPECT_EQ(info().error().domain, "HttpClient");
}

TEST_F(DeviceClientHttpTest, SpriteDownloadAndUpload) {
    std::optional<Result<QByteArray>> sprite;
    const auto fetch = [&](FakeResponse answer) {
        clock.setResponse("/sprite/claude/raw", answer);
        sprite.reset();
        DeviceClient::fetchSpriteRaw("claude", [&](Result<QByteArray> r) { sprite = r; });
        EXPECT_TRUE(await(sprite));
    };
    fetch({200, "\x01"});
    EXPECT_EQ(sprite->error(), DeviceClient::badResponseError());
    fetch({201, "\x01\x02\x03"});
    EXPECT_EQ(sprite->error(), DeviceClient::badResponseError());
    fetch({200, "\x01\x02"});
    EXPECT_EQ(sprite->value(), QByteArray("\x01\x02"));

    const QByteArray gif("GIF89a\r\n\0--x", 13);
    EXPECT_EQ(set([&](auto done) { DeviceClient::uploadGif(gif, "codex", done); }), std::nullopt);
    const auto upload = clock.requests("/sprite/codex").value(0);
    const QByteArray type = upload.header("Content-Type");
    const QRegularExpression form(
        "^multipart/form-data; boundary=(glimmet-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12})$");
    const auto match = form.match(QString::fromLatin1(type));
    ASSERT_TRUE(match.hasMatch()) << type.constData();
    const QByteArray boundary = match.captured(1).toLatin1();
    EXPECT_EQ(upload.body, "--" + boundary +
                               "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"pet.gif\"\r\n"
                               "Content-Type: image/gif\r\n\r\n" +
                               gif + "\r\n--" + boundary + "--\r\n");
}

} // namespace
