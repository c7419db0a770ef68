#include "download/RunShare.h"

#include "download/Transfer.h"
#include "support/BuildInfo.h"

#include <unistd.h>

#include <chrono>
#include <mutex>

namespace Download {

qint64 SteadyNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void CurlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void SetRequestBasics(CURL* easy, const TransferLimits& limits) {
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, limits.maxRedirects);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, limits.stallSeconds);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, BuildInfo::kUserAgent);
}

namespace {
// How long the loaded trust store serves new connections before it is read again, so that a
// certificate the system adds during a long run is trusted in the end.
constexpr long kTrustStoreSeconds = 3600;

// Whether libcurl's default trust is a bundle file that holds what the certificate folder
// holds (the system's, kept in step by the system's tools).
bool defaultIsBundle() {
    static const bool bundle = [] {
        CURL* probe = curl_easy_init();
        if (!probe) return false;
        char* path = nullptr;
        const bool have = curl_easy_getinfo(probe, CURLINFO_CAINFO, &path) == CURLE_OK && path && *path &&
                          ::access(path, R_OK) == 0;
        curl_easy_cleanup(probe);
        return have;
    }();
    return bundle;
}
}  // namespace

RunShare::RunShare(bool cookies) : share_(curl_share_init()) {
    if (!share_) return;
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    if (cookies) curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
}

RunShare::~RunShare() {
    if (share_) curl_share_cleanup(share_);
}

void UseTrustStore(CURL* easy, const QByteArray& caFile) {
    if (!caFile.isEmpty()) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.constData());
    if (!caFile.isEmpty() || defaultIsBundle()) curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, kTrustStoreSeconds);
}

}  // namespace Download
