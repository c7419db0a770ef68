#pragma once
// One piece of a big item fetched on a connection of its own: a request with Range and If-Range,
// whose answer is written at the piece's place in the item's file only when it proves to be
// exactly that piece of the same file (CheckRangeAnswer), and never past where the piece ends now
// (the plan may move the end back while it runs). Whoever owns the multi handle drives it.
#include <QByteArray>
#include <QString>

#include <curl/curl.h>

#include <functional>

#include "download/TransferTypes.h"
#include "download/RangePlan.h"
#include "download/Transfer.h"

namespace Download {

class RangeFetch {
public:
    // Piece `piece` of `plan`, from `url` (the address the item's answer came from), into `fd`.
    // `asked` is the piece's range with the item's total, validator and type. `stillWanted` is
    // asked before each write: false (the item's file was started over) writes nothing more.
    RangeFetch(const TransferLimits& limits, const QByteArray& url, int fd, RangePlan& plan, int piece,
               AskedRange asked, std::function<bool()> stillWanted);
    ~RangeFetch();
    RangeFetch(const RangeFetch&) = delete;
    RangeFetch& operator=(const RangeFetch&) = delete;

    CURL* easy() const { return easy_; }
    int piece() const { return piece_; }
    void setRateGate(RateGate* gate) { gate_ = gate && gate->limited() ? gate : nullptr; }
    // The piece is asked for as its item is: the same User-Agent, cookies and Referer (the last
    // only where it may go to the piece's address).
    void setRequest(std::shared_ptr<const RequestOptions> request, const QByteArray& referer);
    bool paused() const { return paused_; }
    void resume();
    qint64 bytesMoved() const { return moved_; }

    enum class End {
        Done,     // the piece is in
        Broken,   // the connection ended early: what came is written, the rest waits again
        Refused,  // the answer was not the piece asked (why() says why): nothing of it written
        Busy,     // the server asked for a pause (hostWaitMs())
        Failed,   // the file could not be written (why())
    };
    // Tells the plan how the piece ended, and returns it, once its transfer has ended with `code`.
    End settle(CURLcode code);
    const QString& why() const { return why_; }
    qint64 hostWaitMs() const { return hostWaitMs_; }

private:
    static size_t write(char* data, size_t size, size_t count, void* self);
    size_t take(const char* data, size_t bytes);

    RangePlan& plan_;
    const int piece_;
    const int fd_;
    const AskedRange asked_;
    const std::function<bool()> stillWanted_;
    QByteArray url_, caFile_, referer_;
    std::shared_ptr<const RequestOptions> request_;
    CURL* easy_ = nullptr;
    curl_slist* headers_ = nullptr;
    RateGate* gate_ = nullptr;
    bool paused_ = false;
    bool checked_ = false;   // the answer was proven at its first byte
    bool refused_ = false;
    bool reachedEnd_ = false;
    bool unwanted_ = false;
    int writeError_ = 0;
    qint64 moved_ = 0;
    qint64 hostWaitMs_ = -1;
    QString why_;
};

}  // namespace Download
