// What the clock reports of its state: an "api/info" document, and the lines of the serial
// link, whose "#DEVICE" payload becomes the wired record. The lines are cut and decoded as the
// link cuts them (at '\n') and read by the link's own line parser.
#include "device/DeviceClient.h"
#include "device/DeviceInfo.h"
#include "device/SerialLink.h"
#include "tools/fuzz/FuzzInput.h"

using namespace glimmet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input = fuzz::bytes(data, size);
    if (const auto info = decodeInfo(input); info && !(decodeInfo(input) == info))
        std::abort(); // decoding is a pure function of the bytes
    for (const QByteArray& bytes : input.split('\n')) {
        if (const auto line = SerialLink::parseDeviceLine(bytes); line && !line->info.isEmpty())
            DeviceClient::acceptWiredInfo(line->info);
    }
    return 0;
}
