// Unfinished work in the state folder: the record of each copy's run under way, and the records
// of the partial files of big items.
#include "download/UnfinishedWork.h"

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

constexpr char kRunMagic[] = "Fetchwright unfinished run 1";
constexpr char kPartialMagic[] = "Fetchwright partial 1";
constexpr qint64 kMaxPartialRecordBytes = 1024 * 1024;
constexpr int kRunIdLength = 16;
// A temporary of a partial record older than this was left by a copy that died while writing.
constexpr qint64 kStaleTemporaryMs = 60LL * 60 * 1000;
constexpr char kMarkAttribute[] = "user.fetchwright.partial";

qint64 nowMs(const Clock& clock) { return clock ? clock() : QDateTime::currentMSecsSinceEpoch(); }

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

QByteArray randomHex(int length) {
    static const char digits[] = "0123456789abcdef";
    QByteArray id(length, '0');
    for (char& c : id) c = digits[QRandomGenerator::system()->bounded(16)];
    return id;
}

bool isHex(const char* text, int length) {
    for (int i = 0; i < length; ++i)
        if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f'))) return false;
    return true;
}

// One line per field: the few characters that would break a line are escaped.
QByteArray escape(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size());
    for (char c : utf8) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

std::optional<QString> unescape(QByteArrayView line) {
    QByteArray out;
    out.reserve(line.size());
    for (qsizetype i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\r') return std::nullopt;
        if (c == '\\') {
            if (++i == line.size()) return std::nullopt;
            c = line[i] == '\\' ? '\\' : line[i] == 'n' ? '\n' : line[i] == 'r' ? '\r' : '\0';
            if (c == '\0') return std::nullopt;
        }
        out += c;
    }
    return QString::fromUtf8(out);
}

// Reads a text of lines from the front.
class Lines {
public:
    explicit Lines(const QByteArray& data) : data_(data) {}
    std::optional<QByteArrayView> next() {
        if (at_ >= data_.size()) return std::nullopt;
        const qsizetype end = data_.indexOf('\n', at_);
        if (end < 0) return std::nullopt;  // a last line without its end was cut off
        QByteArrayView line(data_.constData() + at_, end - at_);
        at_ = end + 1;
        return line;
    }
    // "name value" with that name: the value.
    std::optional<QByteArrayView> field(const char* name) {
        const auto line = next();
        const QByteArrayView prefix(name);
        if (!line || !line->startsWith(prefix) || line->size() <= prefix.size() || (*line)[prefix.size()] != ' ')
            return std::nullopt;
        return line->sliced(prefix.size() + 1);
    }
    std::optional<qint64> number(const char* name) {
        const auto value = field(name);
        bool ok = false;
        const qint64 n = value ? value->toByteArray().toLongLong(&ok) : 0;
        return ok ? std::optional<qint64>(n) : std::nullopt;
    }
    std::optional<QString> text(const char* name) {
        const auto value = field(name);
        return value ? unescape(*value) : std::nullopt;
    }
    bool atEnd() const { return at_ == data_.size(); }

private:
    const QByteArray& data_;
    qsizetype at_ = 0;
};

// The whole of a regular file of at most `limit` bytes, read through `fd`; nothing when it is
// bigger (or grows past the limit while being read) or cannot be read.
std::optional<QByteArray> readBounded(int fd, qint64 limit) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > limit) return std::nullopt;
    QByteArray data;
    data.resize(qsizetype(st.st_size) + 1);
    qsizetype have = 0;
    for (;;) {
        if (have == data.size()) {
            if (have > limit) return std::nullopt;
            data.resize(std::min<qsizetype>(have * 2 + 4096, qsizetype(limit) + 1));
        }
        const ssize_t n = ::read(fd, data.data() + have, size_t(data.size() - have));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        have += n;
    }
    if (have > limit) return std::nullopt;
    data.truncate(have);
    return data;
}

bool writeAll(int fd, const QByteArray& data) {
    const char* p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= n;
    }
    return true;
}

Fw::UniqueFd openFolder(const QString& path) {
    return Fw::UniqueFd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Writes `data` as `name` in the folder, whole or not at all: a new temporary there, flushed,
// then renamed over the old file, and the folder flushed. The temporary's descriptor is handed
// back (still open) when `keep` is given, with whatever lock `prepare` took on it.
bool replaceWhole(int dirFd, const QByteArray& tempName, const QByteArray& name, const QByteArray& data,
                  const std::function<bool(int)>& prepare = {}, Fw::UniqueFd* keep = nullptr) {
    // The temporary's name is this writer's own: whatever lies there is a leftover of it.
    ::unlinkat(dirFd, tempName.constData(), 0);
    Fw::UniqueFd fd(::openat(dirFd, tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return false;
    const bool written = (!prepare || prepare(fd.get())) && writeAll(fd.get(), data) && ::fsync(fd.get()) == 0 &&
                         ::renameat(dirFd, tempName.constData(), dirFd, name.constData()) == 0;
    if (!written) {
        ::unlinkat(dirFd, tempName.constData(), 0);
        return false;
    }
    ::fsync(dirFd);
    if (keep) *keep = std::move(fd);
    return true;
}

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

QByteArray serializeRun(const UnfinishedRun& run, qint64 savedAt) {
    qsizetype size = 128 + run.folder.size() * 3;
    for (const QString& entry : run.entries) size += entry.size() + 1;
    QByteArray out;
    out.reserve(size);
    out += kRunMagic;
    out += "\nsaved " + QByteArray::number(savedAt);
    out += "\nfolder " + escape(run.folder);
    out += "\nentries " + QByteArray::number(run.entries.size()) + '\n';
    for (const QString& entry : run.entries) {
        out += escape(entry);
        out += '\n';
    }
    return out;
}

std::optional<std::pair<UnfinishedRun, qint64>> parseRun(const QByteArray& data) {
    Lines lines(data);
    const auto magic = lines.next();
    if (!magic || *magic != QByteArrayView(kRunMagic)) return std::nullopt;
    const auto saved = lines.number("saved");
    const auto folder = lines.text("folder");
    const auto count = lines.number("entries");
    // Each entry takes a line of at least one byte: a count beyond that is a lie.
    if (!saved || !folder || !count || *count < 0 || *count > data.size()) return std::nullopt;
    UnfinishedRun run;
    run.folder = *folder;
    run.entries.reserve(qsizetype(*count));
    for (qint64 i = 0; i < *count; ++i) {
        const auto line = lines.next();
        const auto entry = line ? unescape(*line) : std::nullopt;
        if (!entry || entry->isEmpty()) return std::nullopt;
        run.entries.append(*entry);
    }
    if (!lines.atEnd()) return std::nullopt;
    return std::make_pair(std::move(run), *saved);
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

bool UnfinishedRunRecord::save(const UnfinishedRun& run) {
    const QByteArray data = serializeRun(run, nowMs(clock_));
    if (data.size() > kMaxRunRecordBytes) return false;
    if (!QDir().mkpath(runsFolder_)) return false;
    const Fw::UniqueFd dir = openFolder(runsFolder_);
    if (!dir) return false;
    // The new file is locked before it takes the record's name, so that the record is never
    // without its owner's lock.
    Fw::UniqueFd written;
    const bool saved = replaceWhole(dir.get(), runTempName(id_), runFileName(id_), data,
                                    [](int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }, &written);
    if (saved) lock_ = std::move(written);
    return saved;
}

void UnfinishedRunRecord::remove() {
    if (!lock_) return;
    const Fw::UniqueFd dir = openFolder(runsFolder_);
    if (dir) ::unlinkat(dir.get(), runFileName(id_).constData(), 0);
    lock_.reset();
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
        const auto run = data ? parseRun(*data) : std::nullopt;
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
    {
        std::lock_guard<std::mutex> hold(state_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (writer_.joinable()) writer_.join();
    writeLatest();
}

void UnfinishedRunRecorder::adopt(UnfinishedRunRecord record) {
    std::lock_guard<std::mutex> io(io_);
    // This copy keeps one record: a run under way goes on in the adopted one.
    if (record_ && record_->holdsRecord()) record_->remove();
    record_.emplace(std::move(record));
    std::lock_guard<std::mutex> hold(state_);
    if (active_) dirty_ = true;
    wake_.notify_all();
}

void UnfinishedRunRecorder::begin(const QString& folder, const QStringList& entries) {
    {
        std::lock_guard<std::mutex> hold(state_);
        active_ = true;
        dirty_ = true;
        folder_ = folder;
        entries_ = entries;
        storedFlags_.assign(std::size_t(entries.size()), false);
        pending_ = int(entries.size());
    }
    if (!writer_.joinable()) writer_ = std::thread([this] { writerLoop(); });
    wake_.notify_all();
}

int UnfinishedRunRecorder::add(const QString& entry) {
    std::lock_guard<std::mutex> hold(state_);
    entries_.append(entry);
    storedFlags_.push_back(false);
    ++pending_;
    if (active_ && !dirty_) {
        dirty_ = true;
        wake_.notify_all();
    }
    return int(entries_.size()) - 1;
}

void UnfinishedRunRecorder::stored(int index) {
    std::lock_guard<std::mutex> hold(state_);
    if (index < 0 || std::size_t(index) >= storedFlags_.size() || storedFlags_[std::size_t(index)]) return;
    storedFlags_[std::size_t(index)] = true;
    --pending_;
    if (active_ && !dirty_) {
        dirty_ = true;
        wake_.notify_all();
    }
}

void UnfinishedRunRecorder::flush() { writeLatest(); }

void UnfinishedRunRecorder::finishedNormally() {
    {
        std::lock_guard<std::mutex> hold(state_);
        active_ = false;
        dirty_ = false;
        entries_.clear();
        storedFlags_.clear();
        pending_ = 0;
    }
    // After any write already under way, so that nothing of the run stays.
    std::lock_guard<std::mutex> io(io_);
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

void UnfinishedRunRecorder::writeLatest() {
    std::lock_guard<std::mutex> io(io_);
    UnfinishedRun run;
    {
        std::lock_guard<std::mutex> hold(state_);
        if (!active_ || !dirty_) return;
        dirty_ = false;
        run.folder = folder_;
        run.entries.reserve(pending_);
        for (qsizetype i = 0; i < entries_.size(); ++i)
            if (!storedFlags_[std::size_t(i)]) run.entries.append(entries_[i]);
    }
    if (!record_) record_.emplace(stateFolder_, clock_);
    const auto started = std::chrono::steady_clock::now();
    record_->save(run);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    std::lock_guard<std::mutex> hold(state_);
    ++writes_;
    // Writing may take at most a fifth of the time.
    minGapMs_ = std::max<qint64>(250, took.count() * 4);
    lastWrite_ = std::chrono::steady_clock::now();
}

void UnfinishedRunRecorder::writerLoop() {
    std::unique_lock<std::mutex> hold(state_);
    for (;;) {
        wake_.wait(hold, [&] { return stopping_ || (active_ && dirty_); });
        if (stopping_) return;
        // Changes gather until the gap after the last write has passed.
        wake_.wait_until(hold, lastWrite_ + std::chrono::milliseconds(minGapMs_), [&] { return stopping_; });
        if (stopping_) return;
        hold.unlock();
        writeLatest();
        hold.lock();
    }
}

// ---- Partial files ----

namespace {

// A folder as the records know it: absolute, without links where it exists.
QString recordFolder(const QString& folder) {
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QDir(folder).absolutePath()) : canonical;
}

QByteArray recordKey(const QString& folder, const QString& url) {
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(QFile::encodeName(recordFolder(folder)));
    hash.addData(QByteArrayView("\0", 1));
    hash.addData(url.toUtf8());
    return hash.result().toHex();
}

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
    if (!saved || !url || !folder || !part || !validatorLine || !total || !good || !device || !inode || !birth || !mark ||
        !lines.atEnd())
        return std::nullopt;
    if (validatorLine->startsWith("validator ")) r.validator = QByteArray::fromBase64(validatorLine->sliced(10).toByteArray());
    else if (*validatorLine != QByteArrayView("validator")) return std::nullopt;
    if (*good < 0 || !IsPartialName(*part)) return std::nullopt;
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

bool isRecordedFile(const struct stat& st, const PartialRecord& record) {
    return S_ISREG(st.st_mode) && quint64(st.st_dev) == record.device && quint64(st.st_ino) == record.inode &&
           st.st_size >= record.goodLength;
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

// What the inode cannot tell: is this the file that was created then, or a later one that got
// its number? Whatever of birth time and mark the file system kept must match.
bool sameBirth(int fd, const PartialRecord& record) {
    return (record.birthNs == 0 || birthOf(fd) == record.birthNs) && (record.mark.isEmpty() || markOf(fd) == record.mark);
}

// Opens the recorded partial and takes its lock; invalid (errno ESTALE) when the name no
// longer leads to the recorded file, EWOULDBLOCK when a live copy holds it.
Fw::UniqueFd lockRecordedPartial(const PartialRecord& record, int openFlags, Fw::UniqueFd& dir) {
    if (!IsPartialName(record.partName)) {
        errno = ESTALE;
        return {};
    }
    dir = openFolder(record.folder);
    if (!dir) return {};
    const QByteArray name = QFile::encodeName(record.partName);
    struct stat before, st, after;
    // Looked at before it is opened: opening a device or pipe can have effects of its own.
    if (::fstatat(dir.get(), name.constData(), &before, AT_SYMLINK_NOFOLLOW) != 0) return {};
    if (!isRecordedFile(before, record)) {
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
        ::fstat(fd.get(), &st) != 0 || !isRecordedFile(st, record) || !sameBirth(fd.get(), record)) {
        errno = ESTALE;
        return {};
    }
    return fd;
}

enum class PartialGone { Removed, NotThere, InUse };

PartialGone removePartialFile(const PartialRecord& record) {
    Fw::UniqueFd dir;
    const Fw::UniqueFd fd = lockRecordedPartial(record, O_RDONLY, dir);
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

Fw::UniqueFd CreatePartialLocked(PartialRecord& record) {
    if (!IsPartialName(record.partName)) {
        errno = EINVAL;
        return {};
    }
    record.folder = recordFolder(record.folder);
    const Fw::UniqueFd dir = openFolder(record.folder);
    if (!dir) return {};
    Fw::UniqueFd fd(::openat(dir.get(), QFile::encodeName(record.partName).constData(),
                             O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    struct stat st;
    // A clean-up that opened it first lets go as soon as it finds no record of it.
    if (!fd || ::flock(fd.get(), LOCK_EX) != 0 || ::fstat(fd.get(), &st) != 0) return {};
    record.device = quint64(st.st_dev);
    record.inode = quint64(st.st_ino);
    record.birthNs = birthOf(fd.get());
    const QByteArray mark = randomHex(16);
    record.mark = ::fsetxattr(fd.get(), kMarkAttribute, mark.constData(), size_t(mark.size()), XATTR_CREATE) == 0 ? mark : QByteArray();
    record.goodLength = 0;
    return fd;
}

Fw::UniqueFd OpenPartialLocked(const PartialRecord& record) {
    Fw::UniqueFd dir;
    Fw::UniqueFd fd = lockRecordedPartial(record, O_RDWR, dir);
    if (!fd) return fd;
    if (::ftruncate(fd.get(), record.goodLength) != 0 || ::lseek(fd.get(), 0, SEEK_END) < 0) return {};
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

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

int PartialStore::removeExpired() {
    const Fw::UniqueFd dirFd = openFolder(partialsFolder_);
    if (!dirFd) return 0;
    Fw::UniqueFd listFd(::dup(dirFd.get()));
    DIR* dir = listFd ? ::fdopendir(listFd.get()) : nullptr;
    if (!dir) return 0;
    listFd.release();
    const qint64 now = nowMs(clock_);
    const int at = dirFd.get();
    int removed = 0;
    while (dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        struct stat st;
        if (isRecordKeyName(name, ".rec")) {
            if (::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) continue;
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
    }
    ::closedir(dir);
    return removed;
}

}  // namespace Download
