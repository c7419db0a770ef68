// How long the window stops answering while big or hostile text reaches the list: a list file of
// one 50 MB line, 50 MB of pasted text with addresses in it, 50 MB of pasted binary data, and a
// filter over a million entries. A timer that should fire every 5 ms measures the longest gap
// between its ticks while the window takes the text in. Goal: no gap over 250 ms.
// Usage: bench_stalls [megabytes]
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <random>
#include <string>

#include "BenchCommon.h"
#include "app/Form1.h"
#include "app/ListActions.h"

namespace {

// Answers the list chooser with one file and the filter prompt with one text.
class Answering : public Bench::SilentDialogs {
public:
    QString listFile;
    QString filterText;
    QStringList openFiles(const QString&, const QStringList&, const QString&) override { return {listFile}; }
    QString inputBox(const QString&, const QString&, const QString&) override { return filterText; }
};

struct Stall {
    double totalMs = 0;
    double longestGapMs = 0;
};

// Starts `action` from the application's event loop and runs the loop until the window's list
// work is over, measuring the longest time between two ticks of a 5 ms timer.
Stall Measure(Form1& form, const std::function<void()>& action) {
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    bool started = false;
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, &form, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
        if (started && !form.isListBuilding()) QCoreApplication::exit(0);
    });
    QTimer::singleShot(0, &form, [&] {
        clock.start();
        last = 0;
        ticker.start();
        action();
        started = true;
    });
    QCoreApplication::exec();
    return {clock.nsecsElapsed() / 1e6, longest / 1e6};
}

void Run(const char* what, Form1& form, const std::function<void()>& action) {
    const Stall s = Measure(form, action);
    std::printf("%-44s %9.0f ms %9.0f ms %9d\n", what, s.totalMs, s.longestGapMs, form.urlList().count());
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const long long megabytes = argc > 1 ? std::atoll(argv[1]) : 50;
    const std::size_t bytes = static_cast<std::size_t>(megabytes) << 20;
    QTemporaryDir dir;
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
    std::printf("goal: no gap over 250 ms\n");
    return 0;
}
