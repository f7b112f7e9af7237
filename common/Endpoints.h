#pragma once

#include <QString>
#include <QUrl>

namespace glimmet {

// The remote services the bridge talks to. Each base URL (scheme included, no trailing
// slash) is a constant that the settings key "endpoints/<name>" can override, which is
// how tests point a service at a loopback fake server.
enum class Endpoint {
    AnthropicApi,
    Chatgpt,
    GrokCliProxy,
    KimiApi,
    LitellmRaw,
    Coinbase,
    Bitstamp,
    TencentQuote,
    TencentChart,
    Eastmoney,
    NaverMobile,
    NaverChart,
    Petdex,
};

class Endpoints {
public:
    // The settings name: "anthropic_api", "chatgpt", ...
    static QString name(Endpoint endpoint);
    static QString defaultBase(Endpoint endpoint);
    // The override from the settings store when one is set, else the default.
    static QString base(Endpoint endpoint);
    // base(endpoint) + pathAndQuery, which starts with "/".
    static QUrl url(Endpoint endpoint, const QString& pathAndQuery);

    // Stores (or, with an empty base, removes) an override.
    static void setOverride(Endpoint endpoint, const QString& base);
};

} // namespace glimmet
