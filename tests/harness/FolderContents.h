#pragma once
// What a test folder holds, hidden entries included.
#include <QDir>
#include <QFile>
#include <QStringList>

inline QStringList entriesOf(const QString& folder) {
    QStringList names =
        QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    names.sort();
    return names;
}

inline QByteArray contentOf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
