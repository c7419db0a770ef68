#pragma once
// Which file of the output folder a URL is stored in: the URL's last segment inside the
// folder, numbered " (n)" when that name is taken. The text helpers take the separator as a
// parameter, so that Windows-style texts ("C:\Out\pic.jpg") and native paths work alike.
#include <QHash>
#include <QSet>
#include <QString>

#include <functional>
#include <mutex>

#include "support/PathHelpers.h"

namespace Main {

// Remembers, for one run, the first number not yet handed out for each base path, so that
// many URLs with the same last segment do not probe ever longer runs of taken names. A name
// handed out counts as taken until it is given back (its download failed), also for another
// base whose own name it is ("a (1).jpg"), since its file may still be on the way to disk. Gaps
// present when the run starts are still found, since every base starts at 1. Safe to share
// between threads; two searches that race may hand out the same name, which the publishing
// (never replacing) resolves.
class NameMemo {
public:
    void clear();
    // The number to try first for this base path; 0 means the base path itself.
    int firstToTry(const QString& base) const;
    // `name`, number `number` of `base` (0 for the base path itself), was handed out.
    void handedOut(const QString& base, int number, const QString& name);
    // Was `name` handed out in this run and not given back?
    bool isHandedOut(const QString& name) const;
    // `name`, handed out for `base`, was not used after all.
    void givenBack(const QString& base, const QString& name);

private:
    struct Entry {
        int next = 0;
        int lastGiven = -1;
        QString lastName;
    };
    mutable std::mutex lock_;
    QHash<QString, Entry> next_;
    QSet<QString> given_;
};

struct NamingContext {
    QChar separator = kNativeSeparator;
    // Is a name taken? The file system's answer unless a test says otherwise.
    std::function<bool(const QString&)> exists = FileOrFolderExists;
    NameMemo* memo = nullptr;
};

// The base target path: the output folder, one separator, and the last segment of the URL
// without its fragment ("/" and "\" both split). No file is touched.
QString BuildTargetPath(const QString& url, const QString& folder, QChar separator = kNativeSeparator);

// The file name of a path: the text after its last separator.
QString FileNameOf(const QString& path, QChar separator = kNativeSeparator);

// The extension split looks at the file name only: a name with a "." at its second character or
// later splits at its last dot. StripExtension gives the path before that dot (the whole path
// when the name has none), GetExtension the text after it (empty when none).
QString StripExtension(const QString& path, QChar separator = kNativeSeparator);
QString GetExtension(const QString& path, QChar separator = kNativeSeparator);

// The longest file name a file system takes, in bytes.
inline constexpr int kMaxNameBytes = 255;
// The length of a text in UTF-8, and its longest start of at most `budget` UTF-8 bytes (whole
// characters only).
int Utf8Length(const QString& text);
QString Utf8Prefix(const QString& text, int budget);

// Where the number of a taken name goes: the dot of the file name's extension (a compound
// archive extension counts as one), -1 when the name has none.
qsizetype NumberingDot(const QString& path, QChar separator = kNativeSeparator);

// Candidate number n of a base path: "dir/name (n).ext", or "dir/name (n)" for a name without
// an extension ("README", ".bashrc"). A compound archive extension stays whole:
// "dir/name (n).tar.gz" (likewise .tar.bz2, .tar.xz, .tar.zst, .tar.lz, .tar.Z). The file name
// stays within kMaxNameBytes: a name that is already as long as that loses the end of its stem
// to the number ("very…long (1).jpg"); when the extension leaves no room for any stem, the
// number follows the name cut short.
QString NumberedCandidate(const QString& path, int n, QChar separator = kNativeSeparator);

// Is the file name one that can never be stored ("", ".", "..")?
bool IsUnusableFileName(const QString& name);

// The base path when it is free, else the first free numbered candidate. A base path whose
// file name is unusable is given back unchanged.
QString NextFreeName(const QString& path, const NamingContext& context = {});

}  // namespace Main
