#include "common/ClockFont.h"

#include <QStringList>

namespace glimmet {

QFont clockFont(int pixelSize, QFont::Weight weight) {
    QFont font;
    font.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("WenQuanYi Micro Hei Mono"),
                      QStringLiteral("monospace")});
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

} // namespace glimmet
