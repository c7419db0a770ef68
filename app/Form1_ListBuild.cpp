// Handlers that fill and prune the URL list.
#include <QFileInfo>

#include "app/Form1.h"
#include "app/ListActions.h"
#include "download/Downloader.h"
#include "listbuild/ExtractLinks.h"
#include "listbuild/FileToList.h"
#include "listbuild/Filters.h"
#include "listbuild/Samples.h"
#include "listbuild/Sequences.h"
#include "listbuild/UserAddress.h"
#include "support/ErrorTrap.h"

#include <atomic>

struct Form1::ListBuildState {
    ListActions* actions = nullptr;
    Download::Downloader downloader;
    Background::Worker worker;
    // A list file or a page is being read: one at a time, as they share the worker.
    bool busy = false;
    std::atomic<bool> closing{false};
};

namespace {
struct BusyWhile {
    bool& flag;
    explicit BusyWhile(bool& f) : flag(f) { flag = true; }
    ~BusyWhile() { flag = false; }
};
}  // namespace

void Form1::PushButton5_Click() {
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton5_Click"));
    QString address;
    trap.run(100, [&] { address = dialogs_.input(QStringLiteral("Enter website address to add: ")); });
    if (trap.endTest(102, [&] { return address.isEmpty(); })) return;
    // Several lines pasted into the prompt are several entries, and a numbered sequence many.
    Main::NotAdded notAdded;
    QStringList addresses, faults;
    trap.run(104, [&] { addresses = Main::AddressesFromTypedLines(address, notAdded, faults); });
    trap.run(110, [&] { urls_.appendMany(addresses); });
    if (!faults.isEmpty()) trap.run(111, [&] { dialogs_.msgBox(faults.join(QStringLiteral("\n\n")), Dialogs::Exclamation); });
    if (notAdded.count) trap.run(112, [&] { dialogs_.msgBox(notAdded.message()); });
}

void Form1::PushButton13_Click() {
    // No chooser while a list file or page is being read: its choice could not be loaded.
    if (listBuild_->busy) return;
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton13_Click"));
    QStringList files;
    trap.run(108, [&] {
        files = dialogs_.openFiles(QStringLiteral("Add File(s) - Hold Ctrl to select multiple files"),
                                   {QStringLiteral("URL lists (*.txt *.lst *.list)"), QStringLiteral("Text Files (*.txt)"),
                                    QStringLiteral("All Files (*.*)")},
                                   settings_.read(QStringLiteral("LastListFolder"), QString()));
    });
    if (trap.endTest(110, [&] { return files.isEmpty(); })) return;
    trap.run(112, [&] { settings_.write(QStringLiteral("LastListFolder"), QFileInfo(files.front()).absolutePath()); });
    // Every chosen file is a URL list, loaded in the order the chooser gives.
    loadListFiles(files, trap);
}

void Form1::loadListFiles(const QStringList& paths, ErrorReport::Trap& trap) {
    if (listBuild_->busy) return;
    const std::shared_ptr<ListBuildState> state = listBuild_;
    BusyWhile busy(state->busy);
    // The busy pointer keeps Clear and removals off the list while batches arrive.
    const int pointerBefore = pointer_;
    trap.run(116, [&] { setMousePointer(PointerBusy); });
    Main::NotAdded notAdded;
    for (const QString& path : paths) {
        Fw::Result<void> loaded;
        if (!trap.run(118, [&] {
                loaded = FileToList::LoadUrlsFromFile(
                    urls_, path, state->worker, [this] { return keepGoing(); }, &state->closing, &notAdded);
            }))
            break;
        if (loaded) continue;
        if (loaded.error().isCancelled()) break;
        trap.run(120, [&] { dialogs_.msgBox(loaded.error().text + QLatin1Char('\n') + path); });
    }
    trap.run(122, [&] { setMousePointer(pointerBefore); });
    if (notAdded.count && !state->closing) trap.run(124, [&] { dialogs_.msgBox(notAdded.message()); });
}

void Form1::PushButton7_Click() {
    // One extraction at a time; a second click while one runs is ignored.
    if (listBuild_->busy) return;
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton7_Click"));
    int selected = 0;
    trap.run(100, [&] { selected = selectedEntry(); });
    const QString prompt = QStringLiteral("Enter url to extract from (i.e. ") +
                           QString::fromLatin1(Samples::kExamplePageUrl) + QStringLiteral("):");
    QString address;
    if (selected == 0)
        trap.run(102, [&] { address = dialogs_.input(prompt); });
    else
        trap.run(104, [&] { address = dialogs_.input(prompt, urls_.textAt(selected)); });
    if (trap.endTest(106, [&] { return address.isEmpty(); })) return;
    trap.run(108, [&] { setMousePointer(PointerBusy); });
    trap.run(110, [&] {
        BusyWhile busy(listBuild_->busy);
        ExtractLinks::Session session{dialogs_, listBuild_->downloader, listBuild_->worker,
                                      [this] { return keepGoing(); }};
        ExtractLinks::GetUrls(urls_, address, session);
    });
    trap.run(112, [&] { setMousePointer(PointerDefault); });
}

namespace {
template <class Filter>
void RunFilter(Form1& form, Dialogs::DialogService& dialogs, const char* procedure, const QString& prompt,
               Filter filter) {
    ErrorReport::Trap trap(dialogs, QStringLiteral("Form1"), QString::fromLatin1(procedure));
    QString text;
    trap.run(100, [&] { text = dialogs.input(prompt); });
    if (trap.endTest(102, [&] { return text.isEmpty(); })) return;
    trap.run(104, [&] { form.setMousePointer(PointerBusy); });
    trap.run(106, [&] {
        filter(form.urlList(), text, [&form] { return form.keepGoing(); });
    });
    trap.run(108, [&] { form.setMousePointer(PointerArrow); });
}
}  // namespace

void Form1::PushButton17_Click() {
    RunFilter(*this, dialogs_, "PushButton17_Click", QStringLiteral("Remove entries containing: "),
              Main::RemoveEntriesContaining);
}

void Form1::PushButton3_Click() {
    RunFilter(*this, dialogs_, "PushButton3_Click", QStringLiteral("Remove entries not containing: "),
              Main::RemoveEntriesNotContaining);
}

void Form1::PushButton11_Click() {
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton11_Click"));
    // A run reads the list as it goes: clearing it under the run would look like it worked.
    if (IsDownloading) {
        trap.run(102, [&] {
            dialogs_.msgBox(QStringLiteral("The list cannot be cleared while downloading. Press Stop Downloading first."));
        });
        return;
    }
    // A long operation shows the busy pointer; the list is left alone under it.
    trap.run(100, [&] {
        if (!isBusy()) urls_.clear();
    });
}

void Form1::PushButton4_Click() {
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton4_Click"));
    int line = 100;
    for (const char* sample : Samples::kSampleUrls) {
        trap.run(line, [&] { urls_.append(QString::fromLatin1(sample)); });
        line += 2;
    }
}

void Form1::setUpListActions() {
    listBuild_ = std::make_shared<ListBuildState>();
    listBuild_->actions = new ListActions(*this);
    std::weak_ptr<ListBuildState> state = listBuild_;
    connect(this, &Form1::aboutToClose, this, [state] {
        if (auto s = state.lock()) {
            s->closing = true;
            s->downloader.cancel();
        }
    });
}
