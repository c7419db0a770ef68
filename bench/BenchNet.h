#pragma once
// Loopback pieces the download benchmarks share: free ports, a server's readiness, files, and a
// test authority for https that each tool is told to trust explicitly.
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>
#include <initializer_list>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Bench {

inline double seconds(const QElapsedTimer& t) { return t.nsecsElapsed() / 1e9; }

inline int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

inline bool canConnect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

inline bool writeFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// A certificate authority for this run and a server certificate for 127.0.0.1 and for any name
// under fetchwright.test (the many-servers workload's) signed by it.
inline bool makeTestAuthority(const QString& dir) {
    auto ssl = [&](const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(dir);
        p.setStandardOutputFile(QProcess::nullDevice());
        p.setStandardErrorFile(QProcess::nullDevice());
        p.start(QStringLiteral("openssl"), args);
        return p.waitForFinished(60000) && p.exitCode() == 0;
    };
    QFile ext(dir + QStringLiteral("/server.ext"));
    if (!ext.open(QIODevice::WriteOnly)) return false;
    ext.write("subjectAltName=IP:127.0.0.1,DNS:*.fetchwright.test\nbasicConstraints=CA:FALSE\n");
    ext.close();
    const QString days = QStringLiteral("2");
    return ssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", days,
                "-subj", "/CN=Fetchwright benchmark authority"}) &&
           ssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr", "-subj",
                "/CN=127.0.0.1"}) &&
           ssl({"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-out",
                "server.pem", "-days", days, "-extfile", "server.ext"});
}

// A private nginx of one process, in the foreground, its files under `ng`, serving `www` on
// 127.0.0.1:port with connections kept alive; `tlsServer` adds a server block for https.
inline QString NginxConf(const QString& ng, int port, const QString& www, const QString& tlsServer, int connections) {
    return QStringLiteral(
               "worker_processes 1;\ndaemon off;\nmaster_process off;\npid %1/nginx.pid;\n"
               "error_log %1/error.log;\nevents { worker_connections %5; }\n"
               "http {\n  access_log off;\n  client_body_temp_path %1/body;\n  proxy_temp_path %1/proxy;\n"
               "  fastcgi_temp_path %1/fcgi;\n  uwsgi_temp_path %1/uwsgi;\n  scgi_temp_path %1/scgi;\n"
               "  keepalive_requests 1000000;\n  keepalive_timeout 60s;\n  sendfile on;\n"
               "  default_type application/octet-stream;\n"
               "  server { listen 127.0.0.1:%2; root %3; }\n%4}\n")
        .arg(ng)
        .arg(port)
        .arg(www, tlsServer)
        .arg(connections);
}

// Starts the nginx of `ng`/nginx.conf in the foreground and waits until each of `ports` takes
// connections; false when it did not come up within a few seconds.
inline bool StartNginx(QProcess& nginx, const QString& ng, std::initializer_list<int> ports) {
    nginx.start(QStringLiteral("/usr/sbin/nginx"), {QStringLiteral("-p"), ng, QStringLiteral("-c"),
                                                    ng + QStringLiteral("/nginx.conf"), QStringLiteral("-e"),
                                                    ng + QStringLiteral("/error.log")});
    auto up = [&] {
        for (int port : ports)
            if (!canConnect(port)) return false;
        return true;
    };
    for (int k = 0; k < 250 && !up(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return up();
}

}  // namespace Bench
