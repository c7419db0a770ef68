// Appends 1,000,000 addresses of about 60 characters to the URL list, counts them and reads
// them back; prints the time and the resident memory that the list added.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>

#include <cstdio>
#include <fstream>
#include <string>

#include "urllist/UrlList.h"

namespace {
long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000000;
    // Texts are made up front so that only the list's work is timed.
    QStringList texts;
    texts.reserve(n);
    for (int i = 0; i < n; ++i)
        texts << QStringLiteral("https://downloads.quillmoor.example/archive/%1/item-%2.jpg")
                     .arg(i % 977, 4, 10, QLatin1Char('0'))
                     .arg(i, 8, 10, QLatin1Char('0'));
    const long before = residentKiB();

    QElapsedTimer timer;
    timer.start();
    UrlList list;
    {
        UrlList::Batch batch(list);
        for (const QString& t : texts) batch.add(t);
    }
    const qint64 appendMs = timer.elapsed();
    const long after = residentKiB();

    timer.restart();
    std::size_t bytes = 0;
    const int count = list.count();
    for (int i = 1; i <= count; ++i) bytes += static_cast<std::size_t>(list.textAt(i).size());
    const qint64 readMs = timer.elapsed();

    timer.restart();
    UrlList single;
    for (int i = 0; i < n / 10; ++i) single.append(texts[i]);
    const qint64 singleMs = timer.elapsed();

    std::printf("entries                      %d (avg %.1f chars)\n", count, double(bytes) / count);
    std::printf("append (one batch)           %6lld ms\n", static_cast<long long>(appendMs));
    std::printf("count + read back as QString %6lld ms\n", static_cast<long long>(readMs));
    std::printf("append one by one (%d)   %6lld ms\n", n / 10, static_cast<long long>(singleMs));
    std::printf("extra resident memory        %6.1f MB (list storage %.1f MB)\n", (after - before) / 1024.0,
                list.storageBytes() / 1048576.0);
    std::printf("goal: append+read < 1000 ms: %s; memory < 250 MB: %s\n",
                appendMs + readMs < 1000 ? "met" : "NOT met", (after - before) / 1024.0 < 250 ? "met" : "NOT met");
    return 0;
}
