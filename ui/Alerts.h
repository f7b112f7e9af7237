#pragma once

#include <QString>
#include <QStringList>

namespace glimmet {

// Modal alerts and text prompts shown to the user. The menu talks to this interface only, so
// tests replace it with a recorder. Main thread.
class Alerts {
public:
    struct Answer {
        int button = -1; // index into the prompt's buttons; -1 when dismissed
        QString text;
    };

    virtual ~Alerts() = default;

    // A modal message: a short title and the details.
    virtual void inform(const QString& title, const QString& text) = 0;

    // A modal prompt with one text field (pre-filled with `initial`) and the given buttons.
    virtual Answer prompt(const QString& title, const QString& text, const QString& placeholder,
                          const QString& initial, const QStringList& buttons) = 0;
};

} // namespace glimmet
