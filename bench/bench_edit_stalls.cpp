// How long the window stops answering while big edits reach the list: one "Add One URL" of ten
// lines that each give 100,000 entries, ten undos of removals of 100,000 entries each from a list
// of two million, and "Yes" to an unfinished run of 100,000 entries at start-up. A timer that should
// fire every 5 ms measures the longest gap between its ticks while the window works.
// Goal: no gap over 100 ms. Runs offscreen unless QT_QPA_PLATFORM says otherwise.
// Usage: bench_edit_stalls [entries]
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>

#include "BenchCommon.h"
#include "StallMeter.h"
#include "app/Form1.h"
#include "app/ListEditing.h"
#include "app/StartupEnvironment.h"
#include "download/UnfinishedWork.h"

namespace {

class Answering : public Bench::SilentDialogs {
public:
    QString typed;
    int answer = Dialogs::Ok;
    QString inputBox(const QString&, const QString&, const QString&) override { return typed; }
    int messageBox(const QString& text, int code, const QString& caption) override {
        SilentDialogs::messageBox(text, code, caption);
        return answer;
    }
};

void Run(const char* what, Form1& form, const std::function<void()>& action, const std::function<bool()>& over) {
    Bench::RunStall(what, form, action, over);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int entries = argc > 1 ? std::atoi(argv[1]) : 100000;
    QTemporaryDir dir;
    const QString state = dir.filePath(QStringLiteral("state"));
    qputenv("XDG_STATE_HOME", state.toUtf8());
    Answering dialogs;
    const Settings::Store settings(dir.filePath(QStringLiteral("bench.conf")));
    std::printf("%-44s %12s %12s %9s\n", "", "total", "longest gap", "entries");
    {
        Form1 form(dialogs, settings);
        if (!qEnvironmentVariableIsSet("HIDDEN")) form.show();

        for (int k = 0; k < 10; ++k) dialogs.typed += QStringLiteral("http://files.example/%1/[1-%2].bin\n").arg(k).arg(entries);
        Run("Add One URL of ten lines of a range", form, [&] { form.PushButton5_Click(); },
            [&] { return !form.isListBuilding(); });

        // Two million entries, ten removals of 100,000 spread over the list, then ten undos.
        form.urlList().clear();
        {
            UrlList::Batch batch(form.urlList());
            for (int i = 0; i < 20 * entries; ++i) batch.add(QStringLiteral("https://files.example/archive/item-%1.bin").arg(i));
        }
        for (int k = 0; k < 10; ++k) {
            int row = 0;
            form.urlList().removeIf([&](std::string_view) { return row++ % (20 - k) == 0; });
        }
        auto* editing = form.findChild<ListEditing*>();
        for (int k = 0; k < 10; ++k) {
            char what[64];
            std::snprintf(what, sizeof what, "undo %d of a removal", k + 1);
            Run(what, form, [&] { editing->undoRemoval(); }, [&] { return !form.isListBuilding(); });
        }
    }

    // An unfinished run of `entries` entries, offered at start-up and taken back.
    {
        QStringList left;
        for (int i = 0; i < entries; ++i) left << QStringLiteral("https://files.example/left/item-%1.iso").arg(i);
        Download::UnfinishedRunRecord record(state);
        if (!record.save({dir.path(), left})) return 1;
    }
    Form1 form(dialogs, settings);
    if (!qEnvironmentVariableIsSet("HIDDEN")) form.show();
    StartupEnvironment env;
    env.programFolder = dir.path();
    env.pingCommand = QStringLiteral("true");
    env.desktopFolder = [&] { return dir.path(); };
    env.drawHomePageNumber = [] { return 50; };
    env.stateFolder = state;
    bool tidied = false;
    QObject::connect(&form, &Form1::unfinishedWorkTidied, &form, [&] { tidied = true; }, Qt::QueuedConnection);
    dialogs.answer = Dialogs::Yes;
    Run("Yes to an unfinished run at start-up", form, [&] { form.Form_Load(env); },
        [&] { return tidied && !form.isListBuilding() && form.urlList().count() >= entries; });
    std::printf("goal: no gap over 100 ms\n");
    return 0;
}
