#pragma once
// One address fetched into one open file, as a series of tries that a libcurl multi handle
// drives: the transfer sets up its easy handle for each try, and once a try has ended it says
// what comes next (done, failed, another try at once or after a wait). The engine's scheduler,
// which owns the multi handle (download/DownloadEngine.h), does the waiting, so a wait holds up
// nobody else.
#include <QByteArray>
#include <QString>

#include <curl/curl.h>

#include <functional>
#include <memory>
#include <optional>

#include "download/Address.h"
#include "download/RateGate.h"
#include "download/TransferTypes.h"
#include "download/FileNaming.h"
#include "support/Result.h"

namespace Download {

struct RequestOptions;
namespace Checksum {
class Running;
}

class Transfer {
public:
    // `file` must stay open while the transfer lives; `progress` may be nullptr.
    Transfer(const TransferLimits& limits, const QString& url, const FileTarget& file,
             TransferProgress* progress = nullptr);
    // The same of an address already read.
    Transfer(const TransferLimits& limits, const Address& address, const FileTarget& file,
             TransferProgress* progress = nullptr);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // What each request carries (download/Requests.h): the run's User-Agent and cookies, and this
    // item's Referer (empty for none). Before the first try.
    void setRequest(std::shared_ptr<const RequestOptions> options, QByteArray referer);
    const std::shared_ptr<const RequestOptions>& request() const { return request_; }
    // The run's share of TLS sessions and DNS answers (download/RunShare.h), nullptr for none;
    // a cookies file's share stands in for it, since it holds them too. Before the first try.
    void setShare(CURLSH* share) { share_ = share; }
    const QByteArray& referer() const { return referer_; }
    // The Last-Modified of the answer in the file, in seconds since 1970 (negative before);
    // nothing when it had none or it was not asked for. After the try that ended it.
    std::optional<qint64> serverTime() const;

    // Refused before any connection: an address that is not http or https.
    bool refused() const { return !refusal_.text.isEmpty(); }
    const Fw::Error& refusal() const { return refusal_; }

    // Sets the easy handle up for the next try; add easy() to the multi handle afterwards.
    void prepareTry();
    CURL* easy() const { return easy_; }

    enum class Next {
        Done,      // the file holds one whole answer
        Failed,    // error() says why
        TryNow,    // set up and add again at once
        TryLater,  // set up and add again after waitMs()
        Skipped,   // the answer handler declined the body
    };
    // What follows a try that ended with `code` (taken from the multi handle's message).
    Next evaluate(CURLcode code);
    const Fw::Error& error() const { return error_; }
    qint64 waitMs() const { return waitMs_; }
    // A 429 or 503 whose Retry-After asks the whole host to wait this long (ms), else -1.
    qint64 hostWaitMs() const { return hostWaitMs_; }
    const TransferInfo& info() const { return info_; }

    // Called once, when the first answer that will fill the file has its headers (at its first body
    // byte, or at its end when it has none): what it said of itself and its announced length (-1
    // unknown). Returning false ends the transfer there (Next::Skipped). Runs on the thread that
    // drives the multi handle.
    using AnswerHandler = std::function<bool(const AnswerFacts&, qint64 total)>;
    void setAnswerHandler(AnswerHandler handler);
    bool answered() const;
    // Gives the handler the last answer now, if it has not had one (an answer without a body).
    bool answerNow();

    // The file already holds the first `bytes` of an answer of `total` bytes that came with
    // `validator` (its ETag or Last-Modified): the first try asks for the rest, and appends only
    // when the answer is that very rest (else it starts the file again). Its name was chosen then,
    // so the answer handler is not asked again. Before the first try.
    void continueFrom(qint64 bytes, qint64 total, const QByteArray& validator);
    // From now on the body goes to `fd`, which holds the same bytes as the file before.
    void switchFile(int fd);
    // A kept part whose answer cannot be appended (another validator, the whole file, a 416) is
    // not started over: the transfer fails (error code kPartRefused) and the file stays as it
    // is, for an item that may be continued from another address. Before the first try.
    void keepRefusedPart(bool on);
    static constexpr int kPartRefused = -2;
    // The ETag or Last-Modified that a later request for the rest may send, empty when none.
    QByteArray rangeValidator() const;
    bool acceptsRanges() const;
    // Bytes from `bytes` on are not wanted (other connections bring them): the transfer ends,
    // done, once its body reaches there. -1: the whole body.
    void setLimit(qint64 bytes);
    // How often the body in the file was started over (a new answer, not a continuation).
    int startOvers() const;

    // The body's bytes go into `digest` as they are written (nullptr: none); the bytes the file
    // already holds (a kept part continued) are read into it once, here.
    void setDigest(Checksum::Running* digest);

    // Asks only for a file changed since it was stored (If-None-Match with `etag`,
    // If-Modified-Since with `lastModified`, whichever is given). Before the first try.
    void setConditional(QByteArray etag, QByteArray lastModified);
    // The server answered 304: the file stored before is unchanged (evaluate() said Skipped).
    bool notModified() const { return notModified_; }
    // What the answer in the file said of itself, for a later conditional request.
    QByteArray etag() const;
    QByteArray lastModified() const;

    // Hands the body to the disk every `bytes` bytes (0: when the system likes).
    void setWriteBehind(qint64 bytes);
    // The run's shared receiving rate (nullptr: none). While the gate is shut a write pauses the
    // transfer; the owner resumes it with resume() once the gate opens.
    void setRateGate(RateGate* gate);
    bool paused() const;
    void resume();

    // The bytes this transfer has written for the run's speed (never goes back on a restart).
    qint64 bytesMoved() const;
    // The body bytes in the file and the size of the answer (-1 unknown), for the bar.
    qint64 received() const;
    qint64 total() const;
    int tries() const { return tries_; }
    // The next try counts as the first: a retry the user asked for gets every try again.
    void freshTries() { tries_ = 0; }
    const QString& address() const { return address_; }

    // Where the body goes (the write callback's own data).
    struct Body;

private:
    void applyRequest();
    static int checkReferer(void* self, char* ip, char* localIp, int port, int localPort);

    std::unique_ptr<Body> body_;
    std::shared_ptr<const RequestOptions> request_;
    QByteArray referer_;
    CURLSH* share_ = nullptr;
    bool refererWithheld_ = false;  // a redirect led from the referring https page to http: ask again without it
    TransferLimits limits_;
    AnswerHandler answerHandler_;
    QString address_;
    QByteArray firstUrl_;
    QByteArray resumeUrl_;  // the address the body in the file came from, after redirects
    QByteArray caFile_;
    CURL* easy_ = nullptr;
    curl_slist* headers_ = nullptr;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    Fw::Error refusal_;
    Fw::Error error_;
    TransferInfo info_;
    TransferProgress* progress_ = nullptr;
    qint64 waitMs_ = 0;
    qint64 hostWaitMs_ = -1;
    int tries_ = 0;
    bool handleUsed_ = false;  // a try has set the handle's options
    int restarts_ = 0;   // range answers that could not be appended, each asked again at once
    bool resume_ = false;
    QByteArray ifNoneMatch_, ifModifiedSince_;
    bool notModified_ = false;
    bool https_ = false;
    bool fresh_ = false;      // the next try opens a new connection
    bool freshTried_ = false; // a try on a reused connection that failed oddly was repeated once
};

// libcurl's global set-up, once per process.
void CurlGlobalInit();

// What every request of the program asks of `easy`: web schemes only, redirects followed within
// the limit, the connect time limit, a stalled answer cut off, no signals, the program's own name.
void SetRequestBasics(CURL* easy, const TransferLimits& limits);

}  // namespace Download
