#pragma once
// Small pieces shared by the files the program keeps in its state folder (the records of
// unfinished runs and of kept partials). Not for use outside download/.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <optional>

#include <sys/stat.h>

#include "download/UnfinishedWork.h"
#include "support/UniqueFd.h"

namespace Download::StateFiles {

qint64 nowMs(const Clock& clock);
bool sameFile(const struct stat& a, const struct stat& b);
QByteArray randomHex(int length);
bool isHex(const char* text, int length);
// One line per field: the few characters that would break a line are escaped.
QByteArray escape(const QString& text);
std::optional<QString> unescape(QByteArrayView line);

// Reads a text of lines from the front.
class Lines {
public:
    explicit Lines(const QByteArray& data) : data_(data) {}
    std::optional<QByteArrayView> next() {
        if (at_ >= data_.size()) return std::nullopt;
        const qsizetype end = data_.indexOf('\n', at_);
        if (end < 0) return std::nullopt;  // a last line without its end was cut off
        QByteArrayView line(data_.constData() + at_, end - at_);
        at_ = end + 1;
        return line;
    }
    // "name value" with that name: the value.
    std::optional<QByteArrayView> field(const char* name) {
        const auto line = next();
        const QByteArrayView prefix(name);
        if (!line || !line->startsWith(prefix) || line->size() <= prefix.size() || (*line)[prefix.size()] != ' ')
            return std::nullopt;
        return line->sliced(prefix.size() + 1);
    }
    std::optional<qint64> number(const char* name) {
        const auto value = field(name);
        bool ok = false;
        const qint64 n = value ? value->toByteArray().toLongLong(&ok) : 0;
        return ok ? std::optional<qint64>(n) : std::nullopt;
    }
    std::optional<QString> text(const char* name) {
        const auto value = field(name);
        return value ? unescape(*value) : std::nullopt;
    }
    bool atEnd() const { return at_ == data_.size(); }

private:
    const QByteArray& data_;
    qsizetype at_ = 0;
};

// The whole of a regular file of at most `limit` bytes, read through `fd`; nothing when it is
// bigger (or grows past the limit while being read) or cannot be read.
std::optional<QByteArray> readBounded(int fd, qint64 limit);
bool writeAll(int fd, const QByteArray& data);
Fw::UniqueFd openFolder(const QString& path);
// Writes `data` as `name` in the folder, whole or not at all: a new temporary there, flushed,
// then renamed over the old file, and the folder flushed. The temporary's descriptor is handed
// back (still open) when `keep` is given, with whatever lock `prepare` took on it.
bool replaceWhole(int dirFd, const QByteArray& tempName, const QByteArray& name, const QByteArray& data,
                  const std::function<bool(int)>& prepare = {}, Fw::UniqueFd* keep = nullptr);

}  // namespace Download::StateFiles
