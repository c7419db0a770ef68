#pragma once
// The proxy each request of a run goes through, as Options chooses it: "System" asks libproxy
// for each address (the desktop's settings, a PAC file, the environment's variables), "None"
// goes direct, a typed http://, https:// or socks5h:// address is used for every address but
// those of its bypass list. A failure of the proxy itself is named as the proxy's.
#include <QByteArray>
#include <QString>

#include <curl/curl.h>

#include <map>
#include <memory>

#include "support/Result.h"

namespace Download {

class ProxyChoice {
public:
    enum class Mode { System, None, Typed };

    // From the texts of "Proxy" and "Proxy Bypass"; a typed proxy that is no http://, https://
    // or socks5h:// address (with a host, and nothing after its port) is refused in words.
    static Fw::Result<std::shared_ptr<ProxyChoice>> FromOptions(const QString& proxy, const QString& bypass);
    ProxyChoice(const ProxyChoice&) = delete;
    ProxyChoice& operator=(const ProxyChoice&) = delete;

    Mode mode() const { return mode_; }
    // The proxy for `url` as libcurl takes it ("socks5h://127.0.0.1:1080"), empty to go direct.
    // With "System", libproxy's answer for the address's scheme, host and port, asked once per
    // run; a SOCKS answer has the proxy resolve the host. Used by one thread at a time (the
    // run's loop), like the rest of a run's request options; libproxy itself is shared.
    QByteArray proxyFor(const QByteArray& url) const;
    // Sets `easy` to go through proxyFor(url), or direct: the environment's variables are read
    // through libproxy, never by libcurl behind this choice's back.
    void applyTo(CURL* easy, const QByteArray& url) const;
    // Makes libproxy's factory for the process ahead of the first run (it reads the desktop's
    // settings and loads its modules: some 10 ms), on a pooled thread; a run that asks
    // meanwhile waits for it as it would have made it itself.
    static void PrepareSystemProxies();

private:
    ProxyChoice() = default;
    Mode mode_ = Mode::System;
    QByteArray typed_;
    QByteArray bypass_;
    mutable std::map<QByteArray, QByteArray> asked_;  // scheme://host:port: proxy
};

// "127.0.0.1:3128" of "http://127.0.0.1:3128".
QString ProxyHostOf(const QByteArray& proxy);

// The reason of a failed transfer that went through `proxy`, naming the proxy when the failure
// is its own (refused, not found, no answer, a refused tunnel or SOCKS request); else `reason`.
QString ProxyFailure(const QByteArray& proxy, CURLcode code, long connectStatus, const char* detail, const QString& reason);

}  // namespace Download
