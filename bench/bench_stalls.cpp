// How long the window stops answering while big or hostile text reaches the list: a list file of
// one 50 MB line, 50 MB of pasted text with addresses in it, 50 MB of pasted binary data, and a
// filter over a million entries; then a run of 5,000 rows, 8 under way, from a loopback server
// that sends each body in paced pieces, so that rows are drawn under way all the time. A timer
// that should fire every 5 ms measures the longest gap between its ticks while the window works.
// Goal: no gap over 250 ms. Runs offscreen unless QT_QPA_PLATFORM says otherwise (xcb under
// xvfb-run, say). Then 10,000 rows of a run of 110,000 paused and resumed at once, and 100,000
// of its waiting rows removed at once.
// Usage: bench_stalls [megabytes] [rows]
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QTreeView>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <httplib.h>

#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "BenchCommon.h"
#include "StallMeter.h"
#include "app/Form1.h"
#include "app/ListActions.h"
#include "support/RunOptions.h"

namespace {

// Answers the list chooser with one file and the filter prompt with one text.
class Answering : public Bench::SilentDialogs {
public:
    QString listFile;
    QString filterText;
    QStringList openFiles(const QString&, const QStringList&, const QString&) override { return {listFile}; }
    QString inputBox(const QString&, const QString&, const QString&) override { return filterText; }
};

void Run(const char* what, Form1& form, const std::function<void()>& action, std::function<bool()> over = {}) {
    Bench::RunStall(what, form, action, std::move(over));
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const long long megabytes = argc > 1 ? std::atoll(argv[1]) : 50;
    const int rows = argc > 2 ? std::atoi(argv[2]) : 5000;
    const std::size_t bytes = static_cast<std::size_t>(megabytes) << 20;
    QTemporaryDir dir;
    // The run's record of unfinished work goes to the benchmark's own folder.
    qputenv("XDG_STATE_HOME", dir.filePath(QStringLiteral("state")).toUtf8());
    Answering dialogs;
    const Settings::Store settings(dir.filePath(QStringLiteral("bench.conf")));
    Form1 form(dialogs, settings);
    if (!qEnvironmentVariableIsSet("HIDDEN")) form.show();
    auto* actions = form.findChild<ListActions*>();

    std::printf("%-44s %12s %12s %9s\n", "", "total", "longest gap", "entries");

    // One line of 50 MB: an address whose path never ends.
    {
        std::string line = "https://long.example/";
        while (line.size() < bytes) line += "segment-0123456789/";
        dialogs.listFile = dir.filePath(QStringLiteral("one-line.txt"));
        QFile f(dialogs.listFile);
        if (!f.open(QIODevice::WriteOnly)) return 1;
        f.write(line.data(), static_cast<qint64>(line.size()));
        f.close();
    }
    form.urlList().clear();
    Run("list file of one line", form, [&] { form.PushButton13_Click(); });

    // Mail-like text: prose with two addresses a line.
    {
        std::string text;
        text.reserve(bytes + 200);
        for (long i = 0; text.size() < bytes; ++i)
            text += "see https://files.example/archive/item-" + std::to_string(i) + ".zip (or <http://mirror.example/" +
                    std::to_string(i) + ">), thanks\n";
        QGuiApplication::clipboard()->setText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
    }
    form.urlList().clear();
    Run("paste of text with addresses", form, [&] { actions->pasteFromClipboard(); });

    // Binary data: random bytes, read as Latin-1 text.
    {
        std::mt19937 random(7);
        std::string data(bytes, '\0');
        for (char& c : data) c = static_cast<char>(random());
        QGuiApplication::clipboard()->setText(QString::fromLatin1(data.data(), static_cast<qsizetype>(data.size())));
    }
    form.urlList().clear();
    Run("paste of binary data", form, [&] { actions->pasteFromClipboard(); });
    QGuiApplication::clipboard()->clear();

    // A million entries, half of them removed.
    form.urlList().clear();
    {
        UrlList::Batch batch(form.urlList());
        for (int i = 0; i < 1000000; ++i)
            batch.add(QStringLiteral("https://files.example/archive/item-%1.%2").arg(i).arg(i % 2 ? QStringLiteral("jpg") : QStringLiteral("png")));
    }
    dialogs.filterText = QStringLiteral(".PNG");
    Run("filter of 1,000,000 entries", form, [&] { form.PushButton17_Click(); });
    form.urlList().clear();

    // A run of `rows` items, 8 at once: 32 kB each in two pieces 10 ms apart, every 250th 2 MB in
    // pieces of 64 kB, 5 ms apart.
    {
        httplib::Server server;
        server.set_tcp_nodelay(true);
        server.new_task_queue = [] { return new httplib::ThreadPool(16); };
        server.Get(R"(/f/(\d+)\.bin)", [](const httplib::Request& request, httplib::Response& response) {
            const int n = std::stoi(request.matches[1]);
            const bool big = n % 250 == 0;
            const std::size_t piece = big ? 64 << 10 : 16 << 10;
            const std::size_t size = big ? 2 << 20 : 32 << 10;
            const int pause = big ? 5 : 10;
            response.set_content_provider(size, "application/octet-stream",
                                          [piece, size, pause](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                              if (offset > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
                                              const std::string data(std::min(piece, size - offset), 'x');
                                              return sink.write(data.data(), data.size());
                                          });
        });
        const int port = server.bind_to_any_port("127.0.0.1");
        if (port <= 0) return 1;
        std::thread serving([&] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::yield();
        RunOptions::Values options = RunOptions::Read(settings);
        options.atOnce = 8;
        RunOptions::Write(settings, options);
        const QString out = dir.filePath(QStringLiteral("out"));
        QDir().mkpath(out);
        form.Text1->setText(out);
        {
            UrlList::Batch batch(form.urlList());
            for (int i = 0; i < rows; ++i) batch.add(QStringLiteral("http://127.0.0.1:%1/f/%2.bin").arg(port).arg(i));
        }
        bool ended = false;
        QObject::connect(&form, &Form1::downloadEnded, &form, [&] { ended = true; });
        char what[64];
        std::snprintf(what, sizeof what, "run of %d rows, 8 under way", rows);
        Run(what, form, [&] { form.PushButton2_Click(); }, [&] { return ended; });

        // Steering a long run while 8 are under way: 10,000 rows paused at once and resumed,
        // then 100,000 waiting rows removed at once.
        form.urlList().clear();
        {
            UrlList::Batch batch(form.urlList());
            for (int i = 0; i < 110000; ++i) batch.add(QStringLiteral("http://127.0.0.1:%1/f/%2.bin").arg(port).arg(i + 1));
        }
        ended = false;
        form.PushButton2_Click();
        auto selectRows = [&](int first, int count) {
            QItemSelection selection(form.urlList().index(first), form.urlList().index(first + count - 1));
            form.ListView1->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            form.ListView1->selectionModel()->setCurrentIndex(form.urlList().index(first), QItemSelectionModel::NoUpdate);
        };
        const int from = form.urlList().count() - 105000;
        Run("pause of 10,000 rows during a run", form, [&] {
            selectRows(from, 10000);
            form.pauseOrResumeSelection();
        }, [] { return true; });
        std::printf("%-44s %8lld rows paused\n", "", static_cast<long long>(form.urlList().countOutcome(UrlList::Outcome::Held)));
        Run("resume of 10,000 rows during a run", form, [&] {
            selectRows(from, 10000);
            form.pauseOrResumeSelection();
        }, [] { return true; });
        QElapsedTimer removal;
        Run("removal of 100,000 waiting rows during a run", form, [&] {
            selectRows(from, 100000);
            removal.start();
            QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
            QCoreApplication::sendEvent(form.ListView1, &del);
            std::printf("%-44s %8.1f ms for the removal itself (goal: under 1 s)\n", "", removal.nsecsElapsed() / 1e6);
        }, [] { return true; });
        form.stopDownloading();
        Run("stop of the steered run", form, [] {}, [&] { return ended; });
        server.stop();
        serving.join();
    }
    std::printf("goal: no gap over 250 ms\n");
    return 0;
}
