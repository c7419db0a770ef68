#include "download/HostConnections.h"

#include <curl/curl.h>

namespace Download {

void HostConnections::answered(const QString& host, long httpVersion) {
    if (httpVersion == CURL_HTTP_VERSION_NONE) return;
    multiplexed_.insert(host, httpVersion >= CURL_HTTP_VERSION_2_0);
}

void HostConnections::began(const QString& host) { ++underWay_[host]; }

void HostConnections::ended(const QString& host) {
    auto it = underWay_.find(host);
    if (it == underWay_.end()) return;
    if (--it.value() <= 0) underWay_.erase(it);
}

int HostConnections::connectionsTaken() const {
    int taken = 0;
    for (auto it = underWay_.cbegin(); it != underWay_.cend(); ++it)
        taken += multiplexes(it.key()) ? 1 : it.value();
    return taken;
}

bool HostConnections::mayBegin(const QString& host) const {
    const int mine = underWay_.value(host, 0);
    // Another stream of a connection that is open already costs no connection.
    if (mine > 0 && multiplexes(host)) return mine < kStreamsPerConnection;
    return connectionsTaken() < connections_;
}

}  // namespace Download
