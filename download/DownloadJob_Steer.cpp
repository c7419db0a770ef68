// Steering the run while it goes, by entry: removals, pauses, resumes, retries and new addresses,
// and the run's expired links mended from their pages.
#include <QCoreApplication>
#include <QPointer>

#include <utility>

#include "download/Address.h"
#include "download/DownloadJob.h"
#include "download/PartialRecords.h"
#include "download/UnfinishedWork.h"

namespace Download {

void DownloadJob::withdraw(const std::vector<EntryId>& entries) {
    if (!steerable()) {
        // Taken off the list after the run came to its end or was stopped: nothing to do, but a
        // waiting entry is no longer one the run did not reach.
        if (started_ && !ended_) {
            for (const EntryId entry : entries) {
                const std::optional<Pending> taken = waiting_.take(entry);
                if (!taken) continue;
                ++removedBeforeReached_;
                strikeFromRecord(taken->recordIndex);
            }
        }
        return;
    }
    bool queued = false, endAfter = false;
    for (const EntryId entry : entries) {
        if (const std::optional<Pending> taken = waiting_.take(entry)) {
            // Taken off the list before the run came to it: not fetched, and not offered back.
            ++removedBeforeReached_;
            strikeFromRecord(taken->recordIndex);
            continue;
        }
        if (auto node = held_.extract(entry); !node.empty()) {
            ++removedDuringRun_;
            strikeFromRecord(node.mapped().recordIndex);
            endAfter = true;
            continue;
        }
        Handed* item = handedOf(entry);
        if (item && item->mending) {
            item->wanted = Wanted::Withdraw;  // its page is being read: nothing follows it
            continue;
        }
        if (!item || item->ended || item->superseded) continue;
        item->wanted = Wanted::Withdraw;
        if (item->begun)
            engine_.command(indexOf_[entry], Engine::ItemCommand::Withdraw);
        else
            queued = true;  // unless it begins meanwhile: then started() sends the command
    }
    if (queued) takeBack();
    // The last held entry gone: a run that has nothing else left ends.
    if (endAfter && engine_.queued() == 0) endInputWhenDone();
}

void DownloadJob::pause(const std::vector<EntryId>& entries) {
    if (!steerable()) return;
    bool queued = false;
    for (const EntryId entry : entries) {
        if (std::optional<Pending> taken = waiting_.take(entry)) {
            held_.emplace(entry, std::move(*taken));
            emit itemHeld(entry, -1);
            continue;
        }
        Handed* item = handedOf(entry);
        if (!item || item->ended || item->superseded || item->wanted != Wanted::Nothing) continue;
        item->wanted = Wanted::Pause;
        if (item->begun)
            engine_.command(indexOf_[entry], Engine::ItemCommand::Pause);
        else
            queued = true;
    }
    if (queued) takeBack();
}

// An ended (or held) item's entry waits again in its place; its old outcome is no longer the
// entry's.
void DownloadJob::requeue(Handed& item) {
    item.superseded = true;
    --handedLive_;
    indexOf_.erase(item.entry);
    waiting_.put(Pending{JobItem{item.entry, item.text, item.page, item.digestCopy()}, item.recordIndex});
    emit itemQueued(item.entry);
}

void DownloadJob::resume(std::vector<JobItem> items) {
    if (!steerable()) return;
    std::vector<JobItem> joining;
    for (JobItem& wanted : items) {
        if (auto node = held_.extract(wanted.entry); !node.empty()) {
            const EntryId entry = wanted.entry;
            waiting_.put(std::move(node.mapped()));
            emit itemQueued(entry);
            continue;
        }
        if (handedOf(wanted.entry) || waiting_.contains(wanted.entry)) {
            // Paused while it was being handed out: the pause is taken back.
            if (Handed* item = handedOf(wanted.entry); item && !item->ended && item->wanted == Wanted::Pause && !item->begun)
                item->wanted = Wanted::Nothing;
            continue;
        }
        joining.push_back(std::move(wanted));
    }
    if (!joining.empty()) append(std::move(joining));
    settleQueue();
}

void DownloadJob::retry(std::vector<JobItem> items) {
    if (!steerable()) return;
    std::vector<JobItem> joining;
    for (JobItem& wanted : items) {
        if (waiting_.contains(wanted.entry) || held_.count(wanted.entry) > 0) continue;
        Handed* item = handedOf(wanted.entry);
        if (!item) {
            joining.push_back(std::move(wanted));
            continue;
        }
        if (item->superseded || item->mending || item->wanted != Wanted::Nothing) continue;
        if (!item->ended) {
            // Under way: one waiting for its next try goes now; any other goes on as it is.
            if (item->begun) engine_.command(indexOf_[wanted.entry], Engine::ItemCommand::RetryNow);
            continue;
        }
        const ItemOutcome& was = item->outcome;
        if (was.stored || was.skipped || was.cancelled) continue;
        requeue(*item);
    }
    if (!joining.empty()) append(std::move(joining));
    settleQueue();
}

// The part of an item that will not be continued goes, record and file.
void DownloadJob::dropKept(const QString& text) { PartialStore().removeWithPartial(folder_, FetchAddress(text)); }

// The record of unfinished work goes by the entry's new text from now on.
int DownloadJob::reRecord(int recordIndex, const QString& text, const QString& page) {
    if (!recorder_) return -1;
    strikeFromRecord(recordIndex);
    return recorder_->add(text, page);
}

bool DownloadJob::startMend(int index) {
    Handed& item = handed_[static_cast<std::size_t>(index)];
    const bool kept = std::exchange(item.outcome.keptForMend, false);
    if (!kept || !mender_ || !steerable() || item.page.isEmpty() || !mended_.insert(item.entry).second) {
        dropKept(item.text);
        return startOver(item);
    }
    item.mending = true;
    ++mending_;
    MendAsk ask{item.entry, FetchAddress(item.text), item.page, folder_, item.outcome.reason, options_.requests};
    QPointer<DownloadJob> self(this);
    mender_(std::move(ask), [self, index](MendAnswer answer) {
        if (self) self->mendAnswered(index, std::move(answer));
    });
    return true;
}

void DownloadJob::mendAnswered(int index, MendAnswer answer) {
    if (index < 0 || index >= static_cast<int>(handed_.size())) return;
    Handed& item = handed_[static_cast<std::size_t>(index)];
    if (!item.mending) return;
    item.mending = false;
    --mending_;
    if (item.wanted == Wanted::Withdraw) {
        // Removed from the list meanwhile: it leaves nothing, whatever its page said.
        item.superseded = true;
        --handedLive_;
        indexOf_.erase(item.entry);
        ++removedDuringRun_;
        strikeFromRecord(item.recordIndex);
        dropKept(answer.newText.isEmpty() ? item.text : answer.newText);
        endInputWhenDone();
        return;
    }
    if (!answer.newText.isEmpty()) {
        // Its kept part goes by the new address now: so does the entry, whatever comes next.
        item.recordIndex = reRecord(item.recordIndex, answer.newText, item.page);
        item.text = answer.newText;
        emit itemAddressChanged(item.entry, item.text);
        if (steerable()) {
            requeue(item);
            settleQueue();
            return;
        }
        item.outcome.reason += QCoreApplication::translate("DownloadJob", "; stopped before it went on under its new address");
    } else if (item.outcome.partRefused) {
        // Its address serves another file now, and its page names no other: that file is
        // fetched from its start, as it would have been without a page.
        dropKept(item.text);
        if (startOver(item)) return;
    } else if (!answer.reason.isEmpty()) {
        // Its part stays kept under its old address: a new address the user gives it may still
        // continue it.
        item.outcome.reason = answer.reason;
    }
    emit itemFinished(item.entry, item.outcome);
    endInputWhenDone();
}

// A kept part its address no longer continues: the item goes again from its first byte.
bool DownloadJob::startOver(Handed& item) {
    if (!std::exchange(item.outcome.partRefused, false) || !steerable()) return false;
    requeue(item);
    settleQueue();
    return true;
}

bool DownloadJob::changeAddress(EntryId entry, const QString& text) {
    if (!started_ || ended_ || text.isEmpty()) return false;
    Pending* pending = waiting_.find(entry);
    if (const auto at = held_.find(entry); at != held_.end()) pending = &at->second;
    if (pending) {
        pending->recordIndex = reRecord(pending->recordIndex, text, pending->item.page);
        pending->item.text = text;
        return true;
    }
    Handed* item = handedOf(entry);
    if (!item || !item->ended || item->superseded || item->mending) return false;
    const ItemOutcome& was = item->outcome;
    if (was.stored || was.skipped || (was.cancelled && !was.paused)) return false;
    item->recordIndex = reRecord(item->recordIndex, text, item->page);
    item->text = text;
    return true;
}

}  // namespace Download
