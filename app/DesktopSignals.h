#pragma once
// What the desktop shows of a run outside the window: a notification when a run ends while
// the window is in the background, and the share done on the task bar entry where the dock
// supports the launcher-entry signal. Both go over the session D-Bus, without waiting for an
// answer; without a bus nothing is sent and nothing fails. While a run goes (and "Keep Awake"
// is on) the computer is kept from sleeping (SleepInhibitor). The bus is reached off the window
// thread with a time limit: a bus that never answers costs the window nothing.
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>
#include <utility>

class QWidget;
class SleepInhibitor;

class DesktopSignals : public QObject {
    Q_OBJECT
public:
    // Signals for `window`, which owns this object. The session bus is connected on first use,
    // in the background; what is signalled meanwhile is sent once it is there.
    explicit DesktopSignals(QWidget& window);
    // A run still shown (the window closed mid-run) is taken off the entry.
    ~DesktopSignals() override;

    // Another bus instead of the session bus (tests bring a private one).
    void useBus(const QDBusConnection& bus);

    // A run has begun: its entry shows a progress at once, from 0 until runEnded(), and the
    // computer is kept awake until then, when the window's options say so.
    void runStarted();

    // The inhibitor held while a run goes.
    SleepInhibitor& sleepInhibitor() { return *inhibitor_; }

    // The share done (0..1) of the run under way, sent at most every kProgressIntervalMs; the
    // last share within an interval is sent when the interval is over. Outside a run, nothing.
    void showProgress(double share);

    // A run ended with `failed` of `items` not stored: the progress is taken away at once and,
    // when the window is not the active one, a notification says so in one line.
    void runEnded(int items, int failed);

    // "300 files stored" / "44 of 300 failed".
    static QString summaryLine(int items, int failed);

    static constexpr int kProgressIntervalMs = 250;
    // How long the session bus may take to greet before it is given up for good.
    static constexpr int kBusGreetingLimitMs = 2000;
    static constexpr const char* kLauncherPath = "/example/quillmoor/Fetchwright/LauncherEntry";
    static constexpr const char* kAppUri = "application://example.quillmoor.Fetchwright.desktop";

private:
    struct Connecting;
    // The bus when it is there; starts connecting to the session bus the first time.
    QDBusConnection* bus();
    void busArrived();
    void notifyEnd(int items, int failed);
    // Sends what the entry should show now (the run's share, or no progress), if it differs from
    // what was sent last.
    void sendProgress();

    // Holds the inhibitor for the run under way, once the session bus is known (or known absent).
    void keepAwake();

    QWidget& window_;
    SleepInhibitor* inhibitor_ = nullptr;
    QString awakeReason_;  // the run's reason, while it goes and "Keep Awake" is on
    std::optional<QDBusConnection> bus_;
    std::shared_ptr<Connecting> connecting_;
    bool busGivenUp_ = false;
    std::optional<std::pair<int, int>> endWaiting_;  // a run's end signalled before the bus was there
    QTimer pending_;  // a share waiting for its turn
    QElapsedTimer sinceSent_;
    bool running_ = false;
    double share_ = 0.0;
    double sentShare_ = -1.0;
    bool sentVisible_ = false;
};
