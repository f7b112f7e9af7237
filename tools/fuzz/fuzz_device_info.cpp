// What the clock reports of its state: an "api/info" document, and the lines of the serial
// link, whose "#DEVICE" payload becomes the wired record. The lines are cut as the link cuts
// them (at '\n') and read by the link's own line parser.
#include "device/DeviceClient.h"
#include "device/DeviceInfo.h"
#include "device/SerialLink.h"
#include "tools/fuzz/FuzzInput.h"

#include <QJsonDocument>

using namespace glimmet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input = fuzz::bytes(data, size);
    // Every JSON object is a state (its odd keys take their defaults), and nothing else is.
    if (decodeInfo(input).has_value() != QJsonDocument::fromJson(input).isObject())
        std::abort();
    for (const QByteArray& bytes : input.split('\n')) {
        const auto line = SerialLink::parseDeviceLine(bytes);
        if (!line)
            continue;
        // A trimmed "#DEVICE" line, which ends with its state document.
        if (!line->text.startsWith(QLatin1String("#DEVICE")) || line->text != line->text.trimmed() ||
            !line->text.endsWith(QString::fromUtf8(line->info)))
            std::abort();
        if (!line->info.isEmpty())
            DeviceClient::acceptWiredInfo(line->info);
    }
    return 0;
}
