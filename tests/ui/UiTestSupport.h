#pragma once

#include "ui/Alerts.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QStringList>

namespace glimmet::test {

// Turns the event loop until `ready()` holds, within a generous deadline.
template <class Ready> bool waitUntil(Ready ready, int deadlineMs = 10000) {
    QDeadlineTimer deadline(deadlineMs);
    while (!ready() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return ready();
}

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
