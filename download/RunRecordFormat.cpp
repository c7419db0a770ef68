#include "download/RunRecordFormat.h"
#include "download/StateFiles.h"

#include <vector>

namespace Download::RunRecordFormat {

namespace {
using namespace StateFiles;

constexpr char kFirstMagic[] = "Fetchwright unfinished run 1";
constexpr char kMagic[] = "Fetchwright unfinished run 2";

// The first form: the whole list of entries not stored, after a count.
std::optional<std::pair<UnfinishedRun, qint64>> parseFirst(const QByteArray& data) {
    Lines lines(data);
    lines.next();
    const auto saved = lines.number("saved");
    const auto folder = lines.text("folder");
    const auto count = lines.number("entries");
    // Each entry takes a line of at least one byte: a count beyond that is a lie.
    if (!saved || !folder || !count || *count < 0 || *count > data.size()) return std::nullopt;
    UnfinishedRun run;
    run.folder = *folder;
    run.entries.reserve(qsizetype(*count));
    for (qint64 i = 0; i < *count; ++i) {
        const auto line = lines.next();
        const auto entry = line ? unescape(*line) : std::nullopt;
        if (!entry || entry->isEmpty()) return std::nullopt;
        run.entries.append(*entry);
    }
    if (!lines.atEnd()) return std::nullopt;
    return std::make_pair(std::move(run), *saved);
}
}  // namespace

QByteArray head(const QString& folder) { return QByteArray(kMagic) + "\nfolder " + escape(folder) + '\n'; }
QByteArray savedLine(qint64 savedAt) { return "t " + QByteArray::number(savedAt) + '\n'; }
QByteArray storedLine(int number) { return "s " + QByteArray::number(number) + '\n'; }

QByteArray entryLines(const QString& entry, const QString& page) {
    QByteArray out = "a " + escape(entry) + '\n';
    if (!page.isEmpty()) out += "p " + escape(page) + '\n';
    return out;
}

QByteArray whole(const UnfinishedRun& run, qint64 savedAt) {
    qsizetype size = 128 + run.folder.size() * 3;
    for (const QString& entry : run.entries) size += entry.size() + 3;
    QByteArray out;
    out.reserve(size);
    out += head(run.folder);
    for (qsizetype i = 0; i < run.entries.size(); ++i)
        out += entryLines(run.entries[i], i < run.pages.size() ? run.pages[i] : QString());
    out += savedLine(savedAt);
    return out;
}

std::optional<std::pair<UnfinishedRun, qint64>> parse(const QByteArray& data) {
    Lines lines(data);
    const auto magic = lines.next();
    if (magic && *magic == QByteArrayView(kFirstMagic)) return parseFirst(data);
    if (!magic || *magic != QByteArrayView(kMagic)) return std::nullopt;
    const auto folder = lines.text("folder");
    if (!folder) return std::nullopt;
    std::vector<QString> entries, pages;
    std::vector<bool> stored;
    std::optional<qint64> savedAt;
    // A line without its end (a write cut off) ends the record there.
    while (const auto line = lines.next()) {
        if (line->size() < 2 || (*line)[1] != ' ') return std::nullopt;
        const QByteArrayView value = line->sliced(2);
        switch ((*line)[0]) {
        case 'a': {
            const auto entry = unescape(value);
            if (!entry || entry->isEmpty()) return std::nullopt;
            entries.push_back(*entry);
            pages.emplace_back();
            stored.push_back(false);
            break;
        }
        case 'p': {
            const auto page = unescape(value);
            if (!page || entries.empty() || !pages.back().isEmpty()) return std::nullopt;
            pages.back() = *page;
            break;
        }
        case 's': {
            bool ok = false;
            const qint64 n = value.toByteArray().toLongLong(&ok);
            if (!ok || n < 0 || n >= qint64(entries.size())) return std::nullopt;
            stored[std::size_t(n)] = true;
            break;
        }
        case 't': {
            bool ok = false;
            savedAt = value.toByteArray().toLongLong(&ok);
            if (!ok) return std::nullopt;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    if (!savedAt) return std::nullopt;
    UnfinishedRun run;
    run.folder = *folder;
    bool anyPage = false;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (stored[i]) continue;
        run.entries.append(std::move(entries[i]));
        run.pages.append(std::move(pages[i]));
        anyPage = anyPage || !run.pages.back().isEmpty();
    }
    if (!anyPage) run.pages.clear();
    return std::make_pair(std::move(run), *savedAt);
}

}  // namespace Download::RunRecordFormat
