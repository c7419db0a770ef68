// Unfinished work in the state folder: the record of each copy's run under way.
#include "download/UnfinishedWork.h"
#include "download/RunRecordFormat.h"
#include "download/StateFiles.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace Download {

QString StateFolder() {
    const QByteArray state = qgetenv("XDG_STATE_HOME");
    // A relative XDG_STATE_HOME is not used: the state folder is always an absolute path.
    const QString root = state.startsWith('/') ? QFile::decodeName(state) : QDir::homePath() + QLatin1String("/.local/state");
    return root + QLatin1String("/Fetchwright");
}

namespace {
using namespace StateFiles;

constexpr int kRunIdLength = 16;


QByteArray runFileName(const QByteArray& id) { return "run-" + id + ".rec"; }
QByteArray runTempName(const QByteArray& id) { return "run-" + id + ".tmp"; }

// "run-<id>.rec" or "run-<id>.tmp": the id, and whether it is a temporary.
std::optional<std::pair<QByteArray, bool>> parseRunFileName(const char* name) {
    const size_t length = std::strlen(name);
    if (length != 4 + kRunIdLength + 4 || std::strncmp(name, "run-", 4) != 0 || !isHex(name + 4, kRunIdLength))
        return std::nullopt;
    const char* suffix = name + 4 + kRunIdLength;
    if (std::strcmp(suffix, ".rec") != 0 && std::strcmp(suffix, ".tmp") != 0) return std::nullopt;
    return std::make_pair(QByteArray(name + 4, kRunIdLength), suffix[1] == 't');
}

}  // namespace

// ---- The record of a run ----

UnfinishedRunRecord::UnfinishedRunRecord(QString stateFolder, Clock clock)
    : runsFolder_(stateFolder + QLatin1String("/runs")), id_(randomHex(kRunIdLength)), clock_(std::move(clock)) {}

UnfinishedRunRecord::UnfinishedRunRecord(QString runsFolder, QByteArray id, Fw::UniqueFd lock, Clock clock)
    : runsFolder_(std::move(runsFolder)), id_(std::move(id)), lock_(std::move(lock)), clock_(std::move(clock)) {}

UnfinishedRunRecord::UnfinishedRunRecord(UnfinishedRunRecord&&) noexcept = default;
UnfinishedRunRecord& UnfinishedRunRecord::operator=(UnfinishedRunRecord&&) noexcept = default;
UnfinishedRunRecord::~UnfinishedRunRecord() = default;

QString UnfinishedRunRecord::path() const { return runsFolder_ + QLatin1Char('/') + QString::fromLatin1(runFileName(id_)); }

bool UnfinishedRunRecord::save(const UnfinishedRun& run) { return saveText(RunRecordFormat::whole(run, nowMs(clock_))); }

bool UnfinishedRunRecord::saveText(const QByteArray& data) {
    if (data.size() > kMaxRunRecordBytes) return false;
    if (!QDir().mkpath(runsFolder_)) return false;
    const Fw::UniqueFd dir = openFolder(runsFolder_);
    if (!dir) return false;
    // The new file is locked before it takes the record's name, so that the record is never
    // without its owner's lock.
    Fw::UniqueFd written;
    const bool saved = replaceWhole(dir.get(), runTempName(id_), runFileName(id_), data,
                                    [](int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }, &written);
    if (saved) {
        lock_ = std::move(written);
        writable_ = true;
        size_ = data.size();
    }
    return saved;
}

bool UnfinishedRunRecord::append(const QByteArray& lines) {
    if (!lock_ || !writable_ || size_ + lines.size() > kMaxRunRecordBytes) return false;
    // Written where this copy's last write ended: a write cut off before is written over.
    if (::lseek(lock_.get(), size_, SEEK_SET) != size_ || !writeAll(lock_.get(), lines) || ::fdatasync(lock_.get()) != 0) {
        writable_ = false;
        return false;
    }
    size_ += lines.size();
    return true;
}

void UnfinishedRunRecord::remove() {
    if (!lock_) return;
    const Fw::UniqueFd dir = openFolder(runsFolder_);
    if (dir) ::unlinkat(dir.get(), runFileName(id_).constData(), 0);
    lock_.reset();
    writable_ = false;
    size_ = 0;
}

UnfinishedRunRecord UnfinishedRunRecord::Leftover::take() && {
    return UnfinishedRunRecord(runsFolder_, id_, std::move(lock_), clock_);
}

void UnfinishedRunRecord::Leftover::discard() && {
    if (!lock_) return;
    const Fw::UniqueFd dir = openFolder(runsFolder_);
    if (dir) ::unlinkat(dir.get(), runFileName(id_).constData(), 0);
    lock_.reset();
}

std::optional<UnfinishedRunRecord::Leftover> UnfinishedRunRecord::FindLeftover(const QString& stateFolder, Clock clock) {
    const QString runsFolder = stateFolder + QLatin1String("/runs");
    const Fw::UniqueFd dirFd = openFolder(runsFolder);
    if (!dirFd) return std::nullopt;
    Fw::UniqueFd listFd(::dup(dirFd.get()));
    DIR* dir = listFd ? ::fdopendir(listFd.get()) : nullptr;
    if (!dir) return std::nullopt;
    listFd.release();  // the stream owns it now
    const qint64 now = nowMs(clock);
    const int at = dirFd.get();

    std::optional<Leftover> best;
    while (dirent* entry = ::readdir(dir)) {
        const auto parsed = parseRunFileName(entry->d_name);
        if (!parsed) continue;
        const char* name = entry->d_name;
        struct stat st, again;
        if (::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) continue;
        if (!S_ISREG(st.st_mode)) {
            // A pipe, link or device where a record belongs is never read; only the entry goes.
            ::unlinkat(at, name, 0);
            continue;
        }
        Fw::UniqueFd fd(::openat(at, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        // A copy that lives holds the lock: its record is not ours to read.
        if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;
        // Checked under the lock: the name may have been given to a newer file of a live owner.
        if (::fstat(fd.get(), &st) != 0 || ::fstatat(at, name, &again, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(st, again))
            continue;
        if (parsed->second) {  // a save that was cut off
            ::unlinkat(at, name, 0);
            continue;
        }
        const auto data = readBounded(fd.get(), kMaxRunRecordBytes);
        const auto run = data ? RunRecordFormat::parse(*data) : std::nullopt;
        if (!run || run->first.entries.isEmpty() || now - run->second > kKeepUnfinishedMs) {
            ::unlinkat(at, name, 0);
            continue;
        }
        if (best && best->savedAt_ >= run->second) continue;
        best.emplace(Leftover());
        best->run_ = std::move(run->first);
        best->savedAt_ = run->second;
        best->runsFolder_ = runsFolder;
        best->id_ = parsed->first;
        best->lock_ = std::move(fd);
        best->clock_ = clock;
    }
    ::closedir(dir);
    return best;
}

// ---- Recording a run while it goes ----

UnfinishedRunRecorder::UnfinishedRunRecorder(QString stateFolder, Clock clock)
    : stateFolder_(std::move(stateFolder)), clock_(std::move(clock)) {}

UnfinishedRunRecorder::~UnfinishedRunRecorder() {
    writer_.stop();
    writeLatest();
}

void UnfinishedRunRecorder::adopt(UnfinishedRunRecord record) {
    // The writer is idle after this, and only this thread gives it work.
    writer_.drain();
    // This copy keeps one record: a run under way goes on in the adopted one.
    if (record_ && record_->holdsRecord()) record_->remove();
    record_.emplace(std::move(record));
    std::unique_lock<std::mutex> hold(state_);
    rewrite_ = true;
    if (active_) {
        dirty_ = true;
        postWrite(hold);
    }
}

// A write of the latest state, once the gap after the last write has passed; one at a time.
void UnfinishedRunRecorder::postWrite(std::unique_lock<std::mutex>& hold) {
    if (writePosted_ || !active_ || !dirty_) return;
    writePosted_ = true;
    const auto due = lastWrite_ + std::chrono::milliseconds(minGapMs_);
    hold.unlock();
    writer_.post([this] { writeLatest(); }, due);
    hold.lock();
}

void UnfinishedRunRecorder::begin(const QString& folder, const QStringList& entries, const QStringList& pages) {
    std::unique_lock<std::mutex> hold(state_);
    active_ = true;
    dirty_ = true;
    rewrite_ = true;
    folder_ = folder;
    entries_ = entries;
    pages_ = pages.size() == entries.size() ? pages : QStringList();
    storedFlags_.assign(std::size_t(entries.size()), false);
    lineOf_.assign(std::size_t(entries.size()), -1);
    added_.clear();
    struck_.clear();
    pending_ = int(entries.size());
    postWrite(hold);
}

int UnfinishedRunRecorder::add(const QString& entry, const QString& page) {
    std::unique_lock<std::mutex> hold(state_);
    const int index = int(entries_.size());
    entries_.append(entry);
    if (!page.isEmpty() && pages_.isEmpty()) {
        pages_.reserve(entries_.size());
        while (pages_.size() < index) pages_.append(QString());
    }
    if (!pages_.isEmpty()) pages_.append(page);
    storedFlags_.push_back(false);
    lineOf_.push_back(-1);
    added_.push_back(index);
    ++pending_;
    dirty_ = true;
    postWrite(hold);
    return index;
}

void UnfinishedRunRecorder::stored(int index) {
    std::unique_lock<std::mutex> hold(state_);
    if (index < 0 || std::size_t(index) >= storedFlags_.size() || storedFlags_[std::size_t(index)]) return;
    storedFlags_[std::size_t(index)] = true;
    struck_.push_back(index);
    --pending_;
    dirty_ = true;
    postWrite(hold);
}

void UnfinishedRunRecorder::flush() { writer_.drain(); }

void UnfinishedRunRecorder::finishedNormally() {
    {
        std::lock_guard<std::mutex> hold(state_);
        active_ = false;
        dirty_ = false;
        entries_.clear();
        pages_.clear();
        storedFlags_.clear();
        lineOf_.clear();
        added_.clear();
        struck_.clear();
        pending_ = 0;
    }
    // After any write already under way, so that nothing of the run stays.
    writer_.drain();
    if (record_) record_->remove();
}

int UnfinishedRunRecorder::pendingCount() const {
    std::lock_guard<std::mutex> hold(state_);
    return pending_;
}

bool UnfinishedRunRecorder::isActive() const {
    std::lock_guard<std::mutex> hold(state_);
    return active_;
}

int UnfinishedRunRecorder::writes() const {
    std::lock_guard<std::mutex> hold(state_);
    return writes_;
}

// On the writer (or, once it has stopped, on the owner's thread). What is to be written is taken
// under the lock; the disk is written outside it.
void UnfinishedRunRecorder::writeLatest() {
    QByteArray text;
    bool whole = false;
    {
        std::lock_guard<std::mutex> hold(state_);
        if (!active_ || !dirty_) {
            writePosted_ = false;
            return;
        }
        dirty_ = false;
        auto pageOf = [&](qsizetype i) { return pages_.isEmpty() ? QString() : pages_[i]; };
        const qint64 written = record_ ? record_->size() : 0;
        // Lines of changes that outgrow the entries still listed make the record whole again.
        whole = rewrite_ || !record_ || written > 2 * liveBytes_ + (64 << 10);
        if (whole) {
            text = RunRecordFormat::head(folder_);
            recordLines_ = 0;
            liveBytes_ = 0;
            for (qsizetype i = 0; i < entries_.size(); ++i) {
                if (storedFlags_[std::size_t(i)]) {
                    lineOf_[std::size_t(i)] = -1;
                    continue;
                }
                const QByteArray lines = RunRecordFormat::entryLines(entries_[i], pageOf(i));
                text += lines;
                liveBytes_ += lines.size();
                lineOf_[std::size_t(i)] = recordLines_++;
            }
        } else {
            for (const int i : added_) {
                if (storedFlags_[std::size_t(i)]) continue;
                const QByteArray lines = RunRecordFormat::entryLines(entries_[i], pageOf(i));
                text += lines;
                liveBytes_ += lines.size();
                lineOf_[std::size_t(i)] = recordLines_++;
            }
            for (const int i : struck_) {
                const int line = lineOf_[std::size_t(i)];
                if (line < 0) continue;
                text += RunRecordFormat::storedLine(line);
                liveBytes_ -= RunRecordFormat::entryLines(entries_[i], pageOf(i)).size();
                lineOf_[std::size_t(i)] = -1;
            }
        }
        added_.clear();
        struck_.clear();
        rewrite_ = false;
        text += RunRecordFormat::savedLine(nowMs(clock_));
    }
    if (!record_) record_.emplace(stateFolder_, clock_);
    const auto started = std::chrono::steady_clock::now();
    const bool saved = whole ? record_->saveText(text) : record_->append(text);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    std::unique_lock<std::mutex> hold(state_);
    ++writes_;
    // What could not be written goes whole at the next write.
    if (!saved) {
        rewrite_ = true;
        dirty_ = true;
    }
    // Writing may take at most a fifth of the time.
    minGapMs_ = std::max<qint64>(250, took.count() * 4);
    lastWrite_ = std::chrono::steady_clock::now();
    // What changed during the write waits for the next gap.
    writePosted_ = false;
    postWrite(hold);
}

}  // namespace Download
