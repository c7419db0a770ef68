#pragma once
// An HTTP server on 127.0.0.1 and a free port, run by the test itself on a thread of its own.
// Register routes on server() before start().
#include <QString>

#include <httplib.h>

#include <memory>
#include <thread>

class LoopbackServer {
public:
    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    httplib::Server& server() { return *server_; }
    void start();
    void stop();
    int port() const { return port_; }
    // "http://127.0.0.1:PORT" followed by the path.
    QString url(const QString& path = QStringLiteral("/")) const;
    std::string base() const;

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
};
