#pragma once

#include "ui/Alerts.h"

namespace glimmet {

// Alerts as Qt dialogs: a message box, or a small dialog with a text field. Each one is
// brought to the front before it runs modally. Main thread; owned by the app.
class DialogAlerts : public Alerts {
public:
    void inform(const QString& title, const QString& text) override;
    Answer prompt(const QString& title, const QString& text, const QString& placeholder,
                  const QString& initial, const QStringList& buttons) override;
};

} // namespace glimmet
