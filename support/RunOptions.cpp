#include "support/RunOptions.h"

#include <exception>

#include "support/BuildInfo.h"

namespace RunOptions {

namespace {
const QString kAtOnce = QStringLiteral("Downloads At Once");
const QString kSpeedLimit = QStringLiteral("Speed Limit");
const QString kIfExists = QStringLiteral("If File Exists");
const QString kServerNames = QStringLiteral("Server Names");
const QString kCookiesFile = QStringLiteral("Cookies File");
const QString kUserAgent = QStringLiteral("User-Agent");
const QString kKeepServerTime = QStringLiteral("Keep Server Time");
const QString kSplitBigFiles = QStringLiteral("Split Big Files");
const QString kLinksTake = QStringLiteral("Get Links Takes");
const QString kKeepAwake = QStringLiteral("Keep Awake");
const QString kProxy = QStringLiteral("Proxy");
const QString kProxyBypass = QStringLiteral("Proxy Bypass");
const QString kSkip = QStringLiteral("Skip");
const QString kSkipUnchanged = QStringLiteral("Skip unchanged");
const QString kNumber = QStringLiteral("Number");

bool readTruth(const Settings::Store& store, const QString& key, bool fallback) {
    try {
        return Settings::ToTruth(store.read(key, Settings::TruthText(fallback)));
    } catch (const std::exception&) {
        return fallback;
    }
}

// A header value holds no line break or other control character, whatever the file says.
QString headerSafe(const QString& text) {
    QString safe;
    for (const QChar c : text.trimmed())
        if (c.unicode() >= 0x20 && c.unicode() != 0x7f) safe += c;
    return safe.left(1024);
}

int readNumber(const Settings::Store& store, const QString& key, int low, int high, int fallback) {
    bool ok = false;
    const int value = store.read(key, QString()).trimmed().toInt(&ok);
    return ok && value >= low && value <= high ? value : fallback;
}
LinksTake readLinksTake(const Settings::Store& store) {
    const QString text = store.read(kLinksTake, QString()).trimmed();
    for (const LinksTake take : {LinksTake::Media, LinksTake::LargestMedia})
        if (text.compare(LinksTakeText(take), Qt::CaseInsensitive) == 0) return take;
    return LinksTake::Links;
}
}  // namespace

QString LinksTakeText(LinksTake take) {
    switch (take) {
    case LinksTake::Media: return QStringLiteral("Links, images and media");
    case LinksTake::LargestMedia: return QStringLiteral("Links, largest images and media");
    case LinksTake::Links: break;
    }
    return QStringLiteral("Links");
}

Values Read(const Settings::Store& store) {
    Values values;
    values.atOnce = readNumber(store, kAtOnce, kMinAtOnce, kMaxAtOnce, values.atOnce);
    values.speedLimitKBps = readNumber(store, kSpeedLimit, 0, kMaxSpeedLimitKBps, values.speedLimitKBps);
    const QString ifExists = store.read(kIfExists, kNumber).trimmed();
    values.skipExisting = ifExists.compare(kSkip, Qt::CaseInsensitive) == 0;
    values.skipUnchanged = ifExists.compare(kSkipUnchanged, Qt::CaseInsensitive) == 0;
    const QString serverNames = store.read(kServerNames, Settings::TruthText(true)).trimmed();
    values.serverNames = serverNames.compare(QStringLiteral("False"), Qt::CaseInsensitive) != 0 && serverNames != QStringLiteral("0");
    values.cookiesFile = store.read(kCookiesFile, QString()).trimmed();
    values.userAgent = headerSafe(store.read(kUserAgent, QString()));
    values.keepServerTime = readTruth(store, kKeepServerTime, true);
    values.splitBigFiles = readTruth(store, kSplitBigFiles, true);
    values.linksTake = readLinksTake(store);
    values.keepAwake = readTruth(store, kKeepAwake, true);
    values.proxy = headerSafe(store.read(kProxy, values.proxy));
    if (values.proxy.isEmpty()) values.proxy = QStringLiteral("System");
    values.proxyBypass = headerSafe(store.read(kProxyBypass, QString()));
    return values;
}

void Write(const Settings::Store& store, const Values& values) {
    store.write(kAtOnce, QString::number(values.atOnce));
    store.write(kSpeedLimit, QString::number(values.speedLimitKBps));
    store.write(kIfExists, values.skipUnchanged ? kSkipUnchanged : values.skipExisting ? kSkip : kNumber);
    store.write(kServerNames, Settings::TruthText(values.serverNames));
    store.write(kCookiesFile, values.cookiesFile.trimmed());
    store.write(kUserAgent, headerSafe(values.userAgent));
    store.write(kKeepServerTime, Settings::TruthText(values.keepServerTime));
    store.write(kSplitBigFiles, Settings::TruthText(values.splitBigFiles));
    store.write(kLinksTake, LinksTakeText(values.linksTake));
    store.write(kKeepAwake, Settings::TruthText(values.keepAwake));
    store.write(kProxy, headerSafe(values.proxy));
    store.write(kProxyBypass, headerSafe(values.proxyBypass));
}

QByteArray UserAgentOf(const Values& values) {
    const QString chosen = headerSafe(values.userAgent);
    return chosen.isEmpty() ? QByteArray(BuildInfo::kUserAgent) : chosen.toUtf8();
}

}  // namespace RunOptions
