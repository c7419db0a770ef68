#pragma once
// How many transfers a run may have under way when "Downloads At Once" counts connections: a
// host whose connection speaks HTTP/2 carries many of its transfers as streams of one connection,
// so it takes one connection of the count however many of its items run; a host on HTTP/1.1
// takes one connection per item under way. Also which hosts still have a connection open that
// the next item could use without a new handshake: libcurl keeps the connections of a finished
// transfer open within the run's count, closing the oldest idle one when a new one is needed,
// and this keeps the same account so that the scheduler can send work where a connection waits.
// libcurl holds the hard limits on connections itself; this only guides the order.
#include <QHash>
#include <QString>

#include <algorithm>
#include <deque>
#include <utility>
#include <vector>

namespace Download {

class HostConnections {
public:
    // Streams of one host that run at once over its one connection (a server may allow fewer).
    static constexpr int kStreamsPerConnection = 64;
    // An idle connection is counted as open for this long: servers close idle ones after a few
    // seconds (libcurl finds out at its next use and opens another).
    static constexpr qint64 kIdleMs = 5000;

    // Connections in all and to one host.
    void setConnections(int connections) { connections_ = connections; }
    int connections() const { return connections_; }
    // A new run: what hosts spoke is forgotten (a server may have changed in between).
    void forgetProtocols() {
        multiplexed_.clear();
        multiplexedUnderWay_ = 0;
        ++generation_;
    }

    // An answer of `host` came over `httpVersion` (libcurl's CURL_HTTP_VERSION_* value).
    void answered(const QString& host, long httpVersion);
    bool multiplexes(const QString& host) const { return multiplexed_.value(host, false); }
    bool heardFrom(const QString& host) const { return multiplexed_.contains(host); }

    // Items under way, by host: one began (at `nowMs`, on an idle connection of its host when
    // there is one), one ended (its connection left open for the next when `connectionKept`).
    void began(const QString& host, qint64 nowMs = 0);
    void ended(const QString& host, bool connectionKept = false, qint64 nowMs = 0);

    // May an item of `host` begin now, within the connections in all and to one host?
    bool mayBegin(const QString& host) const;
    // Connections the items under way take, by the reckoning above.
    int connectionsTaken() const;
    // Could an item of `host` begin now on a connection that is open already: an idle one, or a
    // stream to spare on its HTTP/2 connection under way?
    bool hasOpenConnection(const QString& host, qint64 nowMs) const;
    // Has `host` a transfer under way over a connection whose protocol is not known yet? Another
    // item of it over https would wait for that connection (to be one more stream of it), where
    // an item of another host could begin its own handshake meanwhile.
    bool awaitsProtocol(const QString& host) const { return !heardFrom(host) && underWay_.value(host, 0) > 0; }
    // Is there any such connection, to any host? (The scheduler looks for work only then.)
    bool anyOpen(qint64 nowMs) const;
    // The hosts that have one, each with its qHash (never 0), so that a long queue is looked
    // through by numbers.
    void openHosts(qint64 nowMs, std::vector<std::pair<std::size_t, QString>>& hosts) const;
    static std::size_t keyOf(const QString& host) { return std::max<std::size_t>(1, qHash(host)); }
    // Changes whenever the answers above may have changed, but for the passing of time.
    quint64 generation() const { return generation_; }

private:
    struct Idle {
        QString host;
        qint64 sinceMs = 0;
    };
    bool spareStream(const QString& host) const;
    void dropExpired(qint64 nowMs);

    int connections_ = 4;
    QHash<QString, bool> multiplexed_;  // hosts heard from: true for HTTP/2 and later
    QHash<QString, int> underWay_;
    std::deque<Idle> idle_;  // open connections without a transfer, the oldest first
    int multiplexedUnderWay_ = 0;  // hosts on HTTP/2 with transfers under way
    quint64 generation_ = 0;
};

}  // namespace Download
