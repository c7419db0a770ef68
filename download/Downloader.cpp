#include "download/Downloader.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>

#include "download/Transfer.h"

namespace Download {

qint64 SteadyNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Downloader::Impl {
    TransferLimits limits;
    CURLM* multi = nullptr;
    std::atomic<bool> cancelled{false};
    qint64 writeBehind = 0;
    TransferProgress* progress = nullptr;

    // Runs one try to its end. Returns the try's code; `cancelledNow` when aborted.
    CURLcode perform(CURL* easy, bool& cancelledNow);
    // Waits `ms`, or less when cancelled. Returns false when cancelled.
    bool wait(qint64 ms);
};

CURLcode Downloader::Impl::perform(CURL* easy, bool& cancelledNow) {
    CURLcode code = CURLE_FAILED_INIT;
    cancelledNow = false;
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            code = CURLE_FAILED_INIT;
            break;
        }
        if (running == 0) {
            // Only a finished transfer that says so counts as a success.
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
                if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) code = msg->data.result;
            }
            break;
        }
        if (cancelled) {
            cancelledNow = true;
            break;
        }
        // Woken at once by cancel(); otherwise at least ten times a second.
        curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    curl_multi_remove_handle(multi, easy);
    return code;
}

bool Downloader::Impl::wait(qint64 ms) {
    const qint64 until = SteadyNowMs() + ms;
    for (;;) {
        if (cancelled) return false;
        const qint64 left = until - SteadyNowMs();
        if (left <= 0) return true;
        // cancel() wakes the poll at once.
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::min<qint64>(left, 1000)), nullptr);
    }
}

Downloader::Downloader(TransferLimits limits) : d(std::make_unique<Impl>()) {
    CurlGlobalInit();
    d->limits = limits;
    d->multi = curl_multi_init();
}

Downloader::~Downloader() {
    if (d->multi) curl_multi_cleanup(d->multi);
}

void Downloader::cancel() {
    d->cancelled = true;
    if (d->multi) curl_multi_wakeup(d->multi);
}

void Downloader::reset() { d->cancelled = false; }
void Downloader::setWriteBehind(qint64 bytes) { d->writeBehind = bytes; }
void Downloader::setProgress(TransferProgress* progress) { d->progress = progress; }
bool Downloader::isCancelled() const { return d->cancelled; }

Fw::Result<TransferInfo> Downloader::fetchToFd(const QString& url, int fd) { return fetchToFile(url, FileTarget{fd}); }

Fw::Result<TransferInfo> Downloader::fetchToFile(const QString& url, const FileTarget& file) {
    if (!d->multi) return Fw::Error::failed(QStringLiteral("Cannot start the downloader"));
    if (d->cancelled) return Fw::Error::cancelled();
    Transfer transfer(d->limits, url, file, d->progress);
    if (transfer.refused()) return transfer.refusal();
    transfer.setWriteBehind(d->writeBehind);
    for (;;) {
        transfer.prepareTry();
        bool cancelledNow = false;
        const CURLcode code = d->perform(transfer.easy(), cancelledNow);
        if (cancelledNow) return Fw::Error::cancelled();
        switch (transfer.evaluate(code)) {
        case Transfer::Next::Done: return transfer.info();
        case Transfer::Next::Failed: return transfer.error();
        case Transfer::Next::Skipped: return Fw::Error::failed(QStringLiteral("Skipped"));
        case Transfer::Next::TryNow: break;
        case Transfer::Next::TryLater:
            if (!d->wait(transfer.waitMs())) return Fw::Error::cancelled();
            break;
        }
    }
}

}  // namespace Download
