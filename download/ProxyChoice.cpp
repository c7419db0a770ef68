#include "download/ProxyChoice.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>
#include <QThreadPool>
#include <QUrl>

#include <proxy.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>

namespace Download {

namespace {

// The part of an address a proxy is chosen by: scheme, host and port.
QByteArray OriginOf(const QByteArray& url) {
    const qsizetype scheme = url.indexOf("://");
    if (scheme < 0) return url;
    qsizetype end = scheme + 3;
    while (end < url.size() && url[end] != '/' && url[end] != '?' && url[end] != '#') ++end;
    return url.left(end);
}

// libproxy's answer as libcurl takes it; empty for direct, nothing usable for an answer of
// another kind.
std::optional<QByteArray> CurlProxyOf(const char* answer) {
    const QByteArray text(answer);
    if (text.startsWith("direct://")) return QByteArray();
    if (text.startsWith("http://") || text.startsWith("https://")) return text;
    // SOCKS through the proxy's own name lookup: the local resolver may not know the hosts
    // that only the proxy reaches.
    if (text.startsWith("socks5://")) return "socks5h://" + text.mid(9);
    if (text.startsWith("socks4://")) return "socks4a://" + text.mid(9);
    if (text.startsWith("socks://")) return "socks5h://" + text.mid(8);
    return std::nullopt;
}

// libproxy's one factory for the process, made at the first address asked (it reads the
// desktop's settings and loads libproxy's modules) and never freed: freeing it unloads the PAC
// module while the JavaScript engine's threads still run its code. Asked under one lock, since
// a run and a link page may ask at the same time.
std::mutex factoryLock;
pxProxyFactory* factory = nullptr;

QByteArray AskLibproxy(const QByteArray& origin) {
    const std::lock_guard<std::mutex> hold(factoryLock);
    if (!factory) factory = px_proxy_factory_new();
    if (!factory) return {};
    QByteArray chosen;
    if (char** answers = px_proxy_factory_get_proxies(factory, (origin + '/').constData())) {
        // The first answer libcurl can use; libproxy lists them in the order to try.
        for (char** one = answers; *one; ++one) {
            if (const std::optional<QByteArray> usable = CurlProxyOf(*one)) {
                chosen = *usable;
                break;
            }
        }
        px_proxy_factory_free_proxies(answers);
    }
    return chosen;
}

}  // namespace

void ProxyChoice::PrepareSystemProxies() {
    QThreadPool::globalInstance()->start([] {
        const std::lock_guard<std::mutex> hold(factoryLock);
        if (!factory) factory = px_proxy_factory_new();
    });
}

Fw::Result<std::shared_ptr<ProxyChoice>> ProxyChoice::FromOptions(const QString& proxy, const QString& bypass) {
    std::shared_ptr<ProxyChoice> choice(new ProxyChoice);
    const QString text = proxy.trimmed();
    if (text.isEmpty() || text.compare(QLatin1String("System"), Qt::CaseInsensitive) == 0) return choice;
    if (text.compare(QLatin1String("None"), Qt::CaseInsensitive) == 0) {
        choice->mode_ = Mode::None;
        return choice;
    }
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    const bool known = scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("socks5h");
    if (!url.isValid() || !known || url.host().isEmpty() || (!url.path().isEmpty() && url.path() != QLatin1String("/")) ||
        url.hasQuery() || url.hasFragment())
        return Fw::Error::failed(QCoreApplication::translate("ProxyChoice", "The proxy \"%1\" cannot be used: give System, None, or an http://, https:// "
                                                "or socks5h:// address with a host and a port.")
                                     .arg(text));
    choice->mode_ = Mode::Typed;
    choice->typed_ = url.toString(QUrl::RemovePath | QUrl::FullyEncoded).toUtf8();
    // Hosts, domains (".example.org") or "*", separated by commas or blanks, as libcurl takes them.
    QStringList hosts = bypass.split(QRegularExpression(QStringLiteral("[,;\\s]+")), Qt::SkipEmptyParts);
    hosts.removeIf([](const QString& host) {
        return std::any_of(host.begin(), host.end(), [](QChar c) { return c.unicode() < 0x21 || c.unicode() == 0x7f; });
    });
    choice->bypass_ = hosts.join(QLatin1Char(',')).toUtf8();
    return choice;
}

QByteArray ProxyChoice::proxyFor(const QByteArray& url) const {
    if (mode_ == Mode::None) return {};
    if (mode_ == Mode::Typed) return typed_;
    const QByteArray origin = OriginOf(url);
    if (const auto known = asked_.find(origin); known != asked_.end()) return known->second;
    const QByteArray chosen = AskLibproxy(origin);
    asked_.emplace(origin, chosen);
    return chosen;
}

void ProxyChoice::applyTo(CURL* easy, const QByteArray& url) const {
    const QByteArray proxy = proxyFor(url);
    // An empty text turns libcurl's own reading of the environment off: the choice is made here.
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy.constData());
    curl_easy_setopt(easy, CURLOPT_NOPROXY, mode_ == Mode::Typed && !bypass_.isEmpty() ? bypass_.constData() : nullptr);
    // A proxy that speaks TLS is checked as a server is.
    curl_easy_setopt(easy, CURLOPT_PROXY_SSL_VERIFYPEER, 1L);
}

QString ProxyHostOf(const QByteArray& proxy) {
    const qsizetype scheme = proxy.indexOf("://");
    QByteArray rest = scheme < 0 ? proxy : proxy.mid(scheme + 3);
    const qsizetype at = rest.lastIndexOf('@');
    if (at >= 0) rest = rest.mid(at + 1);  // never its credentials
    while (rest.endsWith('/')) rest.chop(1);
    return QString::fromUtf8(rest);
}

QString ProxyFailure(const QByteArray& proxy, CURLcode code, long connectStatus, const char* detail, const QString& reason) {
    if (proxy.isEmpty()) return reason;
    const QString host = ProxyHostOf(proxy);
    // A tunnel the proxy would not open (an https address through an HTTP proxy).
    if (connectStatus >= 300) return QCoreApplication::translate("ProxyChoice", "The proxy %1 refused the tunnel (HTTP %2)").arg(host).arg(connectStatus);
    switch (code) {
    case CURLE_COULDNT_CONNECT: return QCoreApplication::translate("ProxyChoice", "The proxy %1 refused the connection").arg(host);
    case CURLE_COULDNT_RESOLVE_PROXY: return QCoreApplication::translate("ProxyChoice", "The proxy %1 was not found").arg(host);
    case CURLE_OPERATION_TIMEDOUT:
        if (detail && std::strstr(detail, "onnect")) return QCoreApplication::translate("ProxyChoice", "The proxy %1 did not answer").arg(host);
        break;
    case CURLE_PROXY:
        return QCoreApplication::translate("ProxyChoice", "The proxy %1 failed: %2").arg(host, detail && *detail ? QString::fromUtf8(detail) : reason);
    default: break;
    }
    return reason;
}

}  // namespace Download
