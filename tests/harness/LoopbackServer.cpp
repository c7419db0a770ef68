#include "harness/LoopbackServer.h"

#include <stdexcept>

LoopbackServer::LoopbackServer() : server_(std::make_unique<httplib::Server>()) {
    // The headers and the body go out in two writes; without this the body waits for the
    // client's delayed acknowledgement (40 ms an item).
    server_->set_tcp_nodelay(true);
}

LoopbackServer::~LoopbackServer() { stop(); }

void LoopbackServer::start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // Connections are accepted as soon as the socket listens; wait for the loop to run.
    while (!server_->is_running()) std::this_thread::yield();
}

void LoopbackServer::stop() {
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
}

std::string LoopbackServer::base() const { return "http://127.0.0.1:" + std::to_string(port_); }

QString LoopbackServer::url(const QString& path) const { return QString::fromStdString(base()) + path; }
