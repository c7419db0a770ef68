#pragma once
// How many transfers a run may have under way when "Downloads At Once" counts connections: a
// host whose connection speaks HTTP/2 carries many of its transfers as streams of one connection,
// so it takes one connection of the count however many of its items run; a host on HTTP/1.1
// takes one connection per item under way. Only whether the next item in list order may begin
// is decided here; libcurl holds the hard limits on connections itself.
#include <QHash>
#include <QString>

namespace Download {

class HostConnections {
public:
    // Streams of one host that run at once over its one connection (a server may allow fewer).
    static constexpr int kStreamsPerConnection = 64;

    // Connections in all and to one host.
    void setConnections(int connections) { connections_ = connections; }
    int connections() const { return connections_; }
    // A new run: what hosts spoke is forgotten (a server may have changed in between).
    void forgetProtocols() { multiplexed_.clear(); }

    // An answer of `host` came over `httpVersion` (libcurl's CURL_HTTP_VERSION_* value).
    void answered(const QString& host, long httpVersion);
    bool multiplexes(const QString& host) const { return multiplexed_.value(host, false); }
    bool heardFrom(const QString& host) const { return multiplexed_.contains(host); }

    // Items under way, by host: one began, one ended.
    void began(const QString& host);
    void ended(const QString& host);

    // May an item of `host` begin now, within the connections in all and to one host?
    bool mayBegin(const QString& host) const;
    // Connections the items under way take, by the reckoning above.
    int connectionsTaken() const;

private:
    int connections_ = 4;
    QHash<QString, bool> multiplexed_;  // hosts heard from: true for HTTP/2 and later
    QHash<QString, int> underWay_;
};

}  // namespace Download
