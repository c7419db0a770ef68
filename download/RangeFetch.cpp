#include "download/RangeFetch.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cerrno>

#include <unistd.h>

#include "download/AnswerRules.h"
#include "download/RunShare.h"
#include "support/BuildInfo.h"

namespace Download {

RangeFetch::RangeFetch(const TransferLimits& limits, const QByteArray& url, int fd, RangePlan& plan, int piece,
                       AskedRange asked, std::function<bool()> stillWanted)
    : plan_(plan), piece_(piece), fd_(fd), asked_(std::move(asked)), stillWanted_(std::move(stillWanted)), url_(url),
      caFile_(QFile::encodeName(limits.caFile)) {
    CurlGlobalInit();
    easy_ = curl_easy_init();
    if (!easy_) return;
    const QByteArray range = "Range: bytes=" + QByteArray::number(asked_.first) + '-' + QByteArray::number(asked_.last);
    headers_ = curl_slist_append(headers_, range.constData());
    headers_ = curl_slist_append(headers_, ("If-Range: " + asked_.validator).constData());
    curl_easy_setopt(easy_, CURLOPT_URL, url_.constData());
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    // A piece comes from the address the item came from, or not at all.
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, limits.stallSeconds);
    curl_easy_setopt(easy_, CURLOPT_USERAGENT, BuildInfo::kUserAgent);
    curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_2TLS);
    UseTrustStore(easy_, caFile_);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &RangeFetch::write);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_PRIVATE, this);
}

RangeFetch::~RangeFetch() {
    if (easy_) curl_easy_cleanup(easy_);
    curl_slist_free_all(headers_);
}

void RangeFetch::resume() {
    if (!paused_) return;
    paused_ = false;
    curl_easy_pause(easy_, CURLPAUSE_CONT);
}

size_t RangeFetch::write(char* data, size_t size, size_t count, void* self) {
    auto* me = static_cast<RangeFetch*>(self);
    const size_t bytes = size * count;
    if (me->gate_ && !me->gate_->open(SteadyNowMs())) {
        me->paused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    return me->take(data, bytes);
}

// Anything short of `bytes` ends the transfer.
size_t RangeFetch::take(const char* data, size_t bytes) {
    if (!checked_) {
        RangeAnswer answer;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &answer.status);
        answer.contentRange = headerOf(easy_, "Content-Range");
        answer.etag = headerOf(easy_, "ETag");
        answer.lastModified = headerOf(easy_, "Last-Modified");
        answer.contentType = headerOf(easy_, "Content-Type");
        const Fw::Result<void> proof = CheckRangeAnswer(asked_, answer);
        if (!proof) {
            refused_ = true;
            why_ = proof.error().text;
            return 0;
        }
        checked_ = true;
    }
    if (stillWanted_ && !stillWanted_()) {
        unwanted_ = true;
        return 0;
    }
    const std::optional<ByteRange> rest = plan_.remaining(piece_);
    if (!rest) return 0;
    const qint64 wanted = std::min<qint64>(qint64(bytes), rest->size());
    qint64 done = 0;
    while (done < wanted) {
        const ssize_t n = ::pwrite(fd_, data + done, size_t(wanted - done), off_t(rest->first + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            writeError_ = errno;
            plan_.accept(piece_, done);
            return 0;
        }
        done += n;
    }
    plan_.accept(piece_, wanted);
    moved_ += wanted;
    if (gate_) gate_->consume(wanted);
    if (wanted < qint64(bytes) || wanted == rest->size()) {
        reachedEnd_ = true;
        return wanted == qint64(bytes) ? bytes : 0;
    }
    return bytes;
}

RangeFetch::End RangeFetch::settle(CURLcode code) {
    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    if (writeError_ != 0) {
        plan_.failed(piece_);
        why_ = Fw::Error::fromErrno(writeError_).text;
        return End::Failed;
    }
    const std::optional<ByteRange> rest = plan_.remaining(piece_);
    if (reachedEnd_ || (rest && rest->size() == 0)) {
        plan_.finished(piece_);
        return End::Done;
    }
    plan_.failed(piece_);
    if (unwanted_) return End::Broken;
    if ((status == 429 || status == 503) && !checked_) {
        // A number of seconds; a date or nothing is a short pause.
        bool ok = false;
        const long seconds = headerOf(easy_, "Retry-After").toLong(&ok);
        hostWaitMs_ = ok && seconds >= 0 ? qint64(std::min(seconds, 600L)) * 1000 : 1000;
        why_ = QStringLiteral("HTTP %1").arg(status);
        return End::Busy;
    }
    if (refused_ || (!checked_ && code == CURLE_OK)) {
        if (why_.isEmpty()) why_ = QCoreApplication::translate("RangePlan", "HTTP %1 without a body to a range request").arg(status);
        return End::Refused;
    }
    why_ = QString::fromUtf8(curl_easy_strerror(code));
    return End::Broken;
}

}  // namespace Download
