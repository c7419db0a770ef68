#include "download/ConnectionTry.h"

#include "download/ProxyChoice.h"

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <mutex>

namespace Download {

bool CanConnectHttps(const QString& host, int limitMs, const std::atomic<bool>& stop, int port, const ProxyChoice* proxy) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);

    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), &curl_easy_cleanup);
    std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(), &curl_multi_cleanup);
    if (!easy || !multi) return false;
    const QByteArray url = QStringLiteral("https://%1:%2/").arg(host).arg(port).toUtf8();
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.constData());
    if (proxy) proxy->applyTo(easy.get(), url);
    curl_easy_setopt(easy.get(), CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_CONNECTTIMEOUT_MS, long(limitMs));
    curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
    // Only whether the host answers counts here; the download itself verifies certificates.
    curl_easy_setopt(easy.get(), CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy.get(), CURLOPT_SSL_VERIFYHOST, 0L);
    curl_multi_add_handle(multi.get(), easy.get());

    bool connected = false;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) break;
        int queued = 0;
        if (CURLMsg* msg = curl_multi_info_read(multi.get(), &queued); msg && msg->msg == CURLMSG_DONE) {
            connected = msg->data.result == CURLE_OK;
            break;
        }
        // Short steps, so that a stop is seen soon.
        if (stop.load() || std::chrono::steady_clock::now() >= deadline) break;
        curl_multi_poll(multi.get(), nullptr, 0, 20, nullptr);
    }
    curl_multi_remove_handle(multi.get(), easy.get());
    return connected;
}

}  // namespace Download
