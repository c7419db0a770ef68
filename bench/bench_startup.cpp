// Start-up to a shown window: the window is made, its start-up sequence runs (the connectivity
// check answered at once by an echo standing in for ping) and it is shown until the platform
// reports it exposed. Beside it, a bare window of the same size shown the same way, and the
// parts: the answered check alone and the sequence alone. Settings and desktop are private to
// the run. Usage: bench_startup [rounds]; QT_QPA_PLATFORM picks the platform (xcb under xvfb-run,
// or offscreen).
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <vector>

#include "app/Form1.h"
#include "app/StartupEnvironment.h"
#include "support/ConnectivityCheck.h"
#include "app/QtDialogs.h"

namespace {

const char* kAnsweredPing = "echo 64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.04 ms";

void waitUntilExposed(QWidget& w) {
    QElapsedTimer guard;
    guard.start();
    while ((!w.windowHandle() || !w.windowHandle()->isExposed()) && guard.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

struct Figures {
    std::vector<double> ms;
    void add(qint64 ns) { ms.push_back(ns / 1e6); }
    double first() const { return ms.front(); }
    double median() const {
        std::vector<double> v = ms;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    double worst() const { return *std::max_element(ms.begin(), ms.end()); }
};

// Milliseconds since this process was started (10 ms resolution of the kernel's start time).
double sinceProcessStart() {
    FILE* f = std::fopen("/proc/self/stat", "r");
    if (!f) return -1;
    char buf[2048];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char* p = std::strrchr(buf, ')');
    if (!p) return -1;
    unsigned long long start = 0;
    // Field 22 (starttime); p points at the end of field 2.
    int field = 2;
    for (const char* q = p + 1; *q; ++q)
        if (*q == ' ' && ++field == 22) {
            start = std::strtoull(q + 1, nullptr, 10);
            break;
        }
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return (now.tv_sec + now.tv_nsec / 1e9) * 1000.0 - start * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

void print(const char* what, const Figures& f) {
    std::printf("%-44s %9.1f %9.1f %9.1f\n", what, f.first(), f.median(), f.worst());
}

}  // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/fetchwright-bench-XXXXXX"));
    const QByteArray h = home.path().toLocal8Bit();
    ::setenv("HOME", h.constData(), 1);
    ::setenv("XDG_CONFIG_HOME", (h + "/.config").constData(), 1);
    QDir().mkpath(home.path() + QStringLiteral("/Desktop"));

    QElapsedTimer appClock;
    appClock.start();
    QApplication app(argc, argv);
    const qint64 appNs = appClock.nsecsElapsed();
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;

    StartupEnvironment env = StartupEnvironment::FromSystem();
    env.pingCommand = QString::fromLatin1(kAnsweredPing);
    env.drawHomePageNumber = [] { return 1; };

    Figures bare, full, check, sequence;
    double processToFirstWindow = -1;
    for (int i = 0; i < rounds; ++i) {
        {
            QElapsedTimer t;
            t.start();
            QWidget w;
            w.setFixedSize(536, 464);
            w.show();
            waitUntilExposed(w);
            bare.add(t.nsecsElapsed());
        }
        {
            QElapsedTimer t;
            t.start();
            Dialogs::QtDialogs dialogs;
            Settings::Store settings;
            Form1 form(dialogs, settings);
            dialogs.setOwner(&form);
            QElapsedTimer s;
            s.start();
            form.Form_Load(env);
            sequence.add(s.nsecsElapsed());
            form.show();
            waitUntilExposed(form);
            full.add(t.nsecsElapsed());
            if (processToFirstWindow < 0) processToFirstWindow = sinceProcessStart();
        }
        {
            QElapsedTimer t;
            t.start();
            Main::CheckOnline(env.pingCommand);
            check.add(t.nsecsElapsed());
        }
        QCoreApplication::processEvents();
    }

    std::printf("platform %s, %d rounds; application object made in %.1f ms\n",
                qPrintable(QGuiApplication::platformName()), rounds, appNs / 1e6);
    std::printf("%-44s %9s %9s %9s\n", "milliseconds", "first", "median", "worst");
    print("bare 536x464 window to shown (reference)", bare);
    print("Fetchwright window to shown (goal < 300)", full);
    print("  of which the start-up sequence", sequence);
    print("  of which the answered connectivity check", check);
    std::printf("process start to the first Fetchwright window shown: about %.0f ms (bare window made first)\n",
                processToFirstWindow);
    return 0;
}
