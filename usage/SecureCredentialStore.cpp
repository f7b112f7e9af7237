#include "usage/SecureCredentialStore.h"

#include "common/SerialQueue.h"

#include <QCoreApplication>
#include <QStringDecoder>
#include <QThreadPool>
#include <qt6keychain/keychain.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>

namespace glimmet {

namespace {

// A keychain that has not answered by then is treated as unavailable. The Secret Service
// normally answers within milliseconds, and fails as fast when it is not running.
std::atomic<std::chrono::milliseconds> keychainDeadline{std::chrono::seconds(10)};

std::mutex queueLock;
SerialQueue* keychainQueue = nullptr;
bool keychainClosed = false;

// Runs as the application object goes. Pool workers may be waiting on a keychain job: they
// finish before the queue goes, and later callers find no keychain.
void destroyKeychainQueue() {
    QThreadPool::globalInstance()->waitForDone();
    std::lock_guard guard(queueLock);
    delete keychainQueue;
    keychainQueue = nullptr;
    keychainClosed = true;
}

// qtkeychain's jobs report through signals, so they live on a thread with an event loop
// (which also runs the Secret Service library's callbacks). False, and nothing runs, once the
// application quits or when called on the keychain queue itself (it would wait for itself).
bool post(std::function<void()> work) {
    std::lock_guard guard(queueLock);
    if (!keychainQueue && !keychainClosed && QCoreApplication::instance()) {
        keychainQueue = new SerialQueue(QStringLiteral("glimmet.keychain"));
        qAddPostRoutine(destroyKeychainQueue);
    }
    if (!keychainQueue || keychainQueue->isCurrent())
        return false;
    keychainQueue->async(std::move(work));
    return true;
}

struct Outcome {
    QKeychain::Error error = QKeychain::OtherError;
    QByteArray data; // the secret of a read
};

// The end of one job, set exactly once: by the job, or as a failure when the job is dropped
// unrun with its queue (a promise dropped unset would throw in the waiting thread).
struct Answer {
    std::promise<Outcome> promise;
    bool answered = false;
    void set(Outcome outcome) {
        answered = true;
        promise.set_value(std::move(outcome));
    }
    ~Answer() {
        if (!answered)
            promise.set_value(Outcome{});
    }
};

// Creates the job on the keychain queue, starts it and waits for its end until the deadline.
template <class Job> std::optional<Outcome> run(const QString& account, std::function<void(Job&)> prepare) {
    auto promise = std::make_shared<Answer>();
    std::future<Outcome> answer = promise->promise.get_future();
    const bool posted = post([account, prepare = std::move(prepare), promise] {
        auto* job = new Job(QString::fromLatin1(SecureCredentialStore::service));
        job->setAutoDelete(true);
        job->setKey(account);
        prepare(*job);
        QObject::connect(job, &QKeychain::Job::finished, job, [promise](QKeychain::Job* finished) {
            Outcome outcome{finished->error(), {}};
            if (const auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(finished))
                outcome.data = read->binaryData();
            promise->set(std::move(outcome));
        });
        job->start();
    });
    promise.reset();
    if (!posted)
        return std::nullopt;
    if (answer.wait_for(keychainDeadline.load()) != std::future_status::ready)
        return std::nullopt;
    return answer.get();
}

} // namespace

void SecureCredentialStore::setDeadline(std::chrono::milliseconds deadline) {
    keychainDeadline = deadline;
}

bool SecureCredentialStore::save(const std::optional<QString>& value, const QString& account) {
    const QString text = value.value_or(QString()).trimmed();
    if (text.isEmpty()) {
        const auto outcome = run<QKeychain::DeletePasswordJob>(account, [](auto&) {});
        return outcome &&
               (outcome->error == QKeychain::NoError || outcome->error == QKeychain::EntryNotFound);
    }
    const auto outcome = run<QKeychain::WritePasswordJob>(
        account, [text](QKeychain::WritePasswordJob& job) { job.setTextData(text); });
    return outcome && outcome->error == QKeychain::NoError;
}

std::optional<QString> SecureCredentialStore::load(const QString& account) {
    const auto outcome = run<QKeychain::ReadPasswordJob>(account, [](auto&) {});
    if (!outcome || outcome->error != QKeychain::NoError)
        return std::nullopt;
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = QString(utf8(outcome->data)).trimmed();
    if (utf8.hasError() || text.isEmpty())
        return std::nullopt;
    return text;
}

} // namespace glimmet
