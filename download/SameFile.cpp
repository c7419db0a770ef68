#include "download/SameFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <curl/curl.h>

#include <algorithm>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "download/Address.h"
#include "download/AnswerRules.h"
#include "download/Requests.h"
#include "download/RunShare.h"
#include "download/Transfer.h"
#include "support/UniqueFd.h"

namespace Download {

bool IsExpiredStatus(int status) { return status == 401 || status == 403 || status == 404 || status == 410; }

namespace {

struct Answer {
    QByteArray body;
    qint64 most = 0;
    bool tooLong = false;
    const std::atomic<bool>* stop = nullptr;
};

size_t takeBody(char* data, size_t size, size_t count, void* self) {
    auto* answer = static_cast<Answer*>(self);
    const size_t bytes = size * count;
    if (answer->body.size() + qint64(bytes) > answer->most) {
        answer->tooLong = true;
        return 0;
    }
    answer->body.append(data, qsizetype(bytes));
    return bytes;
}

int keepGoing(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* answer = static_cast<const Answer*>(self);
    return answer->stop && answer->stop->load() ? 1 : 0;
}

constexpr long kProofTimeoutMs = 60000;

bool isStrongEtag(const QByteArray& etag) { return etag.startsWith('"'); }

// The kept part's bytes [first, end), read from the recorded file when it is still that file.
std::optional<QByteArray> keptBytes(const PartialRecord& kept, qint64 first, qint64 end) {
    const QByteArray path = QFile::encodeName(QDir(kept.folder).filePath(kept.partName));
    Fw::UniqueFd fd(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    if (quint64(st.st_dev) != kept.device || quint64(st.st_ino) != kept.inode || st.st_size < end) return std::nullopt;
    QByteArray bytes(end - first, Qt::Uninitialized);
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::pread(fd.get(), bytes.data() + done, std::size_t(bytes.size() - done), first + done);
        if (got <= 0) return std::nullopt;
        done += got;
    }
    return bytes;
}

}  // namespace

SameFileProof ProveSameFile(const PartialRecord& kept, const QString& newUrl, const TransferLimits& limits,
                            const RequestOptions* requests, const std::atomic<bool>* stop) {
    SameFileProof proof;
    if (kept.total <= 0 || kept.goodLength <= 0 || kept.goodLength > kept.total) {
        proof.why = QCoreApplication::translate("SameFile", "the kept part does not say how long its file is");
        return proof;
    }
    const qint64 first = std::max<qint64>(0, kept.goodLength - kProofBytes);
    const qint64 last = kept.goodLength - 1;
    CurlGlobalInit();
    CURL* easy = curl_easy_init();
    if (!easy) {
        proof.why = QCoreApplication::translate("SameFile", "the request could not be made");
        return proof;
    }
    const QByteArray url = newUrl.toUtf8();
    const QByteArray range = QByteArray::number(first) + '-' + QByteArray::number(last);
    const QByteArray caFile = QFile::encodeName(limits.caFile);
    Answer answer;
    answer.most = last - first + 1;
    answer.stop = stop;
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_RANGE, range.constData());
    SetRequestBasics(easy, limits);
    // 64 KB come in well under this from any server worth continuing from; a trickle is cut off.
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, kProofTimeoutMs);
    if (requests && !requests->userAgent.isEmpty()) curl_easy_setopt(easy, CURLOPT_USERAGENT, requests->userAgent.constData());
    if (requests && requests->proxy) requests->proxy->applyTo(easy, url);
    UseTrustStore(easy, caFile);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &takeBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &keepGoing);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &answer);
    const CURLcode code = curl_easy_perform(easy);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    const QByteArray etag = headerOf(easy, "ETag");
    const QByteArray lastModified = headerOf(easy, "Last-Modified");
    const std::optional<ContentRange> got = parseContentRange(headerOf(easy, "Content-Range"));
    curl_easy_cleanup(easy);

    if (answer.tooLong) {
        proof.why = QCoreApplication::translate("SameFile", "the new address sent more than the range asked");
        return proof;
    }
    if (code != CURLE_OK) {
        proof.why = stop && stop->load() ? QStringLiteral("Cancelled") : readableReason(code, nullptr, limits.stallSeconds);
        return proof;
    }
    if (status != 206 || !got) {
        proof.why = status == 200 ? QCoreApplication::translate("SameFile", "the new address does not answer a range request")
                                  : QCoreApplication::translate("SameFile", "the new address answers HTTP %1").arg(status);
        return proof;
    }
    if (got->total != kept.total) {
        proof.why = QCoreApplication::translate("SameFile", "its file is %1 bytes, the kept part's %2").arg(got->total).arg(kept.total);
        return proof;
    }
    if (got->first != first || got->last != last || answer.body.size() != last - first + 1) {
        proof.why = QCoreApplication::translate("SameFile", "the new address sent another range than the one asked");
        return proof;
    }
    proof.validator = isStrongEtag(etag) ? etag : lastModified;
    if (proof.validator.isEmpty()) {
        proof.why = QCoreApplication::translate("SameFile", "the new address gives no ETag or Last-Modified to continue by");
        return proof;
    }
    const bool sameValidator = !kept.validator.isEmpty() &&
                               ((isStrongEtag(etag) && etag == kept.validator) || lastModified == kept.validator);
    if (sameValidator) {
        proof.proven = true;
        return proof;
    }
    const std::optional<QByteArray> ours = keptBytes(kept, first, last + 1);
    if (!ours) {
        proof.why = QCoreApplication::translate("SameFile", "the kept part can no longer be read");
        return proof;
    }
    proof.proven = *ours == answer.body;
    if (!proof.proven) proof.why = QCoreApplication::translate("SameFile", "its file has another validator and other bytes");
    return proof;
}

bool MoveKeptPart(PartialStore& store, const QString& folder, const QString& oldUrl, const QString& newUrl,
                  const QByteArray& validator) {
    return store.move(folder, oldUrl, newUrl, validator);
}

AddressCheck CheckNewAddress(const QString& folder, const QString& oldText, const QString& newText,
                             const RequestOptions* requests, const std::atomic<bool>* stop) {
    AddressCheck check;
    const std::optional<PartialRecord> kept = PartialStore().find(folder, FetchAddress(oldText));
    if (!kept) return check;
    check.kept = kept->goodLength;
    check.proof = ProveSameFile(*kept, FetchAddress(newText), TransferLimits{}, requests, stop);
    return check;
}

bool ApplyNewAddress(const QString& folder, const QString& oldText, const QString& newText, const AddressCheck& check) {
    PartialStore store;
    const QString oldUrl = FetchAddress(oldText);
    if (check.kept > 0 && check.proof.proven) return MoveKeptPart(store, folder, oldUrl, FetchAddress(newText), check.proof.validator);
    store.removeWithPartial(folder, oldUrl);
    return true;
}

}  // namespace Download
