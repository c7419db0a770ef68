#include "download/WaitingQueue.h"

#include <algorithm>
#include <utility>

namespace Download {

void WaitingQueue::adopt(std::vector<JobItem> items) {
    const bool rising = std::adjacent_find(items.begin(), items.end(), [](const JobItem& a, const JobItem& b) {
                            return a.entry >= b.entry;
                        }) == items.end();
    if (!rising) {
        // Record indexes follow the order given, whatever order the ids are in.
        for (std::size_t i = 0; i < items.size(); ++i) put(Pending{std::move(items[i]), static_cast<int>(i)});
        return;
    }
    for (JobItem& item : items) first_.push_back(First{std::move(item)});
    firstLive_ = first_.size();
}

Pending WaitingQueue::takeFirst(std::size_t index) {
    First& first = first_[index];
    Pending taken{std::move(first.item), static_cast<int>(popped_ + index)};
    first.gone = true;
    --firstLive_;
    while (!first_.empty() && first_.front().gone) {
        first_.pop_front();
        ++popped_;
    }
    return taken;
}

EntryId WaitingQueue::frontEntry() const {
    if (firstLive_ == 0) return later_.begin()->first;
    const EntryId first = first_.front().item.entry;
    return later_.empty() ? first : std::min(first, later_.begin()->first);
}

Pending WaitingQueue::popFront() {
    if (firstLive_ > 0 && (later_.empty() || first_.front().item.entry < later_.begin()->first)) return takeFirst(0);
    auto node = later_.extract(later_.begin());
    return std::move(node.mapped());
}

std::ptrdiff_t WaitingQueue::indexOf(EntryId entry) const {
    if (firstLive_ == 0) return -1;
    const auto at = std::lower_bound(first_.begin(), first_.end(), entry, [](const First& first, EntryId id) { return first.item.entry < id; });
    if (at == first_.end() || at->item.entry != entry || at->gone) return -1;
    return at - first_.begin();
}

bool WaitingQueue::contains(EntryId entry) const {
    return indexOf(entry) >= 0 || later_.count(entry) > 0;
}

Pending* WaitingQueue::find(EntryId entry) {
    // Changed in place, an entry of the first ones moves among the later ones, where its record
    // index may change with it.
    if (const std::ptrdiff_t index = indexOf(entry); index >= 0)
        return &later_.emplace(entry, takeFirst(static_cast<std::size_t>(index))).first->second;
    const auto at = later_.find(entry);
    return at == later_.end() ? nullptr : &at->second;
}

std::optional<Pending> WaitingQueue::take(EntryId entry) {
    if (const std::ptrdiff_t index = indexOf(entry); index >= 0) return takeFirst(static_cast<std::size_t>(index));
    auto node = later_.extract(entry);
    if (node.empty()) return std::nullopt;
    return std::move(node.mapped());
}

bool WaitingQueue::put(Pending pending) {
    const EntryId entry = pending.item.entry;
    if (indexOf(entry) >= 0) return false;
    return later_.emplace(entry, std::move(pending)).second;
}

std::vector<EntryId> WaitingQueue::entries() const {
    std::vector<EntryId> all;
    all.reserve(size());
    for (const First& first : first_)
        if (!first.gone) all.push_back(first.item.entry);
    for (const auto& [entry, pending] : later_) all.push_back(entry);
    std::sort(all.begin(), all.end());
    return all;
}

}  // namespace Download
