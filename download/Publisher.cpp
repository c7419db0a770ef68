// Publishing: temporaries in the output folder, flushed (many files sharing one flush) and only
// then named, never replacing an existing entry.
#include "download/Publisher.h"
#include "download/ChecksumCheck.h"
#include "download/SkipUnchanged.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Download {
namespace {

QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

bool isNameError(int error) { return error == ENAMETOOLONG || error == EILSEQ || error == EINVAL; }

const char* const kNameRefused = QT_TRANSLATE_NOOP("Publisher", "Name not allowed by the file system");
const char* const kFolderMissing = QT_TRANSLATE_NOOP("Publisher", "Folder not found");

QString publishReason(const Fw::Error& error) {
    return isNameError(error.code) ? QCoreApplication::translate("Publisher", kNameRefused) : error.code == ENOENT ? QCoreApplication::translate("Publisher", kFolderMissing) : error.text;
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

Publisher::Publisher(Main::NameMemo& memo, std::function<void(int, ItemOutcome)> settled, std::function<void()> roomMade)
    : memo_(memo), settled_(std::move(settled)), roomMade_(std::move(roomMade)) {}

Publisher::~Publisher() { finisher_.stop(); }

void Publisher::beginRun() {
    drain();
    cleanedFolders_.clear();
    flushChoice_ = FlushChoice();
}

int Publisher::maxInFlight() {
    static const int most = [] {
        rlimit limit{};
        const rlim_t soft = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
        // A quarter of the descriptors at most, leaving the rest to the program and its sockets.
        return static_cast<int>(std::clamp<rlim_t>(soft / 4, 16, 1024));
    }();
    return most;
}

bool Publisher::room(int more) const {
    std::lock_guard<std::mutex> hold(lock_);
    return inFlight_ + more < maxInFlight();
}

void Publisher::hand(FinishJob job) {
    job.completeAt = std::chrono::steady_clock::now();
    const auto due = job.completeAt + std::chrono::milliseconds(kGatherMs);
    bool first = false, full = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++inFlight_;
        waiting_.push_back(std::move(job));
        first = waiting_.size() == 1;
        full = waiting_.size() >= static_cast<std::size_t>(kBatchFiles);
    }
    // The first file of a batch asks for a flush a moment later; the files in between cost the
    // transfers nothing, and a full batch goes at once.
    if (first) finisher_.post([this] { flushBatch(); }, due);
    if (full) finisher_.expedite();
}

void Publisher::drain() {
    draining_ = true;  // the last batches make no files ahead
    finisher_.drain();
    draining_ = false;
    folder_.reset();  // no descriptor outlives the run
    std::vector<Fw::UniqueFd> spares;
    {
        std::lock_guard<std::mutex> hold(lock_);
        spares.swap(spares_);
        sparesFolder_.reset();
    }
}

// On the worker, after a batch is named: `wanted` nameless files are made ready in its folder, at
// most half as many as the files under way may hold descriptors.
void Publisher::makeSpares(const std::shared_ptr<const OutputFolder>& folder, std::size_t wanted) {
    wanted = std::min<std::size_t>(wanted, static_cast<std::size_t>(maxInFlight() / 2));
    std::size_t have = 0;
    std::vector<Fw::UniqueFd> others;  // made for another folder: closed outside the lock
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (sparesFolder_ != folder) {
            others.swap(spares_);
            sparesFolder_ = folder;
        }
        have = spares_.size();
    }
    std::vector<Fw::UniqueFd> made;
    for (std::size_t k = have; k < wanted && !draining_; ++k) {
        Fw::UniqueFd fd = Durable::CreateAnonymous(folder->fd.get());
        if (!fd) break;  // the item that would have taken it makes its own, and says why it cannot
        made.push_back(std::move(fd));
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (sparesFolder_ != folder) return;
    for (Fw::UniqueFd& fd : made) spares_.push_back(std::move(fd));
}

// One of the files made ahead in `folder`, or none. None either once the folder is removed: the
// item then finds that out as one without them would, and a folder made anew there is taken.
Fw::UniqueFd Publisher::takeSpare(const std::shared_ptr<const OutputFolder>& folder) {
    Fw::UniqueFd fd;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (spares_.empty() || sparesFolder_ != folder) return fd;
        fd = std::move(spares_.back());
        spares_.pop_back();
    }
    struct stat st;
    if (::fstat(folder->fd.get(), &st) == 0 && st.st_nlink > 0) return fd;
    std::vector<Fw::UniqueFd> gone;
    {
        std::lock_guard<std::mutex> hold(lock_);
        gone.swap(spares_);
    }
    return {};
}

void Publisher::flushBatch() {
    std::vector<FinishJob> batch;
    {
        std::lock_guard<std::mutex> hold(lock_);
        batch.swap(waiting_);
    }
    if (batch.empty()) return;
    // On the worker, not the transfers' thread, and before the flush, so that the time is on disk
    // with the file.
    for (const FinishJob& job : batch) setServerTime(job);
    flushTogether(batch);
    eachFlushMs_ = 0;
    eachFlushed_ = 0;
    std::vector<std::pair<int, ItemOutcome>> done;
    done.reserve(batch.size());
    for (FinishJob& job : batch) {
        done.emplace_back(job.index, finish(job));
        if (!done.back().second.stored) memo_.givenBack(job.base, job.target);
    }
    // Where the named files lie now: one look at a folder serves its files of the batch, taken
    // after all of them have their names.
    const OutputFolder* looked = nullptr;
    QString lookedPath, lookedNow;
    for (std::size_t k = 0; k < done.size(); ++k) {
        QString& path = done[k].second.path;
        if (path.isEmpty() || !batch[k].folder) continue;
        if (batch[k].folder.get() != looked) {
            looked = batch[k].folder.get();
            lookedPath = path;
            lookedNow = whereNow(*looked, path);
            continue;
        }
        // The same folder: moved as the first file's, or not at all.
        if (lookedNow != lookedPath)
            path = lookedNow.chopped(Main::FileNameOf(lookedPath, Main::kNativeSeparator).size()) +
                   Main::FileNameOf(path, Main::kNativeSeparator);
    }
    if (eachFlushed_ > 1) flushChoice_.eachTook(eachFlushMs_ / eachFlushed_);
    // Nameless files are made ahead only where the batch's own were nameless.
    const std::shared_ptr<const OutputFolder> folder = batch.back().tempName.isEmpty() ? batch.back().folder : nullptr;
    const std::size_t count = batch.size();
    batch.clear();  // the descriptors close before the room is given back
    {
        std::lock_guard<std::mutex> hold(lock_);
        inFlight_ -= static_cast<int>(done.size());
    }
    for (auto& [index, outcome] : done) settled_(index, std::move(outcome));
    if (roomMade_) roomMade_();
    // Enough for the items of the next batch and for those begun while this one was flushed.
    if (folder) makeSpares(folder, 2 * count);
}

// One flush of each file system a batch lies on writes out every file of the batch: far cheaper
// than a flush per file. When it fails, each file's own fsync says which of them it concerns.
void Publisher::flushTogether(std::vector<FinishJob>& batch) {
    // A file system busy with other programs' writes makes such a flush wait for all of them;
    // then the files are flushed one by one for a while, as long as that is cheaper.
    if (!syncEachFile_ || !flushChoice_.shared(batch.size())) return;
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::pair<quint64, bool>> flushed;  // file system, flush succeeded
    for (FinishJob& job : batch) {
        // A file lies on its folder's file system.
        const quint64 device = job.folder->device;
        auto it = std::find_if(flushed.begin(), flushed.end(), [&](const auto& f) { return f.first == device; });
        if (it == flushed.end()) {
            // Where the shared flush cannot vouch for each file, each file's own fsync does.
            flushed.emplace_back(device, Durable::SharedFlushCovers(job.fd.get()) && ::syncfs(job.fd.get()) == 0);
            it = flushed.end() - 1;
        }
        job.onDisk = it->second;
    }
    flushChoice_.sharedTook(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count(), batch.size());
}

// Where a file published into `folder` lies now: under the folder's path, unless the folder was
// moved away from it during the run.
QString Publisher::whereNow(const OutputFolder& folder, const QString& path) {
    struct stat now;
    if (::stat(QFile::encodeName(folder.path).constData(), &now) == 0 && quint64(now.st_dev) == folder.device &&
        quint64(now.st_ino) == folder.inode)
        return path;
    char link[4096];
    const QByteArray proc = "/proc/self/fd/" + QByteArray::number(folder.fd.get());
    const ssize_t length = ::readlink(proc.constData(), link, sizeof link);
    if (length <= 0 || length == ssize_t(sizeof link)) return path;
    const QString current = QFile::decodeName(QByteArray(link, int(length)));
    if (!current.startsWith(QLatin1Char('/')) || current.endsWith(QLatin1String(" (deleted)"))) return path;
    return current + Main::kNativeSeparator + Main::FileNameOf(path, Main::kNativeSeparator);
}

// The file keeps the server's time rather than that of its download. Set before its flush and
// its name, so that the time is on disk with it; a time the file system refuses is let go. A file
// made ahead without one gets the time it is complete, not the time it was made.
void Publisher::setServerTime(const FinishJob& job) {
    if (!job.serverTime) {
        if (job.madeAhead) ::futimens(job.fd.get(), nullptr);
        return;
    }
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(*job.serverTime), 0}};
    ::futimens(job.fd.get(), times);
}

// Flush and publish one complete temporary file, on the worker while the next items are being
// fetched. A named temporary keeps its lock until it has its final name.
ItemOutcome Publisher::finish(FinishJob& job) {
    ItemOutcome outcome;
    const bool anonymous = job.tempName.isEmpty();
    auto fail = [&](QString reason) {
        if (!anonymous) Durable::DropNamedTemporary(job.folder->fd.get(), job.folder->registryPath, job.tempName);
        outcome.reason = std::move(reason);
        return outcome;
    };
    if (syncEachFile_ && !job.onDisk) {
        const auto started = std::chrono::steady_clock::now();
        if (::fsync(job.fd.get()) != 0) return fail(errnoText(errno));
        eachFlushMs_ += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        ++eachFlushed_;
    }
    struct stat st;
    if (::fstat(job.fd.get(), &st) != 0) return fail(errnoText(errno));
    // A file that fails its digest never gets the name it was to have.
    Checksum::Judge(job, st.st_size, memo_, outcome);

    Main::NamingContext naming;
    naming.memo = &memo_;
    QString candidate = job.target;
    QByteArray nameBytes = job.nameBytes;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const Fw::Result<void> published =
            anonymous ? Durable::LinkAnonymous(job.fd.get(), job.folder->fd.get(), nameBytes.constData())
                      : PublishWithoutReplace(job.folder->fd.get(), job.tempName.constData(), nameBytes.constData());
        if (published) {
            if (!anonymous) Durable::UnregisterTemporary(job.folder->registryPath, job.tempName.constData());
            // A write error that shows only when the file is closed (network file systems) takes
            // back the name, as long as it is still this file's.
            if (const int error = job.fd.close()) {
                struct stat now;
                if (::fstatat(job.folder->fd.get(), nameBytes.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(st, now))
                    ::unlinkat(job.folder->fd.get(), nameBytes.constData(), 0);
                outcome.reason = errnoText(error);
                return outcome;
            }
            outcome.stored = !outcome.checksumFailed;
            if (outcome.stored) Unchanged::Record(job, candidate, st);
            outcome.bytes = st.st_size;
            outcome.path = candidate;  // where it lies now is looked up once for the batch
            if (outcome.checksumFailed) outcome.reason += QCoreApplication::translate("Publisher", "; kept as ") + Main::FileNameOf(candidate, Main::kNativeSeparator);
            return outcome;
        }
        if (published.error().kind != Fw::ErrorKind::NameTaken) return fail(publishReason(published.error()));
        // Someone took the name while the data came in: the next free one.
        candidate = Main::NextFreeName(job.base, naming);
        job.target = candidate;
        nameBytes = QFile::encodeName(Main::FileNameOf(candidate, Main::kNativeSeparator));
    }
    return fail(QCoreApplication::translate("Publisher", "No free file name"));
}

void Publisher::cleanFolderOnce(const QString& folder) {
    if (cleanedFolders_.contains(folder)) return;
    cleanedFolders_.append(folder);
    RemoveLeftoverTemporaries(folder);
}

// The run's folder is the one it began with: it stays open from item to item and the run goes
// on into it wherever it is moved meanwhile, whatever is put at its path. A folder removed is
// nowhere: a file cannot be made in it, and then the path is opened again, and a folder made
// anew there takes the next items.
Fw::Result<std::shared_ptr<const OutputFolder>> Publisher::openFolder(const QString& path) {
    if (folder_ && folder_->path == path) return folder_;
    folder_.reset();
    const QByteArray encoded = QFile::encodeName(path);
    auto folder = std::make_shared<OutputFolder>();
    folder->path = path;
    folder->fd.reset(::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder->fd) {
        return Fw::Error::failed(errno == ENOENT || errno == ENOTDIR ? QCoreApplication::translate("Publisher", kFolderMissing)
                                                                     : QCoreApplication::translate("Publisher", "Cannot open the folder: ") + errnoText(errno),
                                 errno);
    }
    folder->registryPath = Durable::RegistryPath(path);
    folder->nameMax = ::fpathconf(folder->fd.get(), _PC_NAME_MAX);
    struct stat st;
    if (::fstat(folder->fd.get(), &st) != 0) return Fw::Error::failed(QCoreApplication::translate("Publisher", "Cannot open the folder: ") + errnoText(errno), errno);
    folder->device = quint64(st.st_dev);
    folder->inode = quint64(st.st_ino);
    folder_ = folder;
    return folder_;
}

namespace {
// A folder removed since it was opened: no file can be made in it (the error says so in more
// than one way), and its descriptor counts no links. Keeps errno.
bool folderGone(int dirFd) {
    const int error = errno;
    struct stat now;
    const bool gone = ::fstat(dirFd, &now) == 0 && now.st_nlink == 0;
    errno = error;
    return gone;
}
}  // namespace

Fw::Result<void> Publisher::createTemporary(const QString& folderText, FinishJob& job) {
    const QString folder = folderText.isEmpty() ? QStringLiteral(".") : folderText;
    cleanFolderOnce(folder);
    // The folder kept open from an earlier item may have been removed since: then once more from
    // its path.
    const bool wasOpen = folder_ && folder_->path == folder;
    for (int attempt = wasOpen ? 0 : 1; attempt < 2; ++attempt) {
        if (attempt == 1) folder_.reset();
        const Fw::Result<std::shared_ptr<const OutputFolder>> opened = openFolder(folder);
        if (!opened) return Fw::Error::failed(opened.error().text);
        job.folder = *opened;
        const int dirFd = job.folder->fd.get();

        QByteArray tempName;
        Fw::UniqueFd fd;
        if (temporaryMethod_ == TemporaryMethod::Best && Durable::ProcFdUsable()) {
            // No name until it is complete: nothing to clean up, nothing another copy could take.
            fd = takeSpare(job.folder);
            job.madeAhead = bool(fd);
            if (!fd) fd = Durable::CreateAnonymous(dirFd);
            if (!fd && attempt == 0 && folderGone(dirFd)) continue;
            if (!fd && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
                return Fw::Error::failed(errno == ENOENT ? QCoreApplication::translate("Publisher", kFolderMissing)
                                                         : QCoreApplication::translate("Publisher", "Cannot create a file in the folder: ") + errnoText(errno));
        }
        if (!fd) {
            fd = Durable::CreateNamedTemporary(dirFd, job.folder->registryPath, tempName);
            if (!fd && attempt == 0 && folderGone(dirFd)) continue;
            if (!fd)
                return Fw::Error::failed(errno == ENOENT ? QCoreApplication::translate("Publisher", kFolderMissing)
                                                         : QCoreApplication::translate("Publisher", "Cannot create a file in the folder: ") + errnoText(errno));
        }
        job.fd = std::move(fd);
        job.tempName = tempName;
        return {};
    }
    return Fw::Error::failed(QCoreApplication::translate("Publisher", kFolderMissing));
}

void Publisher::dropTemporary(FinishJob& job) {
    if (job.fd && !job.tempName.isEmpty()) Durable::DropNamedTemporary(job.folder->fd.get(), job.folder->registryPath, job.tempName);
    job.fd.reset();
}

}  // namespace Download
