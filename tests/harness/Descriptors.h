#pragma once
// How many file descriptors this test program holds open now.
#include <QDir>
#include <QFile>
#include <QString>

inline int openDescriptors() {
    return static_cast<int>(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}

// How many of them are files without a name made in `folder` (O_TMPFILE), given by its canonical
// path: the kernel shows each as "folder/#inode (deleted)".
inline int namelessFilesIn(const QString& folder) {
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        if (target.startsWith(folder + QStringLiteral("/#")) && target.endsWith(QStringLiteral(" (deleted)"))) ++count;
    }
    return count;
}
