#include "download/ChecksumCheck.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>

#include "download/ChecksumFiles.h"
#include "download/FileNaming.h"

namespace Download::Checksum {

void AttachCheck(EngineItem& item, const std::optional<Digest>& own, const Book* book) {
    std::optional<Digest> digest = own;
    QString source = QCoreApplication::translate("Checksum", "the list");
    if (!digest && book) {
        if (std::optional<Book::Found> found = book->find(item.url)) {
            digest = std::move(found->digest);
            source = std::move(found->source);
        }
    }
    if (!digest || !item.transfer) return;
    item.job.check = std::make_shared<Check>(std::move(*digest), std::move(source));
    item.splitTried = true;
    item.transfer->setDigest(&item.job.check->running);
}

void Judge(FinishJob& job, qint64 length, Main::NameMemo& memo, ItemOutcome& outcome) {
    if (!job.check) return;
    Check& check = *job.check;
    if (!check.running.usable() || check.running.bytes() != length) check.running.addFileStart(job.fd.get(), 0, length);
    const Verdict verdict = Checksum::Judge(check, length);
    if (verdict.matched) {
        outcome.verified = verdict.text;
        return;
    }
    outcome.checksumFailed = true;
    outcome.reason = QCoreApplication::translate("Checksum", "Checksum failed: %1").arg(verdict.text);
    memo.givenBack(job.base, job.target);
    // The suffix always fits: a name near the folder's longest is cut short before it.
    QString name = Main::FileNameOf(job.base, Main::kNativeSeparator);
    const QString folder = job.base.left(job.base.size() - name.size());
    const long most = std::min<long>(job.folder && job.folder->nameMax > 0 ? job.folder->nameMax : 255, 255) -
                      long(qstrlen(kFailedSuffix));
    while (!name.isEmpty() && QFile::encodeName(name).size() > most) name.chop(name.back().isLowSurrogate() && name.size() > 1 ? 2 : 1);
    job.base = folder + name + QLatin1String(kFailedSuffix);
    job.target = job.base;
    job.nameBytes = QFile::encodeName(Main::FileNameOf(job.target, Main::kNativeSeparator));
}

}  // namespace Download::Checksum
