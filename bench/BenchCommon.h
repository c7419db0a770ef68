#pragma once
// Small helpers shared by the benchmarks.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/Dialogs.h"

namespace Bench {

inline long StatusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    return -1;
}

// Resets the peak resident size, so that a later VmHWM covers only what follows.
inline void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// Runs a shell command and returns its wall time in ms; its first output line goes to `out`.
inline double TimeShell(const std::string& command, std::string* out = nullptr) {
    QElapsedTimer t;
    t.start();
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return -1;
    char buf[256] = {0};
    std::string first;
    while (std::fgets(buf, sizeof buf, p))
        if (first.empty()) first = buf;
    ::pclose(p);
    const double ms = t.nsecsElapsed() / 1e6;
    while (!first.empty() && (first.back() == '\n' || first.back() == '\r')) first.pop_back();
    if (out) *out = first;
    return ms;
}

// Writes `count` lines, line(i) for each i, to `name` in `dir`, a megabyte at a time.
// Returns the file's path, or an empty text when it cannot be written.
template <class MakeLine>
QString WriteLines(const QTemporaryDir& dir, const QString& name, long long count, MakeLine line) {
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return {};
    std::string chunk;
    for (long long i = 0; i < count; ++i) {
        chunk += line(i);
        if (chunk.size() > (1 << 20)) {
            f.write(chunk.data(), static_cast<qint64>(chunk.size()));
            chunk.clear();
        }
    }
    f.write(chunk.data(), static_cast<qint64>(chunk.size()));
    return path;
}

// A dialog service that answers nothing and shows nothing; messages are kept and echoed to
// standard error.
class SilentDialogs : public Dialogs::DialogService {
public:
    QStringList messages;
    int messageBox(const QString& text, int, const QString&) override {
        messages << text;
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
        return Dialogs::Ok;
    }
    QString inputBox(const QString&, const QString&, const QString&) override { return {}; }
    QStringList openFiles(const QString&, const QStringList&, const QString&) override { return {}; }
    QString browseForFolder(const QString&, const QString&) override { return {}; }
    void openUrl(const QString&) override {}
};

}  // namespace Bench
