// Loading a 1,000,000-line URL list file, beside wc -l and grep -c over the same file.
// Usage: bench_listfile [lines]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <string>

#include "BenchCommon.h"
#include "urllist/UrlList.h"
#include "listbuild/FileToList.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const long long lines = argc > 1 ? std::atoll(argv[1]) : 1000000;
    QTemporaryDir dir;
    const QString path = Bench::WriteLines(dir, QStringLiteral("list.txt"), lines, [](long long i) {
        char line[160];
        // Mostly full addresses, some without a scheme, CR LF ends, a blank line now and then.
        const int n = (i % 10 == 0)
                          ? std::snprintf(line, sizeof line, "downloads.quillmoor.example/archive/%04lld/item-%08lld.jpg\r\n", i % 977, i)
                      : (i % 50 == 1) ? std::snprintf(line, sizeof line, "   \r\n")
                                      : std::snprintf(line, sizeof line, "https://downloads.quillmoor.example/archive/%04lld/item-%08lld.jpg\r\n", i % 977, i);
        return std::string(line, static_cast<std::size_t>(n));
    });
    if (path.isEmpty()) return 1;

    UrlList list;
    Bench::ResetPeak();
    const long rssBefore = Bench::StatusKiB("VmRSS");
    QElapsedTimer timer;
    timer.start();
    const std::atomic<bool> stop{false};
    if (!FileToList::ReadListEntries(path, [&](EntryBatch&& batch) { batch.appendTo(list); }, stop)) return 1;
    const double loadMs = timer.nsecsElapsed() / 1e6;
    const long peakKiB = Bench::StatusKiB("VmHWM") - rssBefore;

    const std::string quoted = "'" + path.toStdString() + "'";
    std::string wcOut, grepOut;
    const double wcMs = Bench::TimeShell("wc -l < " + quoted, &wcOut);
    const double grepMs = Bench::TimeShell("grep -c -v '^ *\r*$' " + quoted, &grepOut);

    std::printf("file: %.1f MB, %lld lines\n", QFile(path).size() / 1e6, lines);
    std::printf("%-34s %10s %10s\n", "", "time", "entries");
    std::printf("%-34s %8.0f ms %10d   (goal: under 1000 ms)\n", "Fetchwright ReadListEntries", loadMs, list.count());
    std::printf("%-34s %8.0f ms %10s\n", "grep -c -v '^ *\\r*$'", grepMs, grepOut.c_str());
    std::printf("%-34s %8.0f ms %10s\n", "wc -l", wcMs, wcOut.c_str());
    std::printf("peak extra memory: %.1f MB (list storage %.1f MB)\n", peakKiB / 1024.0, list.storageBytes() / 1e6);
    return 0;
}
