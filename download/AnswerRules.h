#pragma once
// How an answer is read: its headers, whether its failure is worth another try, and what the
// user is told of it. For the transfers (download/Transfer.h, download/RangeFetch.h).
#include <QByteArray>
#include <QString>

#include <curl/curl.h>

#include <optional>

namespace Download {

// The value of a header of the last answer, empty when it has none.
QByteArray headerOf(CURL* easy, const char* name);

// "bytes FIRST-LAST/TOTAL".
struct ContentRange {
    qint64 first = 0, last = 0, total = 0;
};
// Nothing when the value is not of that form, or its numbers do not make a range of a whole.
std::optional<ContentRange> parseContentRange(const QByteArray& value);

bool isTransientStatus(long status);
// A time-out, or a connection (or HTTP/2 stream) that broke or closed before the body ended.
bool isTransientCode(CURLcode code);
// What a connection left in a mess by the answer before it gives the next request on it.
bool isGarbledAnswer(CURLcode code);
// An HTTP date (IMF-fixdate, the obsolete RFC 850 and asctime forms) in seconds since 1970, which
// is negative before 1970; nothing when the value is none of them.
std::optional<qint64> httpDateSeconds(const QByteArray& value);
// Retry-After in seconds (a number, or an HTTP date); -1 when absent or unreadable.
long retryAfterSeconds(const QByteArray& header);
// libcurl's texts for the usual failures, as a person would say them.
QString readableReason(CURLcode code, const char* detail, long stallSeconds);

}  // namespace Download
