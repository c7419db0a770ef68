#pragma once
// The session bus, reached so that a bus that never answers costs a bounded wait.
#include <QByteArray>
#include <QDBusConnection>
#include <QString>

#include <optional>

namespace SessionBus {

// Does the bus at `address` greet within the limit? The start of the bus's own handshake
// (authentication), made on a socket of our own: a bus that accepts and never answers would
// otherwise hold the connecting thread, and with it every D-Bus call of the process, for good.
// Only local (unix) addresses are checked; another kind is not used.
bool Greets(const QByteArray& address, int limitMs);

// The session bus of DBUS_SESSION_BUS_ADDRESS (else the user's bus in XDG_RUNTIME_DIR) as a
// connection named `name`, when it greets within `limitMs`; nothing without one.
std::optional<QDBusConnection> Connect(const QString& name, int limitMs);

}  // namespace SessionBus
