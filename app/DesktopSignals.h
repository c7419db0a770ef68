#pragma once
// What the desktop shows of a run outside the window: a notification when a run ends while
// the window is in the background, and the share done on the task bar entry where the dock
// supports the launcher-entry signal. Both go over the session D-Bus, without waiting for an
// answer; without a bus nothing is sent and nothing fails. The bus is reached off the window
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

class DesktopSignals : public QObject {
    Q_OBJECT
public:
    // Signals for `window`, which owns this object. The session bus is connected on first use,
    // in the background; what is signalled meanwhile is sent once it is there.
    explicit DesktopSignals(QWidget& window);
    ~DesktopSignals() override;

    // Another bus instead of the session bus (tests bring a private one).
    void useBus(const QDBusConnection& bus);

    // A run ended with `failed` of `items` not stored: when the window is not the active one, a
    // notification says so in one line.
    void runEnded(int items, int failed);

    // The run's share done (0..1) for the task bar entry; `visible` false takes it away again.
    // A change of visibility is sent at once, shares at most every kProgressIntervalMs (the last
    // one always arrives).
    void showProgress(double share, bool visible);

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
    void sendProgress();

    QWidget& window_;
    std::optional<QDBusConnection> bus_;
    std::shared_ptr<Connecting> connecting_;
    bool busGivenUp_ = false;
    std::optional<std::pair<int, int>> endWaiting_;  // a run's end signalled before the bus was there
    QTimer pending_;  // a share waiting for its turn
    QElapsedTimer sinceSent_;
    double share_ = 0.0;
    bool visible_ = false;
    double sentShare_ = -1.0;
    bool sentVisible_ = false;
};
