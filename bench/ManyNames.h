#pragma once
// The many-servers workload's names: h00.fetchwright.test and on, all on loopback through a
// private hosts file that each tool sees in a mount namespace of its own (unshare -m and a bind
// mount over /etc/hosts), so that every tool resolves them as it resolves any name; the trust
// store, the system's bundle with the test authority appended; and nginx's log of whether each new
// connection resumed a TLS session.
#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include "BenchNet.h"

namespace Bench {

class ManyNames {
public:
    ManyNames(const QString& folder, const QString& authority, int hosts)
        : hostsFile_(folder + QStringLiteral("/hosts")), trust_(folder + QStringLiteral("/bundle.pem")),
          log_(folder + QStringLiteral("/many.log")), folder_(folder) {
        QByteArray lines = "127.0.0.1 localhost\n::1 localhost\n";
        for (int h = 0; h < hosts; ++h) lines += "127.0.0.1 " + host(h).toUtf8() + "\n";
        writeFile(hostsFile_, lines);
        QFile system(QStringLiteral("/etc/ssl/certs/ca-certificates.crt")), own(authority);
        QByteArray bundle;
        if (system.open(QIODevice::ReadOnly)) bundle = system.readAll() + "\n";
        if (own.open(QIODevice::ReadOnly)) bundle += own.readAll();
        writeFile(trust_, bundle);
    }

    static QString host(int h) { return QStringLiteral("h%1.fetchwright.test").arg(h, 2, 10, QLatin1Char('0')); }
    const QString& trust() const { return trust_; }

    // Whether a mount namespace with the hosts file can be made here (root, or the right to).
    bool usable() const {
        QProcess probe;
        probe.start(QStringLiteral("unshare"), wrapped(QStringLiteral("getent"), {QStringLiteral("hosts"), host(0)}));
        return probe.waitForFinished(10000) && probe.exitCode() == 0 && probe.readAllStandardOutput().startsWith("127.0.0.1");
    }
    // The arguments of unshare that run `program` with `args` seeing the hosts file.
    QStringList wrapped(const QString& program, const QStringList& args) const {
        return QStringList{QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
                           QStringLiteral("mount --bind \"$0\" /etc/hosts && exec \"$@\""), hostsFile_, program} +
               args;
    }

    // nginx's server block for the names over TLS with HTTP/2, logging one line a request: the
    // request's number on its connection and whether the connection resumed a session ("r").
    QString serverBlock(int port, const QString& root) const {
        return QStringLiteral("  log_format handshakes '$connection_requests $ssl_session_reused';\n"
                              "  server { listen 127.0.0.1:%1 ssl http2; root %2; ssl_certificate %3/server.pem;\n"
                              "           ssl_certificate_key %3/server.key; ssl_protocols TLSv1.2 TLSv1.3;\n"
                              "           ssl_session_cache shared:many:4m; access_log %4 handshakes; }\n")
            .arg(port)
            .arg(root, folder_, log_);
    }
    void countAfresh() const { QFile::resize(log_, 0); }
    // The new connections since countAfresh() (their first requests), and how many resumed.
    void handshakes(int& made, int& resumed) const {
        QFile log(log_);
        if (!log.open(QIODevice::ReadOnly)) return;
        made = resumed = 0;
        for (const QByteArray& line : log.readAll().split('\n')) {
            if (!line.startsWith("1 ")) continue;
            ++made;
            if (line.endsWith(" r")) ++resumed;
        }
    }

private:
    QString hostsFile_, trust_, log_, folder_;
};

}  // namespace Bench
