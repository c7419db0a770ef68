#include "download/TargetNaming.h"

#include <climits>

namespace Main {

void NameMemo::clear() {
    std::lock_guard<std::mutex> hold(lock_);
    next_.clear();
    given_.clear();
}

int NameMemo::firstToTry(const QString& base) const {
    std::lock_guard<std::mutex> hold(lock_);
    return next_.value(base).next;
}

void NameMemo::handedOut(const QString& base, int number, const QString& name) {
    std::lock_guard<std::mutex> hold(lock_);
    Entry& e = next_[base];
    if (number + 1 > e.next) e.next = number + 1;
    e.lastGiven = number;
    e.lastName = name;
    given_.insert(name);
}

bool NameMemo::isHandedOut(const QString& name) const {
    std::lock_guard<std::mutex> hold(lock_);
    return given_.contains(name);
}

void NameMemo::givenBack(const QString& base, const QString& name) {
    std::lock_guard<std::mutex> hold(lock_);
    given_.remove(name);
    auto it = next_.find(base);
    if (it == next_.end() || it->lastGiven < 0 || it->lastName != name) return;
    if (it->next == it->lastGiven + 1) it->next = it->lastGiven;
    it->lastGiven = -1;
    it->lastName.clear();
}

QString BuildTargetPath(const QString& url, const QString& folder, QChar separator) {
    // The fragment stays with the browser: libcurl never sends it, so it names nothing.
    QString text = url.left(url.indexOf(QLatin1Char('#')));
    text.replace(QLatin1Char('/'), separator);
    text.replace(QLatin1Char('\\'), separator);
    const QString name = LastPathComponent(text, separator);
    return CollapseDoubleBackslashes(folder + separator + name, separator);
}

QString FileNameOf(const QString& path, QChar separator) { return LastPathComponent(path, separator); }

namespace {
// Index of the extension dot, or -1 when the file name has no dot at its second character or later.
qsizetype extensionDot(const QString& path, QChar separator) {
    const qsizetype nameStart = path.lastIndexOf(separator) + 1;
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    return dot >= nameStart + 1 ? dot : -1;
}
}  // namespace

QString StripExtension(const QString& path, QChar separator) {
    const qsizetype dot = extensionDot(path, separator);
    return dot < 0 ? path : path.left(dot);
}

QString GetExtension(const QString& path, QChar separator) {
    const qsizetype dot = extensionDot(path, separator);
    return dot < 0 ? QString() : path.mid(dot + 1);
}

namespace {
// Archive extensions that are one to the user: "file.tar.gz" is numbered "file (1).tar.gz".
const char* const kCompoundExtensions[] = {".tar.gz", ".tar.bz2", ".tar.xz", ".tar.zst", ".tar.lz", ".tar.Z"};

int utf8Bytes(char16_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : 3; }

QString withoutTrailingBlanks(QString text) {
    qsizetype end = text.size();
    while (end > 0 && text[end - 1].isSpace()) --end;
    text.truncate(end);
    return text;
}
}  // namespace

int Utf8Length(const QString& text) {
    int total = 0;
    for (qsizetype i = 0; i < text.size(); ++i) total += text[i].isSurrogate() ? 2 : utf8Bytes(text[i].unicode());
    return total;
}

QString Utf8Prefix(const QString& text, int budget) {
    qsizetype i = 0;
    int used = 0;
    while (i < text.size()) {
        const bool pair = text[i].isHighSurrogate() && i + 1 < text.size();
        const int bytes = pair ? 4 : utf8Bytes(text[i].unicode());
        if (used + bytes > budget) break;
        used += bytes;
        i += pair ? 2 : 1;
    }
    return text.left(i);
}

qsizetype NumberingDot(const QString& path, QChar separator) {
    const qsizetype nameStart = path.lastIndexOf(separator) + 1;
    for (const char* extension : kCompoundExtensions) {
        const QLatin1String ext(extension);
        if (path.endsWith(ext, Qt::CaseInsensitive) && path.size() - ext.size() >= nameStart + 1)
            return path.size() - ext.size();
    }
    return extensionDot(path, separator);
}

QString NumberedCandidate(const QString& path, int n, QChar separator) {
    const qsizetype nameStart = path.lastIndexOf(separator) + 1;
    const qsizetype dot = NumberingDot(path, separator);
    const QString number = QLatin1String(" (") + QString::number(n) + QLatin1Char(')');
    QString stem = path.mid(nameStart, (dot < 0 ? path.size() : dot) - nameStart);
    QString extension = dot < 0 ? QString() : path.mid(dot);
    if (Utf8Length(stem) + Utf8Length(number) + Utf8Length(extension) > kMaxNameBytes) {
        stem = withoutTrailingBlanks(Utf8Prefix(stem, kMaxNameBytes - Utf8Length(number) - Utf8Length(extension)));
        if (stem.isEmpty()) {
            stem = withoutTrailingBlanks(Utf8Prefix(path.mid(nameStart), kMaxNameBytes - Utf8Length(number)));
            extension.clear();
        }
    }
    return path.left(nameStart) + stem + number + extension;
}

bool IsUnusableFileName(const QString& name) {
    return name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..");
}

QString NextFreeName(const QString& path, const NamingContext& context) {
    const QChar sep = context.separator;
    if (IsUnusableFileName(FileNameOf(path, sep))) return path;
    const int first = context.memo ? context.memo->firstToTry(path) : 0;
    QString candidate = first == 0 ? path : NumberedCandidate(path, first, sep);
    int n = first + 1;
    while (n < INT_MAX && ((context.memo && context.memo->isHandedOut(candidate)) || context.exists(candidate)))
        candidate = NumberedCandidate(path, n++, sep);
    if (context.memo) context.memo->handedOut(path, n - 1, candidate);
    return candidate;
}

}  // namespace Main
