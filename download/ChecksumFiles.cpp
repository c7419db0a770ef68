#include "download/ChecksumFiles.h"

#include <QCoreApplication>
#include <QStringDecoder>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "download/Address.h"
#include "download/DownloadEngine.h"
#include "download/FileNaming.h"
#include "support/UniqueFd.h"
#include "support/WebUrl.h"

namespace Download::Checksum {

namespace {
bool IsHex(char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

const struct {
    const char* ending;
    Kind kind;
} kEndings[] = {{".sha256", Kind::Sha256}, {".sha512", Kind::Sha512}, {".md5", Kind::Md5}};

// "x.iso" for "x.iso.sha256": the one file a single-file checksum file is about.
QString SubjectOf(const QString& fileName) {
    for (const auto& e : kEndings)
        if (fileName.endsWith(QLatin1String(e.ending), Qt::CaseInsensitive))
            return fileName.left(fileName.size() - qsizetype(qstrlen(e.ending)));
    return {};
}

std::optional<Kind> BsdKind(QByteArrayView word) {
    if (word.compare("SHA256", Qt::CaseInsensitive) == 0) return Kind::Sha256;
    if (word.compare("SHA512", Qt::CaseInsensitive) == 0) return Kind::Sha512;
    if (word.compare("MD5", Qt::CaseInsensitive) == 0) return Kind::Md5;
    return std::nullopt;
}

// sha256sum writes a name with a line break or "\" in it escaped, the line then starting with "\".
QByteArray Unescaped(QByteArrayView name) {
    QByteArray out;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 1 < name.size()) {
            ++i;
            out += name[i] == 'n' ? '\n' : name[i] == 'r' ? '\r' : name[i];
        } else {
            out += name[i];
        }
    }
    return out;
}

// A name of this folder: one component, not "." or "..", nothing that leads elsewhere.
bool IsOwnName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") && !name.contains(QLatin1Char('/')) &&
           !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0)) && !name.contains(QLatin1Char('\n'));
}
}  // namespace

std::optional<Kind> ChecksumFileKind(const QString& fileName) {
    if (fileName.compare(QLatin1String("SHA256SUMS"), Qt::CaseInsensitive) == 0) return Kind::Sha256;
    if (fileName.compare(QLatin1String("SHA512SUMS"), Qt::CaseInsensitive) == 0) return Kind::Sha512;
    if (fileName.compare(QLatin1String("MD5SUMS"), Qt::CaseInsensitive) == 0) return Kind::Md5;
    for (const auto& e : kEndings)
        if (fileName.size() > qsizetype(qstrlen(e.ending)) && fileName.endsWith(QLatin1String(e.ending), Qt::CaseInsensitive))
            return e.kind;
    return std::nullopt;
}

bool MayBeChecksumFile(const QString& entryText) {
    const QStringView text = QStringView(entryText).trimmed();
    // Every ending below ends in one of these: a long list's Start looks at each entry.
    const char16_t last = text.isEmpty() ? u'\0' : text.back().toLower().unicode();
    if (last != u's' && last != u'6' && last != u'2' && last != u'5') return false;
    for (const char* ending : {"SUMS", ".sha256", ".sha512", ".md5"})
        if (text.endsWith(QLatin1String(ending), Qt::CaseInsensitive)) return true;
    return false;
}

Fw::Result<std::vector<Entry>> ParseChecksumFile(QByteArrayView bytes, Kind kind, const QString& fileName) {
    if (bytes.size() > kChecksumFileLimitBytes)
        return Fw::Error::failed(QCoreApplication::translate("ChecksumFiles", "larger than %1 MB").arg(kChecksumFileLimitBytes >> 20));
    if (bytes.contains('\0')) return Fw::Error::failed(QCoreApplication::translate("ChecksumFiles", "not a text file"));
    {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        (void)QString(utf8.decode(bytes));
        if (utf8.hasError()) return Fw::Error::failed(QCoreApplication::translate("ChecksumFiles", "not a text file"));
    }
    const QString subject = SubjectOf(fileName);
    std::vector<Entry> entries;
    qsizetype at = 0;
    int lineNumber = 0;
    while (at < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', at);
        if (end < 0) end = bytes.size();
        QByteArrayView line = bytes.sliced(at, end - at);
        at = end + 1;
        ++lineNumber;
        if (line.endsWith('\r')) line.chop(1);
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith('#')) continue;
        const auto bad = [&](const QString& why) { return Fw::Error::failed(QCoreApplication::translate("ChecksumFiles", "line %1: %2").arg(lineNumber).arg(why)); };
        if (qsizetype(entries.size()) >= kMostNames) return Fw::Error::failed(QCoreApplication::translate("ChecksumFiles", "more than 100,000 names"));

        Entry entry;
        entry.digest.kind = kind;
        QByteArrayView hex, name;
        bool escaped = false;
        const qsizetype open = line.indexOf(" (");
        const qsizetype close = line.lastIndexOf(") = ");
        if (!line.isEmpty() && !IsHex(line[0]) && line[0] != '\\' && open > 0 && close > open) {
            // SHA256 (name) = hex
            const std::optional<Kind> bsd = BsdKind(line.first(open));
            if (!bsd) return bad(QCoreApplication::translate("ChecksumFiles", "a digest of a kind this program does not check"));
            entry.digest.kind = *bsd;
            name = line.sliced(open + 2, close - open - 2);
            hex = line.sliced(close + 4);
        } else {
            if (line.startsWith('\\')) {
                escaped = true;
                line = line.sliced(1);
            }
            qsizetype h = 0;
            while (h < line.size() && IsHex(line[h])) ++h;
            hex = line.first(h);
            if (h == line.size()) {
                // The digest alone names the one file this checksum file is about.
                if (subject.isEmpty()) return bad(QCoreApplication::translate("ChecksumFiles", "a digest without a name"));
            } else {
                if (h == 0 || line[h] != ' ' || h + 1 >= line.size()) return bad(QCoreApplication::translate("ChecksumFiles", "not a digest and a name"));
                qsizetype n = h + 1;
                if (line[n] == ' ' || line[n] == '*') ++n;
                name = line.sliced(n);
            }
        }
        for (const char c : hex)
            if (!IsHex(c)) return bad(QCoreApplication::translate("ChecksumFiles", "not a hex digit in the digest"));
        if (hex.size() != HexLength(entry.digest.kind))
            return bad(QCoreApplication::translate("ChecksumFiles", "%1 hex digits where %2 belong").arg(hex.size()).arg(HexLength(entry.digest.kind)));
        entry.digest.hex = hex.toByteArray().toLower();
        entry.name = name.isNull() ? subject : QString::fromUtf8(escaped ? Unescaped(name) : name.toByteArray());
        if (entry.name.startsWith(QLatin1String("./"))) entry.name.remove(0, 2);
        // A name in another folder applies to nothing here.
        if (!IsOwnName(entry.name)) continue;
        entries.push_back(std::move(entry));
    }
    if (entries.empty()) return Fw::Error::failed(QCoreApplication::translate("ChecksumFiles", "no digest of a file of this folder"));
    return entries;
}

bool FolderAndName(const QString& url, QString& folder, QString& name) {
    const QByteArray text = FetchAddress(url).toUtf8();
    WebUrl::Url parsed;
    if (!WebUrl::Parse(std::string_view(text.constData(), std::size_t(text.size())), nullptr, parsed)) return false;
    const std::string_view href(parsed.href);
    const std::string_view path = href.substr(parsed.pathStart, std::min(parsed.queryStart, parsed.fragmentStart) - parsed.pathStart);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash + 1 == path.size()) return false;
    // Credentials are no part of where a file lies.
    std::string key(href.substr(0, parsed.schemeEnd));
    key += "://";
    key += href.substr(parsed.hostStart, parsed.pathStart - parsed.hostStart);
    key += path.substr(0, slash + 1);
    folder = QString::fromStdString(key);
    name = AddressFileName(url);
    return !name.isEmpty();
}

void Book::add(const QString& url, const std::vector<Entry>& entries) {
    QString folder, source;
    if (!FolderAndName(url, folder, source)) return;
    for (const Entry& entry : entries) {
        const QString key = folder + QLatin1Char('\n') + entry.name;
        const auto it = digests_.constFind(key);
        if (it != digests_.cend() && HexLength(it->digest.kind) >= HexLength(entry.digest.kind)) continue;
        digests_.insert(key, Found{entry.digest, source});
    }
}

std::optional<Book::Found> Book::find(const QString& url) const {
    if (digests_.isEmpty()) return std::nullopt;
    QString folder, name;
    if (!FolderAndName(url, folder, name)) return std::nullopt;
    const auto it = digests_.constFind(folder + QLatin1Char('\n') + name);
    if (it == digests_.cend()) return std::nullopt;
    return *it;
}

namespace {
// A memory file that cannot grow past the limit (and one byte, to tell a file of exactly the
// limit from a larger one): a longer answer fails its write there.
Fw::Result<Fw::UniqueFd> MakeLimitedFile() {
    Fw::UniqueFd fd(::memfd_create("fetchwright-checksums", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd || ::ftruncate(fd.get(), kChecksumFileLimitBytes + 1) != 0 ||
        ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0)
        return Fw::Error::fromErrno(QCoreApplication::translate("ChecksumFiles", "Cannot make a memory file: "), errno);
    return fd;
}

Fw::Result<QByteArray> FetchOne(Engine& engine, const QString& url) {
    Fw::Result<Fw::UniqueFd> file = MakeLimitedFile();
    if (!file) return file.error();
    const Fw::Result<TransferInfo> fetched = engine.fetchInto(url, file->get());
    if (!fetched) {
        if (!fetched.error().isCancelled() && ::lseek(file->get(), 0, SEEK_CUR) >= kChecksumFileLimitBytes)
            return Fw::Error::failed(QCoreApplication::translate("ChecksumFiles", "larger than %1 MB").arg(kChecksumFileLimitBytes >> 20));
        return fetched.error();
    }
    if (fetched->bytes > kChecksumFileLimitBytes)
        return Fw::Error::failed(QCoreApplication::translate("ChecksumFiles", "larger than %1 MB").arg(kChecksumFileLimitBytes >> 20));
    QByteArray bytes(qsizetype(fetched->bytes), Qt::Uninitialized);
    qint64 at = 0;
    while (at < fetched->bytes) {
        const ssize_t n = ::pread(file->get(), bytes.data() + at, std::size_t(fetched->bytes - at), off_t(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Fw::Error::fromErrno(QCoreApplication::translate("ChecksumFiles", "Cannot read it: "), errno);
        at += n;
    }
    return bytes;
}
}  // namespace

Prepared FetchChecksumFiles(Engine& engine, const QStringList& urls) {
    auto book = std::make_shared<Book>();
    Prepared prepared;
    for (const QString& url : urls) {
        if (engine.isCancelled()) break;
        QString folder, name;
        if (!FolderAndName(url, folder, name)) continue;
        const std::optional<Kind> kind = ChecksumFileKind(name);
        if (!kind) continue;
        const auto ignored = [&](const QString& why) {
            prepared.problems << QCoreApplication::translate("ChecksumFiles", "%1 was ignored: %2").arg(DisplayAddress(FetchAddress(url)), why);
        };
        const Fw::Result<QByteArray> bytes = FetchOne(engine, FetchAddress(url));
        if (!bytes) {
            if (!bytes.error().isCancelled()) ignored(bytes.error().text);
            continue;
        }
        const Fw::Result<std::vector<Entry>> entries = ParseChecksumFile(*bytes, *kind, name);
        if (!entries) {
            ignored(entries.error().text);
            continue;
        }
        book->add(url, *entries);
    }
    prepared.book = std::move(book);
    return prepared;
}

}  // namespace Download::Checksum
