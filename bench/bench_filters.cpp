// Each filter over a 1,000,000-entry list that removes half of it, beside grep -c -v -i -F
// over the same lines in a file; and Remove Duplicates over a list whose second half repeats
// its first, beside awk '!seen[$0]++'.
// Usage: bench_filters [entries]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <string>
#include <vector>

#include "BenchCommon.h"
#include "urllist/UrlList.h"
#include "app/ListActions.h"
#include "listbuild/Filters.h"

namespace {
std::string Line(long long i) {
    char line[160];
    // Every second entry holds ".JPG" in some letter case; the rest are PNG images.
    const char* ext = (i % 2) ? ((i % 4 == 1) ? "jpg" : "JpG") : "png";
    const int n = std::snprintf(line, sizeof line, "https://downloads.quillmoor.example/archive/%04lld/item-%08lld.%s",
                                i % 977, i, ext);
    return std::string(line, static_cast<std::size_t>(n));
}

void Fill(UrlList& list, long long n) {
    list.clear();
    UrlList::Batch batch(list);
    for (long long i = 0; i < n; ++i) batch.addUtf8(Line(i));
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const long long n = argc > 1 ? std::atoll(argv[1]) : 1000000;
    QTemporaryDir dir;
    const QString path = Bench::WriteLines(dir, QStringLiteral("lines.txt"), n, [](long long i) { return Line(i) + "\n"; });
    if (path.isEmpty()) return 1;
    const std::string quoted = "'" + path.toStdString() + "'";

    UrlList list;
    Fill(list, n);
    QElapsedTimer timer;
    timer.start();
    const qsizetype removedContaining = Main::RemoveEntriesContaining(list, QStringLiteral(".JPG"));
    const double containingMs = timer.nsecsElapsed() / 1e6;

    Fill(list, n);
    timer.restart();
    const qsizetype removedNot = Main::RemoveEntriesNotContaining(list, QStringLiteral(".jpg"));
    const double notMs = timer.nsecsElapsed() / 1e6;

    // Every entry twice: the first half, then the same again.
    list.clear();
    {
        UrlList::Batch batch(list);
        for (long long i = 0; i < n; ++i) batch.addUtf8(Line(i % ((n + 1) / 2)));
    }
    timer.restart();
    const qsizetype removedDuplicates = RemoveDuplicateEntries(list);
    const double duplicatesMs = timer.nsecsElapsed() / 1e6;
    const QString twicePath = dir.filePath(QStringLiteral("twice.txt"));
    {
        QFile f(twicePath);
        if (!f.open(QIODevice::WriteOnly)) return 1;
        std::string all;
        for (long long i = 0; i < n; ++i) all += Line(i % ((n + 1) / 2)) + "\n";
        f.write(all.data(), static_cast<qint64>(all.size()));
    }
    std::string awkKept;
    const double awkMs = Bench::TimeShell("awk '!seen[$0]++' '" + twicePath.toStdString() + "' | wc -l", &awkKept);

    std::string grepV, grepPlain;
    const double grepVMs = Bench::TimeShell("grep -c -v -i -F '.JPG' " + quoted, &grepV);
    const double grepMs = Bench::TimeShell("grep -c -i -F '.jpg' " + quoted, &grepPlain);

    std::printf("%lld entries, half of them holding .jpg in some letter case\n", n);
    std::printf("%-40s %8s %10s %8s\n", "", "time", "removed", "");
    std::printf("%-40s %6.0f ms %10lld %8s  (goal: under 500 ms)\n", "RemoveEntriesContaining \".JPG\"", containingMs,
                static_cast<long long>(removedContaining), "");
    std::printf("%-40s %6.0f ms %10lld %8s  (goal: under 500 ms)\n", "RemoveEntriesNotContaining \".jpg\"", notMs,
                static_cast<long long>(removedNot), "");
    std::printf("%-40s %6.0f ms %10s   (lines kept)\n", "grep -c -v -i -F '.JPG'", grepVMs, grepV.c_str());
    std::printf("%-40s %6.0f ms %10s   (lines kept)\n", "grep -c -i -F '.jpg'", grepMs, grepPlain.c_str());
    std::printf("%-40s %6.0f ms %10lld %8s  (goal: under 500 ms)\n", "Remove Duplicates (every entry twice)", duplicatesMs,
                static_cast<long long>(removedDuplicates), "-");
    std::printf("%-40s %6.0f ms %10s   (lines kept)\n", "awk '!seen[$0]++'", awkMs, awkKept.c_str());
    return 0;
}
