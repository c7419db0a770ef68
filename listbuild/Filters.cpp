#include "listbuild/Filters.h"

#include <QElapsedTimer>

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

qsizetype RemoveWhere(UrlList& list, const QString& text, bool removeMatches, const std::function<bool()>& keepGoing) {
    const ContainsIgnoringCase contains(text);
    // While the run breathes, other actions may append (harmless: the tested entries stay the
    // first n) or, in principle, remove entries; then the decisions are made afresh.
    bool disturbed = false;
    QMetaObject::Connection c1 = QObject::connect(&list, &UrlList::rowsRemoved, [&] { disturbed = true; });
    QMetaObject::Connection c2 = QObject::connect(&list, &UrlList::modelReset, [&] { disturbed = true; });
    struct Disconnect {
        QMetaObject::Connection &a, &b;
        ~Disconnect() { QObject::disconnect(a); QObject::disconnect(b); }
    } disconnect{c1, c2};

    std::vector<bool> remove;
    QElapsedTimer sinceYield;
    sinceYield.start();
    for (;;) {
        disturbed = false;
        const int n = list.count();
        remove.assign(static_cast<std::size_t>(n), false);
        int i = 1;
        for (; i <= n; ++i) {
            if (keepGoing && (i & 4095) == 0 && sinceYield.elapsed() >= 10) {
                if (!keepGoing()) return 0;
                sinceYield.restart();
                if (disturbed) break;
            }
            remove[static_cast<std::size_t>(i - 1)] = contains(list.utf8At(i)) == removeMatches;
        }
        if (i > n) break;
    }
    QObject::disconnect(c1);
    QObject::disconnect(c2);
    std::size_t index = 0;
    return list.removeIf([&](std::string_view) { return index < remove.size() && remove[index++]; });
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

qsizetype RemoveEntriesContaining(UrlList& list, const QString& text, const std::function<bool()>& keepGoing) {
    return RemoveWhere(list, text, true, keepGoing);
}

qsizetype RemoveEntriesNotContaining(UrlList& list, const QString& text, const std::function<bool()>& keepGoing) {
    return RemoveWhere(list, text, false, keepGoing);
}

}  // namespace Main
