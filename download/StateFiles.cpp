// Small pieces shared by the files the program keeps in its state folder.
#include "download/StateFiles.h"

#include <QDateTime>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Download::StateFiles {

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
                  const std::function<bool(int)>& prepare, Fw::UniqueFd* keep) {
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

}  // namespace Download::StateFiles
