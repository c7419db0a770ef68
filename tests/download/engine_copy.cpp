// One copy of the download engine in a process of its own, for tests that run several copies
// at once into one folder.
//
//   engine_copy [--named] [--unsplit] FOLDER URL...
//                                         runs the list headless (--unsplit: a big file over
//                                         one connection); prints one line per item:
//                                         "stored<TAB>url<TAB>path" or "failed<TAB>url<TAB>reason"
//   engine_copy --clean FOLDER SECONDS    removes leftover temporaries in a loop for that long;
//                                         prints how many it removed
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>

#include "download/DownloadJob.h"

namespace {
void print(const char* what, const QString& url, const QString& detail) {
    std::printf("%s\t%s\t%s\n", what, url.toUtf8().constData(), detail.toUtf8().constData());
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.size() == 3 && args[0] == QLatin1String("--clean")) {
        QElapsedTimer running;
        running.start();
        int removed = 0;
        while (running.elapsed() < args[2].toDouble() * 1000) removed += Download::RemoveLeftoverTemporaries(args[1]);
        std::printf("removed\t%d\n", removed);
        return 0;
    }
    Download::Engine engine;
    if (!args.isEmpty() && args[0] == QLatin1String("--named")) {
        engine.setTemporaryMethod(Download::TemporaryMethod::Named);
        args.removeFirst();
    }
    Download::JobOptions options;
    if (!args.isEmpty() && args[0] == QLatin1String("--unsplit")) {
        options.splitBigFiles = false;
        args.removeFirst();
    }
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: engine_copy [--named] [--unsplit] FOLDER URL... | --clean FOLDER SECONDS\n");
        return 2;
    }
    const QString folder = args.takeFirst();
    std::vector<Download::JobItem> items;
    Download::EntryId id = 0;
    for (const QString& url : args) items.push_back(Download::JobItem{++id, url});
    Download::DownloadJob job(engine, folder, std::move(items), options, nullptr);
    Download::RunSummary summary;
    QObject::connect(&job, &Download::DownloadJob::result, &app, [&](const Download::JobResult& result) {
        summary = result.summary;
        app.quit();
    });
    job.start();
    app.exec();
    for (const auto& [url, path] : summary.stored()) print("stored", url, path);
    for (const auto& [url, reason] : summary.failures()) print("failed", url, reason);
    return 0;
}
