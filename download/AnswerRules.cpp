#include "download/AnswerRules.h"

#include <QCoreApplication>
#include <QList>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string_view>

namespace Download {

QByteArray headerOf(CURL* easy, const char* name) {
    curl_header* h = nullptr;
    if (curl_easy_header(easy, name, 0, CURLH_HEADER, -1, &h) != CURLHE_OK || !h || !h->value) return {};
    return QByteArray(h->value).trimmed();
}

std::optional<ContentRange> parseContentRange(const QByteArray& value) {
    if (!value.startsWith("bytes ")) return std::nullopt;
    const QByteArray rest = value.mid(6).trimmed();
    const int dash = rest.indexOf('-');
    const int slash = rest.indexOf('/');
    if (dash <= 0 || slash <= dash) return std::nullopt;
    bool ok1 = false, ok2 = false, ok3 = false;
    ContentRange range;
    range.first = rest.left(dash).toLongLong(&ok1);
    range.last = rest.mid(dash + 1, slash - dash - 1).toLongLong(&ok2);
    range.total = rest.mid(slash + 1).toLongLong(&ok3);
    if (!ok1 || !ok2 || !ok3 || range.first < 0 || range.last < range.first || range.total <= range.last) return std::nullopt;
    return range;
}

bool isTransientStatus(long status) {
    switch (status) {
    case 408: case 429: case 500: case 502: case 503: case 504: return true;
    default: return false;
    }
}

// A time-out, or a connection that broke or closed before the body ended; over HTTP/2 a stream
// reset or ended short of its length is the same. A host that cannot be resolved, a refused
// connection and TLS failures are not going to change in a few seconds.
bool isTransientCode(CURLcode code) {
    switch (code) {
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
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

// What a connection left in a mess by the answer before it gives the next request on it: the
// rest of an over-long body read as a status line and headers.
bool isGarbledAnswer(CURLcode code) {
    switch (code) {
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_OUT_OF_MEMORY:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
        return true;
    default:
        return false;
    }
}

namespace {
// Days from 1 Jan 1970 to the given day of the proleptic Gregorian calendar.
qint64 daysFromCivil(qint64 y, int m, int d) {
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const qint64 yoe = y - era * 400;
    const qint64 doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const qint64 doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int monthOf(std::string_view name) {
    static const char* const months[] = {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    if (name.size() != 3) return 0;
    for (int k = 0; k < 12; ++k)
        if (qstrnicmp(name.data(), months[k], 3) == 0) return k + 1;
    return 0;
}
}  // namespace

std::optional<qint64> httpDateSeconds(const QByteArray& value) {
    // Read for every file with a server time: the words are views into the text, not copies.
    constexpr int kMostWords = 8;
    std::string_view t[kMostWords];
    int words = 0;
    const std::string_view text(value.constData(), static_cast<std::size_t>(value.size()));
    for (std::size_t i = 0; i < text.size();) {
        auto separator = [](char c) { return c == ' ' || c == ',' || c == '-' || c == ':' || c == '\t'; };
        if (separator(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && !separator(text[end])) ++end;
        if (words == kMostWords) return std::nullopt;
        t[words++] = text.substr(i, end - i);
        i = end;
    }
    auto number = [](std::string_view word, bool& ok) {
        ok = ok && !word.empty() && word.size() <= 4 && std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
        int n = 0;
        if (ok)
            for (const char c : word) n = n * 10 + (c - '0');
        return n;
    };
    bool ok = true;
    int day = 0, month = 0, year = 0, at = 0;
    if (words == 8 && t[7].size() == 3 && qstrnicmp(t[7].data(), "GMT", 3) == 0) {
        // "Sun, 06 Nov 1994 08:49:37 GMT" or "Sunday, 06-Nov-94 08:49:37 GMT".
        day = number(t[1], ok);
        month = monthOf(t[2]);
        year = number(t[3], ok);
        if (t[3].size() == 2) year += year < 70 ? 2000 : 1900;
        at = 4;
    } else if (words == 7) {
        // "Sun Nov  6 08:49:37 1994".
        month = monthOf(t[1]);
        day = number(t[2], ok);
        year = number(t[6], ok);
        at = 3;
    } else {
        return std::nullopt;
    }
    const int hour = number(t[at], ok), minute = number(t[at + 1], ok), second = number(t[at + 2], ok);
    if (!ok || month == 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    return daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

// Retry-After in seconds (a number, or an HTTP date); -1 when absent or unreadable. A number
// too long for any clock is a year: a wait no run honours, so the item fails with that reason
// instead of the header being taken for absent.
long retryAfterSeconds(const QByteArray& header) {
    constexpr long kLongest = 365L * 24 * 60 * 60;
    const QByteArray value = header.trimmed();
    if (value.isEmpty()) return -1;
    if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        long seconds = 0;
        for (char c : value) {
            seconds = seconds * 10 + (c - '0');
            if (seconds >= kLongest) return kLongest;
        }
        return seconds;
    }
    const time_t when = curl_getdate(value.constData(), nullptr);
    if (when < 0) return -1;
    return std::max<long>(0, static_cast<long>(when - std::time(nullptr)));
}

// libcurl's texts for the usual failures, as a person would say them.
QString readableReason(CURLcode code, const char* detail, long stallSeconds) {
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
        if (detail && std::strstr(detail, "transferred the last")) return QCoreApplication::translate("AnswerRules", "The server stopped sending (%1 s)").arg(stallSeconds);
        if (detail && std::strstr(detail, "onnect")) return QCoreApplication::translate("AnswerRules", "The server did not answer");
        return QCoreApplication::translate("AnswerRules", "Timed out");
    case CURLE_COULDNT_RESOLVE_HOST: return QCoreApplication::translate("AnswerRules", "Host not found");
    case CURLE_COULDNT_RESOLVE_PROXY: return QCoreApplication::translate("AnswerRules", "Proxy not found");
    case CURLE_COULDNT_CONNECT: return QCoreApplication::translate("AnswerRules", "Connection refused");
    case CURLE_PARTIAL_FILE: return QCoreApplication::translate("AnswerRules", "The connection closed before the end of the file");
    case CURLE_HTTP2_STREAM: return QCoreApplication::translate("AnswerRules", "The server ended the transfer before the end of the file");
    case CURLE_GOT_NOTHING: return QCoreApplication::translate("AnswerRules", "The server closed the connection without an answer");
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR: return QCoreApplication::translate("AnswerRules", "The connection broke");
    case CURLE_TOO_MANY_REDIRECTS: return QCoreApplication::translate("AnswerRules", "Too many redirects");
    case CURLE_PEER_FAILED_VERIFICATION: return QCoreApplication::translate("AnswerRules", "The server's certificate is not trusted");
    case CURLE_SSL_CONNECT_ERROR: return QCoreApplication::translate("AnswerRules", "Secure connection failed");
    case CURLE_UNSUPPORTED_PROTOCOL:
        if (detail && *detail) break;
        return QCoreApplication::translate("AnswerRules", "Only http and https addresses can be downloaded");
    default: break;
    }
    return detail && *detail ? QString::fromUtf8(detail) : QString::fromUtf8(curl_easy_strerror(code));
}

}  // namespace Download
