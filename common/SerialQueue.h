#pragma once

#include <QObject>
#include <QString>
#include <QThread>

#include <functional>
#include <future>
#include <type_traits>

namespace glimmet {

// A named worker thread that runs submitted work one item at a time, in order. Timers and
// sockets that "run on the queue" are QObjects parented to context(). Owned by the service
// that created it; destruction stops the thread after the item that is running.
class SerialQueue {
public:
    explicit SerialQueue(const QString& label);
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const QString& label() const { return _label; }

    // The QObject living on the queue's thread: the parent for its timers and sockets, and
    // the context for callbacks that must run on the queue.
    QObject* context() const { return _context; }

    bool isCurrent() const { return QThread::currentThread() == _thread; }

    void async(std::function<void()> work);

    // Runs `work` on the queue and waits for its result; runs it inline when already there.
    template <class F> auto sync(F&& work) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if (isCurrent())
            return work();
        std::packaged_task<R()> task(std::forward<F>(work));
        auto result = task.get_future();
        async([&task] { task(); });
        return result.get();
    }

private:
    QString _label;
    QThread* _thread;
    QObject* _context;
};

// Runs `work` on the application's main thread, after the current event.
void runOnMain(std::function<void()> work);

} // namespace glimmet
