#pragma once
// Checksum files a run's list holds (SHA256SUMS, SHA512SUMS, MD5SUMS, x.iso.sha256, …): fetched
// before the run's items begin, read, and their digests applied by name to the items of the same
// folder on the same server. A file that cannot be fetched or read is named and ignored.
#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

#include "download/Checksum.h"
#include "support/Result.h"

namespace Download {
class Engine;
struct RequestOptions;
}  // namespace Download

namespace Download::Checksum {

// Larger checksum files are ignored: real ones list a few thousand files at most.
inline constexpr qint64 kChecksumFileLimitBytes = 8LL << 20;
inline constexpr qsizetype kMostNames = 100000;  // "more than 100,000 names"

// The kind of digest an address's file name says its checksum file holds: SHA256SUMS and
// *.sha256 SHA-256, SHA512SUMS and *.sha512 SHA-512, MD5SUMS and *.md5 MD5 (case ignored);
// nothing for any other name.
std::optional<Kind> ChecksumFileKind(const QString& fileName);
// A quick look at a list entry's text before it is parsed: could it name a checksum file?
bool MayBeChecksumFile(const QString& entryText);

struct Entry {
    QString name;
    Digest digest;
};
// What a checksum file of `kind` named `fileName` says: lines "<hex>  <name>", "<hex> *<name>",
// the BSD form "SHA256 (<name>) = <hex>", and, in a file named after one file ("x.iso.sha256"), a
// line of the digest alone. Blank lines and "#" comments are skipped; names with a "/" or "\"
// (another folder), "." and ".." are left out. The reason, with its line, for a file that is no
// such file: binary, a digest of the wrong length, a line of another form, more than kMostNames
// names, or larger than kChecksumFileLimitBytes.
Fw::Result<std::vector<Entry>> ParseChecksumFile(QByteArrayView bytes, Kind kind, const QString& fileName);

// An address's folder on its server ("https://host:8443/pub/iso/") and its file name as naming
// decodes it; false for what is no web address or names no file.
bool FolderAndName(const QString& url, QString& folder, QString& name);

// The digests of a run's checksum files, by folder and name; safe to read from any thread once
// filled.
class Book {
public:
    // The digests of the checksum file at `url` apply to its folder. Of two digests for one file
    // the stronger kind is kept.
    void add(const QString& url, const std::vector<Entry>& entries);
    bool empty() const { return digests_.isEmpty(); }
    struct Found {
        Digest digest;
        QString source;  // the checksum file's name
    };
    std::optional<Found> find(const QString& url) const;

private:
    QHash<QString, Found> digests_;  // folder + "\n" + name
};

struct Prepared {
    std::shared_ptr<const Book> book;
    QStringList problems;  // "SHA256SUMS was ignored: line 3: …", one a file
};
// Fetches every checksum file among `urls` through `engine` (blocking; one at a time, each at
// most kChecksumFileLimitBytes) and reads it. Stops early when `engine` is cancelled.
Prepared FetchChecksumFiles(Engine& engine, const QStringList& urls);

}  // namespace Download::Checksum
