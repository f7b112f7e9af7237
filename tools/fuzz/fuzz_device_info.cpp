// What the clock reports of its state: an "api/info" document, and the lines of the serial
// link, whose "#DEVICE" payload becomes the wired record. The lines are cut and decoded as the
// link cuts them (at '\n', strict UTF-8, trimmed; the payload after the first space).
#include "device/DeviceClient.h"
#include "device/DeviceInfo.h"
#include "tools/fuzz/FuzzInput.h"

#include <QStringDecoder>

using namespace glimmet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input = fuzz::bytes(data, size);
    if (const auto info = decodeInfo(input); info && !(decodeInfo(input) == info))
        std::abort(); // decoding is a pure function of the bytes
    for (const QByteArray& line : input.split('\n')) {
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString text = QString(decoder(line)).trimmed();
        if (decoder.hasError() || !text.startsWith(QLatin1String("#DEVICE")))
            continue;
        if (const qsizetype space = text.indexOf(u' '); space >= 0)
            DeviceClient::acceptWiredInfo(text.mid(space + 1).toUtf8());
    }
    return 0;
}
