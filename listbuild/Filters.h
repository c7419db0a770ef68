#pragma once
// Pruning the list by a text: case-insensitive plain substring, the text used as typed.
#include <QString>

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "urllist/UrlList.h"

namespace Main {

// A test "does this entry's UTF-8 text contain the needle, ignoring case".
class ContainsIgnoringCase {
public:
    explicit ContainsIgnoringCase(const QString& needle);
    bool operator()(std::string_view utf8) const;
private:
    QString needle_;
    std::string lowerAscii_;  // the needle lower-cased, when it is ASCII
    bool ascii_ = false;
};

// A copy of the list's entries (texts and ids) that a job off the window thread can read while
// the list goes on changing.
struct ListSnapshot {
    std::string text;  // UTF-8, one entry after another
    std::vector<std::size_t> ends;
    std::vector<UrlList::EntryId> ids;

    static ListSnapshot Of(const UrlList& list);
};

// The entries of a snapshot that a filter removes, by id.
class RemovalSet {
public:
    RemovalSet() = default;
    explicit RemovalSet(const ListSnapshot& snapshot);
    void mark(UrlList::EntryId id) { marked_[id - first_] = true; }
    bool contains(UrlList::EntryId id) const { return id >= first_ && id - first_ < marked_.size() && marked_[id - first_]; }

private:
    UrlList::EntryId first_ = 0;
    std::vector<bool> marked_;
};

// Which entries of the snapshot contain the text (`removeMatches`) or do not. Blocking: for a job
// off the window thread; an empty set once `stop` is set.
RemovalSet EntriesToRemove(const ListSnapshot& snapshot, const QString& text, bool removeMatches,
                           const std::atomic<bool>* stop = nullptr);
// Removes the marked entries still in the list; entries added since the snapshot stay. Returns how
// many were removed.
qsizetype RemoveEntries(UrlList& list, const RemovalSet& set);

// Both at once, on the calling thread. Return how many entries were removed.
qsizetype RemoveEntriesContaining(UrlList& list, const QString& text);
qsizetype RemoveEntriesNotContaining(UrlList& list, const QString& text);

}  // namespace Main
