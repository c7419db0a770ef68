// Durable files: each item's data in a temporary of the output folder, flushed to disk (many
// files sharing one flush) and only then named, never replacing an existing entry.
#include "download/DownloadEngine.h"
#include "download/EngineItem.h"
#include "download/UnfinishedWork.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace Download {
namespace {

constexpr char kTempPrefix[] = ".fetchwright-";
constexpr char kTempSuffix[] = ".part";
constexpr int kTempRandom = 6;

bool isAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isTemporaryName(const char* name) {
    const size_t prefix = sizeof kTempPrefix - 1;
    const size_t suffix = sizeof kTempSuffix - 1;
    if (std::strlen(name) != prefix + kTempRandom + suffix) return false;
    if (std::strncmp(name, kTempPrefix, prefix) != 0) return false;
    for (int i = 0; i < kTempRandom; ++i)
        if (!isAlnum(name[prefix + i])) return false;
    return std::strcmp(name + prefix + kTempRandom, kTempSuffix) == 0;
}

QByteArray randomTemporaryName() {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray name(kTempPrefix);
    for (int i = 0; i < kTempRandom; ++i)
        name.append(alphabet[QRandomGenerator::global()->bounded(int(sizeof alphabet - 1))]);
    name.append(kTempSuffix);
    return name;
}

// The registry of named temporaries: one empty file per temporary, named after the folder it lies
// in and its own name, so that a clean-up can prove a file is one this user's copies made. The
// folder counts by its path, not its inode: a file system mounted again (a FAT stick) gives its
// files new inode numbers, and its leftovers must still be found.
QByteArray registryFolder() { return QFile::encodeName(StateFolder()) + "/temporaries"; }

QByteArray folderKey(const QByteArray& folder) {
    return QCryptographicHash::hash(folder, QCryptographicHash::Sha1).toHex().left(24);
}

QByteArray registryEntry(const QByteArray& folder, const char* tempName) {
    return registryFolder() + '/' + folderKey(folder) + '-' + tempName;
}

bool registerTemporary(const QByteArray& folder, const char* tempName) {
    const QByteArray entry = registryEntry(folder, tempName);
    Fw::UniqueFd fd(::open(entry.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd && errno == ENOENT && QDir().mkpath(QFile::decodeName(registryFolder())))
        fd.reset(::open(entry.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    return fd.valid();
}

void unregisterTemporary(const QByteArray& folder, const char* tempName) {
    ::unlink(registryEntry(folder, tempName).constData());
}

bool isRegistered(const QByteArray& folder, const char* tempName) {
    return ::access(registryEntry(folder, tempName).constData(), F_OK) == 0;
}

// A folder's path as the registry knows it: absolute, without links.
QByteArray registryPath(const QString& folder) {
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return QFile::encodeName(canonical.isEmpty() ? QDir(folder).absolutePath() : canonical);
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

int removeLeftovers(int dirFd, const QByteArray& folder) {
    Fw::UniqueFd listFd(::dup(dirFd));
    if (!listFd) return 0;
    DIR* dir = ::fdopendir(listFd.get());
    if (!dir) return 0;
    listFd.release();  // the stream owns it now
    ::rewinddir(dir);
    int removed = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (!isTemporaryName(entry->d_name)) continue;
        Fw::UniqueFd fd(::openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st, now;
        // The lock first: a running copy holds it from creation to naming, and the registry and
        // name are read only once nobody can be between those steps.
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        if (!isRegistered(folder, entry->d_name)) continue;
        if (::fstatat(dirFd, entry->d_name, &now, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(st, now)) continue;
        if (::unlinkat(dirFd, entry->d_name, 0) == 0) ++removed;
        unregisterTemporary(folder, entry->d_name);
    }
    ::closedir(dir);
    return removed;
}

QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

bool isNameError(int error) { return error == ENAMETOOLONG || error == EILSEQ || error == EINVAL; }

const QString kNameRefused = QStringLiteral("Name not allowed by the file system");
const QString kNoFileName = QStringLiteral("No file name in address");
const QString kFolderMissing = QStringLiteral("Folder not found");
const QString kNameReserved = QStringLiteral("Name reserved for the program's temporary files");

QString publishReason(const Fw::Error& error) {
    return isNameError(error.code) ? kNameRefused : error.code == ENOENT ? kFolderMissing : error.text;
}

// Can an anonymous file be named through /proc (linkat with AT_EMPTY_PATH needs a privilege)?
bool procFdUsable() {
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
}

Fw::Result<void> linkAnonymous(int fd, int dirFd, const char* to) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, path, dirFd, to, AT_SYMLINK_FOLLOW) == 0) return {};
    return errno == EEXIST ? Fw::Error::nameTaken(EEXIST) : Fw::Error::fromErrno(errno);
}

}  // namespace

bool IsTemporaryName(const QString& fileName) { return isTemporaryName(QFile::encodeName(fileName).constData()); }

int RemoveLeftoverTemporaries(const QString& folder) {
    const Fw::UniqueFd dirFd(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dirFd ? removeLeftovers(dirFd.get(), registryPath(folder)) : 0;
}

Fw::Result<void> PublishWithoutReplace(int dirFd, const char* from, const char* to, PublishMethod method) {
    auto failure = [](int error) { return error == EEXIST ? Fw::Error::nameTaken(EEXIST) : Fw::Error::fromErrno(error); };
    if (method == PublishMethod::Best) {
        if (::renameat2(dirFd, from, dirFd, to, RENAME_NOREPLACE) == 0) return {};
        // Only a file system without the flag goes on to the older ways.
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return failure(errno);
        method = PublishMethod::LinkUnlink;
    }
    if (method == PublishMethod::LinkUnlink) {
        if (::linkat(dirFd, from, dirFd, to, 0) == 0) {
            ::unlinkat(dirFd, from, 0);
            return {};
        }
        if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return failure(errno);
    }
    // No hard links here either: take the name with an exclusive create, then move the file
    // over that reservation of our own.
    Fw::UniqueFd reserved(::openat(dirFd, to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!reserved) return failure(errno);
    reserved.reset();
    if (::renameat(dirFd, from, dirFd, to) == 0) return {};
    const int error = errno;
    ::unlinkat(dirFd, to, 0);
    return failure(error);
}

bool SharedFlushCoversFiles(long fileSystemType, const char* kernelRelease) {
    // Write errors of every file reach syncfs from 5.8 on, the file system's own errors from 5.17.
    int major = 0, minor = 0;
    if (!kernelRelease || std::sscanf(kernelRelease, "%d.%d", &major, &minor) != 2) return false;
    if (major < 5 || (major == 5 && minor < 17)) return false;
    switch (static_cast<unsigned long>(fileSystemType) & 0xffffffffUL) {
    case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4 alike
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case MSDOS_SUPER_MAGIC:
    case EXFAT_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
}

namespace {
bool sharedFlushCovers(int fd) {
    static const QByteArray release = [] {
        utsname names{};
        return ::uname(&names) == 0 ? QByteArray(names.release) : QByteArray();
    }();
    struct statfs fs{};
    return ::fstatfs(fd, &fs) == 0 && SharedFlushCoversFiles(static_cast<long>(fs.f_type), release.constData());
}
}  // namespace

void Engine::cleanFolderOnce(const QString& folder) {
    if (cleanedFolders_.contains(folder)) return;
    cleanedFolders_.append(folder);
    RemoveLeftoverTemporaries(folder);
}

int Engine::maxInFlight() {
    static const int most = [] {
        rlimit limit{};
        const rlim_t soft = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
        // A quarter of the descriptors at most, leaving the rest to the program and its sockets.
        return static_cast<int>(std::clamp<rlim_t>(soft / 4, 16, 1024));
    }();
    return most;
}

void Engine::startFinisher() {
    if (!finisher_.joinable()) finisher_ = std::thread([this] { finisherLoop(); });
}

void Engine::finisherLoop() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        work_.wait(hold, [&] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        // Files gather for a moment so that one flush of the file system serves many of them;
        // the end of a run flushes what there is at once.
        const auto until = jobs_.front().completeAt + std::chrono::milliseconds(kGatherMs);
        work_.wait_until(hold, until, [&] {
            return stopping_ || finishing_ || jobs_.size() >= static_cast<std::size_t>(kBatchFiles);
        });
        std::vector<FinishJob> batch;
        batch.reserve(jobs_.size());
        while (!jobs_.empty()) {
            batch.push_back(std::move(jobs_.front()));
            jobs_.pop_front();
        }
        hold.unlock();
        flushTogether(batch);
        std::vector<std::pair<int, ItemOutcome>> done;
        done.reserve(batch.size());
        for (FinishJob& job : batch) {
            done.emplace_back(job.index, finish(job));
            if (!done.back().second.stored) memo_.givenBack(job.base, job.target);
        }
        batch.clear();  // the descriptors close before the room is given back
        hold.lock();
        for (auto& [index, outcome] : done) {
            outcomes_[static_cast<std::size_t>(index)] = std::move(outcome);
            finished_.push_back(index);
            if (listener_) listener_->onItemOutcome(index, outcomes_[static_cast<std::size_t>(index)]);
        }
        inFlight_ -= static_cast<int>(done.size());
        room_.notify_all();
    }
}

namespace {
// A named temporary, locked before anyone can take its lock for a clean-up and recorded only
// then; a clean-up reads the record after taking the lock, so it never takes a file in use.
Fw::UniqueFd createNamedTemporary(int dirFd, const QByteArray& folder, QByteArray& tempName) {
    Fw::UniqueFd fd;
    for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
        tempName = randomTemporaryName();
        fd.reset(::openat(dirFd, tempName.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!fd && errno != EEXIST) break;
    }
    if (!fd) return fd;
    struct stat st;
    // A clean-up that opened it first holds the lock only until it finds no record.
    if (::flock(fd.get(), LOCK_EX) != 0 || ::fstat(fd.get(), &st) != 0) {
        const int error = errno;
        ::unlinkat(dirFd, tempName.constData(), 0);
        errno = error;
        return {};
    }
    // Unrecorded, it is only never cleaned up after a crash.
    registerTemporary(folder, tempName.constData());
    return fd;
}

// Removes a named temporary while its lock is still held, then its record.
void dropNamedTemporary(int dirFd, const QByteArray& folder, const QByteArray& tempName) {
    ::unlinkat(dirFd, tempName.constData(), 0);
    unregisterTemporary(folder, tempName.constData());
}
}  // namespace

// The folder stays open from item to item while its path still leads to it; a folder renamed,
// removed or replaced is opened again, so each item goes where its path says.
Fw::Result<std::shared_ptr<const Engine::Folder>> Engine::openFolder(const QString& path, bool fresh) {
    const QByteArray encoded = QFile::encodeName(path);
    if (folder_ && !fresh && folder_->path == path) {
        struct stat now;
        if (::stat(encoded.constData(), &now) == 0 && quint64(now.st_dev) == folder_->device &&
            quint64(now.st_ino) == folder_->inode)
            return folder_;
    }
    folder_.reset();
    auto folder = std::make_shared<Folder>();
    folder->path = path;
    folder->fd.reset(::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder->fd) {
        return Fw::Error::failed(errno == ENOENT || errno == ENOTDIR ? kFolderMissing
                                                                     : QStringLiteral("Cannot open the folder: ") + errnoText(errno),
                                 errno);
    }
    folder->registryPath = registryPath(path);
    folder->nameMax = ::fpathconf(folder->fd.get(), _PC_NAME_MAX);
    struct stat st;
    if (::fstat(folder->fd.get(), &st) != 0) return Fw::Error::failed(QStringLiteral("Cannot open the folder: ") + errnoText(errno), errno);
    folder->device = quint64(st.st_dev);
    folder->inode = quint64(st.st_ino);
    folder_ = folder;
    return folder_;
}

// A name the folder can hold, as the file system's bytes; the reason when it cannot.
Fw::Result<QByteArray> Engine::checkName(const QString& name, const Folder& folder) const {
    if (Main::IsUnusableFileName(name)) return Fw::Error::failed(kNoFileName);
    // Such a name would look to a clean-up like a temporary of this program.
    if (IsTemporaryName(name)) return Fw::Error::failed(kNameReserved);
    const QByteArray nameBytes = QFile::encodeName(name);
    if (nameBytes.contains('\0') || (folder.nameMax > 0 && nameBytes.size() > folder.nameMax))
        return Fw::Error::failed(kNameRefused);
    return nameBytes;
}

// Opens the item's folder and makes its temporary there; the reason when that cannot be done
// (the item then fails before anything is fetched).
Fw::Result<void> Engine::createTemporary(const QString& folderText, FinishJob& job) {
    const QString folder = folderText.isEmpty() ? QStringLiteral(".") : folderText;
    cleanFolderOnce(folder);
    const Fw::Result<std::shared_ptr<const Folder>> opened = openFolder(folder, false);
    if (!opened) return Fw::Error::failed(opened.error().text);
    job.folder = *opened;
    const int dirFd = job.folder->fd.get();

    QByteArray tempName;
    Fw::UniqueFd fd;
    if (temporaryMethod_ == TemporaryMethod::Best && procFdUsable()) {
        // No name until it is complete: nothing to clean up, nothing another copy could take.
        fd.reset(::openat(dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
        if (!fd && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return Fw::Error::failed(errno == ENOENT ? kFolderMissing
                                                     : QStringLiteral("Cannot create a file in the folder: ") + errnoText(errno));
    }
    if (!fd) {
        fd = createNamedTemporary(dirFd, job.folder->registryPath, tempName);
        if (!fd)
            return Fw::Error::failed(errno == ENOENT ? kFolderMissing
                                                     : QStringLiteral("Cannot create a file in the folder: ") + errnoText(errno));
    }
    job.fd = std::move(fd);
    job.tempName = tempName;
    return {};
}

// A temporary whose transfer failed: nothing of it stays.
void Engine::dropTemporary(FinishJob& job) {
    if (job.fd && !job.tempName.isEmpty()) dropNamedTemporary(job.folder->fd.get(), job.folder->registryPath, job.tempName);
    job.fd.reset();
}

// A complete temporary goes to the finisher, which flushes and names it while the transfers go on.
void Engine::handToFinisher(FinishJob job) {
    job.completeAt = std::chrono::steady_clock::now();
    startFinisher();
    std::unique_lock<std::mutex> hold(lock_);
    room_.wait(hold, [&] { return inFlight_ < maxInFlight(); });
    ++inFlight_;
    jobs_.push_back(std::move(job));
    // The finisher needs a word only for the first file of a batch (it then waits for the gather
    // time) and for a full batch; the files in between cost the transfers nothing.
    if (jobs_.size() == 1 || jobs_.size() == static_cast<std::size_t>(kBatchFiles)) work_.notify_one();
}
// One flush of each file system a batch lies on writes out every file of the batch: far cheaper
// than a flush per file. When it fails, each file's own fsync says which of them it concerns.
void Engine::flushTogether(std::vector<FinishJob>& batch) {
    // A file system busy with other programs' writes makes such a flush wait for all of them;
    // then this run goes back to one fsync per file, which waits for its own file only.
    if (!syncEachFile_ || batch.size() < 2 || sharedFlushTooSlow_) return;
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::pair<quint64, bool>> flushed;  // file system, flush succeeded
    for (FinishJob& job : batch) {
        // A file lies on its folder's file system.
        const quint64 device = job.folder->device;
        auto it = std::find_if(flushed.begin(), flushed.end(), [&](const auto& f) { return f.first == device; });
        if (it == flushed.end()) {
            // Where the shared flush cannot vouch for each file, each file's own fsync does.
            flushed.emplace_back(device, sharedFlushCovers(job.fd.get()) && ::syncfs(job.fd.get()) == 0);
            it = flushed.end() - 1;
        }
        job.onDisk = it->second;
    }
    // Slow means slower than a quick fsync of each file would have been.
    const auto allowed = std::max<std::chrono::milliseconds>(std::chrono::milliseconds(250),
                                                             std::chrono::milliseconds(2) * static_cast<int>(batch.size()));
    if (std::chrono::steady_clock::now() - started > allowed) sharedFlushTooSlow_ = true;
}

// Flush and publish one complete temporary file. Runs on the finisher thread while the next item
// is being fetched. A named temporary keeps its lock until it has its final name.
ItemOutcome Engine::finish(FinishJob& job) {
    ItemOutcome outcome;
    const bool anonymous = job.tempName.isEmpty();
    auto fail = [&](QString reason) {
        if (!anonymous) dropNamedTemporary(job.folder->fd.get(), job.folder->registryPath, job.tempName);
        outcome.reason = std::move(reason);
        return outcome;
    };
    if (syncEachFile_ && !job.onDisk && ::fsync(job.fd.get()) != 0) return fail(errnoText(errno));
    struct stat st;
    if (::fstat(job.fd.get(), &st) != 0) return fail(errnoText(errno));

    QString candidate = job.target;
    QByteArray nameBytes = job.nameBytes;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const Fw::Result<void> published =
            anonymous ? linkAnonymous(job.fd.get(), job.folder->fd.get(), nameBytes.constData())
                      : PublishWithoutReplace(job.folder->fd.get(), job.tempName.constData(), nameBytes.constData());
        if (published) {
            if (!anonymous) unregisterTemporary(job.folder->registryPath, job.tempName.constData());
            // A write error that shows only when the file is closed (network file systems) takes
            // back the name, as long as it is still this file's.
            if (const int error = job.fd.close()) {
                struct stat now;
                if (::fstatat(job.folder->fd.get(), nameBytes.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(st, now))
                    ::unlinkat(job.folder->fd.get(), nameBytes.constData(), 0);
                outcome.reason = errnoText(error);
                return outcome;
            }
            outcome.stored = true;
            outcome.path = candidate;
            return outcome;
        }
        if (published.error().kind != Fw::ErrorKind::NameTaken) return fail(publishReason(published.error()));
        // Someone took the name while the data came in: the next free one.
        candidate = Main::NextFreeName(job.base, namingContext());
        job.target = candidate;
        nameBytes = QFile::encodeName(Main::FileNameOf(candidate, Main::kNativeSeparator));
    }
    return fail(QStringLiteral("No free file name"));
}


// ---- Big items' partial files ----

PartialStore& Engine::partials() {
    if (!partials_) partials_ = std::make_unique<PartialStore>();
    return *partials_;
}

// Moves a big item's bytes from its anonymous temporary into a partial file of its own name
// (name.part, numbered when taken), recorded, that the transfer goes on writing.
void Engine::keepAsPartial(Active& a) {
    a.partialTried = true;
    Transfer& t = *a.transfer;
    const qint64 have = t.received();
    PartialRecord record;
    record.url = a.url;
    record.folder = a.job.folder->path;
    const QString name = Main::FileNameOf(a.job.base, Main::kNativeSeparator) + QStringLiteral(".part");
    Fw::UniqueFd fd;
    for (int n = 0; n < 100 && !fd; ++n) {
        record.partName = n == 0 ? name : Main::NumberedCandidate(name, n, Main::kNativeSeparator);
        if (!IsPartialName(record.partName)) return;
        fd = CreatePartialLocked(record);
        if (!fd && errno != EEXIST) return;
    }
    if (!fd) return;
    // The bytes so far, copied in the kernel where it can.
    loff_t from = 0, to = 0;
    bool copied = true;
    while (from < have) {
        const ssize_t n = ::copy_file_range(a.job.fd.get(), &from, fd.get(), &to, static_cast<size_t>(have - from), 0);
        if (n > 0) continue;
        char buffer[1 << 16];
        const ssize_t got = ::pread(a.job.fd.get(), buffer, static_cast<size_t>(std::min<qint64>(sizeof buffer, have - from)), from);
        if (got <= 0 || ::pwrite(fd.get(), buffer, static_cast<size_t>(got), to) != got) {
            copied = false;
            break;
        }
        from += got;
        to += got;
    }
    if (!copied || ::lseek(fd.get(), have, SEEK_SET) != have) {
        ::unlinkat(a.job.folder->fd.get(), QFile::encodeName(record.partName).constData(), 0);
        return;
    }
    t.switchFile(fd.get());
    dropTemporary(a.job);
    a.job.fd = std::move(fd);
    a.job.tempName = QFile::encodeName(record.partName);
    a.partial = record;
    a.big = true;
    a.syncedBytes = -1;
    syncPartial(a);
}

// Writes a big item's bytes out and records how many are on disk: after a crash nothing past
// them is trusted.
void Engine::syncPartial(Active& a) {
    drainPartialSyncs();
    Transfer& t = *a.transfer;
    if (::fdatasync(a.job.fd.get()) != 0) return;
    a.partial.goodLength = t.received();
    a.partial.total = t.total();
    a.partial.validator = t.rangeValidator();
    a.syncedBytes = a.partial.goodLength;
    partials().put(a.partial);
}

// The same while the item goes on: the bytes written so far are flushed and recorded by the
// syncer, so that the transfers never wait for the disk.
void Engine::syncPartialLater(Active& a) {
    Transfer& t = *a.transfer;
    PartialSync job;
    job.fd.reset(::fcntl(a.job.fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!job.fd) return;
    job.record = a.partial;
    job.record.goodLength = t.received();
    job.record.total = t.total();
    job.record.validator = t.rangeValidator();
    a.syncedBytes = job.record.goodLength;
    std::lock_guard<std::mutex> hold(syncLock_);
    if (!syncer_.joinable()) syncer_ = std::thread([this] { syncerLoop(); });
    syncJobs_.push_back(std::move(job));
    syncWake_.notify_one();
}

void Engine::drainPartialSyncs() {
    std::unique_lock<std::mutex> hold(syncLock_);
    syncIdle_.wait(hold, [&] { return syncJobs_.empty() && !syncBusy_; });
}

void Engine::syncerLoop() {
    std::unique_lock<std::mutex> hold(syncLock_);
    for (;;) {
        syncWake_.wait(hold, [&] { return syncStop_ || !syncJobs_.empty(); });
        if (syncJobs_.empty()) return;
        PartialSync job = std::move(syncJobs_.front());
        syncJobs_.pop_front();
        syncBusy_ = true;
        hold.unlock();
        // Only bytes known to be on disk are ever recorded as good.
        if (::fdatasync(job.fd.get()) == 0) partials().put(job.record);
        job.fd.reset();
        hold.lock();
        syncBusy_ = false;
        if (syncJobs_.empty()) syncIdle_.notify_all();
    }
}

}  // namespace Download
