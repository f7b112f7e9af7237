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

HttpResponse stoppedResponse(const QString& why) {
    HttpResponse response;
    response.error = Error{QStringLiteral("HttpClient"), int(QNetworkReply::OperationCanceledError), why};
    return response;
}

HttpResponse responseOf(QNetworkReply* reply) {
    HttpResponse response;
    const QNetworkReply::NetworkError code = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Codes below 200 are transport failures. A stalled transfer that the transfer
    // time-out aborted reports OperationCanceledError while the status still reads 200.
    const bool transportFailure = code != QNetworkReply::NoError && code < QNetworkReply::ContentAccessDenied;
    if (transportFailure || !status.isValid()) {
        response.error = Error{QStringLiteral("HttpClient"), int(code), reply->errorString()};
        return response;
    }
    response.status = status.toInt();
    response.body = reply->readAll();
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
        const double millis = std::clamp(request.timeout * 1000.0, 1.0, double(INT_MAX));
        networkRequest.setTransferTimeout(int(std::lround(millis)));
        networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                    QNetworkRequest::NoLessSafeRedirectPolicy);
        QNetworkReply* reply =
            request.body.isEmpty() && request.method == "GET"
                ? _manager->get(networkRequest)
                : _manager->sendCustomRequest(networkRequest, request.method, request.body);
        // A body over the limit is abandoned as soon as its size shows; a fast local transfer
        // can complete before the first progress report, so the finished body is checked too.
        const qint64 limit = request.maxBodyBytes;
        if (limit > 0) {
            QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                             [reply, limit](qint64 received, qint64 total) {
                                 if (received > limit || total > limit)
                                     reply->abort();
                             });
        }
        if (request.deadline > 0)
            QTimer::singleShot(int(std::lround(std::clamp(request.deadline * 1000.0, 1.0, double(INT_MAX)))),
                               reply, &QNetworkReply::abort);
        QObject::connect(reply, &QNetworkReply::finished, reply, [reply, limit, done = std::move(done)] {
            HttpResponse response = responseOf(reply);
            if (limit > 0 && response.body.size() > limit) {
                response = HttpResponse();
                response.error =
                    Error{QStringLiteral("HttpClient"), int(QNetworkReply::OperationCanceledError),
                          QStringLiteral("response larger than %1 bytes").arg(limit)};
            }
            done(std::move(response));
            reply->deleteLater();
        });
    });
}

} // namespace glimmet
