#pragma once
// A session bus of the test's own (dbus-daemon --session), for the program's copies and the
// stand-ins of desktop services. Its address is in `address`; empty when the daemon is missing.
#include <QProcess>
#include <QStandardPaths>
#include <QString>

struct PrivateBus {
    QProcess daemon;
    QString address;
    QString failure;

    // False (with `failure` saying why) when no bus could be started.
    bool start() {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (program.isEmpty()) {
            failure = QStringLiteral("dbus-daemon is not installed");
            return false;
        }
        daemon.start(program, {QStringLiteral("--session"), QStringLiteral("--print-address"), QStringLiteral("--nofork")});
        if (!daemon.waitForStarted(10000)) {
            failure = daemon.errorString();
            return false;
        }
        while (!daemon.canReadLine() && daemon.waitForReadyRead(30000)) {}
        address = QString::fromLocal8Bit(daemon.readLine()).trimmed();
        if (address.isEmpty()) failure = QString::fromLocal8Bit(daemon.readAllStandardError());
        return !address.isEmpty();
    }
    ~PrivateBus() {
        if (daemon.state() == QProcess::NotRunning) return;
        daemon.terminate();
        if (!daemon.waitForFinished(10000)) daemon.kill();
        daemon.waitForFinished(10000);
    }
};
