#include "pets/PetdexService.h"
#include "pets/FakeCatalogue.h"

#include <QImageReader>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

TEST(PetdexManifest, KeepsCompletePetsWithDefaults) {
    const struct {
        const char* json;
        const char* pets; // "slug|displayName|kind|sheet" per pet, joined by ";"
    } rows[] = {
        {R"({"pets":[{"slug":"a","spritesheetUrl":"u"}]})", "a|a||u"},
        {R"({"pets":[{"slug":"b","displayName":"B","kind":"cat","spritesheetUrl":"u","x":1},
           {"displayName":"no slug","spritesheetUrl":"u"},{"slug":"no sheet"},"pet",[],
           {"slug":"c","displayName":5,"kind":null,"spritesheetUrl":"v"}],"name":"petdex"})",
         "b|B|cat|u;c|c||v"},
        {R"([{"slug":"a","spritesheetUrl":"u"}])", "error 1"},
        {R"({"pet":[]})", "error 1"},
        {R"({"pets":{}})", "error 1"},
    };
    for (const auto& row : rows) {
        const Result<QList<PetdexPet>> pets = PetdexService::parseManifest(row.json);
        QStringList found;
        for (const PetdexPet& pet : pets.value_or(QList<PetdexPet>()))
            found << QStringList{pet.slug, pet.displayName, pet.kind, pet.spritesheetUrl}.join('|');
        EXPECT_EQ(pets ? found.join(';') : "error " + QString::number(pets.error().code), row.pets)
            << row.json;
    }
}

TEST(PetGif, OneFramePerCellOnBlackLoopingWithTheStateTiming) {
    const QImage sheet = QImage::fromData(webpSheet({1536, 1872}));
    const QImage oneCell = QImage::fromData(webpSheet({192, 208}));
    const struct {
        const QImage& sheet;
        PetdexAnimState state;
        int width;
        int frames;
        int delayMs; // GIF delays are whole hundredths
    } rows[] = {
        {sheet, *PetdexService::state("waving"), 111, 4, 180},
        {sheet, *PetdexService::state("running"), 120, 6, 140},
        {sheet, {"long", "", 8, 12, 300}, 120, 8, 50},
        {oneCell, *PetdexService::state("waving"), 111, 0, 0}, // no cell there: no GIF
        {oneCell, {"none", "", 0, 0, 700}, 111, 0, 0},
    };
    for (const auto& row : rows) {
        const std::optional<QByteArray> built = PetdexService::buildGif(row.sheet, row.state, row.width, 120);
        EXPECT_EQ(built.has_value(), row.frames > 0);
        QByteArray gif = built.value_or("");
        QBuffer buffer(&gif);
        QImageReader reader(&buffer, "gif");
        EXPECT_EQ(reader.imageCount(), row.frames) << row.state.id.toStdString();
        EXPECT_EQ(reader.loopCount(), row.frames ? -1 : 0); // -1: for ever
        for (int i = 0; i < row.frames; ++i) {
            const QImage frame = reader.read();
            EXPECT_EQ(reader.nextImageDelay(), row.delayMs);
            EXPECT_EQ(frame.size(), QSize(row.width, 120));
            EXPECT_EQ(frame.pixel(row.width / 2, 60), qRgb(40 + 25 * i, 25 * row.state.row, 200)) << i;
            EXPECT_EQ(frame.pixel(0, 0) | frame.pixel(row.width - 1, 119), qRgb(0, 0, 0)); // both black
        }
    }
}

} // namespace
