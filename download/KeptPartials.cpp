#include "download/KeptPartials.h"

#include <QFile>

#include <algorithm>
#include <cerrno>

#include "download/AnswerNaming.h"
#include "download/Splitting.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Download {

namespace {
// An item is big once it announces, or has brought, more than this: its bytes are worth keeping
// when the run is stopped or the program killed.
constexpr qint64 kBigBytes = 8 << 20;
// A big item's record says how much is on disk, brought up to date this often.
constexpr qint64 kPartialSyncBytes = 16 << 20;

// What of the item lies in its file, to be recorded once that is flushed: the bytes its own
// transfer brought in order, or, split, every range written (taken before the flush, so that
// the flush covers them all).
void noteOnDisk(const EngineItem& a, PartialRecord& record) {
    const Transfer& t = *a.transfer;
    record.total = t.total();
    record.validator = t.rangeValidator();
    record.ranges.clear();
    record.goodLength = t.received();
    if (!a.split) return;
    record.ranges = a.split->plan.written();
    // Leaving out the last ranges only forgets bytes; it never claims any.
    if (record.ranges.size() > kMostKeptRanges) record.ranges.resize(kMostKeptRanges);
    // A split item's first range is [0, what its transfer had): ranges without it are not kept.
    if (record.ranges.empty() || record.ranges.front().first != 0) {
        record.ranges.clear();
        record.goodLength = 0;
        return;
    }
    record.goodLength = record.ranges.front().end;
    if (record.ranges.size() == 1) record.ranges.clear();  // in order after all
}

qint64 bytesOnDisk(const PartialRecord& record) {
    if (record.ranges.empty()) return record.goodLength;
    qint64 bytes = 0;
    for (const ByteRange& r : record.ranges) bytes += r.size();
    return bytes;
}

// How much of the item is in its file now, to tell when its record is worth bringing up to date.
qint64 bytesIn(const EngineItem& a) {
    if (!a.split) return a.transfer->received();
    qint64 bytes = 0;
    for (const ByteRange& r : a.split->plan.written()) bytes += r.size();
    return bytes;
}
}  // namespace

PartialStore& KeptPartials::store() {
    if (!store_) store_ = std::make_unique<PartialStore>();
    return *store_;
}

void KeptPartials::resume(EngineItem& a) {
    const QString& folder = a.job.folder->path;
    if (!swept_.contains(folder)) {
        swept_.append(folder);
        store().removeUnclaimed(folder);
    }
    // Most items have no record: one listing of the records tells, rather than a look into
    // their folder and a resolving of the output folder's path for each item.
    if (!recorded_) recorded_ = store().recordKeys();
    if (recorded_->isEmpty()) return;
    auto known = recordFolders_.find(folder);
    if (known == recordFolders_.end()) known = recordFolders_.insert(folder, PartialRecordFolder(folder));
    if (!recorded_->contains(PartialRecordKey(*known, a.url))) return;
    std::optional<PartialRecord> kept = store().find(folder, a.url);
    if (!kept) return;
    errno = ESTALE;
    Fw::UniqueFd fd = kept->total > 0 && !kept->validator.isEmpty() ? OpenPartialLocked(*kept) : Fw::UniqueFd();
    if (!fd) {
        // No longer the file the record was written for (a file system mounted again, a record
        // cut off): the item starts over, and a file of ours under that name goes too. One that
        // another copy is continuing stays its own.
        if (errno != EWOULDBLOCK) store().removeWithPartial(folder, a.url);
        return;
    }
    publisher_.dropTemporary(a.job);
    a.job.fd = std::move(fd);
    a.job.tempName = QFile::encodeName(kept->partName);
    a.partial = *kept;
    a.big = a.partialTried = true;
    a.syncedBytes = bytesOnDisk(*kept);
    a.job.base = InFolder(a.folderText, kept->partName.chopped(5));
    a.answered = true;
    a.answeredAtMs = SteadyNowMs();
}

void KeptPartials::look(EngineItem& a) {
    const Transfer& t = *a.transfer;
    if (!a.big && !a.partialTried && a.answered && t.total() > 0 && (t.total() > kBigBytes || t.received() > kBigBytes) &&
        !t.rangeValidator().isEmpty())
        keep(a);
    else if (a.big && (bytesIn(a) - a.syncedBytes >= kPartialSyncBytes || bytesIn(a) < a.syncedBytes))
        syncLater(a);
}

qint64 KeptPartials::stopped(EngineItem& a) {
    if (!a.big) return -1;
    const qint64 kept = syncNow(a);
    a.job.fd.reset();
    return kept;
}

void KeptPartials::stored(EngineItem& a) {
    if (!a.big) return;
    syncer_.drain();
    store().remove(a.partial.folder, a.partial.url);
}

void KeptPartials::failed(EngineItem& a) {
    if (a.big) syncer_.drain();
    publisher_.dropTemporary(a.job);
    if (a.big) store().remove(a.partial.folder, a.partial.url);
}

// Moves a big item's bytes from its anonymous temporary into a partial file of its own name
// (name.part, numbered when taken) that the transfer goes on writing. The partial gets its name
// only once its bytes are flushed and its record is on disk: a partial that cannot be recorded
// is not kept, and a kill at any moment leaves either no partial or one with its record.
void KeptPartials::keep(EngineItem& a) {
    a.partialTried = true;
    Transfer& t = *a.transfer;
    const qint64 have = t.received();
    PartialRecord record;
    record.url = a.url;
    record.folder = a.job.folder->path;
    Fw::UniqueFd fd = CreateHiddenPartial(record);
    if (!fd) return;
    // The bytes so far, copied in the kernel where it can.
    loff_t from = 0, to = 0;
    while (from < have) {
        const ssize_t n = ::copy_file_range(a.job.fd.get(), &from, fd.get(), &to, static_cast<size_t>(have - from), 0);
        if (n > 0) continue;
        char buffer[1 << 16];
        const ssize_t got = ::pread(a.job.fd.get(), buffer, static_cast<size_t>(std::min<qint64>(sizeof buffer, have - from)), from);
        if (got <= 0 || ::pwrite(fd.get(), buffer, static_cast<size_t>(got), to) != got) return;
        from += got;
        to += got;
    }
    if (::lseek(fd.get(), have, SEEK_SET) != have || ::fdatasync(fd.get()) != 0) return;
    record.goodLength = have;
    record.total = t.total();
    record.validator = t.rangeValidator();
    const QString name = Main::FileNameOf(a.job.base, Main::kNativeSeparator) + QStringLiteral(".part");
    const int dirFd = a.job.folder->fd.get();
    bool shown = false;
    for (int n = 0; n < 100 && !shown; ++n) {
        record.partName = n == 0 ? name : Main::NumberedCandidate(name, n, Main::kNativeSeparator);
        if (!IsPartialName(record.partName)) break;
        struct stat st;
        if (::fstatat(dirFd, QFile::encodeName(record.partName).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
        recorded_.reset();  // this run's own records are listed again at the next item
        if (!store().put(record)) break;  // not shown: not kept
        shown = ShowPartial(fd.get(), record);
        if (!shown && errno != EEXIST) break;
    }
    if (!shown) {
        store().remove(record.folder, record.url);
        return;
    }
    t.switchFile(fd.get());
    publisher_.dropTemporary(a.job);
    a.job.fd = std::move(fd);
    a.job.tempName = QFile::encodeName(record.partName);
    a.partial = record;
    a.big = true;
    a.syncedBytes = have;
}

// Writes a big item's bytes out and records how many are on disk: after a crash nothing past
// them is trusted.
qint64 KeptPartials::syncNow(EngineItem& a) {
    syncer_.drain();
    PartialRecord now = a.partial;
    noteOnDisk(a, now);
    // Failing that, the last record stands.
    if (::fdatasync(a.job.fd.get()) != 0) return bytesOnDisk(a.partial);
    recorded_.reset();
    if (!store().put(now)) return bytesOnDisk(a.partial);
    a.partial = now;
    a.syncedBytes = bytesOnDisk(now);
    return a.syncedBytes;
}

// The same while the item goes on, on the syncer.
void KeptPartials::syncLater(EngineItem& a) {
    auto fd = std::make_shared<Fw::UniqueFd>(::fcntl(a.job.fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!*fd) return;
    PartialRecord record = a.partial;
    noteOnDisk(a, record);
    a.syncedBytes = bytesOnDisk(record);
    PartialStore& records = store();
    recorded_.reset();
    // Only bytes known to be on disk are ever recorded as good.
    syncer_.post([fd, record, &records] {
        if (::fdatasync(fd->get()) == 0) records.put(record);
    });
}

}  // namespace Download
