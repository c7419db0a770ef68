#pragma once
// Entries found off the window thread, held as one text so that thousands of them cost two
// allocations; the window adds a batch to the list in one step.
#include <QString>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "urllist/UrlList.h"

struct EntryBatch {
    std::string text;  // UTF-8, one entry after another
    std::vector<std::size_t> ends;
    QString page;  // the page the entries were found on, empty for none

    // Large enough to be cheap per entry, small enough that adding one keeps the window answering.
    static constexpr std::size_t kEntries = 16384;
    static constexpr std::size_t kBytes = std::size_t(4) << 20;

    void add(std::string_view utf8) {
        text += utf8;
        ends.push_back(text.size());
    }
    std::size_t size() const { return ends.size(); }
    bool empty() const { return ends.empty(); }
    bool full() const { return ends.size() >= kEntries || text.size() >= kBytes; }

    // On the list's thread.
    void appendTo(UrlList& list) const {
        UrlList::Batch batch(list);
        batch.setPage(list.addPage(page));
        std::size_t start = 0;
        for (std::size_t end : ends) {
            batch.addUtf8(std::string_view(text).substr(start, end - start));
            start = end;
        }
        batch.commit();
    }
};

// Where a job hands its full batches, in order.
using EntrySink = std::function<void(EntryBatch&&)>;
