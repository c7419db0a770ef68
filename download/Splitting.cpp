// The scheduler's part that splits a big item over idle connections: when fewer items wait than
// connections are free, the rest of an item with at least 8 MB to come is cut into pieces that
// free connections fetch at once, each proven before it is written; a connection whose piece is
// in takes half of the largest rest. What cannot be proven goes back to the item's own transfer.
#include "download/DownloadEngine.h"

#include <QCoreApplication>
#include "download/EngineItem.h"
#include "download/Splitting.h"

#include <curl/curl.h>

#include <algorithm>

#include <sys/stat.h>

namespace Download {

namespace {

// Answers that were not the piece asked, after which an item is not split further.
constexpr int kMostRefused = 2;
// Pieces that did not arrive, after which an item whose own transfer is done fails.
constexpr int kMostFailures = 8;
// Pieces the server asked to wait for, after which the item comes over its own connection: a
// busy server gets one request at a time, whose tries are counted as any item's.
constexpr int kMostBusy = 2;
// Splitting pays only where the item's own connection brings less than the run could carry: a
// server that limits each connection, or a long link. A connection that already brings this
// much fills what a link or a disk takes; more of them would only share the same bytes out over
// more handshakes and more CPU. Its speed is judged once it has run a little.
constexpr curl_off_t kFullSpeed = curl_off_t(48) << 20;  // bytes per second
constexpr curl_off_t kJudgedAfterUs = 300 * 1000;

bool runsBelowWhatTheRunCarries(const Transfer& t) {
    curl_off_t elapsedUs = 0, speed = 0;
    if (curl_easy_getinfo(t.easy(), CURLINFO_TOTAL_TIME_T, &elapsedUs) != CURLE_OK ||
        curl_easy_getinfo(t.easy(), CURLINFO_SPEED_DOWNLOAD_T, &speed) != CURLE_OK)
        return true;
    return elapsedUs >= kJudgedAfterUs && speed < kFullSpeed;
}
}  // namespace

int Engine::freeConnections() {
    int waiting = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        waiting = static_cast<int>(queue_.size());
    }
    // Items that wait come first: only connections none of them would take are idle.
    return std::max(0, maxTransfers_ - hosts_.connectionsTaken() - waiting);
}

bool Engine::startPiece(EngineItem& a) {
    SplitItem& s = *a.split;
    const auto piece = s.plan.take();
    if (!piece) return false;
    AskedRange asked = s.proof;
    asked.first = piece->range.first;
    asked.last = piece->range.end - 1;
    Transfer* main = a.transfer.get();
    const int startOvers = s.startOvers;
    auto fetch = std::make_unique<RangeFetch>(limits_, s.url, a.job.fd.get(), s.plan, piece->id, asked,
                                              [main, startOvers] { return main->startOvers() == startOvers; });
    fetch->setRateGate(&gate_);
    fetch->setRequest(main->request(), main->referer());
    if (!fetch->easy() || curl_multi_add_handle(MultiOf(multi_), fetch->easy()) != CURLM_OK) {
        s.plan.failed(piece->id);
        return false;
    }
    hosts_.began(a.host);
    s.pieces.push_back(std::move(fetch));
    // Half of the item's own piece may have been taken: it stops where that half begins.
    if (!s.mainDone) main->setLimit(s.plan.remaining(s.mainPiece)->end);
    return true;
}

void Engine::dropPieces(EngineItem& a) {
    if (!a.split) return;
    for (auto& piece : a.split->pieces) {
        curl_multi_remove_handle(MultiOf(multi_), piece->easy());
        a.split->movedByEnded += piece->bytesMoved();
        hosts_.ended(a.host);
    }
    a.split->pieces.clear();
}

// Back to one connection: the item's own transfer asked for the whole rest, so it brings every
// byte again (the same bytes, where pieces had come) up to the end.
void Engine::abandonSplit(EngineItem& a) {
    dropPieces(a);
    movedByEnded_ += a.split->movedByEnded;
    a.split.reset();
    a.transfer->setLimit(-1);
}

// Back to the item's own transfer, also when it had brought its piece: it asks for the rest from
// where its bytes end, as a try of its own once the server's pause is over.
void Engine::fallBack(EngineItem& a, qint64 nowMs) {
    const bool mainDone = a.split->mainDone;
    abandonSplit(a);
    if (!mainDone) return;
    hosts_.began(a.host);
    const auto pause = hostPause_.constFind(a.host);
    a.retryAtMs = std::max(nowMs + 1, pause != hostPause_.cend() ? pause.value() : 0);
}

// Where a resumed item's pieces are to go: the address its own request's answer came from, once
// its body has begun (or its piece is in).
bool Engine::learnAddress(EngineItem& a) {
    SplitItem& s = *a.split;
    if (!s.mainDone && a.transfer->received() <= s.resumedFrom) return false;
    char* effective = nullptr;
    if (curl_easy_getinfo(a.transfer->easy(), CURLINFO_EFFECTIVE_URL, &effective) != CURLE_OK || !effective || !*effective)
        return false;
    s.url = effective;
    return true;
}

// The item's own transfer has brought its piece. True when the item is complete with it.
bool Engine::mainPieceDone(EngineItem& a) {
    SplitItem& s = *a.split;
    const qint64 at = s.plan.remaining(s.mainPiece) ? s.plan.remaining(s.mainPiece)->first : 0;
    s.plan.accept(s.mainPiece, a.transfer->received() - at);
    s.plan.finished(s.mainPiece);
    s.mainDone = true;
    hosts_.ended(a.host);  // its connection is free for the pieces
    return s.pieces.empty() && s.plan.complete();
}

bool Engine::settlePiece(Listener& listener, CURL* easy, CURLcode code, qint64 nowMs) {
    for (std::size_t k = 0; k < active_.size(); ++k) {
        EngineItem& a = *active_[k];
        if (!a.split) continue;
        SplitItem& s = *a.split;
        const auto it = std::find_if(s.pieces.begin(), s.pieces.end(), [&](const auto& p) { return p->easy() == easy; });
        if (it == s.pieces.end()) continue;
        std::unique_ptr<RangeFetch> piece = std::move(*it);
        s.pieces.erase(it);
        hosts_.ended(a.host);
        s.movedByEnded += piece->bytesMoved();
        switch (piece->settle(code)) {
        case RangeFetch::End::Done:
            break;
        case RangeFetch::End::Busy: {
            qint64& until = hostPause_[a.host];
            until = std::max(until, nowMs + piece->hostWaitMs());
            ++s.busy;
            s.lastWhy = piece->why();
            break;
        }
        case RangeFetch::End::Refused:
            ++s.refused;
            [[fallthrough]];
        case RangeFetch::End::Broken:
            ++s.failures;
            s.lastWhy = piece->why();
            break;
        case RangeFetch::End::Failed: {
            ItemOutcome failed;
            failed.reason = piece->why();
            endActive(listener, k, std::move(failed));
            return true;
        }
        }
        // Asking a server again for a range it just refused brings the same answer: once the
        // item's own piece is in, the first refusal sends the rest back to its own connection.
        if (s.busy >= kMostBusy || (s.mainDone && s.refused > 0)) fallBack(a, nowMs);
        else if (!s.mainDone && (s.refused >= kMostRefused || s.failures >= kMostFailures)) abandonSplit(a);
        return true;
    }
    return false;
}

// The item's own transfer goes on from the end of the first range on disk (the record's
// goodLength) and stops at the next one; the other missing ranges wait for pieces, each proven
// as any piece. Without splitting, the transfer brings all the rest again, over what is there.
void Engine::resumeSplit(EngineItem& a) {
    if (!splitBig_) return;
    const PartialRecord& kept = a.partial;
    auto s = std::make_shared<SplitItem>(kept.total, kept.ranges);
    const auto mine = s->plan.take();
    // The record promised that the missing part begins where the transfer goes on.
    if (!mine || mine->range.first != kept.goodLength) return;
    s->mainPiece = mine->id;
    s->startOvers = a.transfer->startOvers();
    // The pieces go where the item's own request is led (after redirects), known once it answers.
    s->resumedFrom = kept.goodLength;
    s->proof.total = kept.total;
    s->proof.validator = kept.validator;
    a.split = std::move(s);
    a.splitTried = true;
    a.transfer->setLimit(mine->range.end);
}

void Engine::splitTurn(Listener& listener, qint64 nowMs) {
    for (std::size_t k = 0; k < active_.size(); ++k) {
        EngineItem& a = *active_[k];
        const auto pause = hostPause_.constFind(a.host);
        const bool paused = pause != hostPause_.cend() && pause.value() > nowMs;
        if (a.split) {
            SplitItem& s = *a.split;
            if (a.transfer->startOvers() != s.startOvers && !s.mainDone) {
                abandonSplit(a);  // a new answer: the pieces may be of another version
                continue;
            }
            if (!s.mainDone) {
                const auto rest = s.plan.remaining(s.mainPiece);
                s.plan.accept(s.mainPiece, a.transfer->received() - rest->first);
                a.transfer->setLimit(s.plan.remaining(s.mainPiece)->end);
            }
            if (s.mainDone && s.pieces.empty() && s.plan.complete()) {
                struct stat st {};
                ItemOutcome outcome;
                if (::fstat(a.job.fd.get(), &st) == 0 && st.st_size == s.plan.total())
                    outcome.stored = true;
                else
                    outcome.reason = QCoreApplication::translate("Splitting", "The file is not the length the server announced");
                endActive(listener, k--, std::move(outcome));
                continue;
            }
            if (s.mainDone && s.pieces.empty() && s.failures >= kMostFailures) {
                ItemOutcome failed;
                failed.reason = QCoreApplication::translate("Splitting", "The server's ranges do not match the file: %1").arg(s.lastWhy);
                endActive(listener, k--, std::move(failed));
                continue;
            }
            if (s.url.isEmpty() && !learnAddress(a)) continue;
            auto mayStart = [&] {
                if (paused || !hosts_.mayBegin(a.host)) return false;
                // After answers that were not the piece asked, one piece at a time.
                if (s.refused >= kMostRefused) return s.pieces.empty();
                // An item whose own transfer is done keeps one connection even while others wait.
                return freeConnections() > 0 || (s.mainDone && s.pieces.empty());
            };
            while (mayStart() && startPiece(a)) {
            }
            if (gate_.limited())
                for (auto& piece : s.pieces)
                    if (piece->paused() && gate_.open(nowMs)) piece->resume();
            continue;
        }
        // An item that can be split, when a connection is idle.
        if (!splitBig_ || a.intoCaller || a.splitTried || paused || !a.inMulti || a.retryAtMs > 0 || !a.answered ||
            !(a.big || a.partialTried))
            continue;
        const Transfer& t = *a.transfer;
        if (t.total() <= 0 || t.total() - t.received() < RangePlan::kLeastToSplit || !t.acceptsRanges() ||
            t.rangeValidator().isEmpty() || t.received() <= 0 || hosts_.multiplexes(a.host))
            continue;
        if (!runsBelowWhatTheRunCarries(t)) continue;
        const int idle = freeConnections();
        if (idle <= 0 || !hosts_.mayBegin(a.host)) continue;
        char* effective = nullptr;
        if (curl_easy_getinfo(t.easy(), CURLINFO_EFFECTIVE_URL, &effective) != CURLE_OK || !effective) continue;
        auto s = std::make_shared<SplitItem>(t.total(), t.received());
        const auto mine = s->plan.take();
        if (!mine || s->plan.split(mine->id, idle) == 0) continue;
        s->mainPiece = mine->id;
        s->startOvers = t.startOvers();
        s->url = effective;
        s->proof.total = t.total();
        s->proof.validator = t.rangeValidator();
        s->proof.contentType = a.facts.contentType;
        a.split = std::move(s);
        a.splitTried = true;
        a.transfer->setLimit(a.split->plan.remaining(mine->id)->end);
        while (freeConnections() > 0 && hosts_.mayBegin(a.host) && startPiece(a)) {
        }
    }
}

}  // namespace Download
