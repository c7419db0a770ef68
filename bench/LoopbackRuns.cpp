// The latency benchmark's loopback section (see LoopbackRuns.h): the window and its peers
// straight against a private nginx, over http, over https with HTTP/1.1 (a server without http2)
// and over https with HTTP/2, interleaved round after round, every stored file checked against
// the served one by SHA-256; a folder of one big file is removed at once, those of small files
// when the section ends.
#include "LoopbackRuns.h"

#include <QDir>
#include <QHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <cstdio>

#include <unistd.h>
#include <vector>

#include "BenchNet.h"
#include "LatencyRuns.h"

namespace Bench {
namespace {

constexpr qint64 kSmallBytes = 4096;
// Beyond this many bytes of addresses curl reads them from a config file (-K), not its arguments.
constexpr qint64 kLongestCommandLine = 100000;

// A tool's figures on one workload, each its own best over the rounds (the lowest wall time, the
// lowest CPU seconds, the lowest peak memory) but the window's event gap, its longest.
struct Cell {
    double secs = -1;  // -1 while no round succeeded
    double cpu = -1;
    qint64 gapMs = -1;
    long rssKb = -1;

    void keep(const Cell& run) {
        if (run.secs < 0) return;
        auto lower = [](auto& mine, auto theirs) {
            if (theirs >= 0 && (mine < 0 || theirs < mine)) mine = theirs;
        };
        lower(secs, run.secs);
        lower(cpu, run.cpu);
        lower(rssKb, run.rssKb);
        gapMs = std::max(gapMs, run.gapMs);
    }
};

// Workloads side by side in one table, each run by every tool of the table.
struct Table {
    QString title;
    std::vector<Workload> columns;
    std::vector<Tool> tools;
    std::vector<std::vector<Cell>> cells;  // [column][tool]
};

class Section {
public:
    Section(const LoopbackSizes& sizes, bool xcb, const QString& windowProgram)
        : sizes_(sizes), xcb_(xcb), windowProgram_(windowProgram),
          root_(QDir::tempPath() + QStringLiteral("/fetchwright-loopback-XXXXXX")) {
        env_ = QProcessEnvironment::systemEnvironment();
        for (const char* v : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            env_.remove(QString::fromLatin1(v));
    }

    // Writes the served files and starts nginx; false when either failed.
    bool serve() {
        const QString www = root_.filePath(QStringLiteral("www"));
        const int smallCount =
            std::max({sizes_.longFiles, sizes_.costFiles, sizes_.windowSmall, sizes_.memoryRun});
        if (!writeFiles(www + QStringLiteral("/s"), QStringLiteral("s"), smallCount, kSmallBytes, 6) ||
            !writeBig(www + QStringLiteral("/cost.bin"), sizes_.costMb) ||
            !writeBig(www + QStringLiteral("/window.bin"), sizes_.windowMb)) {
            std::fprintf(stderr, "cannot write the loopback section's served files\n");
            return false;
        }
        served_.addFolder(www);
        served_.addFolder(www + QStringLiteral("/s"));
        const QString ng = root_.filePath(QStringLiteral("nginx"));
        QDir().mkpath(ng);
        https_ = makeTestAuthority(ng);
        if (!https_) std::printf("openssl could not make a test authority: the loopback section has no https columns\n");
        ca_ = ng + QStringLiteral("/ca.pem");
        port_ = freePort();
        h1Port_ = freePort();
        h2Port_ = freePort();
        // The https servers as the proxied link's, one with HTTP/2 offered and one without.
        auto tls = [&](int port, const char* http2) {
            return QStringLiteral("  server { listen 127.0.0.1:%1 ssl%2; root %3; ssl_certificate %4/server.pem;\n"
                                  "           ssl_certificate_key %4/server.key; ssl_protocols TLSv1.2 TLSv1.3;\n"
                                  "           ssl_session_cache shared:tls%1:1m; }\n")
                .arg(port)
                .arg(QLatin1String(http2), www, ng);
        };
        const QString servers = https_ ? tls(h2Port_, " http2") + tls(h1Port_, "") : QString();
        writeFile(ng + QStringLiteral("/nginx.conf"), NginxConf(ng, port_, www, servers, 1024).toUtf8());
        ownGroup(nginx_);
        nginx_.setProcessChannelMode(QProcess::ForwardedChannels);
        if (!StartNginx(nginx_, ng, {port_, https_ ? h1Port_ : port_, https_ ? h2Port_ : port_})) {
            std::fprintf(stderr, "the loopback section's nginx did not start\n");
            return false;
        }
        return true;
    }

    ~Section() {
        nginx_.terminate();
        nginx_.waitForFinished(5000);
    }

    bool https() const { return https_; }
    bool broken() const { return broken_; }

    enum Server { Http, HttpsH1, HttpsH2 };
    QString base(Server s) const {
        return s == Http ? QStringLiteral("http://127.0.0.1:%1").arg(port_)
                         : QStringLiteral("https://127.0.0.1:%1").arg(s == HttpsH1 ? h1Port_ : h2Port_);
    }

    // The first `count` small files, or the one file `big` of `mb` MB, from server `s`.
    Workload workload(const QString& label, Server s, int count, const QString& big = {}, int mb = 0) {
        Workload w;
        w.label = label;
        for (int i = 0; i < count; ++i) {
            w.names << (big.isEmpty() ? QStringLiteral("s%1.bin").arg(i, 6, 10, QLatin1Char('0')) : big);
            w.urls << base(s) + (big.isEmpty() ? QStringLiteral("/s/") : QStringLiteral("/")) + w.names.back();
        }
        w.bodyBytes = big.isEmpty() ? count * kSmallBytes : qint64(mb) << 20;
        const QString stem = root_.filePath(QStringLiteral("list%1").arg(lists_++));
        w.listFile = stem + QStringLiteral(".txt");
        writeFile(w.listFile, w.urls.join(QLatin1Char('\n')).toUtf8() + "\n");
        qint64 argBytes = 0;
        for (const QString& u : w.urls) argBytes += u.size() + 1;
        if (argBytes > kLongestCommandLine) {
            QByteArray config;
            for (const QString& u : w.urls) config += "url = \"" + u.toUtf8() + "\"\n";
            writeFile(stem + QStringLiteral(".curl"), config);
            curlConfigs_.insert(w.listFile, stem + QStringLiteral(".curl"));
        }
        return w;
    }

    // One run of `tool` on `w` into an empty folder, checked and removed.
    Cell run(const Tool& tool, const Workload& w) {
        const bool tls = w.urls.front().startsWith(QLatin1String("https:"));
        const QString d = root_.filePath(QStringLiteral("out%1").arg(outCount_++));
        QDir().mkpath(d);
        // Generous: 10 ms a file and 10 s a GB beyond a minute, far slower than any tool here.
        const int timeoutMs = int(1000 * (60 + w.names.size() * 0.01 + w.bodyBytes / 1e8));
        const QString n = QString::number(tool.n);
        QProcessEnvironment e = env_;
        QStringList args;
        Outcome o;
        QList<QByteArray> fields;
        switch (tool.kind) {
        case Tool::Window: {
            e.insert(QStringLiteral("QT_QPA_PLATFORM"), xcb_ ? QStringLiteral("xcb") : QStringLiteral("offscreen"));
            if (tool.n > 0) e.insert(QStringLiteral("FETCHWRIGHT_BENCH_AT_ONCE"), n);
            if (tls) e.insert(QStringLiteral("FETCHWRIGHT_BENCH_CA"), ca_);
            const QStringList command = windowChildCommand(windowProgram_, d, w.listFile, xcb_);
            o = runBounded(command.front(), command.mid(1), d, e, timeoutMs);
            // seconds, longest event gap (ms), CPU seconds, peak resident memory (KB)
            fields = o.out.trimmed().split(' ');
            bool number = false;
            o.secs = fields.front().toDouble(&number);
            o.ok = o.ok && number && fields.size() >= 4;
            break;
        }
        case Tool::Wget:
            args << QStringLiteral("-q");
            if (tls) args << QStringLiteral("--ca-certificate=") + ca_;
            o = runBounded(QStringLiteral("wget"), args + QStringList{QStringLiteral("-i"), w.listFile, QStringLiteral("-P"), d},
                           d, e, timeoutMs);
            break;
        case Tool::Curl:
        case Tool::CurlParallel:
            args << QStringLiteral("-s") << QStringLiteral("--no-progress-meter");
            if (tls) args << QStringLiteral("--cacert") << ca_;
            if (tool.kind == Tool::CurlParallel) args << QStringLiteral("--parallel");
            if (tool.kind == Tool::CurlParallel && tool.n > 0) args << QStringLiteral("--parallel-max") << n;
            args << QStringLiteral("--remote-name-all");
            if (curlConfigs_.contains(w.listFile)) args << QStringLiteral("-K") << curlConfigs_.value(w.listFile);
            else args += w.urls;
            o = runBounded(QStringLiteral("curl"), args, d, e, timeoutMs);
            break;
        case Tool::Aria2:
        case Tool::Aria2Split:
            args << QStringLiteral("--no-conf") << QStringLiteral("-q");
            if (tls) args << QStringLiteral("--ca-certificate=") + ca_;
            if (tool.n > 0) args << QStringLiteral("-j") << n;
            o = runBounded(QStringLiteral("aria2c"), args + QStringList{QStringLiteral("-i"), w.listFile, QStringLiteral("-d"), d},
                           d, e, timeoutMs);
            break;
        }
        const bool good = o.ok && served_.intact(d, w.names);
        // Many small files stay until the section ends: on an ext4 without a journal every new
        // file's inode is searched for past those deleted in the last 30 s, which would charge the
        // next tool for this one's clean-up. A big file goes at once.
        if (w.names.size() <= 1) QDir(d).removeRecursively();
        // What a tool left unwritten is written now, outside every tool's time, so that the next
        // one's flushes do not wait for it.
        ::sync();
        Cell c;
        if (!good) {
            broken_ = true;
            return c;
        }
        c.secs = o.secs;
        c.cpu = o.cpu;
        if (tool.kind == Tool::Window) {
            // Its own process's CPU, not that of Xvfb beside it.
            c.gapMs = fields[1].toLongLong();
            c.cpu = fields[2].toDouble();
            c.rssKb = fields[3].toLong();
        }
        return c;
    }

private:
    LoopbackSizes sizes_;
    bool xcb_;
    QString windowProgram_;
    QTemporaryDir root_;
    QProcessEnvironment env_;
    ServedFiles served_;
    QProcess nginx_;
    QHash<QString, QString> curlConfigs_;  // list file -> curl config file
    QString ca_;
    bool https_ = false, broken_ = false;
    int port_ = 0, h1Port_ = 0, h2Port_ = 0, outCount_ = 0, lists_ = 0;
};

void printHeader(const Table& t) {
    std::printf("\n%s\n  %-44s", qPrintable(t.title), "");
    for (const Workload& w : t.columns) std::printf(" %26s", qPrintable(w.label));
    std::printf("\n");
}

void printWallAndCpu(const Table& t) {
    printHeader(t);
    for (size_t k = 0; k < t.tools.size(); ++k) {
        std::printf("  %-44s", t.tools[k].label.constData());
        for (size_t c = 0; c < t.columns.size(); ++c) {
            const Cell& cell = t.cells[c][k];
            if (cell.secs < 0) std::printf(" %26s", "failed");
            else std::printf(" %9.3f s %8.3f cpu  ", cell.secs, cell.cpu);
        }
        std::printf("\n");
    }
}

// The window's CPU over the leanest peer's, column by column, beside `goal` (at most).
void printCpuRatio(const Table& t, double goal) {
    std::printf("  %-44s", qPrintable(QStringLiteral("window CPU : leanest peer CPU (goal <= %1)").arg(goal, 0, 'f', 2)));
    for (size_t c = 0; c < t.columns.size(); ++c) {
        int leanest = -1;
        for (size_t k = 1; k < t.tools.size(); ++k)
            if (t.cells[c][k].cpu > 0 && (leanest < 0 || t.cells[c][k].cpu < t.cells[c][size_t(leanest)].cpu)) leanest = int(k);
        const Cell& window = t.cells[c][0];
        if (leanest < 0 || window.cpu < 0) std::printf(" %26s", "-");
        else {
            // The leanest peer's name, cut to what the column holds.
            const QByteArray who = t.tools[size_t(leanest)].label.left(14);
            std::printf(" %8.2f (%-14s) ", window.cpu / t.cells[c][size_t(leanest)].cpu, who.constData());
        }
    }
    std::printf("\n");
}

}  // namespace

int runLoopback(const LoopbackSizes& sizes, int rounds, bool xcb, bool aria2, const QString& windowProgram) {
    Section s(sizes, xcb, windowProgram);
    if (!s.serve()) return 1;
    const QByteArray window = QByteArray("window (") + (xcb ? "X11" : "offscreen");
    const Tool windowDefault{Tool::Window, 0, window + ", its default at once)"};
    auto big = [&](Section::Server server, int mb, const QString& name) {
        const char* kind = server == Section::Http ? "http" : server == Section::HttpsH1 ? "https HTTP/1.1" : "https HTTP/2";
        return s.workload(QStringLiteral("%1 MB, %2").arg(mb).arg(QLatin1String(kind)), server, 1, name, mb);
    };

    std::vector<Table> tables(5);
    Table& longRun = tables[0];
    longRun.title = QStringLiteral("%1 x 4 KB over http, 8 at once").arg(sizes.longFiles);
    longRun.columns = {s.workload(QStringLiteral("%1 x 4 KB").arg(sizes.longFiles), Section::Http, sizes.longFiles)};
    longRun.tools = {Tool{Tool::Window, 8, window + ", 8 at once)"},
                     Tool{Tool::CurlParallel, 8, "curl --parallel --parallel-max 8"}};
    if (aria2) longRun.tools.push_back(Tool{Tool::Aria2, 8, "aria2c -j 8"});

    Table& cost = tables[1];
    cost.title = QStringLiteral("CPU of %1 x 4 KB, each tool at its default").arg(sizes.costFiles);
    cost.columns = {s.workload(QStringLiteral("http"), Section::Http, sizes.costFiles)};
    if (s.https()) cost.columns.push_back(s.workload(QStringLiteral("https HTTP/2"), Section::HttpsH2, sizes.costFiles));
    cost.tools = {windowDefault, Tool{Tool::Wget, 0, "wget -i"}, Tool{Tool::CurlParallel, 0, "curl --parallel (its default, 50)"},
                  // As many connections as the window's default: what libcurl itself costs there.
                  Tool{Tool::CurlParallel, 4, "curl --parallel --parallel-max 4 (the window's default count)"}};
    if (aria2) cost.tools.push_back(Tool{Tool::Aria2, 0, "aria2c (its default, -j 5)"});

    Table& costBig = tables[2];
    costBig.title = QStringLiteral("CPU of one %1 MB file, each tool at its default").arg(sizes.costMb);
    costBig.columns = {big(Section::Http, sizes.costMb, QStringLiteral("cost.bin"))};
    if (s.https())
        for (Section::Server server : {Section::HttpsH1, Section::HttpsH2})
            costBig.columns.push_back(big(server, sizes.costMb, QStringLiteral("cost.bin")));
    costBig.tools = {windowDefault, Tool{Tool::Wget, 0, "wget"}, Tool{Tool::Curl, 0, "curl"}};
    if (aria2) costBig.tools.push_back(Tool{Tool::Aria2, 0, "aria2c (its default, no split)"});

    Table& wall = tables[3];
    wall.title = QStringLiteral("Wall time over http, the window at its default");
    wall.columns = {s.workload(QStringLiteral("%1 x 4 KB").arg(sizes.windowSmall), Section::Http, sizes.windowSmall),
                    big(Section::Http, sizes.windowMb, QStringLiteral("window.bin"))};
    wall.tools = {windowDefault, Tool{Tool::Wget, 0, "wget -i"}, Tool{Tool::Curl, 0, "curl --remote-name-all (one at a time)"},
                  Tool{Tool::CurlParallel, 0, "curl --parallel (its default, 50)"}};

    Table& memory = tables[4];
    memory.title = QStringLiteral("The window's peak resident memory, http");
    memory.columns = {s.workload(QStringLiteral("%1 x 4 KB").arg(sizes.memoryRun), Section::Http, sizes.memoryRun),
                      s.workload(QStringLiteral("1 x 4 KB"), Section::Http, 1)};
    memory.tools = {windowDefault};

    for (Table& t : tables) t.cells.assign(t.columns.size(), std::vector<Cell>(t.tools.size()));
    // Round after round through every table, workload and tool, the tools' order turning each
    // round, so that a busy moment of the machine does not fall on one of them only.
    for (int r = 0; r < rounds; ++r)
        for (Table& t : tables)
            for (size_t c = 0; c < t.columns.size(); ++c)
                for (size_t i = 0; i < t.tools.size(); ++i) {
                    const size_t k = (i + size_t(r)) % t.tools.size();
                    const Cell run = s.run(t.tools[k], t.columns[c]);
                    t.cells[c][k].keep(run);
                    std::fprintf(stderr, "loopback round %d, %s, %s, %s: %.3f s, %.3f s CPU\n", r + 1, qPrintable(t.title),
                                 qPrintable(t.columns[c].label), t.tools[k].label.constData(), run.secs, run.cpu);
                }

    std::printf("\nLoopback: every tool straight from nginx on 127.0.0.1, no latency proxy (best of %d interleaved "
                "rounds,\nwall and CPU seconds each its own best; CPU is the tool's and what it started, the window's its "
                "own process's)\n",
                rounds);
    {
        const Table& t = longRun;
        const double files = sizes.longFiles;
        printHeader(t);
        for (size_t k = 0; k < t.tools.size(); ++k) {
            const Cell& c = t.cells[0][k];
            if (c.secs < 0) std::printf("  %-44s %26s\n", t.tools[k].label.constData(), "failed");
            else
                std::printf("  %-44s %9.3f s %8.3f cpu %9.0f files/s %7.3f CPU ms/file\n", t.tools[k].label.constData(), c.secs,
                            c.cpu, files / c.secs, c.cpu * 1000 / files);
        }
        if (t.cells[0][0].gapMs >= 0)
            std::printf("  window's longest event gap in a run: %lld ms (goal <= 100 ms)\n", static_cast<long long>(t.cells[0][0].gapMs));
    }
    printWallAndCpu(cost);
    printCpuRatio(cost, 1.25);
    printWallAndCpu(costBig);
    printCpuRatio(costBig, 1.00);
    printWallAndCpu(wall);
    // The faster of wget and curl one at a time, and with curl --parallel counted too.
    for (size_t last : {size_t(3), size_t(4)}) {
        std::printf("  %-44s", last == 3 ? "faster of wget, curl : window (wall)" : "fastest with curl --parallel : window");
        for (size_t c = 0; c < 2; ++c) {
            double peer = -1;
            for (size_t k = 1; k < last; ++k)
                if (wall.cells[c][k].secs > 0 && (peer < 0 || wall.cells[c][k].secs < peer)) peer = wall.cells[c][k].secs;
            const double w = wall.cells[c][0].secs;
            if (peer > 0 && w > 0) std::printf(" %8.2f (goal >= %.2f)   ", peer / w, c == 0 ? 1.0 : 0.85);
            else std::printf(" %26s", "-");
        }
        std::printf("\n");
    }
    {
        const Cell &many = memory.cells[0][0], &one = memory.cells[1][0];
        std::printf("\n%s\n", qPrintable(memory.title));
        if (many.rssKb > 0 && one.rssKb > 0)
            std::printf("  peak %ld KB for %d files, %ld KB for 1: %.2f KB an entry in a run (reference 1.34 KB)\n", many.rssKb,
                        sizes.memoryRun, one.rssKb, double(many.rssKb - one.rssKb) / sizes.memoryRun);
        else
            std::printf("  failed\n");
        // What every window figure above holds besides its transfers: Qt's and the window's start.
        if (one.cpu >= 0) std::printf("  the 1-file run took %.3f s CPU: about what the start of the window adds to each window figure\n", one.cpu);
    }
    std::printf("\n(curl reads its addresses from a config file, -K, where they pass %lld bytes; every stored file was\n"
                " checked against the served one by SHA-256)\n",
                static_cast<long long>(kLongestCommandLine));
    return s.broken() ? 1 : 0;
}

}  // namespace Bench
