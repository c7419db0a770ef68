// Download speed side by side: the engine (headless, and through the start button of a real
// window, on the offscreen platform and on X11 under Xvfb) against `wget -i` and
// `curl --remote-name-all`, all fetching from one nginx on loopback into empty folders, over
// http and over https (a test authority made for the run, trusted through an explicit option of
// each tool); the engine's peak memory for a small and a large file; and the naming cost of
// many equal names against as many distinct ones.
//
//   bench_download [--small N] [--big-mb M] [--https-small N] [--https-mb M] [--names K]
//                  [--rounds R] [--no-xcb]      (bench/run_download_bench.sh builds and runs it)
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QWindow>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "BenchCommon.h"
#include "BenchNet.h"
#include "app/Form1.h"
#include "download/DownloadEngine.h"
#include "download/DownloadJob.h"
#include "download/TargetNaming.h"

namespace {

using Bench::canConnect;
using Bench::freePort;
using Bench::makeTestAuthority;
using Bench::seconds;
using Bench::writeFile;

using SilentDialogs = Bench::SilentDialogs;


// A run's one message says that it is done and nothing failed or was skipped.
bool allStored(const QStringList& messages) {
    return messages.size() == 1 && messages[0].startsWith(QLatin1String("Done.\r\n")) &&
           messages[0].count(QLatin1String("\r\n")) == 1 && messages[0].endsWith(QLatin1String(" stored."));
}

// Presses Start and waits, with the window's events flowing, until the run's message is answered.
void startAndWait(Form1& form) {
    QEventLoop loop;
    QObject::connect(&form, &Form1::downloadEnded, &loop, &QEventLoop::quit);
    form.PushButton2_Click();
    if (form.IsDownloading) loop.exec();
}

long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}




int countFiles(const QString& dir) { return QDir(dir).entryList(QDir::Files | QDir::Hidden).size(); }
qint64 totalBytes(const QString& dir) {
    qint64 sum = 0;
    for (const QFileInfo& fi : QDir(dir).entryInfoList(QDir::Files | QDir::Hidden)) sum += fi.size();
    return sum;
}

// One external tool run; returns seconds, or -1 when it failed.
double runTool(const QString& program, const QStringList& args, const QString& cwd) {
    QProcess p;
    p.setWorkingDirectory(cwd);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit) return -1;
    const double s = seconds(t);
    return p.exitCode() == 0 ? s : -1;
}

// The test authority that a benchmark run trusts over https; never the system's trust store.
Download::TransferLimits benchLimits() {
    Download::TransferLimits limits;
    limits.caFile = qEnvironmentVariable("FETCHWRIGHT_BENCH_CA");
    return limits;
}

// One run of the list through a job, as the window runs it, without a window.
Download::RunSummary runList(Download::Engine& engine, const QStringList& urls, const QString& folder) {
    std::vector<Download::JobItem> items;
    items.reserve(static_cast<std::size_t>(urls.size()));
    Download::EntryId id = 0;
    for (const QString& url : urls) items.push_back(Download::JobItem{++id, url});
    Download::JobOptions options;
    options.atOnce = engine.maxTransfers();
    Download::DownloadJob job(engine, folder, std::move(items), options, nullptr);
    Download::RunSummary summary;
    QEventLoop loop;
    QObject::connect(&job, &Download::DownloadJob::result, &loop, [&](const Download::JobResult& result) {
        summary = result.summary;
        loop.quit();
    });
    job.start();
    loop.exec();
    return summary;
}

// The child mode: one headless run of the given URLs into a folder; prints seconds and peak RSS.
int childRun(const QStringList& urls, const QString& folder, bool sync) {
    Download::Engine engine(benchLimits());
    engine.setSyncEachFile(sync);
    QElapsedTimer t;
    t.start();
    auto summary = runList(engine, urls, folder);
    std::printf("%.6f %ld %d\n", seconds(t), peakRssKb(), summary.failedCount());
    return summary.failedCount() == 0 ? 0 : 1;
}

struct ChildResult {
    double secs = -1;
    long rssKb = 0;
};

ChildResult runChild(const QStringList& urls, const QString& folder, bool syncEachFile = true) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QCoreApplication::applicationFilePath(),
            QStringList{syncEachFile ? QStringLiteral("--child") : QStringLiteral("--child-nosync"), folder} + urls);
    p.waitForFinished(-1);
    const QList<QByteArray> parts = p.readAllStandardOutput().trimmed().split(' ');
    ChildResult r;
    if (p.exitCode() == 0 && parts.size() == 3) {
        r.secs = parts[0].toDouble();
        r.rssKb = parts[1].toLong();
    }
    return r;
}

// The window child: a shown window on the platform it was started with (offscreen, or xcb under
// Xvfb), the list filled as a paste fills it, Start pressed; timed until the run's message, when
// every file has its name. Prints seconds, the longest pause of its events (ms), its CPU seconds and
// its peak resident memory (KB); with FETCHWRIGHT_BENCH_GAP_AT set, also when that pause ended.
int windowChildRun(const QString& folder, const QString& listFile) {
    QFile list(listFile);
    if (!list.open(QIODevice::ReadOnly)) return 2;
    const QList<QByteArray> lines = list.readAll().split('\n');
    SilentDialogs dialogs;
    // The window's settings live and go with the run: made before the window, removed after it.
    QTemporaryDir settingsFolder(QDir::tempPath() + QStringLiteral("/fetchwright-bench-settings-XXXXXX"));
    if (!settingsFolder.isValid()) return 2;
    Settings::Store settings(settingsFolder.filePath(QStringLiteral("settings.conf")));
    // A latency benchmark gives the window as many transfers at once as the parallel tools it is
    // measured against, and its own test authority for https.
    const QString atOnce = qEnvironmentVariable("FETCHWRIGHT_BENCH_AT_ONCE");
    if (!atOnce.isEmpty()) settings.write(QStringLiteral("Downloads At Once"), atOnce);
    Form1 form(dialogs, settings);
    form.setTransferLimits(benchLimits());
    form.show();
    QElapsedTimer wait;
    wait.start();
    while (!(form.windowHandle() && form.windowHandle()->isExposed()) && wait.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    {
        UrlList::Batch batch(form.urlList());
        for (const QByteArray& line : lines)
            if (!line.isEmpty()) batch.add(QString::fromUtf8(line));
    }
    form.Text1->setText(folder);
    QCoreApplication::processEvents();
    // How long the window's events waited at most during the run: a 10 ms timer's longest gap.
    QElapsedTimer sinceTick;
    qint64 longestGapMs = 0;
    QTimer ticks;
    ticks.setInterval(10);
    qint64 longestAtMs = 0;
    QElapsedTimer t;
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        const qint64 gap = sinceTick.restart();
        if (gap > longestGapMs) longestAtMs = t.elapsed();
        longestGapMs = std::max(longestGapMs, gap);
    });
    t.start();
    sinceTick.start();
    ticks.start();
    startAndWait(form);
    const double s = seconds(t);
    ticks.stop();
    if (qEnvironmentVariableIsSet("FETCHWRIGHT_BENCH_GAP_AT"))
        std::fprintf(stderr, "longest gap %lld ms, ending %lld ms after Start\n", static_cast<long long>(longestGapMs), static_cast<long long>(longestAtMs));
    if (!allStored(dialogs.messages)) return 1;
    // The whole process's CPU, the window's thread and the engine's together.
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    std::printf("%.6f %lld %.3f %ld\n", s, static_cast<long long>(longestGapMs), cpu, static_cast<long>(usage.ru_maxrss));
    return 0;
}

// The longest pause of a window's events in any start-button round, by platform.
qint64 longestWindowPauseMs[2] = {0, 0};  // offscreen, xcb

// One start-button round in a process of its own on `platform`; seconds, or -1 when it failed.
double runWindowChild(const QString& platform, const QString& folder, const QString& listFile) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    p.setProcessEnvironment(env);
    const QStringList child{QCoreApplication::applicationFilePath(), QStringLiteral("--window-child"), folder, listFile};
    if (platform == QLatin1String("xcb"))
        p.start(QStringLiteral("xvfb-run"), QStringList{QStringLiteral("-a"), QStringLiteral("-s"),
                                                        QStringLiteral("-screen 0 1280x1024x24 -nolisten tcp")} + child);
    else
        p.start(child.front(), child.mid(1));
    if (!p.waitForFinished(600000) || p.exitCode() != 0) return -1;
    const QList<QByteArray> parts = p.readAllStandardOutput().trimmed().split(' ');
    bool ok = false;
    const double s = parts.front().toDouble(&ok);
    if (parts.size() >= 2) {
        qint64& longest = longestWindowPauseMs[platform == QLatin1String("xcb") ? 1 : 0];
        longest = std::max(longest, parts[1].toLongLong());
    }
    return ok ? s : -1;
}


void row(const char* name, double secs, int files, double mb) {
    if (secs < 0) {
        std::printf("  %-38s  failed\n", name);
        return;
    }
    std::printf("  %-38s %8.3f s %9.0f files/s %9.1f MB/s\n", name, secs, files / secs, mb / secs);
}

}  // namespace

int main(int argc, char** argv) {
    // Child mode (also handy on its own): bench_download --child[-nosync] FOLDER URL...
    if (argc >= 3 && std::strncmp(argv[1], "--child", 7) == 0) {
        QCoreApplication app(argc, argv);
        QStringList urls;
        for (int k = 3; k < argc; ++k) urls << QString::fromLocal8Bit(argv[k]);
        return childRun(urls, QString::fromLocal8Bit(argv[2]), std::strcmp(argv[1], "--child-nosync") != 0);
    }
    if (argc == 4 && std::strcmp(argv[1], "--window-child") == 0) {
        QApplication app(argc, argv);
        return windowChildRun(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    }
    int smallCount = 2000, bigMb = 256, names = 10000, rounds = 3, httpsSmall = 500, httpsMb = 64;
    bool xcb = true;
    for (int k = 1; k < argc; ++k) {
        auto number = [&] { return k + 1 < argc ? std::atoi(argv[++k]) : 0; };
        if (!std::strcmp(argv[k], "--small")) smallCount = number();
        else if (!std::strcmp(argv[k], "--big-mb")) bigMb = number();
        else if (!std::strcmp(argv[k], "--https-small")) httpsSmall = number();
        else if (!std::strcmp(argv[k], "--https-mb")) httpsMb = number();
        else if (!std::strcmp(argv[k], "--names")) names = number();
        else if (!std::strcmp(argv[k], "--rounds")) rounds = std::max(1, number());
        else if (!std::strcmp(argv[k], "--no-xcb")) xcb = false;
    }
    httpsSmall = std::min(httpsSmall, smallCount);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // Under Xvfb: only where the X server and its wrapper are installed.
    if (QStandardPaths::findExecutable(QStringLiteral("xvfb-run")).isEmpty()) xcb = false;

    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/fetchwright-bench-XXXXXX"));
    const QString www = root.filePath(QStringLiteral("www"));
    QDir().mkpath(www + QStringLiteral("/small"));

    // Content: 4 KB files that differ, and one large file written in 1 MB blocks.
    for (int i = 0; i < smallCount; ++i) {
        QByteArray data(4096, char('a' + i % 26));
        std::snprintf(data.data(), 32, "file %d\n", i);
        writeFile(www + QStringLiteral("/small/f%1.bin").arg(i, 5, 10, QLatin1Char('0')), data);
    }
    auto writeBig = [&](const QString& name, int mb) {
        QFile big(www + QLatin1Char('/') + name);
        big.open(QIODevice::WriteOnly);
        QByteArray block(1 << 20, 'x');
        for (int i = 0; i < mb; ++i) {
            block[0] = char(i);
            big.write(block);
        }
    };
    writeBig(QStringLiteral("big.bin"), bigMb);
    writeBig(QStringLiteral("https-big.bin"), httpsMb);

    // nginx with a configuration of its own: every path inside the temporary folder.
    const int port = freePort();
    const int tlsPort = freePort();
    const QString ng = root.filePath(QStringLiteral("nginx"));
    QDir().mkpath(ng);
    const bool https = makeTestAuthority(ng);
    if (!https) std::fprintf(stderr, "openssl could not make a test authority: no https rounds\n");
    const QString tlsServer =
        https ? QStringLiteral("  server { listen 127.0.0.1:%1 ssl; root %2; ssl_certificate %3/server.pem;\n"
                               "           ssl_certificate_key %3/server.key; ssl_session_cache shared:tls:1m; }\n")
                    .arg(tlsPort)
                    .arg(www, ng)
              : QString();
    const QString conf = Bench::NginxConf(ng, port, www, tlsServer, 64);
    writeFile(ng + QStringLiteral("/nginx.conf"), conf.toUtf8());
    QProcess nginx;
    nginx.setProcessChannelMode(QProcess::ForwardedChannels);
    nginx.start(QStringLiteral("/usr/sbin/nginx"),
                {QStringLiteral("-p"), ng, QStringLiteral("-c"), ng + QStringLiteral("/nginx.conf"), QStringLiteral("-e"),
                 ng + QStringLiteral("/error.log")});
    for (int k = 0; k < 200 && !(canConnect(port) && (!https || canConnect(tlsPort))); ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!canConnect(port)) {
        std::fprintf(stderr, "nginx did not start\n");
        return 1;
    }
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(port);
    QStringList smallUrls;
    for (int i = 0; i < smallCount; ++i) smallUrls << base + QStringLiteral("/small/f%1.bin").arg(i, 5, 10, QLatin1Char('0'));
    const QString listFile = root.filePath(QStringLiteral("list.txt"));
    writeFile(listFile, smallUrls.join(QLatin1Char('\n')).toUtf8() + "\n");

    int outCount = 0;
    auto freshDir = [&] {
        const QString d = root.filePath(QStringLiteral("out%1").arg(outCount++));
        QDir().mkpath(d);
        return d;
    };
    const double smallMb = smallCount * 4096.0 / 1e6;
    auto checked = [&](const QString& dir, double secs, qint64 bytesPer, int files) {
        if (secs >= 0 && (countFiles(dir) != files || totalBytes(dir) != bytesPer * files)) {
            std::fprintf(stderr, "  (%s: %d files, %lld bytes)\n", qPrintable(dir), countFiles(dir),
                         static_cast<long long>(totalBytes(dir)));
            return -1.0;
        }
        return secs;
    };

    // The tools take turns, round after round, so that a busy moment of the machine does not
    // fall on one of them only; each keeps its best round.
    std::printf("Small files: %d x 4 KB from nginx on loopback (best of %d interleaved rounds)\n", smallCount, rounds);
    auto headlessSmallOnce = [&](bool syncEachFile) {
        const QString d = freshDir();
        Download::Engine engine;
        engine.setSyncEachFile(syncEachFile);
        QElapsedTimer t;
        t.start();
        auto summary = runList(engine, smallUrls, d);
        const double s = summary.failedCount() == 0 ? seconds(t) : -1;
        return checked(d, s, 4096, smallCount);
    };
    auto buttonSmallOnce = [&] {
        const QString d = freshDir();
        SilentDialogs dialogs;
        Settings::Store settings;
        Form1 form(dialogs, settings);
        {
            UrlList::Batch batch(form.urlList());
            for (const QString& u : smallUrls) batch.add(u);
        }
        form.Text1->setText(d);
        QElapsedTimer t;
        t.start();
        startAndWait(form);
        const double s = allStored(dialogs.messages) ? seconds(t) : -1;
        return checked(d, s, 4096, smallCount);
    };
    auto xcbSmallOnce = [&] {
        const QString d = freshDir();
        return checked(d, runWindowChild(QStringLiteral("xcb"), d, listFile), 4096, smallCount);
    };
    auto offscreenChildSmallOnce = [&] {
        const QString d = freshDir();
        return checked(d, runWindowChild(QStringLiteral("offscreen"), d, listFile), 4096, smallCount);
    };
    auto wgetSmallOnce = [&] {
        const QString d = freshDir();
        return checked(d, runTool(QStringLiteral("wget"), {QStringLiteral("-q"), QStringLiteral("-i"), listFile,
                                                           QStringLiteral("-P"), d}, d),
                       4096, smallCount);
    };
    auto curlSmallOnce = [&] {
        const QString d = freshDir();
        return checked(d, runTool(QStringLiteral("curl"), QStringList{QStringLiteral("-s"), QStringLiteral("--remote-name-all")} + smallUrls, d),
                       4096, smallCount);
    };
    double engineSmall = -1, unsyncedSmall = -1, buttonSmall = -1, xcbSmall = -1, wgetSmall = -1, curlSmall = -1,
           childSmall = -1;
    auto keepBest = [](double& bestSoFar, double s) {
        if (s >= 0 && (bestSoFar < 0 || s < bestSoFar)) bestSoFar = s;
    };
    for (int r = 0; r < rounds; ++r) {
        keepBest(engineSmall, headlessSmallOnce(true));
        keepBest(curlSmall, curlSmallOnce());
        keepBest(buttonSmall, buttonSmallOnce());
        keepBest(wgetSmall, wgetSmallOnce());
        if (xcb) keepBest(xcbSmall, xcbSmallOnce());
        keepBest(unsyncedSmall, headlessSmallOnce(false));
        keepBest(childSmall, offscreenChildSmallOnce());
    }
    row("engine (headless)", engineSmall, smallCount, smallMb);
    row("start button (offscreen platform)", buttonSmall, smallCount, smallMb);
    row("start button (offscreen, own process)", childSmall, smallCount, smallMb);
    if (xcb) row("start button (xcb platform, Xvfb)", xcbSmall, smallCount, smallMb);
    row("engine, no fsync (cost of the flush)", unsyncedSmall, smallCount, smallMb);
    row("wget -q -i", wgetSmall, smallCount, smallMb);
    row("curl -s --remote-name-all", curlSmall, smallCount, smallMb);
    double peer = -1;
    if (wgetSmall > 0) peer = wgetSmall;
    if (curlSmall > 0 && (peer < 0 || curlSmall < peer)) peer = curlSmall;
    if (peer > 0 && engineSmall > 0)
        std::printf("  files/s engine : faster peer = %.2f (goal >= 1.20), button offscreen : faster peer = %.2f, "
                    "button xcb : faster peer = %.2f (goal >= 1.00)\n",
                    peer / engineSmall, buttonSmall > 0 ? peer / buttonSmall : 0.0, xcbSmall > 0 ? peer / xcbSmall : 0.0);
    std::printf("  longest pause of the window's events during a run: offscreen %lld ms, xcb %lld ms\n",
                static_cast<long long>(longestWindowPauseMs[0]), static_cast<long long>(longestWindowPauseMs[1]));

    const double bigBytes = double(bigMb) * (1 << 20);
    const double bigMB = bigBytes / 1e6;
    std::printf("\nLarge file: %d MB (best of %d interleaved rounds; the engine in a process of its own)\n", bigMb,
                rounds);
    const QString bigUrl = base + QStringLiteral("/big.bin");
    ChildResult engineBig;
    bool engineBigBroken = false;
    double wgetBig = -1, curlBig = -1, xcbBig = -1, unsyncedBig = -1, curlSyncedBig = -1;
    const QString bigListFile = root.filePath(QStringLiteral("big-list.txt"));
    writeFile(bigListFile, (base + QStringLiteral("/big.bin\n")).toUtf8());
    for (int r = 0; r < rounds; ++r) {
        {
            const QString d = freshDir();
            ChildResult once = runChild({bigUrl}, d);
            once.secs = checked(d, once.secs, qint64(bigBytes), 1);
            QDir(d).removeRecursively();
            engineBigBroken = engineBigBroken || once.secs < 0;
            keepBest(engineBig.secs, once.secs);
            engineBig.rssKb = std::max(engineBig.rssKb, once.rssKb);
        }
        {
            const QString d = freshDir();
            keepBest(curlBig, checked(d, runTool(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("--remote-name-all"), bigUrl}, d),
                                      qint64(bigBytes), 1));
            QDir(d).removeRecursively();
        }
        {
            const QString d = freshDir();
            keepBest(wgetBig, checked(d, runTool(QStringLiteral("wget"), {QStringLiteral("-q"), bigUrl, QStringLiteral("-P"), d}, d),
                                      qint64(bigBytes), 1));
            QDir(d).removeRecursively();
        }
        if (xcb) {
            const QString d = freshDir();
            keepBest(xcbBig, checked(d, runWindowChild(QStringLiteral("xcb"), d, bigListFile), qint64(bigBytes), 1));
            QDir(d).removeRecursively();
        }
        {
            const QString d = freshDir();
            ChildResult once = runChild({bigUrl}, d, false);
            keepBest(unsyncedBig, checked(d, once.secs, qint64(bigBytes), 1));
            QDir(d).removeRecursively();
        }
        {
            // The same durability as the engine's: curl, then its file's data flushed to disk.
            const QString d = freshDir();
            keepBest(curlSyncedBig,
                     checked(d, runTool(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("curl -s -O \"$0\" && sync -d big.bin"), bigUrl}, d),
                             qint64(bigBytes), 1));
            QDir(d).removeRecursively();
        }
    }
    row("engine (headless)", engineBig.secs, 1, bigMB);
    if (xcb) row("start button (xcb platform, Xvfb)", xcbBig, 1, bigMB);
    row("wget -q", wgetBig, 1, bigMB);
    row("curl -s --remote-name-all", curlBig, 1, bigMB);
    row("engine, no fsync (cost of the flush)", unsyncedBig, 1, bigMB);
    row("curl, then sync -d of its file", curlSyncedBig, 1, bigMB);
    if (engineBig.secs > 0 && curlBig > 0)
        std::printf("  MB/s engine : curl = %.2f (goal >= 0.90), button xcb : curl = %.2f (goal >= 0.85)\n",
                    curlBig / engineBig.secs, xcbBig > 0 ? curlBig / xcbBig : 0.0);

    // https: the same files through TLS, so that connection and session reuse count too.
    bool httpsBroken = false;
    if (https) {
        const QString ca = ng + QStringLiteral("/ca.pem");
        qputenv("FETCHWRIGHT_BENCH_CA", QFile::encodeName(ca));
        const QString tlsBase = QStringLiteral("https://127.0.0.1:%1").arg(tlsPort);
        QStringList tlsUrls;
        for (int i = 0; i < httpsSmall; ++i) tlsUrls << tlsBase + QStringLiteral("/small/f%1.bin").arg(i, 5, 10, QLatin1Char('0'));
        const QString tlsList = root.filePath(QStringLiteral("tls-list.txt"));
        writeFile(tlsList, tlsUrls.join(QLatin1Char('\n')).toUtf8() + "\n");
        const QString tlsBig = tlsBase + QStringLiteral("/https-big.bin");
        const qint64 tlsBigBytes = qint64(httpsMb) << 20;
        double eS = -1, wS = -1, cS = -1, eB = -1, wB = -1, cB = -1;
        for (int r = 0; r < rounds; ++r) {
            {
                const QString d = freshDir();
                Download::Engine engine(benchLimits());
                QElapsedTimer t;
                t.start();
                auto summary = runList(engine, tlsUrls, d);
                const double sec = checked(d, summary.failedCount() == 0 ? seconds(t) : -1, 4096, httpsSmall);
                httpsBroken = httpsBroken || sec < 0;
                keepBest(eS, sec);
            }
            {
                const QString d = freshDir();
                keepBest(cS, checked(d, runTool(QStringLiteral("curl"), QStringList{QStringLiteral("-s"), QStringLiteral("--cacert"), ca,
                                                                                    QStringLiteral("--remote-name-all")} + tlsUrls, d),
                                     4096, httpsSmall));
            }
            {
                const QString d = freshDir();
                keepBest(wS, checked(d, runTool(QStringLiteral("wget"), {QStringLiteral("-q"), QStringLiteral("--ca-certificate=") + ca,
                                                                         QStringLiteral("-i"), tlsList, QStringLiteral("-P"), d}, d),
                                     4096, httpsSmall));
            }
            {
                const QString d = freshDir();
                ChildResult once = runChild({tlsBig}, d);
                const double sec = checked(d, once.secs, tlsBigBytes, 1);
                httpsBroken = httpsBroken || sec < 0;
                keepBest(eB, sec);
                QDir(d).removeRecursively();
            }
            {
                const QString d = freshDir();
                keepBest(cB, checked(d, runTool(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("--cacert"), ca,
                                                                         QStringLiteral("--remote-name-all"), tlsBig}, d),
                                     tlsBigBytes, 1));
                QDir(d).removeRecursively();
            }
            {
                const QString d = freshDir();
                keepBest(wB, checked(d, runTool(QStringLiteral("wget"), {QStringLiteral("-q"), QStringLiteral("--ca-certificate=") + ca,
                                                                         tlsBig, QStringLiteral("-P"), d}, d),
                                     tlsBigBytes, 1));
                QDir(d).removeRecursively();
            }
        }
        std::printf("\nhttps: %d x 4 KB and one %d MB file (test authority trusted explicitly; best of %d rounds)\n",
                    httpsSmall, httpsMb, rounds);
        const double tlsSmallMb = httpsSmall * 4096.0 / 1e6, tlsBigMb = tlsBigBytes / 1e6;
        row("engine, small files (headless)", eS, httpsSmall, tlsSmallMb);
        row("wget, small files", wS, httpsSmall, tlsSmallMb);
        row("curl, small files", cS, httpsSmall, tlsSmallMb);
        row("engine, large file (headless)", eB, 1, tlsBigMb);
        row("wget, large file", wB, 1, tlsBigMb);
        row("curl, large file", cB, 1, tlsBigMb);
        double tlsPeer = -1;
        for (double v : {wS, cS})
            if (v > 0 && (tlsPeer < 0 || v < tlsPeer)) tlsPeer = v;
        if (eS > 0 && tlsPeer > 0 && eB > 0 && cB > 0)
            std::printf("  files/s engine : faster peer = %.2f, MB/s engine : curl = %.2f\n", tlsPeer / eS, cB / eB);
    }

    ChildResult engineTiny;
    {
        const QString d = freshDir();
        engineTiny = runChild({smallUrls.front()}, d);
    }
    std::printf("\nPeak resident memory of the engine process: %.1f MB for one 4 KB file, %.1f MB for the %d MB file\n",
                engineTiny.rssKb / 1024.0, engineBig.rssKb / 1024.0, bigMb);

    nginx.terminate();
    nginx.waitForFinished(5000);

    // Naming: `names` URLs that all end in ss.jpg, against as many distinct last segments. Each
    // name is stored (an empty file) before the next is asked for, as a run would.
    std::printf("\nNaming %d addresses (files created in between, not timed)\n", names);
    auto timeNaming = [&](bool same) {
        const QString d = freshDir();
        SilentDialogs dialogs;
        Download::Engine engine;
        engine.beginRun();
        qint64 ns = 0;
        QElapsedTimer t;
        for (int k = 0; k < names; ++k) {
            const QString url = same ? QStringLiteral("http://h/a%1/ss.jpg").arg(k) : QStringLiteral("http://h/a/ss%1.jpg").arg(k);
            t.start();
            const QString basePath = Main::BuildTargetPath(Download::NamingText(url), d);
            const QString target = Main::NextFreeName(basePath, engine.namingContext());
            ns += t.nsecsElapsed();
            const int fd = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd < 0) {
                std::fprintf(stderr, "name taken twice: %s\n", qPrintable(target));
                return -1.0;
            }
            ::close(fd);
        }
        QDir(d).removeRecursively();
        return ns / 1e9;
    };
    const double distinct = timeNaming(false);
    const double same = timeNaming(true);
    std::printf("  %-34s %8.3f s %9.2f us/name\n", "distinct names", distinct, distinct * 1e6 / names);
    std::printf("  %-34s %8.3f s %9.2f us/name\n", "all the same name", same, same * 1e6 / names);
    if (distinct > 0) std::printf("  same : distinct = %.2f (goal <= 2.00)\n", same / distinct);
    // Goals are for the reader; a run that lost or mangled files is an error.
    const bool broken = engineSmall < 0 || unsyncedSmall < 0 || buttonSmall < 0 || engineBigBroken || same < 0 ||
                        distinct < 0 || httpsBroken || (xcb && (xcbSmall < 0 || xcbBig < 0));
    return broken ? 1 : 0;
}
