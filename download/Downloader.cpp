#include "download/Downloader.h"

#include <QFile>

#include "download/Address.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "support/BuildInfo.h"

namespace Download {

qint64 SteadyNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

namespace {
void globalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The value of a header of the last answer, empty when it has none.
QByteArray headerOf(CURL* easy, const char* name) {
    curl_header* h = nullptr;
    if (curl_easy_header(easy, name, 0, CURLH_HEADER, -1, &h) != CURLHE_OK || !h || !h->value) return {};
    return QByteArray(h->value).trimmed();
}

// "bytes FIRST-LAST/TOTAL"; false when it is not of that form.
bool parseContentRange(const QByteArray& value, qint64& first, qint64& total) {
    if (!value.startsWith("bytes ")) return false;
    const QByteArray rest = value.mid(6).trimmed();
    const int dash = rest.indexOf('-');
    const int slash = rest.indexOf('/');
    if (dash <= 0 || slash <= dash) return false;
    bool ok1 = false, ok2 = false;
    first = rest.left(dash).toLongLong(&ok1);
    total = rest.mid(slash + 1).toLongLong(&ok2);
    return ok1 && ok2 && first >= 0 && total > 0;
}

// Where one body goes, and what the answer it came from said about itself.
struct Body {
    CURL* easy = nullptr;
    int fd = -1;
    off_t start = -1;   // file offset where the body begins; -1 when the file cannot seek
    qint64 bytes = 0;   // body bytes in the file
    int error = 0;      // errno of a failed write
    qint64 writeBehind = 0;
    qint64 handedOver = 0;  // body bytes already given to the disk
    TransferProgress* progress = nullptr;
    qint64 reserve = -1;        // TransferLimits::freeReserveBytes
    SpaceBudget* space = nullptr;  // what may be written before the free space is looked at again
    bool lengthChecked = false;    // the room for this answer's announced length was looked at
    bool noRoom = false;

    // This try.
    qint64 resumeFrom = -1;   // the try asked for the body from this byte on
    QByteArray validator;     // the ETag or Last-Modified it sent in If-Range
    bool begun = false;       // its first body byte came
    bool restart = false;     // its answer cannot be appended: ask for the whole body again
    long refusedStatus = 0;   // its answer was an error or a redirect page, not the file

    // The answer whose body is in the file.
    qint64 total = -1;
    QByteArray etag, lastModified;
    bool acceptsRanges = false;

    void startOver() {
        if (bytes > 0 && start >= 0) {
            ::ftruncate(fd, start);
            ::lseek(fd, start, SEEK_SET);
        }
        bytes = 0;
        handedOver = 0;
        lengthChecked = false;
        total = -1;
        etag.clear();
        lastModified.clear();
        acceptsRanges = false;
        if (progress) {
            progress->received.store(0, std::memory_order_relaxed);
            progress->total.store(-1, std::memory_order_relaxed);
        }
    }

    // Called at the answer's first body byte: append, start over, or refuse it.
    bool begin() {
        begun = true;
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 300) {
            refusedStatus = status;
            return false;
        }
        if (resumeFrom >= 0 && status == 206) {
            qint64 first = -1, answerTotal = -1;
            const bool sameFile = parseContentRange(headerOf(easy, "Content-Range"), first, answerTotal) &&
                                  first == resumeFrom && answerTotal == total &&
                                  (headerOf(easy, "ETag") == validator || headerOf(easy, "Last-Modified") == validator);
            if (!sameFile) {
                restart = true;
                return false;
            }
            return true;  // the file goes on at resumeFrom, where it ends
        }
        if (status == 206) {  // a part of the body that nobody asked for
            refusedStatus = status;
            return false;
        }
        startOver();
        curl_off_t length = -1;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        total = length > 0 ? static_cast<qint64>(length) : -1;
        etag = headerOf(easy, "ETag");
        lastModified = headerOf(easy, "Last-Modified");
        acceptsRanges = headerOf(easy, "Accept-Ranges").toLower() == "bytes";
        if (progress) progress->total.store(total, std::memory_order_relaxed);
        return true;
    }

    // The validator a range request may send, empty when the answer gave no usable one.
    QByteArray rangeValidator() const {
        if (!etag.isEmpty() && !etag.startsWith("W/")) return etag;  // If-Range takes strong tags only
        return lastModified;
    }
    bool canResume() const {
        return start >= 0 && bytes > 0 && acceptsRanges && total > bytes && !rangeValidator().isEmpty();
    }
};

// Free space is looked at every few MB, more often only as it nears the reserve.
constexpr qint64 kSpaceCheckBytes = 4 << 20;

// Is there room for `chunk` more bytes, and for the rest of a body whose length is known, above
// the reserve? Plans the next look so that what comes until then fits in half the room left.
bool roomFor(Body& body, qint64 chunk) {
    struct statvfs fs {};
    // A file system without a size (a memory file, a pipe) has no free space to speak of.
    if (::fstatvfs(body.fd, &fs) != 0 || fs.f_blocks == 0) {
        body.space->allowance = chunk + kSpaceCheckBytes;
        return true;
    }
    const qint64 size = qint64(fs.f_blocks) * qint64(fs.f_frsize);
    const qint64 room = qint64(fs.f_bavail) * qint64(fs.f_frsize) - std::min(body.reserve, size / 20);
    const qint64 needed = std::max<qint64>(chunk, body.total > 0 ? body.total - body.bytes : 0);
    body.lengthChecked = true;
    if (room < needed) return false;
    body.space->allowance = chunk + std::min(kSpaceCheckBytes, (room - chunk) / 2);
    return true;
}

// Must the free space be looked at before `chunk` more bytes are written? Not while they fit in
// what the last look allowed, which several transfers into one folder share; an announced
// length is weighed against it at its first byte.
bool spaceCheckDue(const Body& body, qint64 chunk) {
    const qint64 allowance = body.space->allowance;
    if (chunk > allowance) return true;
    return !body.lengthChecked && body.total > 0 && body.total - body.bytes > allowance;
}

size_t writeBody(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<Body*>(user);
    const size_t total = size * count;
    if (!body->begun && !body->begin()) return 0;  // libcurl ends the transfer with a write error
    if (body->reserve >= 0) {
        if (spaceCheckDue(*body, qint64(total)) && !roomFor(*body, qint64(total))) {
            body->noRoom = true;
            return 0;
        }
        body->space->allowance -= qint64(total);
    }
    size_t done = 0;
    while (done < total) {
        const ssize_t n = ::write(body->fd, data + done, total - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            body->error = errno;
            return 0;
        }
        done += static_cast<size_t>(n);
    }
    body->bytes += static_cast<qint64>(total);
    if (body->progress) body->progress->received.store(body->bytes, std::memory_order_relaxed);
    if (body->writeBehind > 0 && body->start >= 0 && body->bytes - body->handedOver >= body->writeBehind) {
        // Start the disk on what has come so far, without waiting for it.
        ::sync_file_range(body->fd, body->start + body->handedOver, body->bytes - body->handedOver,
                          SYNC_FILE_RANGE_WRITE);
        body->handedOver = body->bytes;
    }
    return total;
}

bool isTransientStatus(long status) {
    switch (status) {
    case 408: case 429: case 500: case 502: case 503: case 504: return true;
    default: return false;
    }
}

// A time-out, or a connection that broke or closed before the body ended. A host that cannot be
// resolved, a refused connection and TLS failures are not going to change in a few seconds.
bool isTransientCode(CURLcode code) {
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
        return true;
    default:
        return false;
    }
}

// Retry-After in seconds (a number, or an HTTP date); -1 when absent or unreadable.
long retryAfterSeconds(const QByteArray& value) {
    if (value.isEmpty()) return -1;
    bool number = false;
    const long seconds = value.toLong(&number);
    if (number) return seconds >= 0 ? seconds : -1;
    const time_t when = curl_getdate(value.constData(), nullptr);
    if (when < 0) return -1;
    return std::max<long>(0, static_cast<long>(when - std::time(nullptr)));
}
}  // namespace

struct Downloader::Impl {
    TransferLimits limits;
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    std::atomic<bool> cancelled{false};
    qint64 writeBehind = 0;
    TransferProgress* progress = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    // Runs one request to its end. Returns the transfer's code; `cancelled` when aborted.
    CURLcode perform(bool& cancelledNow);
    // Waits `ms`, or less when cancelled. Returns false when cancelled.
    bool wait(long ms);
};

CURLcode Downloader::Impl::perform(bool& cancelledNow) {
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

bool Downloader::Impl::wait(long ms) {
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
void Downloader::setProgress(TransferProgress* progress) { d->progress = progress; }
bool Downloader::isCancelled() const { return d->cancelled; }

Fw::Result<TransferInfo> Downloader::fetchToFd(const QString& url, int fd) { return fetchToFile(url, FileTarget{fd}); }

Fw::Result<TransferInfo> Downloader::fetchToFile(const QString& url, const FileTarget& file) {
    const int fd = file.fd;
    SpaceBudget ownSpace;
    if (!d->multi || !d->easy) return Fw::Error::failed(QStringLiteral("Cannot start the downloader"));
    if (d->cancelled) return Fw::Error::cancelled();
    const QString address = FetchAddress(url);
    // libcurl would take a file:// address, or guess http for one without a scheme.
    if (!IsWebAddress(address)) return Fw::Error::failed(QStringLiteral("Only http and https addresses can be downloaded"));
    CURL* easy = d->easy;
    TransferProgress* progress = d->progress;
    Body body;
    body.easy = easy;
    body.fd = fd;
    body.writeBehind = d->writeBehind;
    body.progress = progress;
    body.reserve = d->limits.freeReserveBytes;
    body.space = file.space ? file.space : &ownSpace;
    body.start = file.empty ? 0 : ::lseek(fd, 0, SEEK_CUR);
    const QByteArray firstUrl = address.toUtf8();
    const QByteArray caFile = QFile::encodeName(d->limits.caFile);
    QByteArray resumeUrl;  // the address the body in the file came from, after redirects
    const int maxTries = std::max(1, d->limits.maxTries);

    auto withTries = [](const QString& text, int tries) {
        return tries > 1 ? text + QStringLiteral(" after %1 tries").arg(tries) : text;
    };

    int tries = 0;
    int restarts = 0;  // range answers that could not be appended, each asked again at once
    for (;;) {
        ++tries;
        if (progress) {
            progress->attempt.store(tries, std::memory_order_relaxed);
            progress->retryAtMs.store(0, std::memory_order_relaxed);
        }
        const bool resume = body.canResume() && !resumeUrl.isEmpty();
        if (!resume) body.startOver();
        body.resumeFrom = resume ? body.bytes : -1;
        body.validator = resume ? body.rangeValidator() : QByteArray();
        body.begun = body.restart = false;
        body.refusedStatus = 0;
        if (resume) ::lseek(fd, body.start + body.bytes, SEEK_SET);

        // The handle keeps its connections between calls; only the per-transfer settings change.
        curl_easy_reset(easy);
        d->errorBuffer[0] = '\0';
        curl_easy_setopt(easy, CURLOPT_URL, resume ? resumeUrl.constData() : firstUrl.constData());
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, d->errorBuffer);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, d->limits.maxRedirects);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, d->limits.connectTimeoutMs);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, d->limits.stallSeconds);
        curl_easy_setopt(easy, CURLOPT_USERAGENT, BuildInfo::kUserAgent);
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024L);
        if (!caFile.isEmpty()) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.constData());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
        curl_slist* headers = nullptr;
        if (resume) {
            const QByteArray range = "Range: bytes=" + QByteArray::number(body.bytes) + "-";
            const QByteArray ifRange = "If-Range: " + body.validator;
            headers = curl_slist_append(headers, range.constData());
            headers = curl_slist_append(headers, ifRange.constData());
            curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        }

        bool cancelledNow = false;
        const CURLcode code = d->perform(cancelledNow);
        curl_slist_free_all(headers);

        TransferInfo info;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &info.httpStatus);
        char* effective = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
            info.finalUrl = QString::fromUtf8(effective);
        info.bytes = body.bytes;
        info.tries = tries;
        const long status = info.httpStatus;

        if (cancelledNow) return Fw::Error::cancelled();
        if (body.noRoom) return Fw::Error::failed(QStringLiteral("Not enough free disk space"), ENOSPC);
        if (body.error != 0) return Fw::Error::fromErrno(body.error);

        // An answer to a range request that cannot be appended, or a 416: the whole body is
        // asked for at once, without counting a try.
        if (resume && restarts < maxTries && (body.restart || (status == 416 && !body.begun))) {
            ++restarts;
            resumeUrl.clear();
            --tries;
            continue;
        }

        QString reason;
        bool transient = false;
        if (body.refusedStatus >= 400 || (code == CURLE_OK && status >= 400)) {
            reason = QStringLiteral("HTTP %1").arg(status);
            transient = isTransientStatus(status);
            if (transient) {
                const long asked = retryAfterSeconds(headerOf(easy, "Retry-After"));
                if (asked > d->limits.maxRetryAfterSeconds) {
                    return Fw::Error::failed(
                        withTries(reason + QStringLiteral(" (the server asks to wait %1 s)").arg(asked), tries),
                        static_cast<int>(status));
                }
                if (tries < maxTries) {
                    const std::vector<long>& waits = d->limits.retryWaitsMs;
                    long ms = waits.empty() ? 0 : waits[std::min<std::size_t>(tries - 1, waits.size() - 1)];
                    if (asked >= 0) ms = asked * 1000;
                    if (progress) progress->retryAtMs.store(SteadyNowMs() + ms, std::memory_order_relaxed);
                    if (!d->wait(ms)) return Fw::Error::cancelled();
                    continue;
                }
            }
            return Fw::Error::failed(withTries(reason, tries), static_cast<int>(status));
        }
        if (body.refusedStatus == 206)
            return Fw::Error::failed(withTries(QStringLiteral("HTTP 206 to a request for the whole file"), tries), 206);
        if (body.refusedStatus >= 300 || (code == CURLE_OK && status >= 300 && status < 400)) {
            // The redirect's own page is not the file asked for.
            char* location = nullptr;
            curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &location);
            return Fw::Error::failed(
                withTries(location && *location ? QStringLiteral("HTTP %1 redirect not followed").arg(status)
                                                : QStringLiteral("HTTP %1 without a Location").arg(status),
                          tries),
                static_cast<int>(status));
        }
        if (code == CURLE_OK) {
            if (resume && !body.begun) {
                // No byte came: an empty whole answer makes an empty file; an empty part is
                // not to be trusted.
                resumeUrl.clear();
                body.startOver();
                info.bytes = 0;
                if (status != 200 && restarts < maxTries) {
                    ++restarts;
                    --tries;
                    continue;
                }
                if (status != 200) return Fw::Error::failed(withTries(QStringLiteral("HTTP %1 without a body").arg(status), tries));
            }
            return info;
        }
        reason = d->errorBuffer[0] ? QString::fromUtf8(d->errorBuffer) : QString::fromUtf8(curl_easy_strerror(code));
        // Without a file that can be rewound, bytes already written cannot be taken back.
        transient = isTransientCode(code) && (body.start >= 0 || body.bytes == 0);
        if (!transient || tries >= maxTries) return Fw::Error::failed(withTries(reason, tries));
        resumeUrl = info.finalUrl.toUtf8();
        const std::vector<long>& waits = d->limits.retryWaitsMs;
        const long ms = waits.empty() ? 0 : waits[std::min<std::size_t>(tries - 1, waits.size() - 1)];
        if (progress) progress->retryAtMs.store(SteadyNowMs() + ms, std::memory_order_relaxed);
        if (!d->wait(ms)) return Fw::Error::cancelled();
    }
}

}  // namespace Download
