#pragma once

#include "common/Endpoints.h"
#include "support/FakeHttpServer.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>

namespace glimmet::test {

// A transparent WebP sprite sheet of `size` with a square in the middle of each cell, coloured
// (40 + 25 * column, 25 * row, 200).
inline QByteArray webpSheet(QSize size) {
    QImage sheet(size, QImage::Format_ARGB32);
    sheet.fill(Qt::transparent);
    QPainter painter(&sheet);
    for (int x = 0; x < size.width(); x += 192) {
        for (int y = 0; y < size.height(); y += 208)
            painter.fillRect(x + 56, y + 64, 80, 80, QColor(40 + 25 * x / 192, 25 * y / 208, 200));
    }
    painter.end();
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    sheet.save(&out, "webp", 100);
    return out.data();
}

// A Petdex catalogue on a loopback server, the petdex endpoint pointed at it: the manifest's
// "pets" array is `pets` with SHEETS standing for the server's "/sheets" folder.
struct FakeCatalogue {
    explicit FakeCatalogue(QByteArray pets) {
        server.setJson("/manifests/petdex-v1.json",
                       "{\"pets\":" + pets.replace("SHEETS", server.baseUrl().toUtf8() + "/sheets") + "}");
        Endpoints::setOverride(Endpoint::Petdex, server.baseUrl());
    }
    void setSheet(const QString& slug, const QByteArray& bytes, int delayMs = 0) {
        server.setResponse("/sheets/" + slug + ".webp", {200, bytes, {}, delayMs});
    }

    FakeHttpServer server;
};

} // namespace glimmet::test
