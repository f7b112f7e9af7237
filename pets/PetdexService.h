#pragma once

#include "common/Error.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>
#include <QUrl>

#include <array>
#include <functional>
#include <optional>

namespace glimmet {

// One pet of the Petdex catalogue.
struct PetdexPet {
    QString slug;
    QString displayName;
    QString kind;
    QString spritesheetUrl;

    bool operator==(const PetdexPet&) const = default;
};

// One animation of a sprite sheet: its row of cells, how many frames it has and how long one
// full cycle lasts.
struct PetdexAnimState {
    QString id;
    QString label;
    int row = 0;
    int frames = 0;
    int durationMs = 0;
};

// The client of the Petdex pet catalogue: loads the manifest (cached for the process once it
// loaded), downloads and decodes sprite sheets, and builds clock GIFs from them. Class-level
// only; operations start on the main thread and complete there, while parsing and decoding
// run on the thread pool.
class PetdexService {
public:
    PetdexService() = delete;

    // A sheet is a grid of cells this large; row r holds the animation whose row is r.
    static constexpr int cellWidth = 192;
    static constexpr int cellHeight = 208;

    static const std::array<PetdexAnimState, 9> states;
    // The state with this id, if there is one.
    static std::optional<PetdexAnimState> state(const QString& id);

    static QUrl manifestURL();

    // Synchronous when the catalogue is cached; otherwise completes later on the main thread.
    static void loadManifest(std::function<void(Result<QList<PetdexPet>>)> completion);
    // Completes on the main thread (at once for an invalid address) with the decoded sheet.
    static void downloadSpritesheet(const PetdexPet& pet, std::function<void(Result<QImage>)> completion);
    // One state of a decoded sheet as a looping GIF of targetW x targetH on black; none when
    // the state has no frames or its first cell lies outside the sheet. Thread-safe; takes a
    // few milliseconds, so keep it off the main thread.
    static std::optional<QByteArray> buildGif(const QImage& sheet, const PetdexAnimState& state, int targetW,
                                              int targetH);

    // The pets of a manifest document, in its order (pure; exposed for tests).
    static Result<QList<PetdexPet>> parseManifest(const QByteArray& json);
    // The catalogue of the first successful load (main thread only).
    static const std::optional<QList<PetdexPet>>& cachedPets() { return _cachedPets; }

private:
    static inline std::optional<QList<PetdexPet>> _cachedPets;
};

} // namespace glimmet
