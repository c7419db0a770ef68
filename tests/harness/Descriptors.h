#pragma once
// How many file descriptors this test program holds open now.
#include <QDir>
#include <QString>

inline int openDescriptors() {
    return static_cast<int>(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}
