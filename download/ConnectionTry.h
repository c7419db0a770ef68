#pragma once
// Whether a web host can be reached at all, for the start-up check where ping is no help
// (ICMP blocked in offices and containers).
#include <QString>

#include <atomic>

namespace Download {

class ProxyChoice;

// Makes one HTTPS connection (TCP and the TLS handshake, no request) to `host` on port 443, or
// `port` when given, and closes it. True when the handshake completed within `limitMs`, name
// look-up included; false at once when `stop` is set. Through `proxy` when given, as a run would
// go (a tunnel through an HTTP proxy, or SOCKS); else as libcurl finds it in the environment.
// Blocking: call it off the window thread.
bool CanConnectHttps(const QString& host, int limitMs, const std::atomic<bool>& stop, int port = 443,
                     const ProxyChoice* proxy = nullptr);

}  // namespace Download
