// The Petdex catalogue: the manifest document, and a downloaded sprite sheet decoded as the
// service decodes it, then built into the GIF of one animation state. The first byte picks
// manifest or sheet and the state, the next two the GIF's size; the rest is the body. Decoded
// images are kept small (Qt's allocation limit) so that one run stays fast.
#include "pets/PetdexService.h"
#include "tools/fuzz/FuzzInput.h"

#include <QImageReader>

using namespace glimmet;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startOffscreenApplication();
    QImageReader::setAllocationLimit(2); // MB
    // The image plugins warn about every broken file; writing that out would be most of a run.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader input(data, size);
    const uint8_t choice = input.byte();
    const int targetW = 1 + input.byte() % 128;
    const int targetH = 1 + input.byte() % 128;
    const QByteArray body = input.rest();
    if (choice % 2 == 0) {
        (void)PetdexService::parseManifest(body);
        return 0;
    }
    const QImage image = QImage::fromData(body);
    if (image.isNull())
        return 0;
    const QImage sheet = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const PetdexAnimState& state = PetdexService::states[choice / 2 % PetdexService::states.size()];
    if (const auto gif = PetdexService::buildGif(sheet, state, targetW, targetH)) {
        // The GIF reads back at the size it was built for.
        if (QImage::fromData(*gif).size() != QSize(targetW, targetH))
            std::abort();
    }
    return 0;
}
