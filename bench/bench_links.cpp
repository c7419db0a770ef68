// Link extraction of a generated 50 MB page with about 400,000 links: the scan, reference
// decoding, resolution against the page address and appending to the URL list, beside
// grep -o -i 'href="[^"]*"' over the same file.
// Usage: bench_links [megabytes]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <string>

#include "BenchCommon.h"
#include "urllist/UrlList.h"
#include "listbuild/ExtractLinks.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const long long megabytes = argc > 1 ? std::atoll(argv[1]) : 50;
    const long long target = megabytes * 1000 * 1000;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("page.html"));

    // A page of anchors, images and scripts; one link in every ~125 bytes, with the usual mix
    // of relative, root-relative, absolute and referenced forms, and a few that are skipped.
    long long links = 0;
    long long skipped = 0;
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly)) return 1;
        std::string chunk;
        long long written = 0;
        for (long long i = 0; written < target; ++i) {
            char line[256];
            int n = 0;
            switch (i % 8) {
            case 0: n = std::snprintf(line, sizeof line, "<li><a href=\"photos/%lld/img_%06lld.jpg\">Photo %lld</a> taken in the garden</li>\n", i % 300, i, i); break;
            case 1: n = std::snprintf(line, sizeof line, "<li><a HREF=\"/gallery/%lld/full.png\" class=\"thumb\">Full size %lld</a></li>\n", i % 500, i); break;
            case 2: n = std::snprintf(line, sizeof line, "<a href=\"https://cdn.quillmoor.example/static/%lld/file-%lld.zip\">download</a> (zip)\n", i % 97, i); break;
            case 3: n = std::snprintf(line, sizeof line, "<a href=\"view.php?id=%lld&amp;size=large&amp;fmt=jpg\">view item number %lld</a><br>\n", i, i); break;
            case 4: n = std::snprintf(line, sizeof line, "<link rel=\"stylesheet\" href=\"../css/theme-%lld.css\" type=\"text/css\" media=\"all\">\n", i % 40); break;
            case 5: n = std::snprintf(line, sizeof line, "<p>Some text with <b>markup</b> but no link at all, item %lld; width=100 height=80</p>\n", i); break;
            case 6: n = std::snprintf(line, sizeof line, "<a href=\"//media.quillmoor.example/v/%lld.mp4\">clip</a> <a href=\"#top\">top</a>\n", i); break;
            default: n = std::snprintf(line, sizeof line, "<a href=\"mailto:someone%lld@quillmoor.example\">mail</a> <span title=\"x=y\">note</span>\n", i); break;
            }
            chunk.append(line, static_cast<std::size_t>(n));
            if (i % 2 == 0) chunk.append("<div class=\"caption\">A few words of plain text between the links.</div>\n");
            links += (i % 8 == 5) ? 0 : (i % 8 == 6 ? 2 : 1);
            skipped += (i % 8 == 7) ? 1 : 0;
            if (chunk.size() > (1 << 20)) {
                f.write(chunk.data(), static_cast<qint64>(chunk.size()));
                written += static_cast<long long>(chunk.size());
                chunk.clear();
            }
        }
        f.write(chunk.data(), static_cast<qint64>(chunk.size()));
    }
    const double pageMB = QFileInfo(path).size() / 1e6;

    Bench::ResetPeak();
    const long rssBefore = Bench::StatusKiB("VmRSS");
    QElapsedTimer timer;
    timer.start();
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return 1;
    const QByteArray page = f.readAll();
    f.close();
    const double readMs = timer.nsecsElapsed() / 1e6;
    UrlList list;
    const std::atomic<bool> stop{false};
    (void)ExtractLinks::ScanPage(std::string_view(page.constData(), static_cast<std::size_t>(page.size())),
                                 QStringLiteral("http://www.quillmoor.example/site/dir/page.htm"),
                                 [&](EntryBatch&& batch) { batch.appendTo(list); }, stop);
    const double totalMs = timer.nsecsElapsed() / 1e6;
    const long peakKiB = Bench::StatusKiB("VmHWM") - rssBefore;

    std::string grepCount;
    const std::string quoted = "'" + path.toStdString() + "'";
    const double grepMs = Bench::TimeShell("grep -o -i 'href=\"[^\"]*\"' " + quoted + " | wc -l", &grepCount);

    std::printf("page: %.1f MB, %lld href=\" matches generated (%lld of them mailto:)\n", pageMB, links, skipped);
    std::printf("%-44s %10s %12s\n", "", "time", "links");
    std::printf("%-44s %8.0f ms %12d\n", "Fetchwright read+scan+decode+resolve+append", totalMs, list.count());
    std::printf("%-44s %8.0f ms\n", "  of which reading the file", readMs);
    std::printf("%-44s %8.0f ms %12s\n", "grep -o -i 'href=\"[^\"]*\"' | wc -l", grepMs, grepCount.c_str());
    std::printf("ratio Fetchwright / grep: %.2f (goal: at most 0.33)\n", totalMs / grepMs);
    std::printf("peak extra memory: %.1f MB = %.1f x page (list storage %.1f MB)\n", peakKiB / 1024.0,
                peakKiB * 1024.0 / 1e6 / pageMB, list.storageBytes() / 1e6);
    return 0;
}
