// Beginning transfers: which queued item goes next, how its transfer is set up, and how many
// connections libcurl may keep to each server.
#include "download/DownloadEngine.h"

#include <QCoreApplication>
#include "download/AnswerNaming.h"
#include "download/ChecksumCheck.h"
#include "download/EngineItem.h"
#include "download/KeptPartials.h"
#include "download/Publisher.h"
#include "download/SkipUnchanged.h"
#include "download/Splitting.h"

#include <curl/curl.h>

#include <algorithm>

namespace Download {

namespace {
// With the flush at the end of each file, the disk is kept busy during the transfer too.
constexpr qint64 kWriteBehindBytes = 8 << 20;
}  // namespace

// Begins the next queued item whose server is not asking for a pause, when a connection (or a
// stream of one) is free for it and the files waiting to be published leave room for one more.
// The next is the first item whose server has a connection open and waiting (or a stream to
// spare on its HTTP/2 one), before the first in order that needs a new connection: where the
// list's servers take turns, each file would pay a handshake otherwise. An item passed over that
// way is passed at most kMostPasses times; an item that must wait for a connection then holds
// the ones after it, so that items begin in order.
bool Engine::startNext(Listener& listener, qint64 nowMs) {
    const bool room = publisher_->room(static_cast<int>(active_.size() + parked_.size()) + 1);
    Queued item;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto paused = [&](const Queued& q) {
            const auto pause = hostPause_.constFind(q.host);
            return pause != hostPause_.cend() && pause.value() > nowMs;
        };
        auto head = queue_.begin();
        while (head != queue_.end() && paused(*head)) ++head;
        firstWaiting_ = head == queue_.end() ? -1 : head->index;
        if (head == queue_.end() || !room) return false;
        if (head->index != passedIndex_) {
            passedIndex_ = head->index;
            passes_ = 0;
        }
        auto take = queue_.end();
        // The head would only wait for its server's first connection to say whether it carries
        // streams: an item of another server may begin its own handshake meanwhile.
        const bool headWaits = head->url.startsWith(QLatin1String("https:")) && hosts_.awaitsProtocol(head->host);
        if (hosts_.hasOpenConnection(head->host, nowMs)) {
            take = head;
        } else if (passes_ < kMostPasses && (headWaits || hosts_.anyOpen(nowMs))) {
            // A look that found nothing is not repeated until something changed.
            const PickStamp stamp{hosts_.generation(), queue_.size(), head->index};
            if (!(stamp == lastEmptyPick_)) hosts_.openHosts(nowMs, openHosts_);
            // A full HTTP/2 connection leaves nothing to look for.
            if (!(stamp == lastEmptyPick_) && (headWaits || !openHosts_.empty())) {
                auto other = queue_.end();  // the first item of a server not waiting for its first answer
                int looked = 0;
                for (auto it = std::next(head); it != queue_.end() && looked < kPickWindow; ++it, ++looked) {
                    if (it->hostKey == 0) it->hostKey = HostConnections::keyOf(it->host);
                    const bool open = std::any_of(openHosts_.begin(), openHosts_.end(), [&](const auto& h) {
                        return h.first == it->hostKey && h.second == it->host;
                    });
                    if (!open && (!headWaits || other != queue_.end() || it->host == head->host)) continue;
                    if (paused(*it) || !hosts_.mayBegin(it->host)) continue;
                    if (open) {
                        take = it;
                        break;
                    }
                    if (!hosts_.awaitsProtocol(it->host)) other = it;
                }
                if (take == queue_.end()) take = other;
            }
            if (take == queue_.end()) lastEmptyPick_ = stamp;
            if (take != queue_.end()) ++passes_;
        }
        if (take == queue_.end()) take = head;
        if (!hosts_.mayBegin(take->host)) return false;
        item = std::move(*take);
        queue_.erase(take);
        if (queue_.empty()) moreWanted_ = false;
    }
    begin(listener, std::move(item));
    return true;
}

void Engine::begin(Listener& listener, Queued item) {
    auto a = std::make_unique<EngineItem>();
    a->index = item.index;
    a->rank = item.rank;
    a->url = item.url;
    a->base = item.base;
    a->host = item.host;
    a->folderText = item.base.left(item.base.size() - Main::FileNameOf(item.base, Main::kNativeSeparator).size());
    a->job.index = item.index;
    a->job.base = item.base;
    listener.onItemStarted(item.index);
    auto failNow = [&](QString reason, bool cancelled = false) {
        if (a->named && !a->intoCaller) naming_->givenBack(a->job.base, a->job.target);
        ItemOutcome outcome;
        outcome.cancelled = cancelled;
        outcome.reason = std::move(reason);
        setOutcome(item.index, std::move(outcome));
        countFinished(listener, item.index);
    };
    if (cancelled_) return failNow(QCoreApplication::translate("DownloadEngine", "Cancelled"), true);
    FileTarget target;
    if (item.intoFd >= 0) {
        // The caller's file: nothing to name, publish or keep.
        a->intoCaller = a->answered = a->named = a->partialTried = true;
        target = FileTarget{item.intoFd};
    } else {
        const Fw::Result<void> made = publisher_->createTemporary(a->folderText, a->job);
        if (!made) return failNow(made.error().text);
        partials_->resume(*a);
        target = FileTarget{a->job.fd.get(), true, &a->job.folder->space};
    }
    a->transfer = std::make_unique<Transfer>(limits_, item.address, target, item.progress ? item.progress : &a->progress);
    a->transfer->setRequest(requests_, item.referer);
    if (!share_) share_ = std::make_unique<RunShare>();
    a->transfer->setShare(share_->handle());
    if (a->big) a->transfer->continueFrom(a->partial.goodLength, a->partial.total, a->partial.validator);
    if (a->big && keepRefusedParts_ && !item.referer.isEmpty()) a->transfer->keepRefusedPart(true);
    if (a->big && !a->partial.ranges.empty()) resumeSplit(*a);
    if (!a->intoCaller) Checksum::AttachCheck(*a, item.digest, checksums_.get());
    if (stored_ && !a->intoCaller && !a->big) Unchanged::Ask(*a, *stored_);
    if (a->transfer->refused()) {
        publisher_->dropTemporary(a->job);
        return failNow(a->transfer->refusal().text);
    }
    if (!a->answered) {
        // Only kept here: the loop names the item once libcurl has returned.
        EngineItem* raw = a.get();
        a->transfer->setAnswerHandler([raw](const AnswerFacts& facts, qint64 total) {
            raw->facts = facts;
            raw->factsTotal = total;
            raw->answerWaiting = true;
            return true;
        });
    }
    a->transfer->setWriteBehind(publisher_->syncEachFile() ? kWriteBehindBytes : 0);
    a->transfer->setRateGate(&gate_);
    a->transfer->prepareTry();
    a->inMulti = curl_multi_add_handle(MultiOf(multi_), a->transfer->easy()) == CURLM_OK;
    if (!a->inMulti) {
        publisher_->dropTemporary(a->job);
        return failNow(QCoreApplication::translate("DownloadEngine", "Cannot start the transfer"));
    }
    hosts_.began(a->host, SteadyNowMs());
    active_.push_back(std::move(a));
    assignNames(false);
    publishFigures();
}

// libcurl keeps to the run's connections itself, and puts the transfers to a host that speaks
// HTTP/2 on one connection as streams of it; a server that allows fewer streams gets fewer.
void Engine::limitConnections() {
    CURLM* multi = MultiOf(multi_);
    hosts_.setConnections(maxTransfers_);
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(maxTransfers_));
    curl_multi_setopt(multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, static_cast<long>(maxTransfers_));
    // Idle connections to several servers stay open within the same count.
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, static_cast<long>(maxTransfers_));
    curl_multi_setopt(multi, CURLMOPT_MAX_CONCURRENT_STREAMS, static_cast<long>(HostConnections::kStreamsPerConnection));
}

// Learns, from the first answer of each host, whether its connection carries many transfers at
// once; true when one does, so that its next items may begin at once.
bool Engine::noteProtocols() {
    bool more = false;
    for (const auto& a : active_) {
        if (!a->inMulti || hosts_.heardFrom(a->host)) continue;
        long version = CURL_HTTP_VERSION_NONE;
        if (curl_easy_getinfo(a->transfer->easy(), CURLINFO_HTTP_VERSION, &version) != CURLE_OK) continue;
        hosts_.answered(a->host, version);
        more = more || hosts_.multiplexes(a->host);
    }
    return more;
}

}  // namespace Download
