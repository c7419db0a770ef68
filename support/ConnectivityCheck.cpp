#include "support/ConnectivityCheck.h"

#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <future>

#include "support/CmdOutput.h"
#include "support/SerialWorker.h"

namespace Main {

QString DefaultPingCommand() { return QStringLiteral("ping -c 1 -W 2 ") + QLatin1String(kPingHost); }

bool CheckOnline(const QString& pingCommand, int waitLimitMs, const ConnectionTry& tryConnection) {
    QElapsedTimer clock;
    clock.start();
    std::atomic<bool> stop{false};
    std::promise<bool> tried;
    std::future<bool> attempt;
    // Declared after what its task uses: it waits for the task before they go.
    Fw::SerialWorker worker;
    if (tryConnection) {
        attempt = tried.get_future();
        worker.post([&stop, &tried, tryConnection, waitLimitMs] { tried.set_value(tryConnection(waitLimitMs, stop)); });
    }

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
    // The try looks at `stop` between short steps, so the wait for it in the worker's end is brief.
    stop = true;
    return online;
}

}  // namespace Main
