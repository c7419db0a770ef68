#include "download/Downloader.h"

#include "download/Address.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <algorithm>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace Download {

namespace {
void globalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Free space is looked at every few MB, more often only as it nears the reserve.
constexpr qint64 kSpaceCheckBytes = 4 << 20;

struct WriteTarget {
    int fd = -1;
    CURL* easy = nullptr;
    qint64 bytes = 0;
    int error = 0;  // errno of a failed write
    qint64 reserve = -1;   // TransferLimits::freeReserveBytes
    qint64 nextSpaceCheck = 0;  // body bytes before which no look is needed
    bool noRoom = false;
    qint64 writeBehind = 0;
    off_t start = -1;       // file offset where the body began
    qint64 handedOver = 0;  // body bytes already given to the disk
};

// Is there room for `chunk` more bytes, and for the rest of a body whose length is known, above
// the reserve? Plans the next look so that what comes until then fits in half the room left.
bool roomFor(WriteTarget& target, qint64 chunk) {
    struct statvfs fs {};
    if (::fstatvfs(target.fd, &fs) != 0) {
        target.nextSpaceCheck = target.bytes + kSpaceCheckBytes;
        return true;
    }
    const qint64 size = qint64(fs.f_blocks) * qint64(fs.f_frsize);
    const qint64 room = qint64(fs.f_bavail) * qint64(fs.f_frsize) - std::min(target.reserve, size / 20);
    qint64 needed = chunk;
    curl_off_t length = -1;
    if (curl_easy_getinfo(target.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0)
        needed = std::max<qint64>(needed, qint64(length) - target.bytes);
    if (room < needed) return false;
    target.nextSpaceCheck = target.bytes + chunk + std::min(kSpaceCheckBytes, (room - chunk) / 2);
    return true;
}

size_t writeBody(char* data, size_t size, size_t count, void* user) {
    auto* target = static_cast<WriteTarget*>(user);
    const size_t total = size * count;
    if (target->reserve >= 0 && target->bytes + qint64(total) > target->nextSpaceCheck &&
        !roomFor(*target, qint64(total))) {
        target->noRoom = true;
        return 0;
    }
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

Fw::Result<TransferInfo> Downloader::fetchToFd(const QString& url, int fd) {
    if (!d->multi || !d->easy) return Fw::Error::failed(QStringLiteral("Cannot start the downloader"));
    if (d->cancelled) return Fw::Error::cancelled();
    const QString address = FetchAddress(url);
    // libcurl would take a file:// address, or guess http for one without a scheme.
    if (!IsWebAddress(address)) return Fw::Error::failed(QStringLiteral("Only http and https addresses can be downloaded"));
    CURL* easy = d->easy;
    // The handle keeps its connections between calls; only the per-transfer settings change.
    curl_easy_reset(easy);
    WriteTarget target;
    target.fd = fd;
    target.easy = easy;
    target.reserve = d->limits.freeReserveBytes;
    target.writeBehind = d->writeBehind;
    if (target.writeBehind > 0) target.start = ::lseek(fd, 0, SEEK_CUR);
    const QByteArray urlBytes = address.toUtf8();
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
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Fetchwright/1.0");
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &target);

    // Only a finished transfer that says so counts as a success.
    CURLcode code = CURLE_FAILED_INIT;
    bool cancelled = false;
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
            cancelled = true;
            break;
        }
        // Woken at once by cancel(); otherwise at least ten times a second.
        curl_multi_poll(d->multi, nullptr, 0, 100, nullptr);
    }
    if (added) curl_multi_remove_handle(d->multi, easy);

    TransferInfo info;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &info.httpStatus);
    char* effective = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
        info.finalUrl = QString::fromUtf8(effective);
    info.bytes = target.bytes;
    const long status = info.httpStatus;

    if (cancelled) return Fw::Error::cancelled();
    if (target.noRoom) return Fw::Error::failed(QStringLiteral("Not enough free disk space"), ENOSPC);
    if (target.error != 0) return Fw::Error::fromErrno(target.error);
    if (code == CURLE_HTTP_RETURNED_ERROR || (code == CURLE_OK && status >= 400))
        return Fw::Error::failed(QStringLiteral("HTTP %1").arg(status), static_cast<int>(status));
    if (code != CURLE_OK)
        return Fw::Error::failed(d->errorBuffer[0] ? QString::fromUtf8(d->errorBuffer)
                                                   : QString::fromUtf8(curl_easy_strerror(code)));
    if (status >= 300 && status < 400) {
        // The redirect's own page is not the file asked for.
        char* location = nullptr;
        curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &location);
        return Fw::Error::failed(location && *location ? QStringLiteral("HTTP %1 redirect not followed").arg(status)
                                                       : QStringLiteral("HTTP %1 without a Location").arg(status),
                                 static_cast<int>(status));
    }
    return info;
}

}  // namespace Download
