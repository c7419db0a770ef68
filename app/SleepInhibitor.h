#pragma once
// Keeps the computer from sleeping while a run transfers: the desktop portal's Inhibit on the
// session bus where it is there, else logind's on the system bus. One inhibitor at most is held;
// it goes when the run ends, is stopped, or the window goes, and with the process (the portal
// drops a gone caller's requests, logind a closed descriptor).
#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <optional>

#include "support/UniqueFd.h"

class SleepInhibitor : public QObject {
    Q_OBJECT
public:
    explicit SleepInhibitor(QObject* parent = nullptr);
    ~SleepInhibitor() override;

    // The session bus, once it is there (the portal is asked on it); without one only logind is.
    void useSessionBus(const QDBusConnection& bus);
    // The bus logind is asked on instead of the system bus (tests bring a private one).
    void useSystemBus(const QDBusConnection& bus);

    // Holds an inhibitor with `reason` ("Downloading 12 files") until release(); a second hold
    // keeps the one held.
    void hold(const QString& reason);
    void release();

    // Who holds it now, for tests and the log: "portal", "logind", or empty.
    QString holder() const;
    bool wanted() const { return wanted_; }

    // "Downloading 12 files" / "Downloading 1 file".
    static QString reasonFor(int files);

    static constexpr int kPortalSuspend = 4;  // the portal's flag for suspending
    static constexpr int kSystemBusGreetingLimitMs = 1000;
    // A portal that does not answer within this is taken as absent, and logind is asked.
    static constexpr int kAnswerLimitMs = 5000;

signals:
    // After each change of holder() (tests wait on it).
    void changed();

private:
    void askPortal();
    void askLogind();
    void systemBusArrived(std::optional<QDBusConnection> bus);
    void portalAnswered(const QString& handle);
    void logindAnswered(int fd);
    void letGo();

    std::optional<QDBusConnection> session_;
    std::optional<QDBusConnection> system_;
    bool systemAsked_ = false;  // the system bus is being connected, or was
    bool wanted_ = false;
    bool asking_ = false;
    QString reason_;
    QString portalHandle_;
    Fw::UniqueFd logindFd_;
};
