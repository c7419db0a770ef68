#pragma once
// The connectivity check of start-up: one ping, and a warning when no reply came back.
#include <QString>

#include "support/Dialogs.h"

namespace Main {

// A well-known public host that answers ping.
inline constexpr const char* kPingHost = "one.one.one.one";
inline constexpr const char* kOfflineMessage = "You must be online to use this software accurately.";
// What a reply line of Linux ping holds.
inline constexpr const char* kReplyMarker = " bytes from ";
// Start-up waits no longer than this for the ping, also when the host name cannot be resolved.
inline constexpr int kPingWaitLimitMs = 3000;

// "ping -c 1 -W 2 HOST": one echo request, a reply awaited for two seconds at most.
QString DefaultPingCommand();

// Runs the ping command and shows the offline message (OK only, no icon, application title as
// caption) when its output holds no reply line. Only warns: the caller goes on either way.
void CheckOnline(Dialogs::DialogService& dialogs, const QString& pingCommand = DefaultPingCommand(),
                 int waitLimitMs = kPingWaitLimitMs);

}  // namespace Main
