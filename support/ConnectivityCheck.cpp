#include "support/ConnectivityCheck.h"

#include "support/CmdOutput.h"

namespace Main {

QString DefaultPingCommand() { return QStringLiteral("ping -c 1 -W 2 ") + QLatin1String(kPingHost); }

void CheckOnline(Dialogs::DialogService& dialogs, const QString& pingCommand, int waitLimitMs) {
    CmdOutput::WaitRules wait;
    wait.yield = [&dialogs] { dialogs.yield(); };
    wait.limitMs = waitLimitMs;
    const QString output = CmdOutput::RunAndCapture(pingCommand, true, false, wait);
    // Nothing printed, a missing ping tool and a run cut short all count as no reply.
    if (!output.contains(QLatin1String(kReplyMarker), Qt::CaseInsensitive))
        dialogs.messageBox(QLatin1String(kOfflineMessage), Dialogs::OkOnly, {});
}

}  // namespace Main
