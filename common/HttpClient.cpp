#include "common/HttpClient.h"

#include "common/Log.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cmath>
#include <future>
#include <mutex>

namespace glimmet {

namespace {

HttpClient* sharedClient = nullptr;

// Runs as the application object goes: the pool's workers may still be inside a request of
// the shared client, so they are ended and waited for before it is deleted.
void destroySharedClient() {
    sharedClient->shutdown();
    QThreadPool::globalInstance()->waitForDone();
    delete sharedClient;
    sharedClient = nullptr;
}

const QString errorDomain = QStringLiteral("HttpClient");
const char* const failureProperty = "glimmetFailure";
// How far Qt reads ahead of the body taken out of a reply.
constexpr qint64 readAhead = 256 * 1024;

HttpResponse stoppedResponse(const QString& why) {
    HttpResponse response;
    response.error = Error{errorDomain, int(QNetworkReply::OperationCanceledError), why};
    return response;
}

int milliseconds(double seconds) {
    return int(std::lround(std::clamp(seconds * 1000.0, 1.0, double(INT_MAX))));
}

QString tooLarge(qint64 limit) {
    return QStringLiteral("the answer is larger than %1 bytes").arg(limit);
}

// Ends a transfer that broke one of the request's limits; `why` becomes the error's text.
void giveUp(QNetworkReply* reply, const QString& why) {
    if (reply->isFinished())
        return;
    reply->setProperty(failureProperty, why);
    reply->abort();
}

// `body`: what the reply delivered.
HttpResponse responseOf(QNetworkReply* reply, QByteArray body) {
    HttpResponse response;
    const QNetworkReply::NetworkError code = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Codes below 200 are transport failures. A stalled transfer that the transfer
    // time-out aborted reports OperationCanceledError while the status still reads 200.
    const bool transportFailure = code != QNetworkReply::NoError && code < QNetworkReply::ContentAccessDenied;
    if (const QVariant failure = reply->property(failureProperty); failure.isValid()) {
        response.error = Error{errorDomain, int(code), failure.toString()};
        return response;
    }
    if (transportFailure || !status.isValid()) {
        response.error = Error{errorDomain, int(code), reply->errorString()};
        return response;
    }
    response.status = status.toInt();
    response.body = std::move(body);
    for (const auto& pair : reply->rawHeaderPairs())
        response.headers.append({pair.first, pair.second});
    return response;
}

} // namespace

QByteArray HttpResponse::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

HttpClient& HttpClient::shared() {
    static std::once_flag once;
    std::call_once(once, [] {
        sharedClient = new HttpClient;
        qAddPostRoutine(destroySharedClient);
    });
    return *sharedClient;
}

HttpClient::HttpClient() = default;

HttpClient::~HttpClient() {
    shutdown();
}

void HttpClient::shutdown() {
    stopped = true;
    _queue.sync([this] {
        if (_manager) {
            for (QNetworkReply* reply : _manager->findChildren<QNetworkReply*>())
                reply->abort();
        }
    });
}

void HttpClient::send(HttpRequest request, QObject* context, std::function<void(HttpResponse)> callback) {
    if (!context)
        return start(std::move(request), std::move(callback));
    QPointer<QObject> target(context);
    start(std::move(request), [target, callback = std::move(callback)](HttpResponse response) mutable {
        if (!target)
            return;
        QMetaObject::invokeMethod(
            target.data(),
            [callback = std::move(callback), response = std::move(response)]() mutable {
                callback(std::move(response));
            },
            Qt::QueuedConnection);
    });
}

HttpResponse HttpClient::syncRequest(HttpRequest request) {
    if (_queue.isCurrent()) {
        Log::line(QStringLiteral("[http] syncRequest refused on the network queue"));
        return stoppedResponse(QStringLiteral("syncRequest called on the network queue"));
    }
    // The answer is set exactly once: by the reply, or, when the client shuts down before the
    // request ran, with a transport error as the pending work is dropped.
    struct Answer {
        std::promise<HttpResponse> promise;
        bool answered = false;
        void set(HttpResponse response) {
            answered = true;
            promise.set_value(std::move(response));
        }
        ~Answer() {
            if (!answered)
                promise.set_value(stoppedResponse(QStringLiteral("the network client stopped")));
        }
    };
    auto answer = std::make_shared<Answer>();
    auto result = answer->promise.get_future();
    start(std::move(request), [answer](HttpResponse response) { answer->set(std::move(response)); });
    answer.reset();
    return result.get();
}

void HttpClient::start(HttpRequest request, std::function<void(HttpResponse)> done) {
    if (stopped)
        return done(stoppedResponse(QStringLiteral("the network client stopped")));
    _queue.async([this, request = std::move(request), done = std::move(done)]() mutable {
        if (stopped)
            return done(stoppedResponse(QStringLiteral("the network client stopped")));
        if (!_manager)
            _manager = new QNetworkAccessManager(_queue.context());
        QNetworkRequest networkRequest(request.url);
        for (const auto& [name, value] : request.headers)
            networkRequest.setRawHeader(name, value);
        if (request.idleTimeout > 0)
            networkRequest.setTransferTimeout(milliseconds(request.idleTimeout));
        networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                    QNetworkRequest::NoLessSafeRedirectPolicy);
        QNetworkReply* reply =
            request.body.isEmpty() && request.method == "GET"
                ? _manager->get(networkRequest)
                : _manager->sendCustomRequest(networkRequest, request.method, request.body);

        // The limits end the transfer with a reason of their own, reported by responseOf(). The
        // body is taken out of the reply as it arrives, and Qt reads no further ahead than
        // readAhead, so an endless body costs no more memory than the cap.
        const qint64 limit = std::max<qint64>(request.maxBodyBytes, 0);
        auto body = std::make_shared<QByteArray>();
        reply->setReadBufferSize(readAhead);
        QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, body, limit] {
            body->append(reply->readAll());
            if (body->size() > limit)
                giveUp(reply, tooLarge(limit));
        });
        const double deadline = std::max(request.deadline, 0.001);
        QTimer::singleShot(milliseconds(deadline), reply, [reply, deadline] {
            giveUp(reply, QStringLiteral("no complete answer within %1 s").arg(deadline));
        });
        QObject::connect(reply, &QNetworkReply::finished, reply,
                         [reply, body, limit, done = std::move(done)] {
                             if (reply->isReadable())
                                 body->append(reply->readAll());
                             if (body->size() > limit && !reply->property(failureProperty).isValid())
                                 reply->setProperty(failureProperty, tooLarge(limit));
                             done(responseOf(reply, std::move(*body)));
                             reply->deleteLater();
                         });
    });
}

} // namespace glimmet
