// The notification at a run's end and the task-bar progress, against a private session bus.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <utility>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "support/UniqueFd.h"

#include "app/DesktopSignals.h"
#include "app/Form1.h"
#include "harness/RunWait.h"
#include "harness/LoopbackServer.h"
#include "harness/ScriptedDialogs.h"
#include "harness/Timing.h"

namespace {

struct Notification {
    QString appName, summary, body;
    QVariantMap hints;
};

struct LauncherUpdate {
    QString appUri;
    double progress;
    bool visible;
};

// Stands in for the desktop's notification server and dock on the private bus.
class DesktopRecorder : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    std::vector<Notification> notifications;
    std::vector<LauncherUpdate> updates;

    // "0.25 shown, 0 hidden" for a failure's message.
    std::string updatesText() const {
        std::string text = std::to_string(updates.size()) + " updates:";
        for (const LauncherUpdate& u : updates)
            text += " " + std::to_string(u.progress) + (u.visible ? " shown," : " hidden,");
        return text;
    }

public slots:
    uint Notify(const QString& appName, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap& hints, int) {
        notifications.push_back({appName, summary, body, hints});
        return uint(notifications.size());
    }
    void Update(const QString& appUri, const QVariantMap& properties) {
        updates.push_back({appUri, properties.value(QStringLiteral("progress")).toDouble(),
                           properties.value(QStringLiteral("progress-visible")).toBool()});
    }
};

struct DesktopBus : ::testing::Test {
    QProcess daemon;
    QString address;
    const QByteArray programBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    std::unique_ptr<DesktopRecorder> recorder = std::make_unique<DesktopRecorder>();
    // Stops after the window (TearDown), whose engine keeps its connections open until then.
    LoopbackServer http;
    ScriptedDialogs dialogs;
    Settings::Store settings;  // the test home's own
    std::unique_ptr<Form1> form;

    void SetUp() override {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (program.isEmpty()) GTEST_SKIP() << "dbus-daemon is not installed";
        daemon.start(program, {QStringLiteral("--session"), QStringLiteral("--print-address"), QStringLiteral("--nofork")});
        ASSERT_TRUE(daemon.waitForStarted(10000));
        while (!daemon.canReadLine() && daemon.waitForReadyRead(30000)) {}
        address = QString::fromLocal8Bit(daemon.readLine()).trimmed();
        ASSERT_FALSE(address.isEmpty()) << daemon.readAllStandardError().toStdString();
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toLocal8Bit());

        QDBusConnection server = QDBusConnection::connectToBus(address, QStringLiteral("recorder"));
        ASSERT_TRUE(server.isConnected());
        ASSERT_TRUE(server.registerService(QStringLiteral("org.freedesktop.Notifications")));
        ASSERT_TRUE(server.registerObject(QStringLiteral("/org/freedesktop/Notifications"), recorder.get(),
                                          QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(server.connect(QString(), QString::fromLatin1(DesktopSignals::kLauncherPath),
                                   QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"),
                                   recorder.get(), SLOT(Update(QString, QVariantMap))));

        form = std::make_unique<Form1>(dialogs, settings);
        form->desktopSignals().useBus(QDBusConnection::connectToBus(address, QStringLiteral("program")));
    }
    void TearDown() override {
        qputenv("DBUS_SESSION_BUS_ADDRESS", programBus);
        form.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("program"));
        // Gone while its connection is still open: left to the end, the connection's own thread
        // would still look at it as the connection closes, while this fixture destroys it.
        recorder.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("recorder"));
        if (daemon.state() != QProcess::NotRunning) {
            daemon.terminate();
            if (!daemon.waitForFinished(10000)) daemon.kill();
            daemon.waitForFinished(10000);
        }
    }
    bool waitFor(const std::function<bool()>& arrived) { return QTest::qWaitFor(arrived, 20000); }
};

}  // namespace

TEST_F(DesktopBus, ARunEndingInTheBackgroundIsNotifiedInOneLine) {
    form->desktopSignals().runEnded(300, 0);
    form->desktopSignals().runEnded(300, 44);
    form->desktopSignals().runEnded(1, 0);
    ASSERT_TRUE(waitFor([&] { return recorder->notifications.size() >= 3; }));
    EXPECT_EQ(recorder->notifications[0].summary, QStringLiteral("300 files stored"));
    EXPECT_EQ(recorder->notifications[1].summary, QStringLiteral("44 of 300 failed"));
    EXPECT_EQ(recorder->notifications[2].summary, QStringLiteral("1 file stored"));
    EXPECT_EQ(recorder->notifications[0].appName, QStringLiteral("Fetchwright"));
    EXPECT_EQ(recorder->notifications[0].hints.value(QStringLiteral("desktop-entry")).toString(),
              QStringLiteral("example.quillmoor.Fetchwright"));
}

TEST_F(DesktopBus, NothingIsNotifiedWhileTheWindowIsActive) {
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    form->desktopSignals().runEnded(5, 0);
    // Another window takes the focus: the next end is notified, and it is the only one.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    ASSERT_FALSE(form->isActiveWindow());
    form->desktopSignals().runEnded(7, 2);
    ASSERT_TRUE(waitFor([&] { return !recorder->notifications.empty(); }));
    QTest::qWait(50);
    ASSERT_EQ(recorder->notifications.size(), 1u);
    EXPECT_EQ(recorder->notifications[0].summary, QStringLiteral("2 of 7 failed"));
}

TEST_F(DesktopBus, AWholeRunShowsItsShareOnTheTaskBarAndItsEnd) {
    // The last item is held until the entry has shown a share of the three before it.
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    struct Release {
        std::promise<void>& promise;
        bool done = false;
        void operator()() {
            if (!std::exchange(done, true)) promise.set_value();
        }
        ~Release() { (*this)(); }
    } letGo{release};
    http.server().Get("/f/(.*)", [released](const httplib::Request& req, httplib::Response& res) {
        if (req.matches[1] == "held.txt") released.wait_for(std::chrono::seconds(60));
        res.set_content(req.matches[1].str(), "text/plain");
    });
    http.start();
    QTemporaryDir dir;
    for (int i = 0; i < 3; ++i) form->urlList().append(http.url(QStringLiteral("/f/%1.txt").arg(i)));
    form->urlList().append(http.url(QStringLiteral("/f/held.txt")));
    form->Text1->setText(dir.path());
    form->PushButton2->click();
    // Shown from the start, before anything is done.
    ASSERT_TRUE(waitFor([&] { return !recorder->updates.empty(); }));
    EXPECT_TRUE(recorder->updates.front().visible);
    EXPECT_EQ(recorder->updates.front().progress, 0.0);
    ASSERT_TRUE(waitFor([&] { return recorder->updates.back().visible && recorder->updates.back().progress > 0.5; }))
        << recorder->updatesText();
    EXPECT_LT(recorder->updates.back().progress, 1.0);
    letGo();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->IsDownloading; }, Timing::boundMs(60000)));
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("Done.\r\n4 stored.")});
    ASSERT_TRUE(waitFor([&] { return !recorder->notifications.empty(); }));
    EXPECT_EQ(recorder->notifications[0].summary, QStringLiteral("4 files stored"));
    // The share only grew while the run went on, and was taken away at its end.
    ASSERT_TRUE(waitFor([&] { return !recorder->updates.back().visible; })) << recorder->updatesText();
    for (std::size_t k = 1; k + 1 < recorder->updates.size(); ++k) {
        EXPECT_TRUE(recorder->updates[k].visible) << recorder->updatesText();
        EXPECT_GE(recorder->updates[k].progress, recorder->updates[k - 1].progress) << recorder->updatesText();
    }
    for (const LauncherUpdate& u : recorder->updates)
        EXPECT_EQ(u.appUri, QStringLiteral("application://example.quillmoor.Fetchwright.desktop"));
}

TEST_F(DesktopBus, ProgressIsSentAFewTimesASecondAndItsLastShareArrives) {
    DesktopSignals& desktop = form->desktopSignals();
    desktop.showProgress(0.5);  // no run: nothing to show
    QElapsedTimer burst;
    burst.start();
    desktop.runStarted();
    for (int i = 1; i <= 5000; ++i) desktop.showProgress(i / 5000.0);
    const qint64 took = burst.elapsed();
    // The last share comes after the interval even without a further change.
    ASSERT_TRUE(waitFor([&] { return !recorder->updates.empty() && recorder->updates.back().progress == 1.0; }));
    const qint64 window = burst.elapsed();
    EXPECT_LE(qint64(recorder->updates.size()), window / DesktopSignals::kProgressIntervalMs + 2)
        << recorder->updates.size() << " updates in " << window << " ms (burst " << took << " ms)";
    EXPECT_TRUE(recorder->updates.front().visible);
    EXPECT_EQ(recorder->updates.front().progress, 0.0);

    // The end is sent at once, whatever came just before it, and once; after it, shares are not
    // sent.
    const std::size_t before = recorder->updates.size();
    desktop.showProgress(0.5);
    desktop.runEnded(3, 0);
    desktop.runEnded(3, 0);
    desktop.showProgress(0.7);
    ASSERT_TRUE(waitFor([&] { return recorder->updates.size() > before; }));
    QTest::qWait(DesktopSignals::kProgressIntervalMs * 2);
    ASSERT_EQ(recorder->updates.size(), before + 1) << recorder->updatesText();
    EXPECT_FALSE(recorder->updates.back().visible);
}

TEST_F(DesktopBus, AWindowClosedMidRunTakesItsProgressAway) {
    form->desktopSignals().runStarted();
    form->desktopSignals().showProgress(0.4);
    ASSERT_TRUE(waitFor([&] { return !recorder->updates.empty(); }));
    form.reset();
    ASSERT_TRUE(waitFor([&] { return !recorder->updates.back().visible; })) << recorder->updatesText();
}

TEST_F(DesktopBus, TheSessionBusIsReachedInTheBackgroundAndWhatWaitedForItArrives) {
    // No bus handed in: the window finds the session bus (the private one) by its address.
    ScriptedDialogs otherDialogs;
    Form1 other(otherDialogs, settings);
    QElapsedTimer clock;
    clock.start();
    // A run that ended before the bus was there leaves only its notification; the next run's
    // share is sent as it is when the bus arrives.
    other.desktopSignals().runStarted();
    other.desktopSignals().showProgress(0.5);
    other.desktopSignals().runEnded(9, 1);
    other.desktopSignals().runStarted();
    other.desktopSignals().showProgress(0.25);
    EXPECT_LT(clock.elapsed(), 1000);
    ASSERT_TRUE(waitFor([&] { return !recorder->notifications.empty() && !recorder->updates.empty(); }));
    EXPECT_EQ(recorder->notifications[0].summary, QStringLiteral("1 of 9 failed"));
    ASSERT_EQ(recorder->updates.size(), 1u) << recorder->updatesText();
    EXPECT_EQ(recorder->updates.back().progress, 0.25);
    EXPECT_TRUE(recorder->updates.back().visible);
}

TEST(DesktopSignalsSilentBus, ABusThatNeverAnswersNeitherHoldsARunNorTheWindow) {
    // A session bus that takes the connection and never says a word.
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("bus")));
    Fw::UniqueFd silent(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), qsizetype(sizeof at.sun_path));
    memcpy(at.sun_path, path.constData(), size_t(path.size()));
    ASSERT_EQ(::bind(silent.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(silent.get(), 16), 0);
    const QByteArray programBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + path);

    LoopbackServer http;
    http.server().Get("/f/(.*)", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.matches[1].str(), "text/plain");
    });
    http.start();
    QTemporaryDir out;
    ScriptedDialogs dialogs;
    Settings::Store settings;
    {
        Form1 form(dialogs, settings);
        for (int i = 0; i < 3; ++i) form.urlList().append(http.url(QStringLiteral("/f/%1.txt").arg(i)));
        form.Text1->setText(out.path());
        QElapsedTimer clock;
        clock.start();
        EXPECT_TRUE(ClickStartAndWait(form, 2000));
        form.desktopSignals().runEnded(3, 0);
        form.desktopSignals().runStarted();
        form.desktopSignals().showProgress(0.3);
        EXPECT_LT(clock.elapsed(), 2000);
        EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("Done.\r\n3 stored.")});
        EXPECT_TRUE(QFile::exists(out.filePath(QStringLiteral("2.txt"))));
        // The bus is given up quietly after its time; signals after that are dropped at once.
        QTest::qWait(DesktopSignals::kBusGreetingLimitMs + 300);
        clock.restart();
        form.desktopSignals().runStarted();
        form.desktopSignals().runEnded(3, 1);
        EXPECT_LT(clock.elapsed(), 500);
        EXPECT_EQ(dialogs.messages.size(), 1u);
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", programBus);
}

TEST(DesktopSignalsWithoutBus, AMissingBusIsHarmless) {
    ScriptedDialogs dialogs;
    Settings::Store settings;
    Form1 form(dialogs, settings);
    // The test programs' session bus address leads nowhere, like a machine without a bus.
    form.desktopSignals().runEnded(3, 1);
    form.desktopSignals().runStarted();
    form.desktopSignals().showProgress(0.5);
    form.desktopSignals().useBus(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                                               QStringLiteral("nowhere")));
    form.desktopSignals().runEnded(3, 0);
    form.desktopSignals().runStarted();
    form.desktopSignals().showProgress(0.7);
    form.desktopSignals().runEnded(3, 0);
    QTest::qWait(DesktopSignals::kProgressIntervalMs + 50);
    EXPECT_FALSE(QDBusConnection(QStringLiteral("nowhere")).isConnected());
    EXPECT_TRUE(dialogs.messages.empty());
    QDBusConnection::disconnectFromBus(QStringLiteral("nowhere"));
}

#include "test_desktop_signals.moc"
