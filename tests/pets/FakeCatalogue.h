#pragma once

#include "common/Endpoints.h"
#include "support/FakeHttpServer.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>

namespace glimmet::test {

// The colour of the opaque square in the middle of sheet cell (column, row).
inline QRgb cellColour(int column, int row) {
    return qRgb(40 + 25 * column, 25 * row, 200);
}

// A transparent WebP sprite sheet of `size` with one coloured square in each cell.
inline QByteArray webpSheet(QSize size) {
    QImage sheet(size, QImage::Format_ARGB32);
    sheet.fill(Qt::transparent);
    QPainter painter(&sheet);
    for (int row = 0; row * 208 < size.height(); ++row) {
        for (int column = 0; column * 192 < size.width(); ++column)
            painter.fillRect(column * 192 + 56, row * 208 + 64, 80, 80, QColor(cellColour(column, row)));
    }
    painter.end();
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    sheet.save(&out, "webp", 100);
    return out.data();
}

// A Petdex catalogue on a loopback server, with the petdex endpoint pointed at it. Each
// pet's sheet is served at /sheets/<slug>.webp; `manifestPets` is the JSON array's text.
struct FakeCatalogue {
    explicit FakeCatalogue(const QByteArray& manifestPets) {
        QByteArray manifest = "{\"pets\":" + manifestPets + "}";
        server.setJson("/manifests/petdex-v1.json",
                       manifest.replace("SHEETS", server.baseUrl().toUtf8() + "/sheets"));
        Endpoints::setOverride(Endpoint::Petdex, server.baseUrl());
    }
    void setSheet(const QString& slug, const QByteArray& bytes, int delayMs = 0) {
        server.setResponse("/sheets/" + slug + ".webp", {200, bytes, {}, delayMs});
    }

    FakeHttpServer server;
};

} // namespace glimmet::test
