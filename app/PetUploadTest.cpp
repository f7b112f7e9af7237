#include "app/PetUploadTest.h"

#include "common/Settings.h"
#include "device/DeviceClient.h"
#include "pets/PetdexService.h"

#include <QCoreApplication>

#include <cstdio>

namespace glimmet {

namespace {

void say(const QString& line) {
    std::fputs((line + u'\n').toUtf8().constData(), stdout);
    std::fflush(stdout);
}

// Prints `line` and ends the event loop with `status`.
void finish(const QString& line, int status) {
    say(line);
    QCoreApplication::exit(status);
}

void uploadPet(const PetdexPet& pet, const QString& agent) {
    say(QStringLiteral("pet: ") + pet.displayName + u' ' + pet.spritesheetUrl);
    PetdexService::downloadSpritesheet(pet, [agent](Result<QImage> sheet) {
        if (!sheet)
            return finish(QStringLiteral("sheet download failed"), 1);
        say(QStringLiteral("sheet: %1x%2").arg(sheet->width()).arg(sheet->height()));
        const int width = agent == u"claude" ? 111 : 120;
        const std::optional<QByteArray> gif =
            PetdexService::buildGif(*sheet, *PetdexService::state(QStringLiteral("running")), width, 120);
        if (!gif)
            return finish(QStringLiteral("gif build failed"), 1);
        say(QStringLiteral("gif: %1 bytes, uploading to %2 slot %3...")
                .arg(gif->size())
                .arg(Settings::deviceHost(), agent));
        DeviceClient::uploadGif(*gif, agent, [](std::optional<Error> error) {
            if (error)
                return finish(QStringLiteral("upload failed: ") + error->description, 1);
            finish(QStringLiteral("upload ok"), 0);
        });
    });
}

} // namespace

int runPetUploadTest(const QStringList& args) {
    const QString slug = args.value(0);
    const QString agent = args.value(1);
    if (args.size() >= 3)
        Settings::setDeviceHost(args.value(2));
    // Every step completes through the event loop, so the first one starts from inside it.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [slug, agent] {
            PetdexService::loadManifest([slug, agent](Result<QList<PetdexPet>> pets) {
                for (const PetdexPet& pet : pets.value_or(QList<PetdexPet>())) {
                    if (pet.slug == slug)
                        return uploadPet(pet, agent);
                }
                finish(QStringLiteral("manifest load failed or slug not found"), 1);
            });
        },
        Qt::QueuedConnection);
    return QCoreApplication::exec();
}

} // namespace glimmet
