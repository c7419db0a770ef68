// Download speed over a link with a round trip and a bandwidth: the program's window (X11 under
// Xvfb, with as many transfers at once as the parallel tools) against `wget -i`, curl one at a
// time, `curl --parallel` and `aria2c -j`, each fetching from one private nginx on loopback
// through bench/latency_proxy, over http and over https with HTTP/2 (a test authority made for the
// run, trusted through each tool's explicit option). The limits of one transfer at a time and of
// the whole pipe are printed beside the tools, with the ratios to the fastest peer.
//
//   bench_latency [--small N] [--small-kb K] [--big-mb M] [--https-small N] [--https-mb M]
//                 [--rtt-ms 40,150] [--mbit 200] [--at-once 6] [--rounds R] [--no-https]
//                 [--no-xcb]               (bench/run_latency_bench.sh builds and runs it)
//
// Every file of every run is compared with the served one; a run that lost, mangled or left extra
// files, or that did not finish in time, counts as failed and makes the exit status 1.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "BenchNet.h"

namespace {

using Bench::canConnect;
using Bench::freePort;
using Bench::makeTestAuthority;
using Bench::seconds;
using Bench::writeFile;





// Every helper process is a process group of its own that dies with the benchmark, so that a
// round out of time can be ended whole (xvfb-run, its X server and the window) and nothing is
// left running when the benchmark itself is stopped.
void ownGroup(QProcess& p) {
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

Outcome runBounded(const QString& program, const QStringList& args, const QString& cwd,
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

bool sameContent(const QString& a, const QString& b) {
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size()) return false;
    while (!fa.atEnd())
        if (fa.read(1 << 20) != fb.read(1 << 20)) return false;
    return true;
}

// The folder holds exactly the served files, each with the served bytes.
bool intact(const QString& outDir, const QStringList& names, const QString& servedDir) {
    const QStringList present = QDir(outDir).entryList(QDir::Files | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot);
    if (present.size() != names.size()) {
        std::fprintf(stderr, "  %s: %lld entries, %lld expected\n", qPrintable(outDir),
                     static_cast<long long>(present.size()), static_cast<long long>(names.size()));
        return false;
    }
    for (const QString& n : names)
        if (!sameContent(outDir + QLatin1Char('/') + n, servedDir + QLatin1Char('/') + n)) {
            std::fprintf(stderr, "  %s: %s missing or not as served\n", qPrintable(outDir), qPrintable(n));
            return false;
        }
    return true;
}


// A proxy in front of `upstreamPort`; its port, or 0 when it did not start.
int startProxy(QProcess& proxy, const QString& program, int upstreamPort, int rttMs, double mbit) {
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

struct Workload {
    QString label;
    QStringList urls;
    QString listFile;
    QStringList names;  // as served, and as each tool names them
    QString servedDir;
    qint64 bodyBytes = 0;
};

struct Link {
    int rttMs = 0;
    bool https = false;
    int port = 0;  // the proxy's
};

enum Tool { Window, Wget, Curl, CurlParallel, Aria2, ToolCount };

void printRow(const char* name, const std::vector<double>& secs) {
    std::printf("  %-42s", name);
    for (double s : secs) {
        if (s < 0) std::printf(" %14s", "failed");
        else std::printf(" %12.3f s", s);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int smallCount = 300, smallKb = 16, bigMb = 128, httpsSmall = -1, httpsMb = -1, atOnce = 6, rounds = 3;
    double mbit = 200;
    std::vector<int> rtts{40, 150};
    bool https = true, xcb = true;
    for (int k = 1; k < argc; ++k) {
        auto text = [&] { return k + 1 < argc ? QString::fromLocal8Bit(argv[++k]) : QString(); };
        const char* a = argv[k];
        if (!std::strcmp(a, "--small")) smallCount = text().toInt();
        else if (!std::strcmp(a, "--small-kb")) smallKb = text().toInt();
        else if (!std::strcmp(a, "--big-mb")) bigMb = text().toInt();
        else if (!std::strcmp(a, "--https-small")) httpsSmall = text().toInt();
        else if (!std::strcmp(a, "--https-mb")) httpsMb = text().toInt();
        else if (!std::strcmp(a, "--at-once")) atOnce = text().toInt();
        else if (!std::strcmp(a, "--rounds")) rounds = std::max(1, text().toInt());
        else if (!std::strcmp(a, "--mbit")) mbit = text().toDouble();
        else if (!std::strcmp(a, "--rtt-ms")) {
            rtts.clear();
            for (const QString& v : text().split(QLatin1Char(','), Qt::SkipEmptyParts)) rtts.push_back(v.toInt());
        } else if (!std::strcmp(a, "--no-https")) https = false;
        else if (!std::strcmp(a, "--no-xcb")) xcb = false;
        else {
            std::fprintf(stderr, "unknown option %s\n", a);
            return 2;
        }
    }
    if (httpsSmall < 0) httpsSmall = smallCount;
    if (httpsMb < 0) httpsMb = bigMb;
    httpsSmall = std::min(httpsSmall, smallCount);
    if (smallCount <= 0 || smallKb <= 0 || bigMb <= 0 || rtts.empty() || mbit <= 0 || atOnce <= 0) {
        std::fprintf(stderr, "sizes, round trips, bandwidth and transfers at once must be positive\n");
        return 2;
    }

    const QString here = QCoreApplication::applicationDirPath();
    const QString proxyProgram = here + QStringLiteral("/latency_proxy");
    const QString windowProgram = here + QStringLiteral("/bench_download");
    for (const QString& p : {proxyProgram, windowProgram})
        if (!QFile::exists(p)) {
            std::fprintf(stderr, "%s is not built\n", qPrintable(p));
            return 1;
        }
    const bool haveAria2 = !QStandardPaths::findExecutable(QStringLiteral("aria2c")).isEmpty();
    if (!haveAria2) std::printf("aria2c is not installed: its rows stay empty\n");
    if (QStandardPaths::findExecutable(QStringLiteral("xvfb-run")).isEmpty()) xcb = false;
    if (!xcb) std::printf("the window runs on the offscreen platform (no xvfb-run, or --no-xcb)\n");

    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/fetchwright-latency-XXXXXX"));
    const QString www = root.filePath(QStringLiteral("www"));
    QDir().mkpath(www + QStringLiteral("/small"));

    // Content: small files that differ, and large ones written in 1 MB blocks that differ.
    const qint64 smallBytes = qint64(smallKb) * 1024;
    for (int i = 0; i < smallCount; ++i) {
        QByteArray data(smallBytes, char('a' + i % 26));
        std::snprintf(data.data(), std::min<qint64>(32, smallBytes), "file %d\n", i);
        writeFile(www + QStringLiteral("/small/f%1.bin").arg(i, 5, 10, QLatin1Char('0')), data);
    }
    auto writeBig = [&](const QString& name, int mb) {
        QFile big(www + QLatin1Char('/') + name);
        if (!big.open(QIODevice::WriteOnly)) return false;
        QByteArray block(1 << 20, 'x');
        for (int i = 0; i < mb; ++i) {
            std::snprintf(block.data(), 32, "block %d\n", i);
            if (big.write(block) != block.size()) return false;
        }
        return true;
    };
    if (!writeBig(QStringLiteral("big.bin"), bigMb) || (https && !writeBig(QStringLiteral("https-big.bin"), httpsMb))) {
        std::fprintf(stderr, "cannot write the served files\n");
        return 1;
    }

    // nginx with a configuration of its own, every path inside the temporary folder.
    const int port = freePort();
    const int tlsPort = freePort();
    const QString ng = root.filePath(QStringLiteral("nginx"));
    QDir().mkpath(ng);
    if (https && !makeTestAuthority(ng)) {
        std::fprintf(stderr, "openssl could not make a test authority: no https rounds\n");
        https = false;
    }
    const QString ca = ng + QStringLiteral("/ca.pem");
    const QString tlsServer =
        https ? QStringLiteral("  server { listen 127.0.0.1:%1 ssl http2; root %2; ssl_certificate %3/server.pem;\n"
                               "           ssl_certificate_key %3/server.key; ssl_protocols TLSv1.2 TLSv1.3;\n"
                               "           ssl_session_cache shared:tls:1m; }\n")
                    .arg(tlsPort)
                    .arg(www, ng)
              : QString();
    const QString conf = Bench::NginxConf(ng, port, www, tlsServer, 256);
    writeFile(ng + QStringLiteral("/nginx.conf"), conf.toUtf8());
    QProcess nginx;
    ownGroup(nginx);
    nginx.setProcessChannelMode(QProcess::ForwardedChannels);
    nginx.start(QStringLiteral("/usr/sbin/nginx"), {QStringLiteral("-p"), ng, QStringLiteral("-c"),
                                                    ng + QStringLiteral("/nginx.conf"), QStringLiteral("-e"),
                                                    ng + QStringLiteral("/error.log")});
    for (int k = 0; k < 250 && !(canConnect(port) && (!https || canConnect(tlsPort))); ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!canConnect(port) || (https && !canConnect(tlsPort))) {
        std::fprintf(stderr, "nginx did not start\n");
        return 1;
    }

    // The bytes of a response's header as nginx sends it, for the limits below.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Tools must reach loopback directly, whatever proxy the environment names.
    for (const char* v : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        env.remove(QString::fromLatin1(v));
    const Outcome header = runBounded(
        QStringLiteral("curl"),
        {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-w"),
         QStringLiteral("%{size_header}"), QStringLiteral("http://127.0.0.1:%1/small/f00000.bin").arg(port)},
        root.path(), env, 10000);
    const qint64 headerBytes = header.ok ? header.out.trimmed().toLongLong() : 250;

    // The proxies: one per round trip and scheme, each an idle link while the others are used.
    std::vector<Link> links;
    std::vector<std::unique_ptr<QProcess>> proxies;
    for (int rtt : rtts)
        for (bool tls : {false, true}) {
            if (tls && !https) continue;
            proxies.push_back(std::make_unique<QProcess>());
            const int p = startProxy(*proxies.back(), proxyProgram, tls ? tlsPort : port, rtt, mbit);
            if (p == 0) {
                std::fprintf(stderr, "the latency proxy did not start\n");
                return 1;
            }
            links.push_back(Link{rtt, tls, p});
        }

    auto workloadsFor = [&](const Link& link) {
        const QString scheme = link.https ? QStringLiteral("https") : QStringLiteral("http");
        const QString base = QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(link.port);
        const QString tag = QStringLiteral("%1-%2").arg(scheme).arg(link.rttMs);
        Workload small, big;
        const int n = link.https ? httpsSmall : smallCount;
        small.label = QStringLiteral("%1 x %2 KB").arg(n).arg(smallKb);
        for (int i = 0; i < n; ++i) {
            small.names << QStringLiteral("f%1.bin").arg(i, 5, 10, QLatin1Char('0'));
            small.urls << base + QStringLiteral("/small/") + small.names.back();
        }
        small.bodyBytes = smallBytes * n;
        small.servedDir = www + QStringLiteral("/small");
        big.servedDir = www;
        const QString bigName = link.https ? QStringLiteral("https-big.bin") : QStringLiteral("big.bin");
        big.label = QStringLiteral("%1 MB").arg(link.https ? httpsMb : bigMb);
        big.names << bigName;
        big.urls << base + QLatin1Char('/') + bigName;
        big.bodyBytes = qint64(link.https ? httpsMb : bigMb) << 20;
        for (Workload* w : {&small, &big}) {
            w->listFile = root.filePath(QStringLiteral("list-%1-%2.txt").arg(tag, w == &small ? QStringLiteral("small") : QStringLiteral("big")));
            writeFile(w->listFile, w->urls.join(QLatin1Char('\n')).toUtf8() + "\n");
        }
        return std::vector<Workload>{small, big};
    };

    const double bytesPerSec = mbit * 1e6 / 8;
    // The round trips as the proxy makes them: one for each request, the TCP handshake none (it
    // completes at once on loopback), and over https one more for the TLS 1.3 handshake that the
    // transfers in parallel make side by side. Every byte of the answers crosses the cap.
    auto pipeSecs = [&](const Workload& w) {
        return (w.bodyBytes + qint64(w.names.size()) * headerBytes) / bytesPerSec;
    };
    auto roundTrips = [&](const Link& link, double requestsInTurn) {
        return (requestsInTurn + (link.https ? 1 : 0)) * link.rttMs / 1e3;
    };
    auto oneAtATimeLimit = [&](const Workload& w, const Link& link) {
        return roundTrips(link, double(w.names.size())) + pipeSecs(w);
    };
    auto atOnceLimit = [&](const Workload& w, const Link& link) {
        return roundTrips(link, std::ceil(double(w.names.size()) / atOnce)) + pipeSecs(w);
    };
    auto wholePipeLimit = [&](const Workload& w, const Link& link) { return roundTrips(link, 1) + pipeSecs(w); };

    int outCount = 0;
    bool broken = false;
    // One run of one tool into an empty folder; seconds, or -1 when it failed.
    auto runTool = [&](Tool tool, const Link& link, const Workload& w) -> double {
        const QString d = root.filePath(QStringLiteral("out%1").arg(outCount++));
        QDir().mkpath(d);
        const int timeoutMs = int(1000 * std::max(60.0, 3 * oneAtATimeLimit(w, link) + 30));
        const QString atOnceText = QString::number(atOnce);
        QStringList tlsArgs;
        QProcessEnvironment toolEnv = env;
        Outcome o;
        switch (tool) {
        case Window: {
            toolEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), xcb ? QStringLiteral("xcb") : QStringLiteral("offscreen"));
            toolEnv.insert(QStringLiteral("FETCHWRIGHT_BENCH_AT_ONCE"), atOnceText);
            if (link.https) toolEnv.insert(QStringLiteral("FETCHWRIGHT_BENCH_CA"), ca);
            const QStringList child{windowProgram, QStringLiteral("--window-child"), d, w.listFile};
            if (xcb)
                o = runBounded(QStringLiteral("xvfb-run"),
                               QStringList{QStringLiteral("-a"), QStringLiteral("-s"),
                                           QStringLiteral("-screen 0 1280x1024x24 -nolisten tcp")} + child,
                               d, toolEnv, timeoutMs);
            else
                o = runBounded(child.front(), child.mid(1), d, toolEnv, timeoutMs);
            // The window times itself, from Start to the run's message.
            bool number = false;
            o.secs = o.out.trimmed().split(' ').front().toDouble(&number);
            o.ok = o.ok && number;
            break;
        }
        case Wget:
            if (link.https) tlsArgs << QStringLiteral("--ca-certificate=") + ca;
            o = runBounded(QStringLiteral("wget"), QStringList{QStringLiteral("-q")} + tlsArgs +
                                                       QStringList{QStringLiteral("-i"), w.listFile, QStringLiteral("-P"), d},
                           d, toolEnv, timeoutMs);
            break;
        case Curl:
        case CurlParallel:
            if (link.https) tlsArgs << QStringLiteral("--cacert") << ca;
            if (tool == CurlParallel) tlsArgs << QStringLiteral("--parallel") << QStringLiteral("--parallel-max") << atOnceText;
            o = runBounded(QStringLiteral("curl"), QStringList{QStringLiteral("-s"), QStringLiteral("--no-progress-meter")} + tlsArgs +
                                                       QStringList{QStringLiteral("--remote-name-all")} + w.urls,
                           d, toolEnv, timeoutMs);
            break;
        case Aria2:
            if (link.https) tlsArgs << QStringLiteral("--ca-certificate=") + ca;
            o = runBounded(QStringLiteral("aria2c"),
                           QStringList{QStringLiteral("--no-conf"), QStringLiteral("-q"), QStringLiteral("-j"), atOnceText} +
                               tlsArgs + QStringList{QStringLiteral("-i"), w.listFile, QStringLiteral("-d"), d},
                           d, toolEnv, timeoutMs);
            break;
        case ToolCount:
            break;
        }
        const bool good = o.ok && intact(d, w.names, w.servedDir);
        QDir(d).removeRecursively();
        if (!good) broken = true;
        return good ? o.secs : -1;
    };

    const QString windowName = QStringLiteral("window (%1, %2 at once)")
                                   .arg(xcb ? QStringLiteral("X11 under Xvfb") : QStringLiteral("offscreen"))
                                   .arg(atOnce);
    const QString parallelName = QStringLiteral("curl --parallel --parallel-max %1").arg(atOnce);
    const QString aria2Name = QStringLiteral("aria2c -j %1").arg(atOnce);
    const char* toolNames[ToolCount] = {nullptr, "wget -i", "curl (one at a time)", nullptr, nullptr};
    const QByteArray windowLabel = windowName.toUtf8(), parallelLabel = parallelName.toUtf8(), aria2Label = aria2Name.toUtf8();
    toolNames[Window] = windowLabel.constData();
    toolNames[CurlParallel] = parallelLabel.constData();
    toolNames[Aria2] = aria2Label.constData();

    // best[link][workload][tool]: the best of the rounds, -1 while none succeeded.
    std::vector<std::vector<std::vector<double>>> best(links.size(),
                                                       std::vector<std::vector<double>>(2, std::vector<double>(ToolCount, -1)));
    std::vector<std::vector<Workload>> workloads;
    for (const Link& link : links) workloads.push_back(workloadsFor(link));
    // Rounds go through every link, workload and tool in turn, the tools' order turning each
    // round, so that a busy moment of the machine does not fall on one of them only.
    for (int r = 0; r < rounds; ++r)
        for (size_t l = 0; l < links.size(); ++l)
            for (size_t w = 0; w < 2; ++w)
                for (int k = 0; k < ToolCount; ++k) {
                    const Tool tool = Tool((k + r) % ToolCount);
                    if (tool == Aria2 && !haveAria2) continue;
                    const double s = runTool(tool, links[l], workloads[l][w]);
                    double& b = best[l][w][tool];
                    if (s >= 0 && (b < 0 || s < b)) b = s;
                    std::fprintf(stderr, "round %d, %s %d ms, %s, %s: %.3f s\n", r + 1,
                                 links[l].https ? "https" : "http", links[l].rttMs, qPrintable(workloads[l][w].label),
                                 toolNames[tool], s);
                }

    for (size_t l = 0; l < links.size(); ++l) {
        const Link& link = links[l];
        const std::vector<Workload>& ws = workloads[l];
        std::printf("\n%s through the proxy: round trip %d ms, %g Mbit/s (best of %d interleaved rounds)\n",
                    link.https ? "https (HTTP/2 offered)" : "http", link.rttMs, mbit, rounds);
        std::printf("  %-42s %14s %14s\n", "", qPrintable(ws[0].label), qPrintable(ws[1].label));
        for (int t = 0; t < ToolCount; ++t) {
            if (t == Aria2 && !haveAria2) continue;
            printRow(toolNames[t], {best[l][0][t], best[l][1][t]});
        }
        printRow("one-at-a-time limit", {oneAtATimeLimit(ws[0], link), oneAtATimeLimit(ws[1], link)});
        printRow(qPrintable(QStringLiteral("%1-at-a-time limit").arg(atOnce)), {atOnceLimit(ws[0], link), atOnceLimit(ws[1], link)});
        printRow("whole-pipe limit", {wholePipeLimit(ws[0], link), wholePipeLimit(ws[1], link)});
        // Time ratios turned round, so that above 1 means the window was faster.
        std::printf("  %-42s", "window : fastest peer");
        for (size_t w = 0; w < 2; ++w) {
            double peer = -1;
            for (int t = Wget; t < ToolCount; ++t)
                if (best[l][w][t] > 0 && (peer < 0 || best[l][w][t] < peer)) peer = best[l][w][t];
            const double window = best[l][w][Window];
            const char* goal = w == 0 ? "(>= 1.00)" : "(>= 0.95)";
            if (peer > 0 && window > 0) std::printf(" %5.2f %-8s", peer / window, goal);
            else std::printf(" %14s", "-");
        }
        std::printf("\n");
        // How close the proxy holds a one-at-a-time tool to its limit: near 1 is a faithful link.
        std::printf("  %-42s", "fastest one-at-a-time peer : its limit");
        for (size_t w = 0; w < 2; ++w) {
            double serial = -1;
            for (int t : {Wget, Curl})
                if (best[l][w][t] > 0 && (serial < 0 || best[l][w][t] < serial)) serial = best[l][w][t];
            if (serial > 0) std::printf(" %14.2f", serial / oneAtATimeLimit(ws[w], link));
            else std::printf(" %14s", "-");
        }
        std::printf("\n");
    }
    std::printf("\n(limits count %lld bytes of header per answer, as nginx sends them over http)\n",
                static_cast<long long>(headerBytes));

    // The proxies' own account: how far past its due time each chunk left them.
    for (size_t l = 0; l < links.size(); ++l) {
        proxies[l]->terminate();
        proxies[l]->waitForFinished(5000);
        std::printf("%s %d ms link: %s\n", links[l].https ? "https" : "http", links[l].rttMs,
                    proxies[l]->readAllStandardError().trimmed().constData());
    }
    nginx.terminate();
    nginx.waitForFinished(5000);
    return broken ? 1 : 0;
}
