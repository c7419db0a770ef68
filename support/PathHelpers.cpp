#include "support/PathHelpers.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

namespace Main {

bool FileOrFolderExists(const QString& path) {
    if (path.isEmpty()) return false;
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool FolderExists(const QString& path) {
    if (path.isEmpty()) return false;
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

QString LastPathComponent(const QString& text, QChar separator) {
    const qsizetype p = text.lastIndexOf(separator);
    return p < 0 ? text : text.mid(p + 1);
}

namespace {
QString CollapsePairs(QStringView text, QChar separator) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        out.append(text[i]);
        if (text[i] == separator && i + 1 < text.size() && text[i + 1] == separator) ++i;
    }
    return out;
}
}  // namespace

QString CollapseDoubleBackslashes(const QString& path, QChar separator) {
    if (path.isEmpty() || path.front() != separator) return CollapsePairs(path, separator);
    qsizetype m = 0;
    while (m < path.size() && path[m] == separator) ++m;
    const QString prefix = separator == QLatin1Char('\\') ? QStringLiteral("\\\\") : QString(separator);
    return prefix + CollapsePairs(QStringView(path).mid(m), separator);
}

QString NearestExistingFolder(const QString& path) {
    if (!path.startsWith(kNativeSeparator)) return {};
    if (FolderExists(path)) return path;  // as written, trailing separator and all
    QString folder = QDir::cleanPath(path);
    while (!FolderExists(folder)) {
        const qsizetype up = folder.lastIndexOf(kNativeSeparator);
        if (up <= 0) return QString(kNativeSeparator);
        folder.truncate(up);
    }
    return folder;
}

QString ListFolder(const QString& lastUsed, const QString& documents, const QString& home) {
    for (const QString& folder : {lastUsed, documents})
        if (FolderExists(folder)) return folder;
    return home;
}

QString ExpandHomeFolder(const QString& folderText) { return ExpandHomeFolder(folderText, QDir::homePath()); }

QString ExpandHomeFolder(const QString& folderText, const QString& homeFolder) {
    if (!folderText.startsWith(QLatin1Char('~'))) return folderText;
    if (folderText.size() > 1 && folderText[1] != kNativeSeparator) return folderText;
    // "~/x" under the home "/" is "/x", not "//x".
    QString home = homeFolder;
    while (home.size() > 1 && home.endsWith(kNativeSeparator)) home.chop(1);
    if (folderText.size() == 1) return home;
    return home == QString(kNativeSeparator) ? folderText.mid(1) : home + folderText.mid(1);
}

}  // namespace Main
