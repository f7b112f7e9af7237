#include "pets/PetdexService.h"

#include "common/Endpoints.h"
#include "common/HttpClient.h"
#include "common/Json.h"
#include "common/SerialQueue.h"
#include "pets/GifEncoder.h"

#include <QJsonArray>
#include <QPainter>
#include <QThreadPool>

#include <algorithm>
#include <cmath>

namespace glimmet {

namespace {

const QString domain = QStringLiteral("Petdex");

// Limits for what the catalogue host may send: a manifest of a few thousand pets is well
// under a megabyte, a sheet a few hundred kilobytes.
constexpr qint64 maxManifestBytes = 16 * 1024 * 1024;
constexpr qint64 maxSheetBytes = 32 * 1024 * 1024;

// Sheets come from addresses in a remote document: only absolute web addresses are fetched.
bool isSheetAddress(const QUrl& url) {
    return url.isValid() && (url.scheme() == u"https" || url.scheme() == u"http") && !url.host().isEmpty();
}

Result<QImage> decodeSheet(const QByteArray& body) {
    // Qt's reader refuses images whose decoded size exceeds its allocation limit.
    const QImage image = QImage::fromData(body);
    if (image.isNull())
        return makeError(domain, 3, QStringLiteral("spritesheet 解码失败（WebP）"));
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// Runs `work` on the thread pool and hands its result to `completion` on the main thread.
template <class T> void inBackground(std::function<T()> work, std::function<void(T)> completion) {
    QThreadPool::globalInstance()->start([work = std::move(work), completion = std::move(completion)] {
        runOnMain([result = work(), completion] { completion(result); });
    });
}

} // namespace

const std::array<PetdexAnimState, 9> PetdexService::states = {{
    {"idle", "待机 Idle", 0, 6, 1100},
    {"running-right", "右跑 Run Right", 1, 8, 1060},
    {"running-left", "左跑 Run Left", 2, 8, 1060},
    {"waving", "挥手 Waving", 3, 4, 700},
    {"jumping", "跳跃 Jumping", 4, 5, 840},
    {"failed", "失败 Failed", 5, 8, 1220},
    {"waiting", "等待 Waiting", 6, 6, 1010},
    {"running", "原地跑 Running", 7, 6, 820},
    {"review", "思考 Review", 8, 6, 1030},
}};

std::optional<PetdexAnimState> PetdexService::state(const QString& id) {
    const auto found = std::ranges::find(states, id, &PetdexAnimState::id);
    return found == states.end() ? std::nullopt : std::optional(*found);
}

QUrl PetdexService::manifestURL() {
    return Endpoints::url(Endpoint::Petdex, QStringLiteral("/manifests/petdex-v1.json"));
}

Result<QList<PetdexPet>> PetdexService::parseManifest(const QByteArray& json) {
    const std::optional<QJsonObject> document = parseObject(json);
    if (!document || !document->value(u"pets").isArray())
        return makeError(domain, 1, QStringLiteral("petdex manifest 解析失败"));
    QList<PetdexPet> pets;
    for (const QJsonValue& entry : document->value(u"pets").toArray()) {
        const QJsonObject object = entry.toObject();
        const std::optional<QString> slug = string(object.value(u"slug"));
        const std::optional<QString> sheet = string(object.value(u"spritesheetUrl"));
        if (!slug || !sheet)
            continue;
        pets.append({*slug, string(object.value(u"displayName")).value_or(*slug),
                     string(object.value(u"kind")).value_or(QString()), *sheet});
    }
    return pets;
}

void PetdexService::loadManifest(std::function<void(Result<QList<PetdexPet>>)> completion) {
    if (_cachedPets)
        return completion(*_cachedPets);
    HttpRequest request{.url = manifestURL(), .deadline = 30, .maxBodyBytes = maxManifestBytes};
    HttpClient::shared().send(request, nullptr, [completion](HttpResponse response) {
        inBackground<Result<QList<PetdexPet>>>(
            [response] {
                if (response.error)
                    return Result<QList<PetdexPet>>(std::unexpected(*response.error));
                return parseManifest(response.body);
            },
            [completion](Result<QList<PetdexPet>> result) {
                if (result && !_cachedPets)
                    _cachedPets = *result;
                completion(_cachedPets && result ? Result<QList<PetdexPet>>(*_cachedPets) : result);
            });
    });
}

void PetdexService::downloadSpritesheet(const PetdexPet& pet,
                                        std::function<void(Result<QImage>)> completion) {
    const QUrl url(pet.spritesheetUrl, QUrl::StrictMode);
    if (!isSheetAddress(url))
        return completion(makeError(domain, 2, QStringLiteral("spritesheet 地址无效")));
    HttpRequest request{.url = url, .deadline = 60, .maxBodyBytes = maxSheetBytes};
    HttpClient::shared().send(request, nullptr, [completion](HttpResponse response) {
        inBackground<Result<QImage>>(
            [response] {
                if (response.error)
                    return Result<QImage>(std::unexpected(*response.error));
                return decodeSheet(response.body);
            },
            completion);
    });
}

std::optional<QByteArray> PetdexService::buildGif(const QImage& sheet, const PetdexAnimState& state,
                                                  int targetW, int targetH) {
    if (state.frames <= 0 || targetW <= 0 || targetH <= 0 || sheet.isNull())
        return std::nullopt;
    const int count = std::min(state.frames, 8);
    // One loop lasts durationMs; GIF delays are whole hundredths of a second, at least 5.
    const double delay = std::max(5.0, state.durationMs / double(state.frames) / 10.0);

    const double scale = std::min(targetW / double(cellWidth), targetH / double(cellHeight));
    const QRectF box((targetW - cellWidth * scale) / 2, (targetH - cellHeight * scale) / 2, cellWidth * scale,
                     cellHeight * scale);
    QList<QImage> frames;
    for (int i = 0; i < count; ++i) {
        const QRect cell(cellWidth * i, cellHeight * state.row, cellWidth, cellHeight);
        // A cell wholly outside the sheet has no picture; one partly outside keeps its size,
        // the missing part transparent (QImage::copy fills it), so the pet is never stretched.
        if (!sheet.rect().intersects(cell))
            return std::nullopt;
        QImage frame(targetW, targetH, QImage::Format_RGB32);
        frame.fill(Qt::black);
        QPainter painter(&frame);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        // Area-averaged down-scaling first: plain bilinear sampling would drop pixel rows.
        const QImage scaled = sheet.copy(cell).scaled(qRound(box.width()), qRound(box.height()),
                                                      Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        painter.drawImage(box, scaled);
        painter.end();
        frames.append(frame);
    }
    return GifEncoder::encode(frames, int(std::lround(delay)));
}

} // namespace glimmet
