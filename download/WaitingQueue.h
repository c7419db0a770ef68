#pragma once
// The entries of a run that wait for a connection, in the order of their ids.
//
// A run of a long list begins with all of it waiting, and hands out only a few hundred at a
// time: the list as Start gave it is kept as it came, in its order, and read from its front, and
// only what joins later (rows added, resumed, tried again, renumbered) goes into an ordered map
// beside it. Start so moves no entry at all, however long the list.
#include <QString>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "download/Checksum.h"

namespace Download {

// An entry's identity in the list, from the list to the result.
using EntryId = std::uint32_t;

struct JobItem {
    EntryId entry = 0;
    QString text;  // the entry as the list holds it: fetched and named from this text
    QString page{};  // the page it was found on, sent as its Referer; empty for none
    std::optional<Checksum::Digest> digest{};  // the digest its list line gave
};

struct Pending {
    JobItem item;
    int recordIndex = -1;
    qint64 kept = -1;  // a held item's bytes kept, -1 for none
};

class WaitingQueue {
public:
    // The run's first entries, into an empty queue, in list order; each one's record index is its
    // place among them. Entries not in rising order of id (or repeated) are put in one by one.
    void adopt(std::vector<JobItem> items);

    bool empty() const { return size() == 0; }
    std::size_t size() const { return firstLive_ + later_.size(); }
    // The entry with the lowest id; the queue must not be empty.
    EntryId frontEntry() const;
    Pending popFront();

    bool contains(EntryId entry) const;
    // The entry's pending item, to change in place; null when it does not wait.
    Pending* find(EntryId entry);
    std::optional<Pending> take(EntryId entry);
    // Waits in its place by id; an entry already waiting is left as it is (false).
    bool put(Pending pending);

    // Every waiting entry's id, in order.
    std::vector<EntryId> entries() const;

private:
    // The index in first_ of a live entry, or -1.
    std::ptrdiff_t indexOf(EntryId entry) const;
    Pending takeFirst(std::size_t index);  // the entry at `index` of first_, which waits

    // As Start gave them, ids rising; from head_ on, the first is always one still waiting. What
    // was handed out is dropped in one go once it is the larger part.
    std::vector<JobItem> first_;
    std::vector<bool> gone_;  // by index in first_: taken out already
    std::size_t head_ = 0;
    std::size_t dropped_ = 0;  // entries dropped from the front of first_: its record index base
    std::size_t firstLive_ = 0;
    std::map<EntryId, Pending> later_;
};

}  // namespace Download
