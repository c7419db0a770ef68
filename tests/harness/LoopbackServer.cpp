#include "harness/LoopbackServer.h"

#include <mutex>
#include <stdexcept>

namespace {

#ifdef __SANITIZE_THREAD__
// The server library (a shared library built without the thread sanitizer) fills tables of its
// own, function-local statics, while it serves its first request, and its other threads read them
// after a check the sanitizer cannot see. One request served to the end before any test's server
// starts makes that filling seen by every thread made later. The Range header takes the path of
// a range request as well.
void primeServerLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        httplib::Server server;
        server.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content("ab", "text/plain"); });
        const int port = server.bind_to_any_port("127.0.0.1");
        if (port <= 0) return;
        std::thread serving([&] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::yield();
        httplib::Client client("127.0.0.1", port);
        client.Get("/", httplib::Headers{{"Range", "bytes=0-0"}});
        server.stop();
        serving.join();
    });
}
#else
void primeServerLibrary() {}
#endif

}  // namespace

LoopbackServer::LoopbackServer() : server_(std::make_unique<httplib::Server>()) {
    // The headers and the body go out in two writes; without this the body waits for the
    // client's delayed acknowledgement (40 ms an item).
    server_->set_tcp_nodelay(true);
}

LoopbackServer::~LoopbackServer() { stop(); }

void LoopbackServer::start() {
    primeServerLibrary();
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
