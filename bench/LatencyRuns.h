#pragma once
// The latency benchmark's runs: a tool started in a process group of its own and ended whole when
// it overruns (its CPU seconds counted), its output folder checked file by file against the served
// files by SHA-256, the latency proxy that counts the connections each run opened, the served
// files and the rows of the table.
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
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

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

struct Workload {
    QString label;
    QStringList urls;
    QString listFile;
    QStringList names;  // as served, and as each tool names them
    qint64 bodyBytes = 0;
};

struct Link {
    int rttMs = 0;
    bool https = false;
    bool limited = false;  // the server of 2 MB/s for each connection
    int port = 0;  // the proxy's
    bool many = false;     // the many-servers workload's names
};

// A tool as the rows name it: `n` is the transfers or connections it is given, 0 for its default.
struct Tool {
    enum Kind { Window, Wget, Curl, CurlParallel, Aria2, Aria2Split } kind;
    int n = 0;
    QByteArray label;
};

struct Outcome {
    bool ok = false;
    double secs = -1;
    double cpu = -1;  // user + system seconds of the tool and everything it started
    QByteArray out;
};

// User + system seconds of the children this process has waited for.
inline double childrenCpu() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

inline Outcome runBounded(const QString& program, const QStringList& args, const QString& cwd,
                          const QProcessEnvironment& env, int timeoutMs) {
    QProcess p;
    ownGroup(p);
    p.setWorkingDirectory(cwd);
    p.setProcessEnvironment(env);
    QElapsedTimer t;
    const double cpuBefore = childrenCpu();
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
    o.cpu = childrenCpu() - cpuBefore;
    o.out = p.readAllStandardOutput();
    o.ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    // A tool's complaints matter only when it failed; the window child's notes are noise else.
    if (!o.ok)
        std::fprintf(stderr, "  %s: exit status %d\n%s\n", qPrintable(program), p.exitCode(),
                     p.readAllStandardError().constData());
    return o;
}

// The window child's command line, program first: under xvfb-run for X11, else on its own.
inline QStringList windowChildCommand(const QString& program, const QString& folder, const QString& listFile, bool xcb) {
    const QStringList child{program, QStringLiteral("--window-child"), folder, listFile};
    if (!xcb) return child;
    return QStringList{QStringLiteral("xvfb-run"), QStringLiteral("-a"), QStringLiteral("-s"),
                       QStringLiteral("-screen 0 1280x1024x24 -nolisten tcp")} +
           child;
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
    void addFolder(const QString& folder) {
        for (const QString& name : QDir(folder).entryList(QDir::Files)) add(name, folder + QLatin1Char('/') + name);
    }
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

// `count` files of `bytes` each that differ, `prefix` and a number of `width` digits each.
inline bool writeFiles(const QString& folder, const QString& prefix, int count, qint64 bytes, int width = 5) {
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i) {
        QByteArray data(bytes, char('a' + i % 26));
        std::snprintf(data.data(), std::min<qint64>(32, bytes), "%s %d\n", qPrintable(prefix), i);
        if (!writeFile(folder + QStringLiteral("/%1%2.bin").arg(prefix).arg(i, width, 10, QLatin1Char('0')), data)) return false;
    }
    return true;
}

// A file of `mb` blocks of 1 MB that differ.
inline bool writeBig(const QString& path, int mb) {
    QFile big(path);
    if (!big.open(QIODevice::WriteOnly)) return false;
    QByteArray block(1 << 20, 'x');
    for (int i = 0; i < mb; ++i) {
        std::snprintf(block.data(), 32, "block %d\n", i);
        if (big.write(block) != block.size()) return false;
    }
    return true;
}

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

// A tool's best round: its seconds (-1 while none succeeded), CPU seconds and the connections of
// that round, and the TLS handshakes the server saw (-1 where it did not count them).
struct Best {
    double secs = -1;
    double cpu = -1;
    Bench::ProxyCount connections;
    int handshakes = -1, resumed = -1;
};

inline void printCells(const char* name, const std::vector<Best>& cells) {
    std::printf("  %-40s", name);
    for (const Best& b : cells) {
        if (b.secs < 0) std::printf(" %37s", "failed");
        else if (b.connections.accepted < 0) std::printf(" %8.3f s %6.2f cpu %16s", b.secs, b.cpu, "");
        else if (b.handshakes < 0) std::printf(" %8.3f s %6.2f cpu %3d/%-3d %8s", b.secs, b.cpu, b.connections.accepted, b.connections.atOnce, "");
        else std::printf(" %8.3f s %6.2f cpu %3d/%-3d %3d/%-3d ", b.secs, b.cpu, b.connections.accepted, b.connections.atOnce, b.handshakes, b.resumed);
    }
    std::printf("\n");
}

inline void printLimits(const char* name, const std::vector<double>& secs) {
    std::printf("  %-40s", name);
    for (double s : secs) std::printf(" %8.3f s %26s", s, "");
    std::printf("\n");
}

}  // namespace Bench
