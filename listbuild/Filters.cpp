#include "listbuild/Filters.h"

#include <algorithm>
#include <vector>

namespace Main {

namespace {
char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool IsAscii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

}  // namespace

ContainsIgnoringCase::ContainsIgnoringCase(const QString& needle) : needle_(needle) {
    ascii_ = true;
    for (QChar c : needle)
        if (c.unicode() >= 0x80) ascii_ = false;
    if (ascii_) {
        lowerAscii_ = needle.toLatin1().toStdString();
        std::transform(lowerAscii_.begin(), lowerAscii_.end(), lowerAscii_.begin(), LowerAscii);
    }
}

bool ContainsIgnoringCase::operator()(std::string_view hay) const {
    if (ascii_ && IsAscii(hay)) {
        const std::size_t m = lowerAscii_.size();
        if (m == 0) return true;
        if (hay.size() < m) return false;
        const char first = lowerAscii_[0];
        for (std::size_t i = 0; i + m <= hay.size(); ++i) {
            if (LowerAscii(hay[i]) != first) continue;
            std::size_t k = 1;
            while (k < m && LowerAscii(hay[i + k]) == lowerAscii_[k]) ++k;
            if (k == m) return true;
        }
        return false;
    }
    return QString::fromUtf8(hay.data(), static_cast<qsizetype>(hay.size())).contains(needle_, Qt::CaseInsensitive);
}

ListSnapshot ListSnapshot::Of(const UrlList& list) {
    ListSnapshot snapshot;
    const int n = list.count();
    snapshot.ends.reserve(static_cast<std::size_t>(n));
    snapshot.ids.reserve(static_cast<std::size_t>(n));
    std::size_t bytes = 0;
    for (int i = 1; i <= n; ++i) bytes += list.utf8At(i).size();
    snapshot.text.reserve(bytes);
    for (int i = 1; i <= n; ++i) {
        snapshot.text += list.utf8At(i);
        snapshot.ends.push_back(snapshot.text.size());
        snapshot.ids.push_back(list.idAt(i));
    }
    return snapshot;
}

RemovalSet::RemovalSet(const ListSnapshot& snapshot) {
    if (snapshot.ids.empty()) return;
    const auto [low, high] = std::minmax_element(snapshot.ids.begin(), snapshot.ids.end());
    first_ = *low;
    marked_.assign(std::size_t(*high - *low) + 1, false);
}

RemovalSet EntriesToRemove(const ListSnapshot& snapshot, const QString& text, bool removeMatches,
                           const std::atomic<bool>* stop) {
    const ContainsIgnoringCase contains(text);
    RemovalSet set(snapshot);
    std::size_t start = 0;
    for (std::size_t i = 0; i < snapshot.ends.size(); ++i) {
        if (stop && (i & 4095) == 0 && *stop) return {};
        const std::size_t end = snapshot.ends[i];
        if (contains(std::string_view(snapshot.text).substr(start, end - start)) == removeMatches) set.mark(snapshot.ids[i]);
        start = end;
    }
    return set;
}

qsizetype RemoveEntries(UrlList& list, const RemovalSet& set) {
    // removeIf asks about the entries in list order, before anything changes.
    int position = 0;
    return list.removeIf([&](std::string_view) { return set.contains(list.idAt(++position)); });
}

qsizetype RemoveEntriesContaining(UrlList& list, const QString& text) {
    const ListSnapshot snapshot = ListSnapshot::Of(list);
    return RemoveEntries(list, EntriesToRemove(snapshot, text, true));
}

qsizetype RemoveEntriesNotContaining(UrlList& list, const QString& text) {
    const ListSnapshot snapshot = ListSnapshot::Of(list);
    return RemoveEntries(list, EntriesToRemove(snapshot, text, false));
}

}  // namespace Main
