// The scheduler's loop: up to a few transfers at once over one libcurl multi handle, begun in
// queue order, a retry's wait or a paused server holding only its own transfer.
#include "download/DownloadEngine.h"

#include <QCoreApplication>
#include "download/AnswerNaming.h"
#include "download/ChecksumCheck.h"
#include "download/SkipUnchanged.h"
#include "download/EngineItem.h"
#include "download/KeptPartials.h"
#include "download/Publisher.h"
#include "download/SameFile.h"
#include "download/Splitting.h"

#include <curl/curl.h>

#include <algorithm>
#include <limits>

namespace Download {

namespace {
constexpr qint64 kFiguresEveryMs = 100;
constexpr qint64 kProgressEveryMs = 250;

// An item whose body is not wanted: a file of its name and size is there already, or its name
// cannot be used in the folder.
ItemOutcome declinedOutcome(const QString& nameError, const QString& skippedAs) {
    ItemOutcome declined;
    if (!nameError.isEmpty()) {
        declined.reason = nameError;
    } else {
        declined.skipped = true;
        declined.path = skippedAs;
        declined.reason = QCoreApplication::translate("DownloadEngine", "Skipped");
    }
    return declined;
}
}  // namespace

void Engine::countFinished(Listener& listener, int index) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++figures_.finished;
    }
    listener.onItemEnded(index);
}

// Ends an item's transfer: a complete file goes on to be named (when its turn has come) and
// published; anything else leaves nothing, or, stopped, a big item's recorded partial.
void Engine::endActive(Listener& listener, std::size_t at, ItemOutcome outcome, bool keep) {
    std::unique_ptr<EngineItem> a = std::move(active_[at]);
    active_.erase(active_.begin() + static_cast<std::ptrdiff_t>(at));
    const int index = a->index;
    if (a->inMulti) curl_multi_remove_handle(MultiOf(multi_), a->transfer->easy());
    a->inMulti = false;
    movedByEnded_ += a->transfer->bytesMoved();
    if (!a->split || !a->split->mainDone) hosts_.ended(a->host, a->connectionKept, SteadyNowMs());
    if (a->split) {
        dropPieces(*a);
        movedByEnded_ += a->split->movedByEnded;
    }
    const bool complete = outcome.stored;
    if (a->intoCaller) {
        if (complete)
            intoResult_ = a->transfer->info();
        else if (!outcome.cancelled && !a->transfer->error().text.isEmpty())
            intoResult_ = a->transfer->error();
        setOutcome(index, std::move(outcome));
    } else if (!complete) {
        outcome.bytes = a->transfer->received();
        outcome.size = a->transfer->total();
        // Stopped or closed: a big item's bytes stay on disk under its partial name, recorded, so
        // that the next run of this address into this folder goes on from there.
        if (a->big && (outcome.cancelled || outcome.keptForMend) && keep) {
            const qint64 kept = partials_->stopped(*a);
            (outcome.cancelled ? outcome.paused : outcome.keptForMend) = kept >= 0;
            if (kept >= 0) outcome.bytes = kept;
        } else {
            outcome.keptForMend = false;
            partials_->failed(*a);
        }
        if (a->named) naming_->givenBack(a->job.base, a->job.target);
        setOutcome(index, std::move(outcome));
    } else {
        a->job.serverTime = a->transfer->serverTime();
        if (stored_) Unchanged::Prepare(*a, stored_);
        partials_->stored(*a);
    }
    if (a->intoCaller) {
    } else if (complete && a->named) {
        publisher_->hand(std::move(a->job));
    } else if (complete) {
        a->transfer.reset();
        parked_.push_back(std::move(a));
    }
    publishFigures();
    countFinished(listener, index);
    assignNames(false);
}

// Names the items whose answers came during the last turn of the transfers. One whose body is not
// wanted (skipped, or a name the folder cannot hold) ends here.
void Engine::nameAnswered(Listener& listener) {
    bool any = false;
    for (std::size_t k = 0; k < active_.size();) {
        EngineItem& a = *active_[k];
        if (!a.answerWaiting) {
            ++k;
            continue;
        }
        any = true;
        if (naming_->decide(a)) {
            ++k;
            continue;
        }
        endActive(listener, k, declinedOutcome(a.nameError, a.skippedAs));
    }
    if (any) assignNames(false);
}

// Numbers the items whose names are chosen, in the order they began; complete files whose names
// have come go on to be published.
void Engine::assignNames(bool force) {
    std::vector<EngineItem*> waiting;
    for (const auto& a : active_)
        if (!a->named) waiting.push_back(a.get());
    for (const auto& a : parked_)
        if (!a->named) waiting.push_back(a.get());
    holdForEarlier(waiting);
    naming_->assign(std::move(waiting), force);
    for (auto it = parked_.begin(); it != parked_.end();) {
        if ((*it)->named) {
            publisher_->hand(std::move((*it)->job));
            it = parked_.erase(it);
        } else {
            ++it;
        }
    }
}

// An item begun before earlier ones of the list (their server's connection was busy) waits for
// the answer of an earlier one not begun yet whose address ends in the name it was given: the
// earlier entry gets the plain name. Others do not wait: their names cannot meet but by a
// server's own name for the earlier one.
void Engine::holdForEarlier(const std::vector<EngineItem*>& waiting) {
    if (firstWaiting_ < 0) return;
    std::lock_guard<std::mutex> hold(lock_);
    for (EngineItem* a : waiting) {
        a->heldByEarlier = false;
        if (!a->answered) continue;
        // The queue is in list order: those before it in the list come first (an item resumed or
        // tried again among them).
        for (const Queued& q : queue_) {
            if (q.rank > a->rank) break;
            if (q.base == a->job.base) {
                a->heldByEarlier = true;
                break;
            }
        }
    }
}

void Engine::settle(Listener& listener, EngineItem& a, CURLcode code, qint64 nowMs) {
    long version = CURL_HTTP_VERSION_NONE;
    if (curl_easy_getinfo(a.transfer->easy(), CURLINFO_HTTP_VERSION, &version) == CURLE_OK) hosts_.answered(a.host, version);
    const std::size_t at = static_cast<std::size_t>(
        std::find_if(active_.begin(), active_.end(), [&](const auto& p) { return p.get() == &a; }) - active_.begin());
    Transfer::Next next = a.transfer->evaluate(code);
    // An answer without a body is named (or skipped) at its end.
    if (next == Transfer::Next::Done && !a.answered && !a.answerWaiting) a.transfer->answerNow();
    if (next == Transfer::Next::Done && a.answerWaiting && !naming_->decide(a)) next = Transfer::Next::Skipped;
    if (next == Transfer::Next::Done && !a.answered) next = Transfer::Next::Skipped;
    switch (next) {
    case Transfer::Next::Done: {
        // A split item is complete once its other pieces are in too (splitTurn).
        if (a.split) {
            mainPieceDone(a);
            return;
        }
        ItemOutcome ready;
        ready.stored = true;  // named and published by the publisher
        endActive(listener, at, std::move(ready));
        return;
    }
    case Transfer::Next::Skipped: {
        ItemOutcome declined = declinedOutcome(a.nameError, a.skippedAs);
        if (a.transfer->notModified()) declined.reason = QCoreApplication::translate("DownloadEngine", "Unchanged since it was stored");
        endActive(listener, at, std::move(declined));
        return;
    }
    case Transfer::Next::Failed: {
        ItemOutcome failed;
        failed.reason = a.transfer->error().text;
        const int code = a.transfer->error().code;
        failed.partRefused = code == Transfer::kPartRefused;
        failed.keptForMend = !a.transfer->referer().isEmpty() && (IsExpiredStatus(code) || failed.partRefused);
        endActive(listener, at, std::move(failed));
        return;
    }
    case Transfer::Next::TryNow:
        a.transfer->prepareTry();
        a.inMulti = curl_multi_add_handle(MultiOf(multi_), a.transfer->easy()) == CURLM_OK;
        return;
    case Transfer::Next::TryLater:
        a.retryAtMs = nowMs + std::max<qint64>(1, a.transfer->waitMs());
        // The server asked for a pause: nothing new goes to it until then, whoever asks.
        if (a.transfer->hostWaitMs() >= 0) {
            qint64& until = hostPause_[a.host];
            until = std::max(until, nowMs + a.transfer->hostWaitMs());
        }
        publishFigures();
        return;
    }
}

// The commands of the items under way, in the order they came.
void Engine::applyCommands(Listener& listener, qint64 nowMs) {
    std::vector<std::pair<int, ItemCommand>> taken;
    {
        std::lock_guard<std::mutex> hold(lock_);
        // What comes from now on is read at the next turn at the earliest: it wakes the loop again.
        wakeAsked_ = false;
        if (commands_.empty()) return;
        taken.swap(commands_);
    }
    for (const auto& [index, what] : taken) {
        const auto it = std::find_if(active_.begin(), active_.end(), [index = index](const auto& a) { return a->index == index; });
        if (it == active_.end()) continue;
        EngineItem& a = **it;
        if (what == ItemCommand::RetryNow) {
            if (a.retryAtMs <= 0) continue;
            a.transfer->freshTries();
            const auto pause = hostPause_.constFind(a.host);
            a.retryAtMs = pause != hostPause_.cend() && pause.value() > nowMs ? pause.value() : nowMs;
            continue;
        }
        ItemOutcome ended;
        ended.cancelled = true;
        ended.reason = what == ItemCommand::Pause ? QCoreApplication::translate("DownloadEngine", "Paused") : QCoreApplication::translate("DownloadEngine", "Removed");
        endActive(listener, static_cast<std::size_t>(it - active_.begin()), std::move(ended), what == ItemCommand::Pause);
    }
    publishFigures();
}

void Engine::drive(Listener& listener) {
    CURLM* multi = MultiOf(multi_);
    if (!multi) return;
    limitConnections();
    gate_.setRate(speedLimit_);
    std::size_t resumeFrom = 0;  // where the next turn of resuming paused transfers starts

    for (;;) {
        qint64 now = SteadyNowMs();
        if (cancelled_) {
            while (!active_.empty()) {
                ItemOutcome stopped;
                stopped.cancelled = true;
                stopped.reason = QCoreApplication::translate("DownloadEngine", "Cancelled");
                endActive(listener, active_.size() - 1, std::move(stopped));
            }
            // Files complete before the stop keep their names.
            assignNames(true);
            // An item into a caller's file that never began is cancelled too: its caller waits.
            std::vector<int> notBegun;
            {
                std::lock_guard<std::mutex> hold(lock_);
                for (auto it = queue_.begin(); it != queue_.end();) {
                    if (it->intoFd < 0) {
                        ++it;
                        continue;
                    }
                    notBegun.push_back(it->index);
                    it = queue_.erase(it);
                }
            }
            for (const int index : notBegun) {
                ItemOutcome stopped;
                stopped.cancelled = true;
                stopped.reason = QCoreApplication::translate("DownloadEngine", "Cancelled");
                setOutcome(index, std::move(stopped));
            }
            publishFigures();
            return;
        }

        applyCommands(listener, now);
        // Tries whose wait is over.
        for (auto& a : active_) {
            if (a->retryAtMs > 0 && now >= a->retryAtMs) {
                // A pause its server asked for since holds the retry too.
                const auto pause = hostPause_.constFind(a->host);
                if (pause != hostPause_.cend() && pause.value() > now) {
                    a->retryAtMs = pause.value();
                    continue;
                }
                a->retryAtMs = 0;
                a->transfer->prepareTry();
                a->inMulti = curl_multi_add_handle(multi, a->transfer->easy()) == CURLM_OK;
            }
        }
        // New items, up to the number at once.
        while (startNext(listener, now)) {
        }

        bool ask = false;
        bool done = false;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (queue_.size() <= static_cast<std::size_t>(kLowWater) && !inputEnded_ && !moreWanted_) {
                moreWanted_ = true;
                ask = true;
            }
            done = active_.empty() && queue_.empty() && inputEnded_;
        }
        // Asked outside the lock: the answer is usually an enqueue() from another thread.
        if (ask) listener.onWantMore();
        if (done) {
            assignNames(true);
            publishFigures();
            return;
        }

        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        bool ended = false;  // a slot may have come free: fill it before sleeping
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg != CURLMSG_DONE) continue;
            ended = true;
            CURL* easy = msg->easy_handle;
            const CURLcode code = msg->data.result;
            // Whether its connection stays open for the next item (known only until removed).
            curl_socket_t open = CURL_SOCKET_BAD;
            curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &open);
            curl_multi_remove_handle(multi, easy);
            if (settlePiece(listener, easy, code, SteadyNowMs())) continue;
            auto it = std::find_if(active_.begin(), active_.end(), [&](const auto& a) { return a->transfer->easy() == easy; });
            if (it == active_.end()) continue;
            (*it)->inMulti = false;
            (*it)->connectionKept = open != CURL_SOCKET_BAD && code == CURLE_OK;
            settle(listener, **it, code, SteadyNowMs());
        }

        // A host heard to speak HTTP/2 may take more of its items at once.
        if (noteProtocols()) ended = true;
        // Answers that came are named, now that libcurl has returned.
        nameAnswered(listener);
        // Big items keep their bytes where a stop or a crash does not take them.
        for (auto& a : active_) partials_->look(*a);
        // Idle connections help the big items under way.
        splitTurn(listener, SteadyNowMs());

        now = SteadyNowMs();
        // Complete files that waited long enough for earlier answers are numbered anyway.
        if (!parked_.empty()) assignNames(false);
        // The shared rate: paused transfers go on in turn once the bucket has refilled.
        qint64 gateWait = -1;
        if (gate_.limited()) {
            bool anyPaused = false;
            for (std::size_t k = 0; k < active_.size(); ++k) {
                EngineItem& a = *active_[(resumeFrom + k) % active_.size()];
                if (!a.transfer->paused()) continue;
                anyPaused = true;
                if (!gate_.open(now)) break;
                a.transfer->resume();
            }
            if (!active_.empty()) resumeFrom = (resumeFrom + 1) % active_.size();
            if (anyPaused) gateWait = gate_.msUntilOpen(now);
        }

        if (now - lastFiguresMs_ >= kFiguresEveryMs) {
            lastFiguresMs_ = now;
            publishFigures();
        }
        if (!active_.empty() && now - lastProgressMs_ >= kProgressEveryMs) {
            lastProgressMs_ = now;
            listener.onProgress();
        }

        // Sleep until something happens: data, a wake-up, a try that is due, a server's pause
        // that ends, the rate's bucket refilled; never longer than a tenth of a second.
        qint64 timeout = 100;
        for (const auto& a : active_)
            if (a->retryAtMs > 0) timeout = std::min(timeout, std::max<qint64>(0, a->retryAtMs - now));
        for (auto it = hostPause_.cbegin(); it != hostPause_.cend(); ++it)
            if (it.value() > now) timeout = std::min(timeout, it.value() - now);
        if (gateWait >= 0) timeout = std::min(timeout, gateWait);
        if (ended) continue;
        if (running > 0 || timeout > 0) curl_multi_poll(multi, nullptr, 0, static_cast<int>(timeout), nullptr);
    }
}

}  // namespace Download
