#pragma once

#include <QFont>

namespace glimmet {

// The face of every text drawn for the clock's screen: DejaVu Sans Mono, with WenQuanYi
// Micro Hei Mono for Chinese, at a size in pixels (the canvases are in pixels).
QFont clockFont(int pixelSize, QFont::Weight weight);

} // namespace glimmet
