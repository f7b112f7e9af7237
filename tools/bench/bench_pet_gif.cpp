// Building one clock GIF from a decoded 1536 x 1872 Petdex sheet: the work behind every
// preview and upload of the pet picker.
#include "BenchMain.h"
#include "pets/PetdexService.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QPainter>
#include <QRadialGradient>

#include <benchmark/benchmark.h>

using namespace glimmet;

namespace {

// A sheet whose pets are shaded discs on transparency: far more than 256 colours per frame,
// so every frame goes through the quantiser, as real artwork does. Encoded as WebP and
// decoded again, as the picker receives it.
QImage decodedSheet() {
    QImage sheet(1536, 1872, QImage::Format_ARGB32);
    sheet.fill(Qt::transparent);
    QPainter painter(&sheet);
    painter.setRenderHint(QPainter::Antialiasing);
    for (int row = 0; row < 9; ++row) {
        for (int column = 0; column < 8; ++column) {
            const QPointF centre(column * 192 + 96 + column * 3, row * 208 + 110);
            QRadialGradient shade(centre, 80, centre - QPointF(30, 30));
            shade.setColorAt(0, QColor::fromHsv((row * 40 + column * 5) % 360, 60, 255));
            shade.setColorAt(1, QColor::fromHsv((row * 40 + column * 5 + 90) % 360, 255, 90));
            painter.setBrush(shade);
            painter.setPen(QPen(Qt::black, 3));
            painter.drawEllipse(centre, 78, 88);
        }
    }
    painter.end();
    QBuffer webp;
    webp.open(QIODevice::WriteOnly);
    sheet.save(&webp, "webp", 90);
    return QImage::fromData(webp.data()).convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

void buildGif(benchmark::State& state) {
    static const QImage sheet = decodedSheet();
    const PetdexAnimState animation = PetdexService::states[size_t(state.range(0))];
    const int width = int(state.range(1));
    qint64 bytes = 0;
    for (auto _ : state) {
        std::optional<QByteArray> gif = PetdexService::buildGif(sheet, animation, width, 120);
        bytes = gif ? gif->size() : -1;
        benchmark::DoNotOptimize(gif);
    }
    state.SetLabel(animation.id.toStdString() + ", " + std::to_string(bytes) + " bytes");
}
// "running" (6 frames) for the Claude size, "running-right" (8 frames, the most) for Codex.
BENCHMARK(buildGif)
    ->Args({7, 111})
    ->Args({1, 120})
    ->ArgNames({"state", "width"})
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return glimmet::bench::runBenchmarks<QGuiApplication>(argc, argv);
}
