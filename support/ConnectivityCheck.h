#pragma once
// The connectivity check of start-up: one ping and, alongside it, one HTTPS connection to the
// same host.
#include <QString>

#include <atomic>
#include <functional>

namespace Main {

// A well-known public host that answers ping and HTTPS.
inline constexpr const char* kPingHost = "one.one.one.one";
inline constexpr const char* kOfflineMessage = QT_TRANSLATE_NOOP("Main", "You must be online to use this software accurately.");  // shown translated
// Start-up waits no longer than this for the check, also when the host name cannot be resolved.
inline constexpr int kPingWaitLimitMs = 3000;

// "ping -c 1 -W 2 HOST": one echo request, a reply awaited for two seconds at most.
QString DefaultPingCommand();

// A second way to the host, for networks that drop ping: true when it got through within
// `limitMs`; it gives up soon once `stop` is set.
using ConnectionTry = std::function<bool(int limitMs, const std::atomic<bool>& stop)>;

// Runs the ping command (in the C locale) and, at the same time on a serial worker,
// `tryConnection`. True when the ping exited with status 0 or the try got through, all within
// `waitLimitMs`. It runs before the window is shown, so it simply waits within that bound.
bool CheckOnline(const QString& pingCommand = DefaultPingCommand(), int waitLimitMs = kPingWaitLimitMs,
                 const ConnectionTry& tryConnection = {});

}  // namespace Main
