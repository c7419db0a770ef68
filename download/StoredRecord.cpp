#include "download/StoredRecord.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "download/StateFiles.h"
#include "download/UnfinishedWork.h"

namespace Download {

namespace {
QByteArray Field(const QByteArray& bytes) { return bytes.toPercentEncoding(); }
QByteArray Field(const QString& text) { return text.toUtf8().toPercentEncoding(); }

// A name of the folder itself, never a path that leads out of it.
bool IsPlainName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") && !name.contains(QLatin1Char('/'));
}

std::optional<struct stat> StatIn(const QString& folder, const QString& name) {
    struct stat st;
    if (::lstat(QFile::encodeName(folder + QLatin1Char('/') + name).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return st;
}

bool SameFile(const struct stat& st, const StoredFile& file) {
    return quint64(st.st_dev) == file.device && quint64(st.st_ino) == file.inode && qint64(st.st_size) == file.size;
}
}  // namespace

StoredRecords::StoredRecords(QString stateFolder)
    : stored_((stateFolder.isEmpty() ? StateFolder() : stateFolder) + QLatin1String("/stored")) {}

QString StoredRecords::recordPath(const QString& folder) const {
    const QByteArray key = QCryptographicHash::hash(QFile::encodeName(folder), QCryptographicHash::Sha256).toHex().left(32);
    return stored_ + QLatin1Char('/') + QString::fromLatin1(key);
}

StoredRecords::Folder& StoredRecords::folderOf(const QString& folder) {
    Folder& f = folders_[folder];
    if (f.loaded) return f;
    f.loaded = true;
    QFile file(recordPath(folder));
    if (!file.open(QIODevice::ReadOnly) || file.size() > kRecordLimitBytes) return f;
    const QByteArray data = file.read(kRecordLimitBytes);
    // The first line names the folder, so that a record is never read for another one.
    qsizetype at = data.indexOf('\n');
    if (at < 0 || data.left(at) != Field(folder)) return f;
    ++at;
    while (at < data.size()) {
        qsizetype end = data.indexOf('\n', at);
        if (end < 0) break;  // a last line cut off by a crash
        const QList<QByteArray> parts = data.mid(at, end - at).split('\t');
        at = end + 1;
        if (parts.size() != 7) continue;
        StoredFile s;
        s.name = QString::fromUtf8(QByteArray::fromPercentEncoding(parts[1]));
        s.etag = QByteArray::fromPercentEncoding(parts[2]);
        s.lastModified = QByteArray::fromPercentEncoding(parts[3]);
        bool ok[3] = {};
        s.size = parts[4].toLongLong(&ok[0]);
        s.device = parts[5].toULongLong(&ok[1]);
        s.inode = parts[6].toULongLong(&ok[2]);
        if (!ok[0] || !ok[1] || !ok[2] || !IsPlainName(s.name) || (s.etag.isEmpty() && s.lastModified.isEmpty())) continue;
        f.byUrl.insert(QString::fromUtf8(QByteArray::fromPercentEncoding(parts[0])), s);
    }
    return f;
}

std::optional<StoredRecords::Found> StoredRecords::find(const QString& folder, const QString& url) {
    std::lock_guard<std::mutex> hold(lock_);
    Folder& f = folderOf(folder);
    const auto it = f.byUrl.find(url);
    if (it == f.byUrl.end()) return std::nullopt;
    StoredFile& file = *it;
    if (const auto st = StatIn(folder, file.name); st && SameFile(*st, file))
        return Found{folder + QLatin1Char('/') + file.name, file};
    // Renamed within the folder: the same file under another name. The folder is listed once, so
    // that a run whose files were all renamed costs one listing, not one per file.
    if (!f.indexed) {
        f.indexed = true;
        const QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::NoSort);
        for (const QString& name : names)
            if (const auto st = StatIn(folder, name)) f.byInode.insert(quint64(st->st_ino), name);
    }
    const auto renamed = f.byInode.constFind(file.inode);
    if (renamed == f.byInode.cend()) return std::nullopt;
    const auto st = StatIn(folder, *renamed);
    if (!st || !SameFile(*st, file)) return std::nullopt;
    file.name = *renamed;
    return Found{folder + QLatin1Char('/') + file.name, file};
}

void StoredRecords::add(const QString& folder, const QString& url, const StoredFile& file) {
    if (!IsPlainName(file.name) || (file.etag.isEmpty() && file.lastModified.isEmpty())) return;
    std::lock_guard<std::mutex> hold(lock_);
    Folder& f = folderOf(folder);
    f.byUrl.insert(url, file);
    QDir().mkpath(stored_);
    const QByteArray path = QFile::encodeName(recordPath(folder));
    Fw::UniqueFd fd(::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) return;
    struct stat st;
    QByteArray line;
    if (::fstat(fd.get(), &st) == 0 && (st.st_size == 0 || st.st_size > kRecordLimitBytes)) {
        // A new record (or one grown past its limit, started afresh with what this run knows).
        if (st.st_size > 0 && ::ftruncate(fd.get(), 0) != 0) return;
        line = Field(folder) + '\n';
        if (st.st_size > 0) {
            for (auto it = f.byUrl.cbegin(); it != f.byUrl.cend(); ++it)
                if (it.key() != url)
                    line += Field(it.key()) + '\t' + Field(it->name) + '\t' + Field(it->etag) + '\t' + Field(it->lastModified) +
                            '\t' + QByteArray::number(it->size) + '\t' + QByteArray::number(it->device) + '\t' +
                            QByteArray::number(it->inode) + '\n';
        }
    }
    line += Field(url) + '\t' + Field(file.name) + '\t' + Field(file.etag) + '\t' + Field(file.lastModified) + '\t' +
            QByteArray::number(file.size) + '\t' + QByteArray::number(file.device) + '\t' + QByteArray::number(file.inode) + '\n';
    StateFiles::writeAll(fd.get(), line);
}

}  // namespace Download
