// Download speed over a link with a round trip and a bandwidth: the program's window (X11 under
// Xvfb) at its default number of connections and at each count asked for, against `wget -i`, curl
// one at a time, `curl --parallel` at its default and with `--parallel-max` at the same counts,
// and `aria2c` at its default and with `-j` at the same counts, each fetching from one private
// nginx on loopback through bench/latency_proxy, over http (HTTP/1.1) and over https with HTTP/2
// (a test authority made for the run, trusted through each tool's explicit option). The proxy
// counts the connections of each run: opened, and the most at once. The limits of one transfer at
// a time, of N at a time and of the whole pipe are printed beside the tools, with the ratios to
// the fastest peer and to the fastest peer that kept to as many connections at once.
//
//   bench_latency [--small N] [--small-kb K] [--big-mb M] [--https-small N] [--https-mb M]
//                 [--rtt-ms 40,150] [--mbit 200] [--at-once 4,8] [--rounds R] [--no-https]
//                 [--limited-mb 64] [--no-limited] [--no-xcb] [--many 600] [--many-hosts 60]
//                 [--no-many] [--long 100000] [--cost 3000] [--cost-mb 512] [--window-small 2000]
//                 [--window-mb 256] [--memory-run 20000] [--no-loopback] [--loopback-only]
//                                          (bench/run_latency_bench.sh builds and runs it)
//
// A third link, over http at the first round trip, goes to a server that sends each connection
// at most 2 MB/s (nginx limit_rate 2m): one big file, and 40 files of 256 KB before it, where
// splitting a file over several connections pays; aria2c -x N -s N -k 1M splits as well.
//
// A fourth link, over https at the first round trip, serves the many-servers workload: 600 files
// of 16 KB under 60 host names (h00.fetchwright.test, ...), listed host after host in turn, and the
// same list sorted by host. The names reach loopback through a private hosts file that each tool
// (the window too) sees in a mount namespace of its own (unshare -m, a bind mount over
// /etc/hosts), so that every tool resolves them as it resolves any name; without that (no
// unshare, or no right to mount) the link is left out. Its trust store is the system's bundle
// with the test authority appended, as a real run loads the system's. nginx logs whether each new
// connection resumed a TLS session: the rows show the handshakes and how many were resumed.
//
// Last, a loopback section (LoopbackRuns.cpp), no proxy between the tools and nginx: 100,000 x 4 KB
// over http at 8 at once; CPU of 3,000 x 4 KB (http, https HTTP/2) and of one 512 MB file (http,
// https HTTP/1.1 and HTTP/2) against the leanest peer; the window's wall time for 2,000 x 4 KB and
// one 256 MB file; the memory an entry of a 20,000-file run costs. --loopback-only runs it alone.
//
// Each row shows the CPU seconds (user + system) beside the wall time: the tool's and what it
// started, or for the window its own process's (not Xvfb's).
//
// The first count of --at-once is taken for the window's default. Every file of every run is
// checked against the served one by SHA-256; a run that lost, mangled or left extra files, or
// that did not finish in time, counts as failed and makes the exit status 1.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <unistd.h>

#include "BenchNet.h"
#include "LatencyRuns.h"
#include "LoopbackRuns.h"
#include "ManyNames.h"

using Bench::freePort;
using Bench::makeTestAuthority;
using Bench::Outcome;
using Bench::runBounded;
using Bench::writeFile;
using Bench::Link;
using Bench::Tool;
using Bench::Workload;
using Bench::Best;
using Bench::printCells;
using Bench::printLimits;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int smallCount = 300, smallKb = 16, bigMb = 128, httpsSmall = -1, httpsMb = -1, rounds = 3, limitedMb = 64;
    std::vector<int> counts{4, 8};
    double mbit = 200;
    std::vector<int> rtts{40, 150};
    bool https = true, xcb = true, limited = true, many = true;
    int manyCount = 600, manyHosts = 60;
    Bench::LoopbackSizes loopback;
    auto numbers = [](const QString& text) {
        std::vector<int> all;
        for (const QString& v : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) all.push_back(v.toInt());
        return all;
    };
    for (int k = 1; k < argc; ++k) {
        auto text = [&] { return k + 1 < argc ? QString::fromLocal8Bit(argv[++k]) : QString(); };
        const char* a = argv[k];
        if (!std::strcmp(a, "--small")) smallCount = text().toInt();
        else if (!std::strcmp(a, "--small-kb")) smallKb = text().toInt();
        else if (!std::strcmp(a, "--big-mb")) bigMb = text().toInt();
        else if (!std::strcmp(a, "--https-small")) httpsSmall = text().toInt();
        else if (!std::strcmp(a, "--https-mb")) httpsMb = text().toInt();
        else if (!std::strcmp(a, "--at-once")) counts = numbers(text());
        else if (!std::strcmp(a, "--rounds")) rounds = std::max(1, text().toInt());
        else if (!std::strcmp(a, "--mbit")) mbit = text().toDouble();
        else if (!std::strcmp(a, "--rtt-ms")) rtts = numbers(text());
        else if (!std::strcmp(a, "--no-https")) https = false;
        else if (!std::strcmp(a, "--no-xcb")) xcb = false;
        else if (!std::strcmp(a, "--no-limited")) limited = false;
        else if (!std::strcmp(a, "--limited-mb")) limitedMb = std::max(1, text().toInt());
        else if (!std::strcmp(a, "--many")) manyCount = std::max(1, text().toInt());
        else if (!std::strcmp(a, "--many-hosts")) manyHosts = std::clamp(text().toInt(), 1, 1000);
        else if (!std::strcmp(a, "--no-many")) many = false;
        else if (loopback.take(a, text)) continue;
        else {
            std::fprintf(stderr, "unknown option %s\n", a);
            return 2;
        }
    }
    if (httpsSmall < 0) httpsSmall = smallCount;
    if (httpsMb < 0) httpsMb = bigMb;
    httpsSmall = std::min(httpsSmall, smallCount);
    const bool countsGood = !counts.empty() && std::all_of(counts.begin(), counts.end(), [](int n) { return n >= 1 && n <= 8; });
    if (smallCount <= 0 || smallKb <= 0 || bigMb <= 0 || rtts.empty() || mbit <= 0 || !countsGood) {
        std::fprintf(stderr, "sizes, round trips and bandwidth must be positive, transfers at once 1 to 8\n");
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
    if (loopback.only) return Bench::runLoopback(loopback, rounds, xcb, haveAria2, windowProgram);

    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/fetchwright-latency-XXXXXX"));
    const QString www = root.filePath(QStringLiteral("www"));

    // Content: small files that differ, and large ones written in 1 MB blocks that differ.
    const qint64 smallBytes = qint64(smallKb) * 1024;
    constexpr int kLimitedSmall = 40;
    const bool written = Bench::writeFiles(www + QStringLiteral("/small"), QStringLiteral("f"), smallCount, smallBytes) &&
                         (!many || Bench::writeFiles(www + QStringLiteral("/many"), QStringLiteral("m"), manyCount, 16 * 1024)) &&
                         (!limited || Bench::writeFiles(www + QStringLiteral("/limited"), QStringLiteral("p"), kLimitedSmall, 256 * 1024, 2)) &&
                         Bench::writeBig(www + QStringLiteral("/big.bin"), bigMb) &&
                         (!https || Bench::writeBig(www + QStringLiteral("/https-big.bin"), httpsMb)) &&
                         (!limited || Bench::writeBig(www + QStringLiteral("/limited/huge.bin"), limitedMb));
    if (!written) {
        std::fprintf(stderr, "cannot write the served files\n");
        return 1;
    }
    Bench::ServedFiles served;
    for (const char* folder : {"", "/small", "/limited", "/many"}) served.addFolder(www + QString::fromLatin1(folder));

    // nginx with a configuration of its own, every path inside the temporary folder.
    const int port = freePort();
    const int tlsPort = freePort();
    const int limitedPort = freePort();
    const int manyPort = freePort();
    const QString ng = root.filePath(QStringLiteral("nginx"));
    QDir().mkpath(ng);
    if (https && !makeTestAuthority(ng)) {
        std::fprintf(stderr, "openssl could not make a test authority: no https rounds\n");
        https = false;
    }
    const QString ca = ng + QStringLiteral("/ca.pem");
    // The many names: a hosts file that a mount namespace puts over /etc/hosts for each tool, and
    // the system's bundle with the test authority appended, as a real run loads the system's.
    const Bench::ManyNames names(ng, ca, manyHosts);
    if (many && !(https && names.usable())) {
        std::printf("no https, or a private hosts file cannot be mounted here (unshare -m): the many-servers link is left out\n");
        many = false;
    }
    const QString tlsServer =
        https ? QStringLiteral("  server { listen 127.0.0.1:%1 ssl http2; root %2; ssl_certificate %3/server.pem;\n"
                               "           ssl_certificate_key %3/server.key; ssl_protocols TLSv1.2 TLSv1.3;\n"
                               "           ssl_session_cache shared:tls:1m; }\n")
                    .arg(tlsPort)
                    .arg(www, ng)
              : QString();
    const QString limitedServer =
        QStringLiteral("  server { listen 127.0.0.1:%1; root %2/limited; limit_rate 2m; }\n").arg(limitedPort).arg(www);
    const QString manyServer = many ? names.serverBlock(manyPort, www) : QString();
    const QString conf = Bench::NginxConf(ng, port, www, tlsServer + limitedServer + manyServer, 1024);
    writeFile(ng + QStringLiteral("/nginx.conf"), conf.toUtf8());
    QProcess nginx;
    Bench::ownGroup(nginx);
    nginx.setProcessChannelMode(QProcess::ForwardedChannels);
    if (!Bench::StartNginx(nginx, ng, {port, https ? tlsPort : port})) {
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
            const int p = Bench::startProxy(*proxies.back(), proxyProgram, tls ? tlsPort : port, rtt, mbit);
            if (p == 0) {
                std::fprintf(stderr, "the latency proxy did not start\n");
                return 1;
            }
            links.push_back(Link{rtt, tls, false, p});
        }
    if (limited) {
        proxies.push_back(std::make_unique<QProcess>());
        const int p = Bench::startProxy(*proxies.back(), proxyProgram, limitedPort, rtts.front(), mbit);
        if (p == 0) return 1;
        links.push_back(Link{rtts.front(), false, true, p});
    }
    if (many) {
        proxies.push_back(std::make_unique<QProcess>());
        const int p = Bench::startProxy(*proxies.back(), proxyProgram, manyPort, rtts.front(), mbit);
        if (p == 0) return 1;
        links.push_back(Link{rtts.front(), true, false, p, true});
    }

    auto workloadsFor = [&](const Link& link) {
        const QString scheme = link.https ? QStringLiteral("https") : QStringLiteral("http");
        const QString base = QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(link.port);
        const QString tag = QStringLiteral("%1-%2%3").arg(scheme).arg(link.rttMs).arg(link.limited ? "-limited" : link.many ? "-many" : "");
        Workload small, big;
        if (link.many) {
            // Host after host in turn; and the same files sorted by host.
            small.label = QStringLiteral("%1 x 16 KB, %2 hosts in turn").arg(manyCount).arg(manyHosts);
            big.label = QStringLiteral("the same, sorted by host");
            for (int i = 0; i < manyCount; ++i) {
                small.names << QStringLiteral("m%1.bin").arg(i, 5, 10, QLatin1Char('0'));
                small.urls << QStringLiteral("https://%1:%2/many/%3").arg(names.host(i % manyHosts)).arg(link.port).arg(small.names.back());
            }
            for (int h = 0; h < manyHosts; ++h)
                for (int i = h; i < manyCount; i += manyHosts) {
                    big.names << small.names[i];
                    big.urls << small.urls[i];
                }
            small.bodyBytes = big.bodyBytes = qint64(manyCount) * 16 * 1024;
        } else if (link.limited) {
            // One big file; and small files before it, so that it starts when they end.
            small.label = QStringLiteral("%1 MB").arg(limitedMb);
            big.label = QStringLiteral("%1 x 256 KB + %2 MB").arg(kLimitedSmall).arg(limitedMb);
            for (int i = 0; i < kLimitedSmall; ++i) {
                big.names << QStringLiteral("p%1.bin").arg(i, 2, 10, QLatin1Char('0'));
                big.urls << base + QLatin1Char('/') + big.names.back();
            }
            for (Workload* w : {&small, &big}) {
                w->names << QStringLiteral("huge.bin");
                w->urls << base + QStringLiteral("/huge.bin");
            }
            small.bodyBytes = qint64(limitedMb) << 20;
            big.bodyBytes = small.bodyBytes + kLimitedSmall * 256 * 1024;
        } else {
            const int n = link.https ? httpsSmall : smallCount;
            small.label = QStringLiteral("%1 x %2 KB").arg(n).arg(smallKb);
            for (int i = 0; i < n; ++i) {
                small.names << QStringLiteral("f%1.bin").arg(i, 5, 10, QLatin1Char('0'));
                small.urls << base + QStringLiteral("/small/") + small.names.back();
            }
            small.bodyBytes = smallBytes * n;
            const QString bigName = link.https ? QStringLiteral("https-big.bin") : QStringLiteral("big.bin");
            big.label = QStringLiteral("%1 MB").arg(link.https ? httpsMb : bigMb);
            big.names << bigName;
            big.urls << base + QLatin1Char('/') + bigName;
            big.bodyBytes = qint64(link.https ? httpsMb : bigMb) << 20;
        }
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
    // The pipe, or on the limited link the 2 MB/s of each of `connections`, whichever is slower.
    auto bodySecs = [&](const Workload& w, const Link& link, int connections) {
        return std::max(pipeSecs(w), link.limited ? double(w.bodyBytes) / (connections * 2.0 * 1024 * 1024) : 0.0);
    };
    auto oneAtATimeLimit = [&](const Workload& w, const Link& link) {
        return roundTrips(link, double(w.names.size())) + bodySecs(w, link, 1);
    };
    auto atOnceLimit = [&](const Workload& w, const Link& link, int n) {
        return roundTrips(link, std::ceil(double(w.names.size()) / n)) + bodySecs(w, link, n);
    };
    auto wholePipeLimit = [&](const Workload& w, const Link& link) { return roundTrips(link, 1) + pipeSecs(w); };

    int outCount = 0;
    bool broken = false;
    // One run of one tool into an empty folder, and the connections the proxy saw for it.
    auto runTool = [&](const Tool& tool, size_t linkIndex, const Workload& w) -> Best {
        const Link& link = links[linkIndex];
        const QString d = root.filePath(QStringLiteral("out%1").arg(outCount++));
        QDir().mkpath(d);
        const int timeoutMs = int(1000 * std::max(60.0, 3 * oneAtATimeLimit(w, link) + 30));
        const QString n = QString::number(tool.n);
        QStringList tlsArgs;
        QProcessEnvironment toolEnv = env;
        Bench::proxyConnections(*proxies[linkIndex]);  // counts afresh from here
        if (link.many) names.countAfresh();
        const QString trust = link.many ? names.trust() : ca;
        // Every tool of the many-servers link sees the private hosts file.
        auto bounded = [&](const QString& program, const QStringList& args, const QString& cwd, const QProcessEnvironment& e, int ms) {
            if (!link.many) return runBounded(program, args, cwd, e, ms);
            return runBounded(QStringLiteral("unshare"), names.wrapped(program, args), cwd, e, ms);
        };
        Outcome o;
        switch (tool.kind) {
        case Tool::Window: {
            toolEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), xcb ? QStringLiteral("xcb") : QStringLiteral("offscreen"));
            toolEnv.insert(QStringLiteral("FETCHWRIGHT_BENCH_AT_ONCE"), n);
            if (link.https) toolEnv.insert(QStringLiteral("FETCHWRIGHT_BENCH_CA"), trust);
            const QStringList command = Bench::windowChildCommand(windowProgram, d, w.listFile, xcb);
            o = bounded(command.front(), command.mid(1), d, toolEnv, timeoutMs);
            // The window times itself, from Start to the run's message.
            bool number = false;
            const QList<QByteArray> parts = o.out.trimmed().split(' ');
            o.secs = parts.front().toDouble(&number);
            o.ok = o.ok && number;
            // Its own process's CPU, not that of Xvfb beside it.
            if (parts.size() >= 3) o.cpu = parts[2].toDouble();
            break;
        }
        case Tool::Wget:
            if (link.https) tlsArgs << QStringLiteral("--ca-certificate=") + trust;
            o = bounded(QStringLiteral("wget"), QStringList{QStringLiteral("-q")} + tlsArgs +
                                                       QStringList{QStringLiteral("-i"), w.listFile, QStringLiteral("-P"), d},
                           d, toolEnv, timeoutMs);
            break;
        case Tool::Curl:
        case Tool::CurlParallel:
            if (link.https) tlsArgs << QStringLiteral("--cacert") << trust;
            if (tool.kind == Tool::CurlParallel) tlsArgs << QStringLiteral("--parallel");
            if (tool.kind == Tool::CurlParallel && tool.n > 0) tlsArgs << QStringLiteral("--parallel-max") << n;
            o = bounded(QStringLiteral("curl"), QStringList{QStringLiteral("-s"), QStringLiteral("--no-progress-meter")} + tlsArgs +
                                                       QStringList{QStringLiteral("--remote-name-all")} + w.urls,
                           d, toolEnv, timeoutMs);
            break;
        case Tool::Aria2:
        case Tool::Aria2Split:
            if (link.https) tlsArgs << QStringLiteral("--ca-certificate=") + trust;
            if (tool.n > 0) tlsArgs << QStringLiteral("-j") << n;
            if (tool.kind == Tool::Aria2Split)
                tlsArgs << QStringLiteral("-x") << n << QStringLiteral("-s") << n << QStringLiteral("-k") << QStringLiteral("1M");
            o = bounded(QStringLiteral("aria2c"),
                           QStringList{QStringLiteral("--no-conf"), QStringLiteral("-q")} + tlsArgs +
                               QStringList{QStringLiteral("-i"), w.listFile, QStringLiteral("-d"), d},
                           d, toolEnv, timeoutMs);
            break;
        }
        Best run;
        run.connections = Bench::proxyConnections(*proxies[linkIndex]);
        run.cpu = o.cpu;
        if (link.many) names.handshakes(run.handshakes, run.resumed);
        const bool good = o.ok && served.intact(d, w.names);
        // Small files stay to the end (an ext4 without a journal searches past inodes freed in the
        // last 30 s for each new file), and what a tool left unwritten is written outside its time.
        if (w.names.size() <= 1) QDir(d).removeRecursively();
        ::sync();
        if (!good) broken = true;
        run.secs = good ? o.secs : -1;
        return run;
    };

    // The tools: the window at each count (the first its default), and the peers at their
    // defaults and at the same counts.
    std::vector<Tool> tools;
    const QString platform = xcb ? QStringLiteral("X11") : QStringLiteral("offscreen");
    for (size_t c = 0; c < counts.size(); ++c)
        tools.push_back(Tool{Tool::Window, counts[c],
                             QStringLiteral("window (%1, %2 at once%3)").arg(platform).arg(counts[c]).arg(c == 0 ? QStringLiteral(", default") : QString()).toUtf8()});
    const size_t windows = tools.size();
    tools.push_back(Tool{Tool::Wget, 0, "wget -i"});
    tools.push_back(Tool{Tool::Curl, 0, "curl (one at a time)"});
    tools.push_back(Tool{Tool::CurlParallel, 0, "curl --parallel (its default, 50)"});
    for (int n : counts) tools.push_back(Tool{Tool::CurlParallel, n, QStringLiteral("curl --parallel --parallel-max %1").arg(n).toUtf8()});
    if (haveAria2) {
        tools.push_back(Tool{Tool::Aria2, 0, "aria2c (its default, -j 5)"});
        for (int n : counts) tools.push_back(Tool{Tool::Aria2, n, QStringLiteral("aria2c -j %1").arg(n).toUtf8()});
        for (int n : counts)
            tools.push_back(Tool{Tool::Aria2Split, n, QStringLiteral("aria2c -j %1 -x %1 -s %1 -k 1M").arg(n).toUtf8()});
    }

    // best[link][workload][tool]
    std::vector<std::vector<std::vector<Best>>> best(links.size(), std::vector<std::vector<Best>>(2, std::vector<Best>(tools.size())));
    std::vector<std::vector<Workload>> workloads;
    for (const Link& link : links) workloads.push_back(workloadsFor(link));
    // Rounds go through every link, workload and tool in turn, the tools' order turning each
    // round, so that a busy moment of the machine does not fall on one of them only.
    for (int r = 0; r < rounds; ++r)
        for (size_t l = 0; l < links.size(); ++l)
            for (size_t w = 0; w < 2; ++w)
                for (size_t k = 0; k < tools.size(); ++k) {
                    const size_t t = (k + size_t(r)) % tools.size();
                    const Best run = runTool(tools[t], l, workloads[l][w]);
                    Best& b = best[l][w][t];
                    if (run.secs >= 0 && (b.secs < 0 || run.secs < b.secs)) b = run;
                    std::fprintf(stderr, "round %d, %s %d ms, %s, %s: %.3f s, %.2f s CPU, %d connections (%d at once)\n", r + 1,
                                 links[l].https ? "https" : "http", links[l].rttMs, qPrintable(workloads[l][w].label),
                                 tools[t].label.constData(), run.secs, run.cpu, run.connections.accepted, run.connections.atOnce);
                }

    for (size_t l = 0; l < links.size(); ++l) {
        const Link& link = links[l];
        const std::vector<Workload>& ws = workloads[l];
        std::printf("\n%s through the proxy: round trip %d ms, %g Mbit/s (best of %d interleaved rounds)\n",
                    link.many ? "https (HTTP/2 offered) to many host names, the system's trust store"
                    : link.https ? "https (HTTP/2 offered)"
                    : link.limited ? "http (HTTP/1.1), 2 MB/s for each connection,"
                                   : "http (HTTP/1.1)",
                    link.rttMs, mbit, rounds);
        std::printf("  %-40s %37s %37s\n", "", qPrintable(ws[0].label), qPrintable(ws[1].label));
        std::printf("  %-40s %37s %37s\n", link.many ? "(wall, CPU, connections opened/at once, TLS handshakes/resumed)" : "(wall, CPU, connections opened/at once)", "", "");
        for (size_t t = 0; t < tools.size(); ++t) printCells(tools[t].label.constData(), {best[l][0][t], best[l][1][t]});
        printLimits("one-at-a-time limit", {oneAtATimeLimit(ws[0], link), oneAtATimeLimit(ws[1], link)});
        for (int n : counts)
            printLimits(qPrintable(QStringLiteral("%1-at-a-time limit").arg(n)), {atOnceLimit(ws[0], link, n), atOnceLimit(ws[1], link, n)});
        printLimits("whole-pipe limit", {wholePipeLimit(ws[0], link), wholePipeLimit(ws[1], link)});
        // Time ratios turned round, so that above 1 means the window was faster: against the
        // fastest peer whatever it opened, and against the fastest that kept to as many
        // connections at once as the window was allowed.
        auto fastest = [&](size_t w, int most) {
            double peer = -1;
            for (size_t t = windows; t < tools.size(); ++t) {
                const Best& b = best[l][w][t];
                if (b.secs <= 0 || (most > 0 && (b.connections.atOnce < 0 || b.connections.atOnce > most))) continue;
                if (peer < 0 || b.secs < peer) peer = b.secs;
            }
            return peer;
        };
        for (size_t c = 0; c < windows; ++c)
            for (int most : {0, counts[c]}) {
                const QString name = most == 0 ? QStringLiteral("window %1 : fastest peer").arg(counts[c])
                                               : QStringLiteral("window %1 : fastest peer with <= %1 at once").arg(counts[c]);
                std::printf("  %-40s", qPrintable(name));
                for (size_t w = 0; w < 2; ++w) {
                    const double peer = fastest(w, most), window = best[l][w][c].secs;
                    if (peer > 0 && window > 0) std::printf(" %8.2f %28s", peer / window, "");
                    else std::printf(" %37s", "-");
                }
                std::printf("\n");
            }
        // How close the proxy holds a one-at-a-time tool to its limit: near 1 is a faithful link.
        std::printf("  %-40s", "fastest one-at-a-time peer : its limit");
        for (size_t w = 0; w < 2; ++w) {
            double serial = -1;
            for (size_t t = windows; t < tools.size(); ++t)
                if ((tools[t].kind == Tool::Wget || tools[t].kind == Tool::Curl) && best[l][w][t].secs > 0 &&
                    (serial < 0 || best[l][w][t].secs < serial))
                    serial = best[l][w][t].secs;
            if (serial > 0) std::printf(" %8.2f %28s", serial / oneAtATimeLimit(ws[w], link), "");
            else std::printf(" %37s", "-");
        }
        std::printf("\n");
    }
    std::printf("\n(limits count %lld bytes of header per answer, as nginx sends them over http; every stored file\n"
                " was checked against the served one by SHA-256)\n",
                static_cast<long long>(headerBytes));

    // The proxies' own account: how far past its due time each chunk left them.
    for (size_t l = 0; l < links.size(); ++l) {
        proxies[l]->terminate();
        proxies[l]->waitForFinished(5000);
        std::printf("%s %d ms%s link: %s\n", links[l].https ? "https" : "http", links[l].rttMs, links[l].many ? " many-names" : links[l].limited ? " limited" : "",
                    proxies[l]->readAllStandardError().trimmed().constData());
    }
    nginx.terminate();
    nginx.waitForFinished(5000);
    if (loopback.enabled && Bench::runLoopback(loopback, rounds, xcb, haveAria2, windowProgram) != 0) broken = true;
    return broken ? 1 : 0;
}
