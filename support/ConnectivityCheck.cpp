#include "support/ConnectivityCheck.h"

#include <QElapsedTimer>

#include <chrono>
#include <memory>
#include <thread>

#include "support/CmdOutput.h"

namespace Main {

QString DefaultPingCommand() { return QStringLiteral("ping -c 1 -W 2 ") + QLatin1String(kPingHost); }

namespace {
struct TryState {
    std::atomic<int> answer{-1};  // -1 still trying, 0 no, 1 yes
    std::atomic<bool> stop{false};
};
}  // namespace

void CheckOnline(Dialogs::DialogService& dialogs, const QString& pingCommand, int waitLimitMs,
                 const ConnectionTry& tryConnection) {
    QElapsedTimer clock;
    clock.start();
    auto state = std::make_shared<TryState>();
    std::thread attempt;
    if (tryConnection)
        attempt = std::thread([state, tryConnection, waitLimitMs] {
            state->answer = tryConnection(waitLimitMs, state->stop) ? 1 : 0;
        });

    CmdOutput::WaitRules wait;
    wait.yield = [&dialogs] { dialogs.yield(); };
    wait.limitMs = waitLimitMs;
    // The exit status says whether a reply came, in any language; the C locale keeps the
    // tool's texts plain for whoever reads them.
    wait.environment = {QStringLiteral("LC_ALL=C")};
    int status = -1;
    wait.exitStatus = &status;
    CmdOutput::RunAndCapture(pingCommand, true, false, wait);
    bool online = status == 0;

    while (!online && attempt.joinable() && state->answer < 0 && clock.elapsed() < waitLimitMs) {
        dialogs.yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!online) online = state->answer == 1;
    state->stop = true;
    // The try looks at `stop` between short steps, so this wait is brief.
    if (attempt.joinable()) attempt.join();
    if (!online) dialogs.messageBox(QLatin1String(kOfflineMessage), Dialogs::OkOnly, {});
}

}  // namespace Main
