// "Change Address…": a paused or failed row goes by a new address. Its kept bytes follow it when
// the new address proves to serve the same file (download/SameFile.h); when it does not, they are
// dropped only once the user says so. The proof's request runs off the window's thread.
#include "app/Form1.h"

#include <QLineEdit>

#include "app/ErrorTrap.h"
#include "download/DownloadJob.h"
#include "download/Requests.h"
#include "download/RunSummary.h"
#include "support/PathHelpers.h"
#include "support/RunOptions.h"
#include "support/WebUrl.h"

namespace {
// A row whose item is not under way and may keep bytes: paused (by the user or by a stop) or failed.
bool AddressMayChange(const UrlList& urls, int position) {
    const UrlList::Outcome was = urls.outcomeAt(position);
    const bool still = was == UrlList::Outcome::Held || was == UrlList::Outcome::Paused || was == UrlList::Outcome::Failed;
    return still && !urls.hasProgress(urls.idAt(position));
}
}  // namespace

// An expired link of the run is mended from its page; the row shows its new address.
void Form1::watchAddressChanges(Download::DownloadJob& job) {
    job.setMender(pageMender());
    connect(&job, &Download::DownloadJob::itemAddressChanged, this, [this](Download::EntryId entry, const QString& text) {
        if (const int position = urls_.positionOf(entry)) urls_.setTextAt(position, text);
    });
}

bool Form1::canChangeAddress() const {
    const int position = selectedEntry();
    return position > 0 && !listLocked() && AddressMayChange(urls_, position);
}

void Form1::changeAddressOfSelection() {
    if (!canChangeAddress()) return;
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("changeAddressOfSelection"));
    const int position = selectedEntry();
    const UrlList::EntryId id = urls_.idAt(position);
    const QString oldText = urls_.textAt(position);
    QString typed;
    trap.run(100, [&] { typed = dialogs_.input(tr("New address of this entry:"), oldText); });
    if (typed.trimmed().isEmpty()) return;
    const std::optional<QString> newText = WebUrl::FromUserText(QStringView(typed).trimmed());
    if (!newText) {
        trap.run(102, [&] { dialogs_.msgBox(tr("Not a web address:\n") + typed.trimmed(), Dialogs::Exclamation); });
        return;
    }
    if (*newText == oldText) return;
    // Its bytes were kept in the folder of the run it was in, else of the next one.
    const Download::DownloadJob* job = runJob();
    const QString folder = job ? job->folder() : Main::ExpandHomeFolder(Text1->text());
    std::shared_ptr<const Download::RequestOptions> requests;
    trap.run(104, [&] {
        if (auto made = Download::MakeRequestOptions(RunOptions::Read(settings_))) requests = *made;
    });
    auto check = std::make_shared<Download::AddressCheck>();
    runOffWindow([folder, oldText, newText = *newText, requests, check](ListJobs::Job& work) {
        *check = Download::CheckNewAddress(folder, oldText, newText, requests.get(), &work.stop());
    }, [this, id, oldText, newText = *newText, folder, check](const ListJobs::Ending& how) {
        if (how.stopped) return;
        ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("changeAddressOfSelection"));
        if (!how.failure.isEmpty()) return trap.report(110, how.failure);
        trap.run(112, [&] { finishAddressChange(id, oldText, newText, folder, *check); });
    });
}

void Form1::finishAddressChange(UrlList::EntryId id, const QString& oldText, const QString& newText, const QString& folder,
                                const Download::AddressCheck& check) {
    const int position = urls_.positionOf(id);
    // Removed, given another address or resumed meanwhile: that stands.
    if (position == 0 || urls_.textAt(position) != oldText || !AddressMayChange(urls_, position)) return;
    if (check.kept > 0 && !check.proof.proven) {
        const QString question = tr("The new address does not give the same file: %1.\n\n"
                                    "Drop the %2 kept and fetch the file from its start at the new address?")
                                     .arg(check.proof.why, Download::ByteSize(check.kept));
        if (dialogs_.msgBox(question, Dialogs::YesNo) != Dialogs::Yes) return;
    }
    if (!Download::ApplyNewAddress(folder, oldText, newText, check)) {
        dialogs_.msgBox(tr("The kept bytes could not be moved to the new address; the entry keeps its old one."),
                        Dialogs::Exclamation);
        return;
    }
    urls_.setTextAt(position, newText);
    if (Download::DownloadJob* job = runJob()) job->changeAddress(id, newText);
}
