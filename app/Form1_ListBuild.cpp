// Handlers that fill and prune the URL list. Reading a list file or a page and filtering run as
// list jobs off the window thread; their entries reach the list in batches, and their messages
// come once they end.
#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>

#include <optional>
#include <utility>
#include <vector>

#include "app/ErrorTrap.h"
#include "app/Form1.h"
#include "app/ListActions.h"
#include "download/DownloadEngine.h"
#include "download/Requests.h"
#include "listbuild/ExtractLinks.h"
#include "listbuild/LinkScan.h"
#include "listbuild/ListDigests.h"
#include "listbuild/PageMend.h"
#include "listbuild/FileToList.h"
#include "listbuild/Filters.h"
#include "listbuild/Samples.h"
#include "listbuild/Sequences.h"
#include "listbuild/UserAddress.h"

struct Form1::ListBuildState {
    ListActions* actions = nullptr;
    ListJobs* jobs = nullptr;
    // The link page's own engine (a run of one item), shared with the link job that uses it,
    // which may still be ending when the window goes.
    std::shared_ptr<Download::Engine> pageEngine = std::make_shared<Download::Engine>();
    int pointerBefore = PointerDefault;
    int pointerAfter = PointerDefault;
    // Entries found, waiting for the next addition to the list.
    std::vector<EntryBatch> found;
    QTimer* addFound = nullptr;
};

bool Form1::isListBuilding() const { return listBuild_->jobs->busy(); }

void Form1::startListJob(std::function<void(ListJobs::Job&)> work, std::function<void(const ListJobs::Ending&)> ended,
                         int endPointer) {
    ListBuildState& state = *listBuild_;
    if (!state.jobs->busy()) state.pointerBefore = pointer_;
    // The busy pointer keeps Clear, removals and Start off the list while batches arrive.
    setMousePointer(PointerBusy);
    state.jobs->start(std::move(work), [this, ended = std::move(ended), endPointer](const ListJobs::Ending& how) {
        addFoundEntries();
        listBuild_->pointerAfter = endPointer < 0 ? listBuild_->pointerBefore : endPointer;
        ended(how);
    });
}

EntrySink Form1::entrySink(ListJobs::Job& job) {
    return [this, &job](EntryBatch&& batch) {
        job.toWindow([this, batch = std::move(batch)]() mutable {
            listBuild_->found.push_back(std::move(batch));
            if (!listBuild_->addFound->isActive()) listBuild_->addFound->start();
        });
    };
}

void Form1::addFoundEntries() {
    listBuild_->addFound->stop();
    std::vector<EntryBatch> found = std::exchange(listBuild_->found, {});
    for (const EntryBatch& batch : found) batch.appendTo(urls_);
}

namespace {
// The typed lines' entries; a line "URL  sha256:<hex>" gives its address the digest, which
// belongs to one file: a line whose range makes many is refused.
QStringList AddressesWithDigests(const QString& typed, Main::NotAdded& notAdded, QStringList& faults) {
    QStringList addresses;
    QString plain;
    const auto flush = [&] {
        if (!plain.isEmpty()) addresses << Main::AddressesFromTypedLines(plain, notAdded, faults);
        plain.clear();
    };
    for (QStringView line : QStringView(typed).tokenize(u'\n')) {
        const QByteArray utf8 = line.toUtf8();
        std::string_view address;
        std::optional<Download::Checksum::Digest> digest;
        QString fault;
        if (!ListDigests::SplitLine(std::string_view(utf8.constData(), std::size_t(utf8.size())), address, digest, &fault)) {
            faults << fault + QLatin1Char('\n') + line.trimmed().toString();
            continue;
        }
        if (!digest) {
            plain += line;
            plain += QLatin1Char('\n');
            continue;
        }
        flush();
        const QStringList one = Main::AddressesFromTypedLines(QString::fromUtf8(address.data(), qsizetype(address.size())), notAdded, faults);
        if (one.size() > 1) {
            faults << QCoreApplication::translate("Form1", "A digest belongs to one file, not to %1\n%2")
                          .arg(QString::number(one.size()), line.trimmed().toString());
            continue;
        }
        for (const QString& entry : one) ListDigests::Note(entry, *digest);
        addresses << one;
    }
    flush();
    return addresses;
}
}  // namespace

void Form1::PushButton5_Click() {
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton5_Click"));
    QString address;
    trap.run(100, [&] { address = dialogs_.input(tr("Enter website address to add: ")); });
    if (trap.endTest(102, [&] { return address.isEmpty(); })) return;
    // Several lines pasted into the prompt are several entries, and a numbered sequence up to
    // 100,000: read off the window thread, they arrive in batches as a list file's do.
    struct Report {
        Main::NotAdded notAdded;
        QStringList faults;
    };
    auto report = std::make_shared<Report>();
    auto work = [this, address, report](ListJobs::Job& job) {
        const QStringList addresses = AddressesWithDigests(address, report->notAdded, report->faults);
        const EntrySink sink = entrySink(job);
        EntryBatch batch;
        for (const QString& one : addresses) {
            if (job.stop()) return;
            batch.add(one.toUtf8().toStdString());
            if (batch.full()) sink(std::exchange(batch, {}));
        }
        if (!batch.empty()) sink(std::move(batch));
    };
    startListJob(std::move(work), [this, report](const ListJobs::Ending& how) {
        if (how.stopped) return;
        ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton5_Click"));
        if (!how.failure.isEmpty()) trap.report(104, how.failure);
        if (!report->faults.isEmpty())
            trap.run(111, [&] { dialogs_.msgBox(report->faults.join(QStringLiteral("\n\n")), Dialogs::Exclamation); });
        if (report->notAdded.count) trap.run(112, [&] { dialogs_.msgBox(report->notAdded.message()); });
    });
}

void Form1::PushButton13_Click() {
    // No chooser while list work is under way: its choice could not be loaded.
    if (isListBuilding()) return;
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton13_Click"));
    QStringList files;
    trap.run(108, [&] {
        files = dialogs_.openFiles(tr("Add File(s) - Hold Ctrl to select multiple files"),
                                   {tr("URL lists (*.txt *.lst *.list)"), tr("Text Files (*.txt)"),
                                    tr("All Files (*.*)")},
                                   ListChooserFolder(settings_));
    });
    if (trap.endTest(110, [&] { return files.isEmpty(); })) return;
    trap.run(112, [&] { settings_.write(QStringLiteral("LastListFolder"), QFileInfo(files.front()).absolutePath()); });
    // Every chosen file is a URL list, loaded in the order the chooser gives.
    trap.run(114, [&] { loadListFiles(files, QStringLiteral("PushButton13_Click")); });
}

namespace {
// What a load found besides its entries, written by its work and read once it has ended.
struct LoadReport {
    QStringList failures;  // one message a file, in order
    Main::NotAdded notAdded;
};
}  // namespace

void Form1::loadListFiles(const QStringList& paths, const QString& procedure) {
    auto report = std::make_shared<LoadReport>();
    auto work = [this, paths, report](ListJobs::Job& job) {
        const EntrySink sink = entrySink(job);
        for (const QString& path : paths) {
            const Fw::Result<void> loaded = FileToList::ReadListEntries(path, sink, job.stop(), &report->notAdded);
            if (loaded) continue;
            if (loaded.error().isCancelled()) return;
            report->failures << loaded.error().text + QLatin1Char('\n') + path;
        }
    };
    startListJob(std::move(work), [this, report, procedure](const ListJobs::Ending& how) {
        // Nobody is left to read a message once the window closed.
        if (how.stopped) return;
        ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), procedure);
        if (!how.failure.isEmpty()) trap.report(118, how.failure);
        for (const QString& failure : report->failures) trap.run(120, [&] { dialogs_.msgBox(failure); });
        if (report->notAdded.count) trap.run(124, [&] { dialogs_.msgBox(report->notAdded.message()); });
    });
}

void Form1::PushButton7_Click() {
    // One extraction at a time; a click while list work is under way is ignored.
    if (isListBuilding()) return;
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton7_Click"));
    int selected = 0;
    trap.run(100, [&] { selected = selectedEntry(); });
    const QString prompt = tr("Enter url to extract from (i.e. %1):").arg(QString::fromLatin1(Samples::kExamplePageUrl));
    QString address;
    if (selected == 0)
        trap.run(102, [&] { address = dialogs_.input(prompt); });
    else
        trap.run(104, [&] { address = dialogs_.input(prompt, urls_.textAt(selected)); });
    if (trap.endTest(106, [&] { return address.isEmpty(); })) return;
    const QString pageUrl = ExtractLinks::SetPageUrl(address);
    // The page is asked for as the run's files are: with the chosen User-Agent and cookies.
    Fw::Result<std::shared_ptr<const Download::RequestOptions>> requests = Fw::Error::failed(QString());
    trap.run(107, [&] { requests = Download::MakeRequestOptions(RunOptions::Read(settings_)); });
    if (!requests) {
        if (!requests.error().text.isEmpty()) trap.run(108, [&] { dialogs_.msgBox(requests.error().text); });
        return;
    }
    // Only this job uses the page's engine, and none runs now: a cancel from an earlier close is let go.
    listBuild_->pageEngine->beginRun();
    listBuild_->pageEngine->setRequests(*requests);
    auto result = std::make_shared<std::optional<Fw::Result<ExtractLinks::Extracted>>>();
    RunOptions::LinksTake take = RunOptions::LinksTake::Links;
    trap.run(109, [&] { take = RunOptions::Read(settings_).linksTake; });
    auto work = [this, pageUrl, result, take, pageEngine = listBuild_->pageEngine](ListJobs::Job& job) {
        result->emplace(ExtractLinks::FetchAndScan(pageUrl, *pageEngine, entrySink(job), job.stop(), take));
    };
    trap.run(110, [&] {
        startListJob(std::move(work), [this, result](const ListJobs::Ending& how) {
            if (how.stopped) return;
            ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton7_Click"));
            if (!how.failure.isEmpty()) return trap.report(110, how.failure);
            const Fw::Result<ExtractLinks::Extracted>& extracted = **result;
            if (extracted) {
                ExtractLinks::BaseUrl = extracted->finalUrl;
                if (extracted->links == 0) trap.run(122, [&] { dialogs_.msgBox(tr("No links found on this page.")); });
                if (extracted->leftOut > 0)
                    trap.run(124, [&] {
                        dialogs_.msgBox(tr("%1 image candidates were left out: a srcset takes at most %2.")
                                            .arg(extracted->leftOut)
                                            .arg(ExtractLinks::kMostSrcsetCandidates));
                    });
            } else if (!extracted.error().isCancelled()) {
                trap.run(126, [&] { dialogs_.msgBox(extracted.error().text); });
            }
        }, PointerDefault);
    });
}

namespace {
void RunFilter(Form1& form, Dialogs::DialogService& dialogs, const char* procedure, const QString& prompt,
               bool removeMatches) {
    // One filter at a time, and none while a list file or page still arrives.
    if (form.isListBuilding()) return;
    ErrorReport::Trap trap(dialogs, QStringLiteral("Form1"), QString::fromLatin1(procedure));
    QString text;
    trap.run(100, [&] { text = dialogs.input(prompt); });
    if (trap.endTest(102, [&] { return text.isEmpty(); })) return;
    // The copy is made here, where the list lives; the test of every entry runs off this thread,
    // and entries added meanwhile are kept.
    auto snapshot = std::make_shared<Main::ListSnapshot>();
    trap.run(104, [&] { *snapshot = Main::ListSnapshot::Of(form.urlList()); });
    auto removals = std::make_shared<Main::RemovalSet>();
    auto work = [snapshot, removals, text, removeMatches](ListJobs::Job& job) {
        *removals = Main::EntriesToRemove(*snapshot, text, removeMatches, &job.stop());
        snapshot->text = {};
    };
    const QString name = QString::fromLatin1(procedure);
    trap.run(106, [&] {
        form.startListJob(std::move(work), [&form, &dialogs, removals, name](const ListJobs::Ending& how) {
            if (how.stopped) return;
            ErrorReport::Trap trap(dialogs, QStringLiteral("Form1"), name);
            if (!how.failure.isEmpty()) return trap.report(106, how.failure);
            trap.run(106, [&] { Main::RemoveEntries(form.urlList(), *removals); });
        }, PointerArrow);
    });
}
}  // namespace

void Form1::PushButton17_Click() {
    RunFilter(*this, dialogs_, "PushButton17_Click", tr("Remove entries containing: "), true);
}

void Form1::PushButton3_Click() {
    RunFilter(*this, dialogs_, "PushButton3_Click", tr("Remove entries not containing: "), false);
}

void Form1::PushButton11_Click() {
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton11_Click"));
    // A run reads the list as it goes: clearing it under the run would look like it worked.
    if (IsDownloading) {
        trap.run(102, [&] {
            dialogs_.msgBox(tr("The list cannot be cleared while downloading. Press Stop Downloading first."));
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

void Form1::runOffWindow(std::function<void(ListJobs::Job&)> work, std::function<void(const ListJobs::Ending&)> ended) {
    listBuild_->jobs->start(std::move(work), std::move(ended));
}

// An expired link's page is read again as Get All Links reads it, by the same engine, after the
// list work started before it.
Download::Mender Form1::pageMender() {
    return [this](Download::MendAsk ask, std::function<void(Download::MendAnswer)> done) {
        auto answer = std::make_shared<Download::MendAnswer>();
        const QString failure = ask.failure;
        runOffWindow([ask = std::move(ask), answer, engine = listBuild_->pageEngine](ListJobs::Job& job) {
            *answer = PageMend::Mend(ask, *engine, job.stop());
        }, [answer, failure, done = std::move(done)](const ListJobs::Ending& how) {
            if (how.stopped) return;
            if (!how.failure.isEmpty()) {
                answer->newText.clear();
                answer->reason = failure + tr("; its page could not be read again (%1)").arg(how.failure);
            }
            done(*answer);
        });
    };
}

void Form1::setUpListActions() {
    listBuild_ = std::make_shared<ListBuildState>();
    listBuild_->jobs = new ListJobs(this);
    listBuild_->addFound = new QTimer(this);
    listBuild_->addFound->setSingleShot(true);
    listBuild_->addFound->setInterval(200);
    connect(listBuild_->addFound, &QTimer::timeout, this, [this] { addFoundEntries(); });
    listBuild_->actions = new ListActions(*this);
    connect(listBuild_->jobs, &ListJobs::idle, this, [this] {
        setMousePointer(listBuild_->pointerAfter);
        emit listBuildEnded();
    });
    // A close cancels the list work without waiting for it; the window's end waits.
    connect(this, &Form1::aboutToClose, this, [this] {
        listBuild_->jobs->stopAll();
        listBuild_->pageEngine->cancel();
    });
}

void Form1::endListJobs() {
    listBuild_->jobs->stopAll();
    listBuild_->pageEngine->cancel();
    listBuild_->jobs->waitAll();
}
