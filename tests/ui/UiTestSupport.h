#pragma once

#include "support/Wait.h"
#include "ui/Alerts.h"

#include <QStringList>

namespace glimmet::test {

// Records every alert as "title|text" and answers prompts with `answer`.
class RecordingAlerts : public Alerts {
public:
    QStringList shown;
    Answer answer;

    void inform(const QString& title, const QString& text) override { shown << title + u'|' + text; }
    Answer prompt(const QString&, const QString&, const QString&, const QString&,
                  const QStringList&) override {
        return answer;
    }
};

} // namespace glimmet::test
