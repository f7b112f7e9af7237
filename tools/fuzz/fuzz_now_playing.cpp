// What a media player reports: title, artist and album text, position figures and the
// artwork bytes, applied to the now-playing monitor and served as its document and bitmaps.
#include "monitors/NowPlayingMonitor.h"
#include "tools/fuzz/FuzzInput.h"

using namespace glimmet;

namespace {

class NoSource final : public NowPlayingSource {
public:
    std::optional<NowPlayingInfo> probe() override { return std::nullopt; }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startOffscreenApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Never destroyed: nothing of it may run while exit() tears the process down.
    static const auto& monitor =
        *new std::shared_ptr(std::make_shared<NowPlayingMonitor>(std::make_shared<NoSource>()));
    fuzz::InputReader input(data, size);
    NowPlayingInfo info;
    info.playing = input.byte() & 1;
    info.elapsed = input.number() - 1000;
    info.duration = input.number();
    info.title = QString::fromUtf8(input.piece());
    info.artist = QString::fromUtf8(input.piece());
    info.album = QString::fromUtf8(input.piece());
    info.artwork = input.rest();
    monitor->apply(info);
    (void)monitor->jsonData();
    const QByteArray cover = monitor->coverRGB565();
    if (!cover.isEmpty() && cover.size() != NowPlayingMonitor::coverW * NowPlayingMonitor::coverH * 2)
        std::abort();
    return 0;
}
