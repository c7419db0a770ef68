#include "support/ConnectivityCheck.h"

#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <future>

#include "support/CmdOutput.h"

namespace Main {

QString DefaultPingCommand() { return QStringLiteral("ping -c 1 -W 2 ") + QLatin1String(kPingHost); }

bool CheckOnline(const QString& pingCommand, int waitLimitMs, const ConnectionTry& tryConnection) {
    QElapsedTimer clock;
    clock.start();
    std::atomic<bool> stop{false};
    std::future<bool> attempt;
    if (tryConnection)
        attempt = std::async(std::launch::async, [&stop, tryConnection, waitLimitMs] {
            return tryConnection(waitLimitMs, stop);
        });

    CmdOutput::WaitRules wait;
    wait.limitMs = waitLimitMs;
    // The exit status says whether a reply came, in any language; the C locale keeps the
    // tool's texts plain for whoever reads them.
    wait.environment = {QStringLiteral("LC_ALL=C")};
    int status = -1;
    wait.exitStatus = &status;
    CmdOutput::RunAndCapture(pingCommand, true, false, wait);
    bool online = status == 0;

    if (!online && attempt.valid()) {
        const auto left = std::chrono::milliseconds(std::max<qint64>(0, waitLimitMs - clock.elapsed()));
        if (attempt.wait_for(left) == std::future_status::ready) online = attempt.get();
    }
    // The try looks at `stop` between short steps, so the wait for it in the future's end is brief.
    stop = true;
    return online;
}

}  // namespace Main
