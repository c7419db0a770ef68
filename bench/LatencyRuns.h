#pragma once
// The latency benchmark's runs: a tool started in a process group of its own and ended whole when
// it overruns, its output folder checked file by file against the served files by SHA-256, and
// the latency proxy that counts the connections each run opened.
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>

#include "BenchNet.h"

namespace Bench {

// Every helper process is a process group of its own that dies with the benchmark, so that a
// round out of time can be ended whole (xvfb-run, its X server and the window) and nothing is
// left running when the benchmark itself is stopped.
inline void ownGroup(QProcess& p) {
    p.setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
}

struct Outcome {
    bool ok = false;
    double secs = -1;
    QByteArray out;
};

inline Outcome runBounded(const QString& program, const QStringList& args, const QString& cwd,
                          const QProcessEnvironment& env, int timeoutMs) {
    QProcess p;
    ownGroup(p);
    p.setWorkingDirectory(cwd);
    p.setProcessEnvironment(env);
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    Outcome o;
    if (!p.waitForStarted(10000)) return o;
    if (!p.waitForFinished(timeoutMs)) {
        std::fprintf(stderr, "  %s: no end after %d s, stopped\n", qPrintable(program), timeoutMs / 1000);
        ::kill(-static_cast<pid_t>(p.processId()), SIGKILL);
        p.waitForFinished(5000);
        return o;
    }
    o.secs = seconds(t);
    o.out = p.readAllStandardOutput();
    o.ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    // A tool's complaints matter only when it failed; the window child's notes are noise else.
    if (!o.ok)
        std::fprintf(stderr, "  %s: exit status %d\n%s\n", qPrintable(program), p.exitCode(),
                     p.readAllStandardError().constData());
    return o;
}

inline QByteArray sha256Of(const QString& path) {
    QFile f(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!f.open(QIODevice::ReadOnly) || !hash.addData(&f)) return {};
    return hash.result();
}

// The served files by name, each with its SHA-256, computed once.
class ServedFiles {
public:
    void add(const QString& name, const QString& path) { sums_.insert(name, sha256Of(path)); }
    // The folder holds exactly `names`, each with the served bytes.
    bool intact(const QString& outDir, const QStringList& names) const {
        const QStringList present =
            QDir(outDir).entryList(QDir::Files | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot);
        if (present.size() != names.size()) {
            std::fprintf(stderr, "  %s: %lld entries, %lld expected\n", qPrintable(outDir),
                         static_cast<long long>(present.size()), static_cast<long long>(names.size()));
            return false;
        }
        for (const QString& n : names) {
            const QByteArray sum = sha256Of(outDir + QLatin1Char('/') + n);
            if (sum.isEmpty() || sum != sums_.value(n)) {
                std::fprintf(stderr, "  %s: %s missing or not as served (SHA-256)\n", qPrintable(outDir), qPrintable(n));
                return false;
            }
        }
        return true;
    }

private:
    QHash<QString, QByteArray> sums_;
};

// A proxy in front of `upstreamPort`; its port, or 0 when it did not start.
inline int startProxy(QProcess& proxy, const QString& program, int upstreamPort, int rttMs, double mbit) {
    ownGroup(proxy);
    proxy.start(program, {QStringLiteral("--listen"), QStringLiteral("0"), QStringLiteral("--upstream"),
                          QString::number(upstreamPort), QStringLiteral("--rtt-ms"), QString::number(rttMs),
                          QStringLiteral("--mbit"), QString::number(mbit), QStringLiteral("--realtime")});
    QElapsedTimer t;
    t.start();
    while (!proxy.canReadLine() && t.elapsed() < 5000) proxy.waitForReadyRead(100);
    const QByteArray line = proxy.readLine().trimmed();
    const int colon = line.lastIndexOf(':');
    return line.startsWith("listening on") && colon > 0 ? line.mid(colon + 1).toInt() : 0;
}

struct ProxyCount {
    int accepted = -1;  // connections opened since the last count; -1 when the proxy did not say
    int atOnce = -1;    // the most open at one moment
};

// The connections the proxy saw since it was last asked, counted afresh from now on.
inline ProxyCount proxyConnections(QProcess& proxy) {
    ::kill(static_cast<pid_t>(proxy.processId()), SIGUSR1);
    QElapsedTimer t;
    t.start();
    while (!proxy.canReadLine() && t.elapsed() < 5000) proxy.waitForReadyRead(100);
    ProxyCount count;
    const QByteArray line = proxy.readLine().trimmed();  // "connections N, at once M"
    if (std::sscanf(line.constData(), "connections %d, at once %d", &count.accepted, &count.atOnce) != 2) return {};
    return count;
}

}  // namespace Bench
