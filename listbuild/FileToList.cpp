#include "listbuild/FileToList.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/UniqueFd.h"

namespace FileToList {

namespace {
QString LimitText() { return QCoreApplication::translate("FileToList", "List file larger than %1 MB").arg(kListFileLimitBytes >> 20); }

Fw::Result<QByteArray> ReadBytes(const QString& path, const std::atomic<bool>* stop) {
    // Opened without waiting (a pipe would wait for a writer) and judged by what was opened,
    // never by a look at the name that a swap could outdate.
    Fw::UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        const int code = errno;
        if (code == ENOENT || code == ENOTDIR) return Fw::Error::failed(QCoreApplication::translate("FileToList", "File not found"), code);
        return Fw::Error::fromErrno(QCoreApplication::translate("FileToList", "Cannot open the list file: "), code);
    }
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0) return Fw::Error::fromErrno(QCoreApplication::translate("FileToList", "Cannot read the list file: "), errno);
    if (!S_ISREG(opened.st_mode)) return Fw::Error::failed(QCoreApplication::translate("FileToList", "Not a regular file"));
    if (opened.st_size > kListFileLimitBytes) return Fw::Error::failed(LimitText());

    // The file may grow while it is read: the limit holds for what is read, not for the size seen.
    QByteArray bytes;
    bytes.resize(static_cast<qsizetype>(opened.st_size) + 1);
    qsizetype filled = 0;
    constexpr qsizetype kStep = 8 << 20;
    for (;;) {
        if (stop && stop->load()) return Fw::Error::cancelled();
        if (filled == bytes.size()) {
            if (filled > kListFileLimitBytes) return Fw::Error::failed(LimitText());
            bytes.resize(std::min<qsizetype>(filled * 2 + kStep, kListFileLimitBytes + 1));
        }
        const ssize_t n = ::read(fd.get(), bytes.data() + filled, static_cast<size_t>(std::min(kStep, bytes.size() - filled)));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fw::Error::fromErrno(QCoreApplication::translate("FileToList", "Cannot read the list file: "), errno);
        }
        if (n == 0) break;
        filled += n;
    }
    if (filled > kListFileLimitBytes) return Fw::Error::failed(LimitText());
    bytes.truncate(filled);
    return bytes;
}

std::string_view View(const QByteArray& bytes) {
    return std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}
}  // namespace

Fw::Result<QByteArray> ReadListFile(const QString& path, const std::atomic<bool>* stop) {
    Fw::Result<QByteArray> bytes = ReadBytes(path, stop);
    if (!bytes) return bytes;
    return DecodeListBytes(std::move(*bytes));
}

Fw::Result<QString> ReadWholeFile(const QString& path) {
    Fw::Result<QByteArray> text = ReadListFile(path);
    if (!text) {
        if (text.error().code == ENOENT || text.error().code == ENOTDIR) return QString();
        return text.error();
    }
    return QString::fromUtf8(*text);
}

Fw::Result<void> ReadListEntries(const QString& path, const EntrySink& sink, const std::atomic<bool>& stop,
                                 Main::NotAdded* notAdded) {
    Fw::Result<QByteArray> read = ReadListFile(path, &stop);
    if (!read) return read.error();
    const std::string_view text = View(*read);
    // Slices end at a line end, so each holds whole lines.
    constexpr std::size_t kSliceBytes = 256 * 1024;
    EntryBatch batch;
    std::size_t start = 0;
    while (start < text.size()) {
        if (stop) return Fw::Error::cancelled();
        std::size_t end = text.find('\n', std::min(start + kSliceBytes, text.size()));
        end = end == std::string_view::npos ? text.size() : end + 1;
        ForEachListEntry(text.substr(start, end - start), [&](std::string_view entry) {
            batch.add(entry);
            if (batch.full()) sink(std::exchange(batch, {}));
        }, notAdded);
        start = end;
    }
    if (!batch.empty()) sink(std::move(batch));
    return {};
}

}  // namespace FileToList
