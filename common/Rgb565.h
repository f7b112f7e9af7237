#pragma once

#include <QByteArray>
#include <QImage>

namespace glimmet {

// The clock's pixel format: 16-bit (R >> 3) << 11 | (G >> 2) << 5 | (B >> 3), high byte
// first, rows top to bottom, no header. Channels are truncated, never rounded; alpha is
// ignored (a premultiplied pixel contributes its stored colour bytes).
QByteArray toRgb565(const QImage& image);

} // namespace glimmet
