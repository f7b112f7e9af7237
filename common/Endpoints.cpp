#include "common/Endpoints.h"

#include "common/Settings.h"

namespace glimmet {

namespace {

struct Entry {
    const char* name;
    const char* base;
};

Entry entry(Endpoint endpoint) {
    switch (endpoint) {
    case Endpoint::AnthropicApi:
        return {"anthropic_api", "https://api.anthropic.com"};
    case Endpoint::Chatgpt:
        return {"chatgpt", "https://chatgpt.com"};
    case Endpoint::GrokCliProxy:
        return {"grok_cli_proxy", "https://cli-chat-proxy.grok.com"};
    case Endpoint::KimiApi:
        return {"kimi_api", "https://api.kimi.com"};
    case Endpoint::LitellmRaw:
        return {"litellm_raw", "https://raw.githubusercontent.com"};
    case Endpoint::Coinbase:
        return {"coinbase", "https://api.exchange.coinbase.com"};
    case Endpoint::Bitstamp:
        return {"bitstamp", "https://www.bitstamp.net"};
    case Endpoint::TencentQuote:
        return {"tencent_quote", "https://qt.gtimg.cn"};
    case Endpoint::TencentChart:
        return {"tencent_chart", "https://web.ifzq.gtimg.cn"};
    case Endpoint::Eastmoney:
        return {"eastmoney", "https://push2his.eastmoney.com"};
    case Endpoint::NaverMobile:
        return {"naver_mobile", "https://m.stock.naver.com"};
    case Endpoint::NaverChart:
        return {"naver_chart", "https://api.stock.naver.com"};
    case Endpoint::Petdex:
        return {"petdex", "https://assets.petdex.dev"};
    }
    return {"", ""};
}

QString settingsKey(Endpoint endpoint) {
    return QStringLiteral("endpoints/") + Endpoints::name(endpoint);
}

} // namespace

QString Endpoints::name(Endpoint endpoint) {
    return QString::fromLatin1(entry(endpoint).name);
}

QString Endpoints::defaultBase(Endpoint endpoint) {
    return QString::fromLatin1(entry(endpoint).base);
}

QString Endpoints::base(Endpoint endpoint) {
    QString configured = Settings::string(settingsKey(endpoint)).value_or(QString()).trimmed();
    while (configured.endsWith(u'/'))
        configured.chop(1);
    return configured.isEmpty() ? defaultBase(endpoint) : configured;
}

QUrl Endpoints::url(Endpoint endpoint, const QString& pathAndQuery) {
    return QUrl(base(endpoint) + pathAndQuery);
}

void Endpoints::setOverride(Endpoint endpoint, const QString& base) {
    if (base.isEmpty())
        Settings::remove(settingsKey(endpoint));
    else
        Settings::setValue(settingsKey(endpoint), base);
}

} // namespace glimmet
