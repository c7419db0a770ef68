// The records of big items' partial files, and the partial files themselves.
#include "download/PartialRecords.h"
#include "download/DurableFiles.h"
#include "download/StateFiles.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <functional>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace Download {

namespace {
using namespace StateFiles;

constexpr char kPartialMagic[] = "Fetchwright partial 1";
constexpr qint64 kMaxPartialRecordBytes = 1024 * 1024;
// A temporary of a partial record older than this was left by a copy that died while writing.
constexpr qint64 kStaleTemporaryMs = 60LL * 60 * 1000;
constexpr char kMarkAttribute[] = "user.fetchwright.partial";
}  // namespace

namespace {

// A folder as the records know it: absolute, without links where it exists.
QString recordFolder(const QString& folder) {
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QDir(folder).absolutePath()) : canonical;
}

// The key of a folder already as the records know it.
QByteArray keyOf(const QString& inRecordFolder, const QString& url) {
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(QFile::encodeName(inRecordFolder));
    hash.addData(QByteArrayView("\0", 1));
    hash.addData(url.toUtf8());
    return hash.result().toHex();
}

QByteArray recordKey(const QString& folder, const QString& url) { return keyOf(recordFolder(folder), url); }

bool isRecordKeyName(const char* name, const char* suffix) {
    const size_t suffixLength = std::strlen(suffix);
    return std::strlen(name) == 40 + suffixLength && isHex(name, 40) && std::strcmp(name + 40, suffix) == 0;
}

QByteArray serializePartial(const PartialRecord& r) {
    QByteArray out = kPartialMagic;
    out += "\nsaved " + QByteArray::number(r.savedAt);
    out += "\nurl " + escape(r.url);
    out += "\nfolder " + escape(r.folder);
    out += "\npart " + escape(r.partName);
    out += "\nvalidator " + r.validator.toBase64();
    out += "\ntotal " + QByteArray::number(r.total);
    out += "\ngood " + QByteArray::number(r.goodLength);
    out += "\ndevice " + QByteArray::number(r.device);
    out += "\ninode " + QByteArray::number(r.inode);
    out += "\nbirth " + QByteArray::number(r.birthNs);
    out += "\nmark " + (r.mark.isEmpty() ? QByteArray("-") : r.mark) + '\n';
    // Last and only when there are any, so that a record of an item that came in order reads as
    // it always did, and such a record of an earlier version reads too.
    if (!r.ranges.empty()) out += "ranges " + RangePlan::FormatRanges(r.ranges) + '\n';
    return out;
}

std::optional<PartialRecord> parsePartial(const QByteArray& data) {
    Lines lines(data);
    const auto magic = lines.next();
    if (!magic || *magic != QByteArrayView(kPartialMagic)) return std::nullopt;
    PartialRecord r;
    const auto saved = lines.number("saved");
    const auto url = lines.text("url");
    const auto folder = lines.text("folder");
    const auto part = lines.text("part");
    const auto validatorLine = lines.next();
    const auto total = lines.number("total");
    const auto good = lines.number("good");
    const auto device = lines.number("device");
    const auto inode = lines.number("inode");
    const auto birth = lines.number("birth");
    const auto mark = lines.field("mark");
    if (!saved || !url || !folder || !part || !validatorLine || !total || !good || !device || !inode || !birth || !mark)
        return std::nullopt;
    if (!lines.atEnd()) {
        const auto ranges = lines.field("ranges");
        if (!ranges || !lines.atEnd()) return std::nullopt;
        auto parsed = RangePlan::ParseRanges(ranges->toByteArray(), *total);
        // Ranges the record cannot have made are not trusted: none of them is taken as on disk.
        if (!parsed || parsed->empty() || parsed->size() > kMostKeptRanges) return std::nullopt;
        // The item's own transfer goes on from goodLength, the end of a first range at 0 (from
        // nothing it would start the file over, and the ranges with it).
        if (parsed->front().first != 0 || *good != parsed->front().end) return std::nullopt;
        r.ranges = std::move(*parsed);
    }
    if (validatorLine->startsWith("validator ")) r.validator = QByteArray::fromBase64(validatorLine->sliced(10).toByteArray());
    else if (*validatorLine != QByteArrayView("validator")) return std::nullopt;
    if (*good < 0 || (*total > 0 && *good > *total) || !IsPartialName(*part)) return std::nullopt;
    r.savedAt = *saved;
    r.url = *url;
    r.folder = *folder;
    r.partName = *part;
    r.total = *total;
    r.goodLength = *good;
    r.device = quint64(*device);
    r.inode = quint64(*inode);
    r.birthNs = *birth;
    if (*mark != QByteArrayView("-")) r.mark = mark->toByteArray();
    return r;
}

std::optional<PartialRecord> readPartialRecord(int dirFd, const char* name) {
    Fw::UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return std::nullopt;
    const auto data = readBounded(fd.get(), kMaxPartialRecordBytes);
    return data ? parsePartial(*data) : std::nullopt;
}

// How long the partial must be: its ordered bytes, or the end of its last range on disk.
qint64 keptEnd(const PartialRecord& record) {
    return record.ranges.empty() ? record.goodLength : std::max(record.goodLength, record.ranges.back().end);
}

bool isRecordedFile(const struct stat& st, const PartialRecord& record) {
    return S_ISREG(st.st_mode) && quint64(st.st_dev) == record.device && quint64(st.st_ino) == record.inode &&
           st.st_size >= keptEnd(record);
}

qint64 birthOf(int fd) {
    struct statx stx{};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &stx) != 0 || !(stx.stx_mask & STATX_BTIME)) return 0;
    return qint64(stx.stx_btime.tv_sec) * 1000000000 + stx.stx_btime.tv_nsec;
}

QByteArray markOf(int fd) {
    char value[64];
    const ssize_t n = ::fgetxattr(fd, kMarkAttribute, value, sizeof value);
    return n > 0 ? QByteArray(value, qsizetype(n)) : QByteArray();
}

// Is the file behind `fd` the partial this record was written for? A file of ours carries the
// mark the record names, and was born when the record says: a user's file of that name, or a
// later file that got the same inode number, has neither.
bool isOurs(int fd, const PartialRecord& record) {
    return !record.mark.isEmpty() && markOf(fd) == record.mark && birthOf(fd) == record.birthNs;
}

// Opens the recorded partial and takes its lock; invalid (errno ESTALE) when the name no
// longer leads to the recorded file, EWOULDBLOCK when a live copy holds it. `anywhere` accepts
// the file of ours on another device or inode (its file system mounted again), to remove it.
Fw::UniqueFd lockRecordedPartial(const PartialRecord& record, int openFlags, Fw::UniqueFd& dir, bool anywhere = false) {
    if (!IsPartialName(record.partName)) {
        errno = ESTALE;
        return {};
    }
    dir = openFolder(record.folder);
    if (!dir) return {};
    const QByteArray name = QFile::encodeName(record.partName);
    auto fits = [&](const struct stat& st) { return anywhere ? S_ISREG(st.st_mode) : isRecordedFile(st, record); };
    struct stat before, st, after;
    // Looked at before it is opened: opening a device or pipe can have effects of its own.
    if (::fstatat(dir.get(), name.constData(), &before, AT_SYMLINK_NOFOLLOW) != 0) return {};
    if (!fits(before)) {
        errno = ESTALE;
        return {};
    }
    Fw::UniqueFd fd(::openat(dir.get(), name.constData(), openFlags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return {};
    if (::fstat(fd.get(), &st) != 0 || !sameFile(before, st)) {
        errno = ESTALE;
        return {};
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        errno = EWOULDBLOCK;
        return {};
    }
    // The name may have changed hands while the lock was being taken.
    if (::fstatat(dir.get(), name.constData(), &after, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(st, after) ||
        ::fstat(fd.get(), &st) != 0 || !fits(st) || !isOurs(fd.get(), record)) {
        errno = ESTALE;
        return {};
    }
    return fd;
}

enum class PartialGone { Removed, NotThere, InUse };

PartialGone removePartialFile(const PartialRecord& record) {
    Fw::UniqueFd dir;
    const Fw::UniqueFd fd = lockRecordedPartial(record, O_RDONLY, dir, true);
    if (!fd) return errno == EWOULDBLOCK ? PartialGone::InUse : PartialGone::NotThere;
    return ::unlinkat(dir.get(), QFile::encodeName(record.partName).constData(), 0) == 0 ? PartialGone::Removed
                                                                                           : PartialGone::NotThere;
}

}  // namespace

bool IsPartialName(const QString& name) {
    static const QString suffix = QStringLiteral(".part");
    return name.size() > suffix.size() && name.endsWith(suffix) && !name.contains(QLatin1Char('/')) &&
           !name.contains(QChar(0));
}

namespace {
// Notes who a new partial is in its record, and marks it as ours; false (errno ENOTSUP) where
// the file system keeps no mark: such a file could never be told from a user's own.
bool markNew(int fd, PartialRecord& record) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    record.device = quint64(st.st_dev);
    record.inode = quint64(st.st_ino);
    record.birthNs = birthOf(fd);
    // The mark leads to the record: a marked partial that no record claims is a leftover.
    const QByteArray mark = recordKey(record.folder, record.url) + '-' + randomHex(16);
    if (::fsetxattr(fd, kMarkAttribute, mark.constData(), size_t(mark.size()), XATTR_CREATE) != 0) {
        errno = ENOTSUP;
        return false;
    }
    record.mark = mark;
    record.goodLength = 0;
    return true;
}
}  // namespace

Fw::UniqueFd CreatePartialLocked(PartialRecord& record) {
    if (!IsPartialName(record.partName)) {
        errno = EINVAL;
        return {};
    }
    record.folder = recordFolder(record.folder);
    const Fw::UniqueFd dir = openFolder(record.folder);
    if (!dir) return {};
    const QByteArray name = QFile::encodeName(record.partName);
    Fw::UniqueFd fd(::openat(dir.get(), name.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    // A clean-up that opened it first lets go as soon as it finds no record of it.
    if (!fd) return {};
    if (::flock(fd.get(), LOCK_EX) != 0 || !markNew(fd.get(), record)) {
        const int error = errno;
        ::unlinkat(dir.get(), name.constData(), 0);
        errno = error;
        return {};
    }
    return fd;
}

Fw::UniqueFd CreateHiddenPartial(PartialRecord& record) {
    record.folder = recordFolder(record.folder);
    const Fw::UniqueFd dir = openFolder(record.folder);
    if (!dir || ::access("/proc/self/fd", X_OK) != 0) return {};
    Fw::UniqueFd fd = Durable::CreateAnonymous(dir.get());
    if (!fd || ::flock(fd.get(), LOCK_EX) != 0 || !markNew(fd.get(), record)) return {};
    return fd;
}

bool ShowPartial(int fd, const PartialRecord& record) {
    if (!IsPartialName(record.partName)) {
        errno = EINVAL;
        return false;
    }
    const Fw::UniqueFd dir = openFolder(record.folder);
    if (!dir) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, path, dir.get(), QFile::encodeName(record.partName).constData(), AT_SYMLINK_FOLLOW) == 0;
}

Fw::UniqueFd OpenPartialLocked(const PartialRecord& record) {
    Fw::UniqueFd dir;
    Fw::UniqueFd fd = lockRecordedPartial(record, O_RDWR, dir);
    if (!fd) return fd;
    if (::ftruncate(fd.get(), keptEnd(record)) != 0 || ::lseek(fd.get(), 0, SEEK_END) < 0) return {};
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

QString PartialRecordFolder(const QString& folder) { return recordFolder(folder); }

QByteArray PartialRecordKey(const QString& inRecordFolder, const QString& url) { return keyOf(inRecordFolder, url); }

PartialStore::PartialStore(QString stateFolder, Clock clock)
    : partialsFolder_(stateFolder + QLatin1String("/partials")), clock_(std::move(clock)) {}

QString PartialStore::recordPath(const QString& folder, const QString& url) const {
    return partialsFolder_ + QLatin1Char('/') + QString::fromLatin1(recordKey(folder, url)) + QLatin1String(".rec");
}

bool PartialStore::put(PartialRecord record) {
    if (!IsPartialName(record.partName)) return false;
    record.folder = recordFolder(record.folder);
    record.savedAt = nowMs(clock_);
    const QByteArray key = recordKey(record.folder, record.url);
    if (!QDir().mkpath(partialsFolder_)) return false;
    const Fw::UniqueFd dir = openFolder(partialsFolder_);
    // Two copies may record the same address at once: each writes a temporary of its own.
    return dir && replaceWhole(dir.get(), key + '.' + randomHex(8) + ".tmp", key + ".rec", serializePartial(record));
}

std::optional<PartialRecord> PartialStore::find(const QString& folder, const QString& url) const {
    const Fw::UniqueFd dir = openFolder(partialsFolder_);
    if (!dir) return std::nullopt;
    auto record = readPartialRecord(dir.get(), (recordKey(folder, url) + ".rec").constData());
    // The name is a digest: what it holds must still be what was asked for.
    if (!record || record->url != url || record->folder != recordFolder(folder)) return std::nullopt;
    return record;
}

void PartialStore::remove(const QString& folder, const QString& url) {
    ::unlink(QFile::encodeName(recordPath(folder, url)).constData());
}

bool PartialStore::move(const QString& folder, const QString& fromUrl, const QString& toUrl, const QByteArray& validator) {
    const std::optional<PartialRecord> from = find(folder, fromUrl);
    if (!from || validator.isEmpty()) return false;
    Fw::UniqueFd dir;
    const Fw::UniqueFd fd = lockRecordedPartial(*from, O_RDWR, dir);
    if (!fd) return false;
    PartialRecord to = *from;
    to.url = toUrl;
    to.validator = validator;
    if (fromUrl == toUrl) return put(to);
    // The mark leads to the record: the new one first, then the mark, then the old one goes. A
    // stop in between leaves the part claimed by one of them or, at worst, removed as a leftover.
    to.mark = recordKey(recordFolder(folder), toUrl) + '-' + randomHex(16);
    if (!put(to)) return false;
    if (::fsetxattr(fd.get(), kMarkAttribute, to.mark.constData(), size_t(to.mark.size()), XATTR_REPLACE) != 0) {
        remove(folder, toUrl);
        return false;
    }
    remove(folder, fromUrl);
    return true;
}

bool PartialStore::removeRecordAndPartial(const QString& recordFile, const PartialRecord& record) {
    const PartialGone gone = removePartialFile(record);
    // A copy continuing it keeps its record too.
    if (gone != PartialGone::InUse) ::unlink(QFile::encodeName(recordFile).constData());
    return gone == PartialGone::Removed;
}

bool PartialStore::removeWithPartial(const QString& folder, const QString& url) {
    const auto record = find(folder, url);
    if (!record) {
        remove(folder, url);
        return false;
    }
    return removeRecordAndPartial(recordPath(folder, url), *record);
}

int PartialStore::removeForRun(const QString& folder, const QStringList& urls) {
    int removed = 0;
    for (const QString& url : urls) removed += removeWithPartial(folder, url) ? 1 : 0;
    return removed;
}

namespace {
// Calls `each(folderFd, name)` for every entry of `folder`, listed through a descriptor of its own
// so that `folderFd` stays free for the *at calls.
void forEachEntry(const QString& folder, const std::function<void(int, const char*)>& each) {
    const Fw::UniqueFd dirFd = openFolder(folder);
    if (!dirFd) return;
    Fw::UniqueFd listFd(::dup(dirFd.get()));
    DIR* dir = listFd ? ::fdopendir(listFd.get()) : nullptr;
    if (!dir) return;
    listFd.release();
    while (dirent* entry = ::readdir(dir)) each(dirFd.get(), entry->d_name);
    ::closedir(dir);
}
}  // namespace

QSet<QByteArray> PartialStore::recordKeys() const {
    QSet<QByteArray> keys;
    forEachEntry(partialsFolder_, [&](int, const char* name) {
        if (isRecordKeyName(name, ".rec")) keys.insert(QByteArray(name, 40));
    });
    return keys;
}

qint64 PartialStore::keptBytes(const QString& folder, const QStringList& urls) const {
    const QSet<QString> wanted(urls.begin(), urls.end());
    const QString inFolder = recordFolder(folder);
    qint64 kept = 0;
    forEachEntry(partialsFolder_, [&](int at, const char* name) {
        struct stat st;
        if (!isRecordKeyName(name, ".rec") || ::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            return;
        const auto record = readPartialRecord(at, name);
        if (record && record->folder == inFolder && wanted.contains(record->url)) {
            if (record->ranges.empty()) kept += std::max<qint64>(0, record->goodLength);
            for (const ByteRange& r : record->ranges) kept += r.size();
        }
    });
    return kept;
}

int PartialStore::removeExpired() {
    const qint64 now = nowMs(clock_);
    int removed = 0;
    forEachEntry(partialsFolder_, [&](int at, const char* name) {
        struct stat st;
        if (isRecordKeyName(name, ".rec")) {
            if (::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) return;
            const auto record = S_ISREG(st.st_mode) ? readPartialRecord(at, name) : std::nullopt;
            if (!record) {
                ::unlinkat(at, name, 0);  // never read, never followed: only the entry goes
            } else if (now - record->savedAt > kKeepUnfinishedMs) {
                removed += removeRecordAndPartial(partialsFolder_ + QLatin1Char('/') + QFile::decodeName(name), *record) ? 1 : 0;
            }
        } else if (std::strlen(name) == 40 + 1 + 8 + 4 && isHex(name, 40) && name[40] == '.' &&
                   std::strcmp(name + 49, ".tmp") == 0) {
            if (::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode) &&
                QDateTime::currentMSecsSinceEpoch() - qint64(st.st_mtime) * 1000 > kStaleTemporaryMs)
                ::unlinkat(at, name, 0);
        }
    });
    return removed;
}

int PartialStore::removeUnclaimed(const QString& folder) {
    const Fw::UniqueFd records = openFolder(partialsFolder_);
    int removed = 0;
    forEachEntry(folder, [&](int at, const char* name) {
        const QString partName = QFile::decodeName(name);
        struct stat st, now;
        if (!IsPartialName(partName) || ::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return;
        const Fw::UniqueFd fd(::openat(at, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
        // Only a file that carries a mark of ours: a user's own file of such a name has none.
        const QByteArray mark = markOf(fd.get());
        if (mark.size() <= 41 || !isHex(mark.constData(), 40) || mark[40] != '-') return;
        // A copy making or continuing it holds its lock.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return;
        const auto record = records ? readPartialRecord(records.get(), (mark.left(40) + ".rec").constData()) : std::nullopt;
        if (record && record->partName == partName && record->mark == mark) return;
        if (::fstatat(at, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(st, now) && ::unlinkat(at, name, 0) == 0) ++removed;
    });
    return removed;
}

}  // namespace Download
