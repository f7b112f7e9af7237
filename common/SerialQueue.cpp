#include "common/SerialQueue.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace glimmet {

SerialQueue::SerialQueue(const QString& label)
    : _label(label)
    , _thread(new QThread)
    , _context(new QObject) {
    _thread->setObjectName(label);
    _context->moveToThread(_thread);
    QObject::connect(_thread, &QThread::finished, _context, &QObject::deleteLater);
    _thread->start();
}

SerialQueue::~SerialQueue() {
    _thread->quit();
    if (isCurrent()) {
        // The owner was released by work running on this very queue: the thread cannot wait
        // for itself, so it ends after this item and is deleted by its creating thread.
        QObject::connect(_thread, &QThread::finished, _thread, &QObject::deleteLater);
        return;
    }
    _thread->wait();
    delete _thread;
}

void SerialQueue::async(std::function<void()> work) {
    QMetaObject::invokeMethod(_context, std::move(work), Qt::QueuedConnection);
}

void runOnMain(std::function<void()> work) {
    if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

} // namespace glimmet
