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
    first_ = std::move(items);
    gone_.assign(first_.size(), false);
    firstLive_ = first_.size();
}

Pending WaitingQueue::takeFirst(std::size_t index) {
    Pending taken{std::move(first_[index]), static_cast<int>(dropped_ + index)};
    first_[index].digest.reset();  // its id stays, for the search by halves among the rest
    gone_[index] = true;
    --firstLive_;
    while (head_ < first_.size() && gone_[head_]) ++head_;
    // Entries handed out leave their places in bulk: each waiting one is moved at most once for
    // every two handed out before it.
    constexpr std::size_t kDropAtLeast = 4096;
    if (head_ >= kDropAtLeast && head_ * 2 >= first_.size()) {
        std::vector<JobItem> rest(std::make_move_iterator(first_.begin() + std::ptrdiff_t(head_)), std::make_move_iterator(first_.end()));
        first_.swap(rest);
        gone_.erase(gone_.begin(), gone_.begin() + std::ptrdiff_t(head_));
        dropped_ += head_;
        head_ = 0;
    }
    return taken;
}

EntryId WaitingQueue::frontEntry() const {
    if (firstLive_ == 0) return later_.begin()->first;
    const EntryId first = first_[head_].entry;
    return later_.empty() ? first : std::min(first, later_.begin()->first);
}

Pending WaitingQueue::popFront() {
    if (firstLive_ > 0 && (later_.empty() || first_[head_].entry < later_.begin()->first)) return takeFirst(head_);
    auto node = later_.extract(later_.begin());
    return std::move(node.mapped());
}

std::ptrdiff_t WaitingQueue::indexOf(EntryId entry) const {
    if (firstLive_ == 0) return -1;
    const auto from = first_.begin() + std::ptrdiff_t(head_);
    const auto at = std::lower_bound(from, first_.end(), entry, [](const JobItem& first, EntryId id) { return first.entry < id; });
    if (at == first_.end() || at->entry != entry || gone_[std::size_t(at - first_.begin())]) return -1;
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
    for (std::size_t i = head_; i < first_.size(); ++i)
        if (!gone_[i]) all.push_back(first_[i].entry);
    for (const auto& [entry, pending] : later_) all.push_back(entry);
    std::sort(all.begin(), all.end());
    return all;
}

}  // namespace Download
