#include "download/Downloader.h"

#include <QFile>

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

#include "support/BuildInfo.h"

namespace Download {

namespace {
void globalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct WriteTarget {
    int fd = -1;
    qint64 bytes = 0;
    int error = 0;  // errno of a failed write
    qint64 writeBehind = 0;
    off_t start = -1;       // file offset where the body began
    qint64 handedOver = 0;  // body bytes already given to the disk
};

size_t writeBody(char* data, size_t size, size_t count, void* user) {
    auto* target = static_cast<WriteTarget*>(user);
    const size_t total = size * count;
    size_t done = 0;
    while (done < total) {
        const ssize_t n = ::write(target->fd, data + done, total - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            target->error = errno;
            return 0;  // libcurl ends the transfer with a write error
        }
        done += static_cast<size_t>(n);
    }
    target->bytes += static_cast<qint64>(total);
    if (target->writeBehind > 0 && target->start >= 0 && target->bytes - target->handedOver >= target->writeBehind) {
        // Start the disk on what has come so far, without waiting for it.
        ::sync_file_range(target->fd, target->start + target->handedOver, target->bytes - target->handedOver,
                          SYNC_FILE_RANGE_WRITE);
        target->handedOver = target->bytes;
    }
    return total;
}
}  // namespace

struct Downloader::Impl {
    TransferLimits limits;
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    std::atomic<bool> cancelled{false};
    qint64 writeBehind = 0;
    char errorBuffer[CURL_ERROR_SIZE] = {};
};

Downloader::Downloader(TransferLimits limits) : d(std::make_unique<Impl>()) {
    globalInitOnce();
    d->limits = limits;
    d->multi = curl_multi_init();
    d->easy = curl_easy_init();
}

Downloader::~Downloader() {
    if (d->easy) curl_easy_cleanup(d->easy);
    if (d->multi) curl_multi_cleanup(d->multi);
}

void Downloader::cancel() {
    d->cancelled = true;
    if (d->multi) curl_multi_wakeup(d->multi);
}

void Downloader::reset() { d->cancelled = false; }
void Downloader::setWriteBehind(qint64 bytes) { d->writeBehind = bytes; }
bool Downloader::isCancelled() const { return d->cancelled; }

TransferResult Downloader::fetchToFd(const QString& url, int fd) {
    TransferResult result;
    if (!d->multi || !d->easy) {
        result.reason = QStringLiteral("Cannot start the downloader");
        return result;
    }
    if (d->cancelled) {
        result.cancelled = true;
        result.reason = QStringLiteral("Cancelled");
        return result;
    }
    CURL* easy = d->easy;
    // The handle keeps its connections between calls; only the per-transfer settings change.
    curl_easy_reset(easy);
    WriteTarget target;
    target.fd = fd;
    target.writeBehind = d->writeBehind;
    if (target.writeBehind > 0) target.start = ::lseek(fd, 0, SEEK_CUR);
    // libcurl refuses an address with a blank in it. As browsers do, blanks around it are
    // dropped and blanks inside are sent escaped; escapes already in it stay as they are.
    QByteArray urlBytes = url.trimmed().toUtf8();
    urlBytes.replace(' ', "%20");
    d->errorBuffer[0] = '\0';
    curl_easy_setopt(easy, CURLOPT_URL, urlBytes.constData());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, d->errorBuffer);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, d->limits.maxRedirects);
    curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, d->limits.connectTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, d->limits.stallSeconds);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, BuildInfo::kUserAgent);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024L);
    const QByteArray caFile = QFile::encodeName(d->limits.caFile);
    if (!caFile.isEmpty()) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.constData());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &target);

    // Only a finished transfer that says so counts as a success.
    CURLcode code = CURLE_FAILED_INIT;
    const bool added = curl_multi_add_handle(d->multi, easy) == CURLM_OK;
    if (!added) code = CURLE_OUT_OF_MEMORY;
    while (added) {
        int running = 0;
        CURLMcode mc = curl_multi_perform(d->multi, &running);
        if (mc != CURLM_OK) {
            code = CURLE_FAILED_INIT;
            break;
        }
        if (running == 0) {
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(d->multi, &queued)) {
                if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) code = msg->data.result;
            }
            break;
        }
        if (d->cancelled) {
            result.cancelled = true;
            break;
        }
        // Woken at once by cancel(); otherwise at least ten times a second.
        curl_multi_poll(d->multi, nullptr, 0, 100, nullptr);
    }
    if (added) curl_multi_remove_handle(d->multi, easy);

    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    result.httpStatus = status;
    char* effective = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
        result.finalUrl = QString::fromUtf8(effective);
    result.bytes = target.bytes;

    if (result.cancelled) {
        result.reason = QStringLiteral("Cancelled");
    } else if (target.error != 0) {
        result.reason = QString::fromLocal8Bit(std::strerror(target.error));
    } else if (code == CURLE_HTTP_RETURNED_ERROR || (code == CURLE_OK && status >= 400)) {
        result.reason = QStringLiteral("HTTP %1").arg(status);
    } else if (code != CURLE_OK) {
        result.reason = d->errorBuffer[0] ? QString::fromUtf8(d->errorBuffer)
                                          : QString::fromUtf8(curl_easy_strerror(code));
    } else {
        result.ok = true;
    }
    return result;
}

}  // namespace Download
