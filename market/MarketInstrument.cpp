#include "market/MarketInstrument.h"

#include <QTextBoundaryFinder>

#include <algorithm>

namespace glimmet {

namespace {

MarketInstrument make(const char* id, MarketRegion region, const char* providerCode, const char* symbol,
                      const char* name, const char* currency, bool isIndex) {
    return {QString::fromUtf8(id),
            region,
            QString::fromUtf8(providerCode),
            QString::fromUtf8(symbol),
            QString::fromUtf8(name),
            QString::fromUtf8(currency),
            isIndex};
}

// An instrument read from a code rather than taken from the catalogue: its name is its symbol.
MarketInstrument parsed(QString id, MarketRegion region, QString providerCode, QString code,
                        const char* currency) {
    return {std::move(id), region, std::move(providerCode), code, code, QString::fromLatin1(currency), false};
}

// The first code point of one user-perceived character: the one that says whether it is a
// letter or a digit.
char32_t leading(const QString& character) {
    if (character.size() >= 2 && character[0].isHighSurrogate() && character[1].isLowSurrogate())
        return QChar::surrogateToUcs4(character[0], character[1]);
    return character.front().unicode();
}

bool isDigit(const QString& character) {
    return QChar::isNumber(leading(character));
}
bool isLetter(const QString& character) {
    return QChar::isLetter(leading(character));
}
bool isTickerCharacter(const QString& character) {
    return isLetter(character) || character == u"." || character == u"-";
}

} // namespace

QStringList userCharacters(const QString& text) {
    QStringList characters;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    for (qsizetype end = finder.toNextBoundary(); end > 0; end = finder.toNextBoundary()) {
        characters.append(text.mid(start, end - start));
        start = end;
    }
    return characters;
}

QJsonObject MarketInstrument::toJson() const {
    return {{"id", id},
            {"region", rawValue(region)},
            {"providerCode", providerCode},
            {"symbol", symbol},
            {"name", name},
            {"currency", currency},
            {"isIndex", isIndex}};
}

std::optional<MarketInstrument> MarketInstrument::fromJson(const QJsonObject& object) {
    for (const char* key : {"id", "region", "providerCode", "symbol", "name", "currency"}) {
        if (!object.value(QLatin1String(key)).isString())
            return std::nullopt;
    }
    if (!object.value(QLatin1String("isIndex")).isBool())
        return std::nullopt;
    const std::optional<MarketRegion> region =
        marketRegionFromRaw(object.value(QLatin1String("region")).toString());
    if (!region)
        return std::nullopt;
    return MarketInstrument{object.value(QLatin1String("id")).toString(),
                            *region,
                            object.value(QLatin1String("providerCode")).toString(),
                            object.value(QLatin1String("symbol")).toString(),
                            object.value(QLatin1String("name")).toString(),
                            object.value(QLatin1String("currency")).toString(),
                            object.value(QLatin1String("isIndex")).toBool()};
}

const QList<MarketInstrument>& MarketInstrument::presets() {
    static const QList<MarketInstrument> list{
        make("btc-usd", MarketRegion::crypto, "BTC-USD", "BTC/USD", "BTC", "USD", false),
        make("eth-usd", MarketRegion::crypto, "ETH-USD", "ETH/USD", "ETH", "USD", false),
        make("cn-sh000001", MarketRegion::cn, "sh000001", "000001", "上证指数", "CNY", true),
        make("cn-sz399001", MarketRegion::cn, "sz399001", "399001", "深证成指", "CNY", true),
        make("cn-sz399006", MarketRegion::cn, "sz399006", "399006", "创业板指", "CNY", true),
        make("cn-sh000300", MarketRegion::cn, "sh000300", "000300", "沪深300", "CNY", true),
        make("hk-HSI", MarketRegion::hk, "hkHSI", "HSI", "恒生指数", "HKD", true),
        make("hk-HSCEI", MarketRegion::hk, "hkHSCEI", "HSCEI", "国企指数", "HKD", true),
        make("hk-HSTECH", MarketRegion::hk, "hkHSTECH", "HSTECH", "恒生科技", "HKD", true),
        make("us-NDX", MarketRegion::us, "usNDX", "NDX", "纳斯达克100", "USD", true),
        make("us-INX", MarketRegion::us, "usINX", "SPX", "标普500", "USD", true),
        make("us-DJI", MarketRegion::us, "usDJI", "DJI", "道琼斯", "USD", true),
        make("us-IXIC", MarketRegion::us, "usIXIC", "IXIC", "纳斯达克综合", "USD", true),
        make("us-AAPL", MarketRegion::us, "usAAPL", "AAPL", "Apple", "USD", false),
        make("us-NVDA", MarketRegion::us, "usNVDA", "NVDA", "NVIDIA", "USD", false),
        make("us-TSLA", MarketRegion::us, "usTSLA", "TSLA", "Tesla", "USD", false),
        make("kr-KOSPI", MarketRegion::kr, "KOSPI", "KOSPI", "韩国综合", "KRW", true),
        make("kr-KOSDAQ", MarketRegion::kr, "KOSDAQ", "KOSDAQ", "韩国科创", "KRW", true),
        make("kr-005930", MarketRegion::kr, "005930", "005930", "三星电子", "KRW", false),
    };
    return list;
}

const QList<MarketInstrument>& MarketInstrument::defaultFavorites() {
    static const QList<MarketInstrument> list = [] {
        QList<MarketInstrument> favorites;
        for (const char* id : {"btc-usd", "eth-usd", "cn-sh000001", "hk-HSI", "hk-HSTECH", "us-NDX", "us-INX",
                               "us-AAPL", "us-NVDA", "us-TSLA", "kr-KOSPI", "kr-005930"})
            favorites.append(*preset(QString::fromLatin1(id)));
        return favorites;
    }();
    return list;
}

const QStringList& MarketInstrument::legacyDefaultFavorites() {
    static const QStringList ids{"btc-usd", "eth-usd",   "cn-sh000001", "cn-sz399001", "cn-sh000300",
                                 "hk-HSI",  "hk-HSTECH", "us-NDX",      "us-INX",      "us-DJI",
                                 "us-AAPL", "us-NVDA",   "us-TSLA",     "kr-KOSPI",    "kr-005930"};
    return ids;
}

const QList<std::pair<QString, QString>>& MarketInstrument::aliases() {
    static const QList<std::pair<QString, QString>> table = [] {
        const char* const pairs[][2] = {
            {"BTC", "btc-usd"},          {"BTCUSD", "btc-usd"},        {"BTC/US", "btc-usd"},
            {"BTC-USD", "btc-usd"},      {"ETH", "eth-usd"},           {"ETHUSD", "eth-usd"},
            {"ETH/US", "eth-usd"},       {"ETH-USD", "eth-usd"},       {"上证", "cn-sh000001"},
            {"上证指数", "cn-sh000001"}, {"000001.SH", "cn-sh000001"}, {"深证", "cn-sz399001"},
            {"深证成指", "cn-sz399001"}, {"创业板", "cn-sz399006"},    {"沪深300", "cn-sh000300"},
            {"恒生", "hk-HSI"},          {"恒生指数", "hk-HSI"},       {"恒生科技", "hk-HSTECH"},
            {"HSI", "hk-HSI"},           {"HSCEI", "hk-HSCEI"},        {"HSTECH", "hk-HSTECH"},
            {"SPX", "us-INX"},           {"GSPC", "us-INX"},           {"标普500", "us-INX"},
            {"NDX", "us-NDX"},           {"纳斯达克100", "us-NDX"},    {"NASDAQ100", "us-NDX"},
            {"DJI", "us-DJI"},           {"IXIC", "us-IXIC"},          {"KOSPI", "kr-KOSPI"},
            {"KOSDAQ", "kr-KOSDAQ"},     {"三星", "kr-005930"},        {"三星电子", "kr-005930"},
            {"005930", "kr-005930"},     {"AAPL", "us-AAPL"},          {"苹果", "us-AAPL"},
            {"NVDA", "us-NVDA"},         {"英伟达", "us-NVDA"},        {"TSLA", "us-TSLA"},
            {"特斯拉", "us-TSLA"},
        };
        QList<std::pair<QString, QString>> list;
        for (const auto& [key, id] : pairs)
            list.append({QString::fromUtf8(key), QString::fromUtf8(id)});
        return list;
    }();
    return table;
}

std::optional<MarketInstrument> MarketInstrument::preset(const QString& id) {
    const auto& list = presets();
    const auto found = std::ranges::find(list, id, &MarketInstrument::id);
    if (found == list.end())
        return std::nullopt;
    return *found;
}

std::optional<MarketInstrument> MarketInstrument::parse(const QString& text) {
    // A prefixed id ("cn-sh600519", "hk-00700", "us-BRK.B", "kr-005930") is read as its code.
    // Each round strips a dash, so this ends.
    QString t = text.trimmed();
    for (qsizetype dash = t.indexOf(u'-'); dash >= 0; dash = t.indexOf(u'-')) {
        const QString prefix = t.left(dash).toUpper();
        if (prefix == u"CN")
            t = t.mid(dash + 1).trimmed();
        else if (prefix == u"HK" || prefix == u"US" || prefix == u"KR")
            t = (prefix + t.mid(dash + 1)).trimmed();
        else
            break;
    }

    QString s = t;
    s.remove(u':');
    s = s.toUpper();
    if (s.isEmpty())
        return std::nullopt;

    const auto& table = aliases();
    if (const auto alias = std::ranges::find(table, s, &std::pair<QString, QString>::first);
        alias != table.end())
        return preset(alias->second);

    const QStringList characters = userCharacters(s);
    const qsizetype count = characters.size();
    if (count >= 2) {
        const QString market = characters[0] + characters[1];
        const QString code = s.mid(market.size());
        if ((market == u"SH" || market == u"SZ" || market == u"BJ") && count >= 4) {
            const QString exchange = market.toLower();
            return parsed("cn-" + exchange + code, MarketRegion::cn, exchange + code, code, "CNY");
        }
        if (market == u"HK" && count >= 5)
            return parsed("hk-" + code, MarketRegion::hk, "hk" + code, code, "HKD");
        if (market == u"US" && count >= 3)
            return parsed("us-" + code, MarketRegion::us, "us" + code, code, "USD");
        if (market == u"KR" && count >= 8)
            return parsed("kr-" + code, MarketRegion::kr, code, code, "KRW");
    }

    if (std::ranges::all_of(characters, isDigit)) {
        if (count == 5)
            return parse("HK" + s);
        if (count == 6) {
            for (const char* head : {"600", "601", "603", "605", "688", "689"}) {
                if (s.startsWith(QLatin1String(head)))
                    return parse("SH" + s);
            }
            for (const char* head : {"000", "001", "002", "003", "300", "301"}) {
                if (s.startsWith(QLatin1String(head)))
                    return parse("SZ" + s);
            }
        }
    }

    // A bare US ticker such as "BRK-B" (read as BRK.B). It must hold a letter: "." or "-"
    // alone names nothing.
    if (std::ranges::all_of(characters, isTickerCharacter) && std::ranges::any_of(characters, isLetter)) {
        QString ticker = s;
        ticker.replace(u'-', u'.');
        return parsed("us-" + ticker, MarketRegion::us, "us" + ticker, ticker, "USD");
    }
    return std::nullopt;
}

} // namespace glimmet
