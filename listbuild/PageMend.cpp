#include "listbuild/PageMend.h"

#include <QCoreApplication>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <cstring>

#include "download/Address.h"
#include "download/FileNaming.h"
#include "download/PartialRecords.h"
#include "download/SameFile.h"
#include "listbuild/ExtractLinks.h"

namespace PageMend {

namespace {

// A page whose first bytes hold a NUL is no web page: its "links" are noise.
bool looksBinary(std::string_view bytes) {
    const std::size_t look = std::min<std::size_t>(bytes.size(), 4096);
    return look > 0 && std::memchr(bytes.data(), '\0', look) != nullptr;
}

QString fileNameOf(const QString& address) { return Download::AddressFileName(address); }

}  // namespace

Download::MendAnswer Mend(const Download::MendAsk& ask, Download::Engine& engine, const std::atomic<bool>& stop) {
    Download::MendAnswer answer;
    const QString failure = ask.failure.isEmpty() ? QStringLiteral("Failed") : ask.failure;
    auto notMended = [&](const QString& why) {
        answer.newText.clear();
        answer.reason = failure + QStringLiteral("; ") + why;
        return answer;
    };
    Download::PartialStore store;
    const std::optional<Download::PartialRecord> kept = store.find(ask.folder, ask.url);
    if (!kept) return notMended(QCoreApplication::translate("PageMend", "nothing of it is kept to continue"));
    const QString wanted = fileNameOf(ask.url);
    if (wanted.isEmpty()) return notMended(QCoreApplication::translate("PageMend", "its address names no file to look for on its page"));

    engine.beginRun();
    engine.setRequests(ask.requests);
    Fw::Result<ExtractLinks::Page> page = ExtractLinks::DownloadPage(ask.page, engine);
    if (stop) return notMended(QCoreApplication::translate("PageMend", "stopped while its page was read"));
    if (!page) return notMended(QCoreApplication::translate("PageMend", "its page could not be read again (%1)").arg(page.error().text));
    if (looksBinary(page->bytes())) return notMended(QCoreApplication::translate("PageMend", "its page is no web page now"));

    // The links that may be the same file, in page order, each once.
    QStringList candidates;
    QSet<QString> seen;
    bool tooMany = false;
    const QString oldFetched = Download::FetchAddress(ask.url);
    const EntrySink sink = [&](EntryBatch&& batch) {
        std::size_t start = 0;
        for (const std::size_t end : batch.ends) {
            const QString link = QString::fromUtf8(batch.text.data() + start, qsizetype(end - start));
            start = end;
            if (tooMany || seen.contains(link) || fileNameOf(link) != wanted) continue;
            if (Download::FetchAddress(link) == oldFetched) continue;
            seen.insert(link);
            if (candidates.size() >= kMostCandidates) {
                tooMany = true;
                continue;
            }
            candidates << link;
        }
    };
    const Fw::Result<qsizetype> scanned = ExtractLinks::ScanPage(page->bytes(), page->finalUrl, sink, stop);
    if (stop) return notMended(QCoreApplication::translate("PageMend", "stopped while its page was read"));
    if (!scanned) return notMended(QCoreApplication::translate("PageMend", "the links of its page could not be read (%1)").arg(scanned.error().text));
    if (candidates.isEmpty()) return notMended(QCoreApplication::translate("PageMend", "its page no longer lists the same file"));

    QString lastWhy;
    for (const QString& candidate : candidates) {
        if (stop) return notMended(QCoreApplication::translate("PageMend", "stopped while its page was read"));
        const QString fetched = Download::FetchAddress(candidate);
        const Download::SameFileProof proof =
            Download::ProveSameFile(*kept, fetched, Download::TransferLimits{}, ask.requests.get(), &stop);
        if (!proof.proven) {
            lastWhy = proof.why;
            continue;
        }
        if (!Download::MoveKeptPart(store, ask.folder, ask.url, fetched, proof.validator))
            return notMended(QCoreApplication::translate("PageMend", "its kept part could not be moved to the new address"));
        answer.newText = candidate;
        answer.reason.clear();
        return answer;
    }
    QString why = QCoreApplication::translate("PageMend", "its page no longer lists the same file");
    if (!lastWhy.isEmpty()) why += QStringLiteral(" (%1)").arg(lastWhy);
    if (tooMany) why += QCoreApplication::translate("PageMend", "; only its first %1 links of that name were asked").arg(kMostCandidates);
    return notMended(why);
}

}  // namespace PageMend
