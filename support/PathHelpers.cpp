#include "support/PathHelpers.h"

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

}  // namespace Main
