#include "download/Transfer.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "download/Address.h"
#include "download/AnswerRules.h"
#include "download/Checksum.h"
#include "download/Requests.h"
#include "download/RunShare.h"
#include "download/TransferBody.h"

namespace Download {


Transfer::Transfer(const TransferLimits& limits, const QString& url, const FileTarget& file, TransferProgress* progress)
    : Transfer(limits, Address(url), file, progress) {}

Transfer::Transfer(const TransferLimits& limits, const Address& address, const FileTarget& file, TransferProgress* progress)
    : body_(std::make_unique<Body>()), limits_(limits), progress_(progress) {
    CurlGlobalInit();
    address_ = address.fetch();
    https_ = address.isHttps();
    // libcurl would take a file:// address, or guess http for one without a scheme.
    if (!address.isWeb()) refusal_ = Fw::Error::failed(QCoreApplication::translate("Transfer", "Only http and https addresses can be downloaded"));
    easy_ = curl_easy_init();
    if (!easy_ && refusal_.text.isEmpty()) refusal_ = Fw::Error::failed(QCoreApplication::translate("Transfer", "Cannot start the downloader"));
    Body& body = *body_;
    body.easy = easy_;
    body.fd = file.fd;
    body.progress = progress;
    body.reserve = limits.freeReserveBytes;
    body.space = file.space ? file.space : &body.ownSpace;
    body.start = file.empty ? 0 : ::lseek(file.fd, 0, SEEK_CUR);
    firstUrl_ = address_.toUtf8();
    body.fetched = firstUrl_;
    body.fetchedSegment = address.lastSegment();
    caFile_ = QFile::encodeName(limits.caFile);
}

Transfer::~Transfer() {
    if (easy_) curl_easy_cleanup(easy_);
    curl_slist_free_all(headers_);
}

void Transfer::setWriteBehind(qint64 bytes) { body_->writeBehind = bytes; }
void Transfer::setAnswerHandler(AnswerHandler handler) {
    answerHandler_ = std::move(handler);
    body_->answer = &answerHandler_;
}
bool Transfer::answered() const { return body_->decided; }

void Transfer::continueFrom(qint64 bytes, qint64 total, const QByteArray& validator) {
    Body& body = *body_;
    body.bytes = bytes;
    body.total = total;
    body.acceptsRanges = true;
    body.decided = true;
    body.etag.clear();
    body.lastModified.clear();
    // A tag is quoted; a date is not.
    if (validator.startsWith('"') || validator.startsWith("W/"))
        body.etag = validator;
    else
        body.lastModified = validator;
    resumeUrl_ = firstUrl_;
    if (progress_) {
        progress_->received.store(bytes, std::memory_order_relaxed);
        progress_->total.store(total, std::memory_order_relaxed);
    }
}

void Transfer::switchFile(int fd) { body_->fd = fd; }
void Transfer::keepRefusedPart(bool on) { body_->keepRefused = on; }
void Transfer::setConditional(QByteArray etag, QByteArray lastModified) {
    // Header values come from our own record, but a line break in one would forge another header.
    const auto oneLine = [](QByteArray v) { return v.contains('\r') || v.contains('\n') ? QByteArray() : v; };
    ifNoneMatch_ = oneLine(std::move(etag));
    ifModifiedSince_ = oneLine(std::move(lastModified));
}
QByteArray Transfer::etag() const { return body_->etag; }
QByteArray Transfer::lastModified() const { return body_->lastModified; }
void Transfer::setDigest(Checksum::Running* digest) {
    Body& body = *body_;
    body.digest = digest;
    if (!digest) return;
    digest->reset();
    if (body.bytes > 0 && body.start >= 0) digest->addFileStart(body.fd, body.start, body.bytes);
}
QByteArray Transfer::rangeValidator() const { return body_->rangeValidator(); }
bool Transfer::acceptsRanges() const { return body_->acceptsRanges; }
void Transfer::setLimit(qint64 bytes) { body_->limit = bytes; }
int Transfer::startOvers() const { return body_->startOvers; }
bool Transfer::answerNow() {
    if (body_->decided) return !body_->skipped;
    curl_off_t length = -1;
    curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (body_->total < 0 && length >= 0) body_->total = static_cast<qint64>(length);
    return body_->decide();
}
void Transfer::setRateGate(RateGate* gate) { body_->gate = gate && gate->limited() ? gate : nullptr; }
bool Transfer::paused() const { return body_->paused; }
qint64 Transfer::bytesMoved() const { return body_->moved; }
qint64 Transfer::received() const { return body_->bytes; }
qint64 Transfer::total() const { return body_->total; }

void Transfer::resume() {
    if (!body_->paused) return;
    body_->paused = false;
    curl_easy_pause(easy_, CURLPAUSE_CONT);
}

void Transfer::prepareTry() {
    Body& body = *body_;
    ++tries_;
    if (progress_) {
        progress_->attempt.store(tries_, std::memory_order_relaxed);
        progress_->retryAtMs.store(0, std::memory_order_relaxed);
    }
    resume_ = body.canResume() && !resumeUrl_.isEmpty();
    if (!resume_) body.startOver();
    body.resumeFrom = resume_ ? body.bytes : -1;
    body.askedEnd = resume_ && body.limit > body.bytes && body.limit < body.total ? body.limit : -1;
    body.validator = resume_ ? body.rangeValidator() : QByteArray();
    body.begun = body.restart = body.paused = body.reachedLimit = false;
    body.refusedStatus = 0;
    if (resume_) ::lseek(body.fd, body.start + body.bytes, SEEK_SET);

    // The handle keeps its settings per try; the connections belong to the multi handle. A
    // handle not yet used holds libcurl's defaults already.
    if (std::exchange(handleUsed_, true)) curl_easy_reset(easy_);
    curl_slist_free_all(headers_);
    headers_ = nullptr;
    errorBuffer_[0] = '\0';
    curl_easy_setopt(easy_, CURLOPT_URL, resume_ ? resumeUrl_.constData() : firstUrl_.constData());
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);
    SetRequestBasics(easy_, limits_);
    curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, body.gate ? body.gate->bufferSize() : 256L * 1024L);
    // Several transfers to one server share one connection where it speaks HTTP/2, which is
    // known once its TLS handshake is done; plain http is HTTP/1.1, where waiting to learn that
    // would hold every transfer behind the first answer's headers.
    curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_2TLS);
    if (https_) curl_easy_setopt(easy_, CURLOPT_PIPEWAIT, 1L);
    if (fresh_) {
        curl_easy_setopt(easy_, CURLOPT_FRESH_CONNECT, 1L);
        fresh_ = false;
    }
    UseTrustStore(easy_, caFile_);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, body_.get());
    curl_easy_setopt(easy_, CURLOPT_PRIVATE, this);
    if (!resume_ && (!ifNoneMatch_.isEmpty() || !ifModifiedSince_.isEmpty())) {
        if (!ifNoneMatch_.isEmpty()) headers_ = curl_slist_append(headers_, ("If-None-Match: " + ifNoneMatch_).constData());
        if (!ifModifiedSince_.isEmpty())
            headers_ = curl_slist_append(headers_, ("If-Modified-Since: " + ifModifiedSince_).constData());
        curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
    }
    if (resume_) {
        const QByteArray range = "Range: bytes=" + QByteArray::number(body.bytes) + "-" +
                                 (body.askedEnd > 0 ? QByteArray::number(body.askedEnd - 1) : QByteArray());
        const QByteArray ifRange = "If-Range: " + body.validator;
        headers_ = curl_slist_append(headers_, range.constData());
        headers_ = curl_slist_append(headers_, ifRange.constData());
        curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
    }
    applyRequest();
}

Transfer::Next Transfer::evaluate(CURLcode code) {
    Body& body = *body_;
    // The try is over: the bytes it brought go into the file before anything is judged of them.
    body.writePending(true);
    waitMs_ = 0;
    hostWaitMs_ = -1;
    info_ = TransferInfo{};
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &info_.httpStatus);
    char* effective = nullptr;
    if (curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
        info_.finalUrl = QString::fromUtf8(effective);
    info_.bytes = body.bytes;
    info_.tries = tries_;
    const long status = info_.httpStatus;
    const int maxTries = std::max(1, limits_.maxTries);
    auto withTries = [&](const QString& text) {
        return tries_ > 1 ? text + QCoreApplication::translate("Transfer", " after %1 tries").arg(tries_) : text;
    };
    auto failed = [&](const QString& text, int errorCode = 0) {
        error_ = Fw::Error::failed(withTries(text), errorCode);
        return Next::Failed;
    };
    auto laterOrFail = [&](const QString& reason, qint64 ms) {
        if (tries_ >= maxTries) return failed(reason);
        waitMs_ = ms;
        if (progress_) progress_->retryAtMs.store(SteadyNowMs() + ms, std::memory_order_relaxed);
        return Next::TryLater;
    };
    auto scheduledWait = [&] {
        const std::vector<long>& waits = limits_.retryWaitsMs;
        return waits.empty() ? qint64(0) : qint64(waits[std::min<std::size_t>(tries_ - 1, waits.size() - 1)]);
    };

    if (body.skipped) return Next::Skipped;
    if (code == CURLE_OK && status == 304 && (!ifNoneMatch_.isEmpty() || !ifModifiedSince_.isEmpty())) {
        notModified_ = true;
        return Next::Skipped;
    }
    if (code == CURLE_ABORTED_BY_CALLBACK && refererWithheld_) {
        refererWithheld_ = false;
        --tries_;
        return Next::TryNow;
    }
    if (body.noRoom) {
        error_ = Fw::Error::failed(QCoreApplication::translate("Transfer", "Not enough free disk space"), ENOSPC);
        return Next::Failed;
    }
    if (body.error != 0) {
        error_ = Fw::Error::fromErrno(body.error);
        return Next::Failed;
    }
    if (body.reachedLimit) return Next::Done;

    if (resume_ && body.keepRefused && (body.restart || (status == 416 && !body.begun)))
        return failed(QCoreApplication::translate("Transfer", "The server no longer continues the kept part"), kPartRefused);
    // An answer to a range request that cannot be appended, or a 416: the whole body is asked
    // for at once, without counting a try.
    if (resume_ && restarts_ < maxTries && (body.restart || (status == 416 && !body.begun))) {
        ++restarts_;
        resumeUrl_.clear();
        --tries_;
        return Next::TryNow;
    }

    if (body.refusedStatus >= 400 || (code == CURLE_OK && status >= 400)) {
        const QString reason = QStringLiteral("HTTP %1").arg(status);
        if (!isTransientStatus(status)) return failed(reason, static_cast<int>(status));
        const long asked = retryAfterSeconds(headerOf(easy_, "Retry-After"));
        if (asked > limits_.maxRetryAfterSeconds)
            return failed(reason + QCoreApplication::translate("Transfer", " (the server asks to wait %1)").arg(
                                       asked >= 120 ? QCoreApplication::translate("Transfer", "%1 min").arg((asked + 59) / 60)
                                                    : QCoreApplication::translate("Transfer", "%1 s").arg(asked)),
                          static_cast<int>(status));
        // The server asked everyone to wait: the whole host, not only this item.
        if (asked >= 0 && (status == 429 || status == 503)) hostWaitMs_ = qint64(asked) * 1000;
        const Next next = laterOrFail(reason, asked >= 0 ? qint64(asked) * 1000 : scheduledWait());
        if (next == Next::Failed) error_.code = static_cast<int>(status);
        return next;
    }
    if (body.refusedStatus == 206) return failed(QCoreApplication::translate("Transfer", "HTTP 206 to a request for the whole file"), 206);
    if (body.refusedStatus >= 300 || (code == CURLE_OK && status >= 300 && status < 400)) {
        // The redirect's own page is not the file asked for.
        char* location = nullptr;
        curl_easy_getinfo(easy_, CURLINFO_REDIRECT_URL, &location);
        return failed(location && *location ? QCoreApplication::translate("Transfer", "HTTP %1 redirect not followed").arg(status)
                                            : QCoreApplication::translate("Transfer", "HTTP %1 without a Location").arg(status),
                      static_cast<int>(status));
    }
    if (code == CURLE_OK) {
        if (resume_ && !body.begun) {
            // No byte came: an empty whole answer makes an empty file; an empty part is not to be
            // trusted.
            resumeUrl_.clear();
            body.startOver();
            info_.bytes = 0;
            if (status != 200 && restarts_ < maxTries) {
                ++restarts_;
                --tries_;
                return Next::TryNow;
            }
            if (status != 200) return failed(QCoreApplication::translate("Transfer", "HTTP %1 without a body").arg(status));
            return Next::Done;
        }
        // The part asked for is in, but the limit was lifted since (the other connections gave
        // their pieces back): the rest is asked for at once.
        if (resume_ && body.askedEnd > 0 && body.bytes == body.askedEnd && body.bytes < body.total) {
            --tries_;
            return Next::TryNow;
        }
        // A body that is not the length its answer announced (a part that brought less or more
        // than the rest) is not the file: the next try starts it again.
        if (body.total > 0 && body.bytes != body.total) {
            const QString reason = QCoreApplication::translate("Transfer", "The server sent %1 of %2 bytes").arg(body.bytes).arg(body.total);
            resumeUrl_.clear();
            body.startOver();
            return laterOrFail(reason, scheduledWait());
        }
        return Next::Done;
    }
    const QString reason = ProxyAwareReason(request_.get(), easy_, firstUrl_, code, errorBuffer_,
                                            readableReason(code, errorBuffer_, limits_.stallSeconds));
    // A connection reused from an earlier answer that left it garbled (more body than it
    // announced) fails oddly before anything came: once more, on a connection of its own.
    long newConnections = -1;
    curl_easy_getinfo(easy_, CURLINFO_NUM_CONNECTS, &newConnections);
    if (!freshTried_ && newConnections == 0 && !body.begun && isGarbledAnswer(code)) {
        freshTried_ = true;
        fresh_ = true;
        --tries_;
        return Next::TryNow;
    }
    // Without a file that can be rewound, bytes already written cannot be taken back.
    const bool transient = isTransientCode(code) && (body.start >= 0 || body.bytes == 0);
    if (!transient) return failed(reason);
    resumeUrl_ = info_.finalUrl.toUtf8();
    return laterOrFail(reason, scheduledWait());
}

}  // namespace Download
