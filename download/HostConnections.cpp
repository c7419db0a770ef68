#include "download/HostConnections.h"

#include <curl/curl.h>

#include <algorithm>

namespace Download {

void HostConnections::answered(const QString& host, long httpVersion) {
    if (httpVersion == CURL_HTTP_VERSION_NONE) return;
    const bool multiplexed = httpVersion >= CURL_HTTP_VERSION_2_0;
    auto it = multiplexed_.find(host);
    if (it != multiplexed_.end() && it.value() == multiplexed) return;
    const bool running = underWay_.value(host, 0) > 0;
    if (running && it != multiplexed_.end() && it.value()) --multiplexedUnderWay_;
    multiplexed_.insert(host, multiplexed);
    if (running && multiplexed) ++multiplexedUnderWay_;
    ++generation_;
}

void HostConnections::began(const QString& host, qint64 nowMs) {
    ++generation_;
    dropExpired(nowMs);
    int& mine = underWay_[host];
    const bool stream = mine > 0 && multiplexes(host);
    if (mine == 0 && multiplexes(host)) ++multiplexedUnderWay_;
    ++mine;
    if (stream) return;
    const auto own = std::find_if(idle_.begin(), idle_.end(), [&](const Idle& c) { return c.host == host; });
    if (own != idle_.end()) {
        idle_.erase(own);
        return;
    }
    // A new connection: past the count, libcurl closes the oldest idle one to make room.
    if (!idle_.empty() && connectionsTaken() + int(idle_.size()) > connections_) idle_.pop_front();
}

void HostConnections::ended(const QString& host, bool connectionKept, qint64 nowMs) {
    auto it = underWay_.find(host);
    if (it == underWay_.end()) return;
    ++generation_;
    const bool multiplexed = multiplexes(host);
    const bool last = --it.value() <= 0;
    if (last) {
        underWay_.erase(it);
        if (multiplexed) --multiplexedUnderWay_;
    }
    // An HTTP/2 connection goes idle only with its last stream.
    if (!connectionKept || (multiplexed && !last)) return;
    idle_.push_back(Idle{host, nowMs});
    while (int(idle_.size()) > connections_) idle_.pop_front();
}

int HostConnections::connectionsTaken() const {
    int taken = 0;
    for (auto it = underWay_.cbegin(); it != underWay_.cend(); ++it)
        taken += multiplexes(it.key()) ? 1 : it.value();
    return taken;
}

bool HostConnections::spareStream(const QString& host) const {
    const int mine = underWay_.value(host, 0);
    return mine > 0 && multiplexes(host) && mine < kStreamsPerConnection;
}

bool HostConnections::mayBegin(const QString& host) const {
    const int mine = underWay_.value(host, 0);
    // Another stream of a connection that is open already costs no connection.
    if (mine > 0 && multiplexes(host)) return mine < kStreamsPerConnection;
    return connectionsTaken() < connections_;
}

bool HostConnections::hasOpenConnection(const QString& host, qint64 nowMs) const {
    if (spareStream(host)) return true;
    for (const Idle& c : idle_)
        if (c.host == host && nowMs - c.sinceMs < kIdleMs) return true;
    return false;
}

bool HostConnections::anyOpen(qint64 nowMs) const {
    if (multiplexedUnderWay_ > 0) return true;
    return std::any_of(idle_.begin(), idle_.end(), [&](const Idle& c) { return nowMs - c.sinceMs < kIdleMs; });
}

void HostConnections::openHosts(qint64 nowMs, std::vector<std::pair<std::size_t, QString>>& hosts) const {
    hosts.clear();
    if (multiplexedUnderWay_ > 0)
        for (auto it = underWay_.cbegin(); it != underWay_.cend(); ++it)
            if (spareStream(it.key())) hosts.emplace_back(keyOf(it.key()), it.key());
    for (const Idle& c : idle_)
        if (nowMs - c.sinceMs < kIdleMs) hosts.emplace_back(keyOf(c.host), c.host);
}

void HostConnections::dropExpired(qint64 nowMs) {
    while (!idle_.empty() && nowMs - idle_.front().sinceMs >= kIdleMs) idle_.pop_front();
}

}  // namespace Download
