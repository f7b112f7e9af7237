#include "pets/PetdexService.h"
#include "device/Await.h"
#include "pets/FakeCatalogue.h"

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

// "slug|displayName|kind|sheet" per pet, joined by ";", or "error N".
QString summary(const Result<QList<PetdexPet>>& pets) {
    if (!pets)
        return "error " + QString::number(pets.error().code);
    QStringList out;
    for (const PetdexPet& pet : *pets)
        out << QStringList{pet.slug, pet.displayName, pet.kind, pet.spritesheetUrl}.join('|');
    return out.join(';');
}

TEST(PetdexManifest, KeepsCompletePetsWithDefaults) {
    const struct {
        const char* json;
        const char* pets;
    } rows[] = {
        {R"({"pets":[{"slug":"a","spritesheetUrl":"u"}]})", "a|a||u"},
        {R"({"pets":[{"slug":"b","displayName":"B","kind":"cat","spritesheetUrl":"u","x":1},
           {"displayName":"no slug","spritesheetUrl":"u"},{"slug":"no sheet"},"pet",[],
           {"slug":"c","displayName":5,"kind":null,"spritesheetUrl":"v"}],"name":"petdex"})",
         "b|B|cat|u;c|c||v"},
        {R"({"pets":[]})", ""},
        {R"([{"slug":"a","spritesheetUrl":"u"}])", "error 1"},
        {R"({"pet":[]})", "error 1"},
        {R"({"pets":{}})", "error 1"},
        {"<html>", "error 1"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(summary(PetdexService::parseManifest(row.json)), row.pets) << row.json;
}

TEST(PetdexManifest, OnlyASuccessfulLoadIsCachedAndThenAnsweredAtOnce) {
    FakeCatalogue catalogue("[]");
    catalogue.server.setJson("/manifests/petdex-v1.json", "oops", 500);
    const auto load = [] {
        std::optional<Result<QList<PetdexPet>>> answer;
        PetdexService::loadManifest([&answer](Result<QList<PetdexPet>> pets) { answer = pets; });
        await(answer);
        return summary(answer.value_or(makeError("", -1, "")));
    };
    EXPECT_EQ(load(), "error 1");
    catalogue.server.setJson("/manifests/petdex-v1.json", R"({"pets":[{"slug":"a","spritesheetUrl":"u"}]})");
    EXPECT_EQ(load(), "a|a||u");
    catalogue.server.setJson("/manifests/petdex-v1.json", "{}");
    bool answeredAtOnce = false;
    PetdexService::loadManifest(
        [&](Result<QList<PetdexPet>> pets) { answeredAtOnce = summary(pets) == "a|a||u"; });
    EXPECT_TRUE(answeredAtOnce);
}

TEST(PetdexStates, NineAnimationsInMenuOrder) {
    QStringList states;
    for (const PetdexAnimState& s : PetdexService::states)
        states
            << QStringLiteral("%1 %2 %3 %4 %5").arg(s.id, s.label).arg(s.row).arg(s.frames).arg(s.durationMs);
    EXPECT_EQ(states.join(", "), "idle 待机 Idle 0 6 1100, running-right 右跑 Run Right 1 8 1060, "
                                 "running-left 左跑 Run Left 2 8 1060, waving 挥手 Waving 3 4 700, "
                                 "jumping 跳跃 Jumping 4 5 840, failed 失败 Failed 5 8 1220, "
                                 "waiting 等待 Waiting 6 6 1010, running 原地跑 Running 7 6 820, "
                                 "review 思考 Review 8 6 1030");
}

TEST(PetdexSheets, DownloadDecodesTheSheetOrSaysWhy) {
    FakeCatalogue catalogue("[]");
    catalogue.setSheet("good", webpSheet({1536, 1872}));
    catalogue.setSheet("junk", "<html>busy</html>");
    const QString sheets = catalogue.server.baseUrl() + "/sheets/";
    const struct {
        QString url;
        QString result;
    } rows[] = {
        {sheets + "good.webp", "1536x1872"},
        {sheets + "junk.webp", "3 spritesheet 解码失败（WebP）"},
        {sheets + "missing.webp", "3 spritesheet 解码失败（WebP）"},
        {"not a url", "2 spritesheet 地址无效"},
        {"file:///etc/hostname", "2 spritesheet 地址无效"},
    };
    for (const auto& row : rows) {
        std::optional<Result<QImage>> sheet;
        PetdexService::downloadSpritesheet({"p", "p", "", row.url},
                                           [&sheet](Result<QImage> s) { sheet = s; });
        ASSERT_TRUE(await(sheet)) << row.url.toStdString();
        EXPECT_EQ(*sheet ? QStringLiteral("%1x%2").arg((*sheet)->width()).arg((*sheet)->height())
                         : QString::number(sheet->error().code) + ' ' + sheet->error().description,
                  row.result);
    }
}

} // namespace
