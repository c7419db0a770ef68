#pragma once
// A proxy on 127.0.0.1 for tests: an HTTP proxy (absolute-form requests forwarded, CONNECT
// tunnels) or a SOCKS5 one (no authentication). It reaches loopback targets only: anything else
// is refused, so that no test traffic ever leaves the machine. It records what it was asked.
#include <QByteArray>
#include <QStringList>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

class LoopbackProxy {
public:
    enum class Kind { Http, Socks5 };
    explicit LoopbackProxy(Kind kind);
    ~LoopbackProxy();
    LoopbackProxy(const LoopbackProxy&) = delete;
    LoopbackProxy& operator=(const LoopbackProxy&) = delete;

    // Listens on a free port; false when it cannot.
    bool start();
    int port() const { return port_; }
    // "http://127.0.0.1:PORT" or "socks5h://127.0.0.1:PORT".
    QString url() const;

    // CONNECT is answered with this status (e.g. 403) instead of opening the tunnel; 0 opens it.
    std::atomic<int> refuseTunnels{0};

    // What it was asked, one line each: "GET http://127.0.0.1:8080/a", "CONNECT 127.0.0.1:443",
    // "SOCKS localhost:8080".
    QStringList asked() const;

private:
    void serve();
    void handle(int client);
    void handleHttp(int client);
    void handleSocks(int client);
    void note(const QString& line);

    Kind kind_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex lock_;
    std::vector<std::thread> clients_;
    std::vector<int> openFds_;
    QStringList asked_;
};
