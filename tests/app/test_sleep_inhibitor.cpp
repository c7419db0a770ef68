// The computer is kept awake while a run transfers: one inhibitor from the desktop portal, else
// from logind, held against stand-ins on a private bus, and let go at the run's end, on Stop, on
// a close, and with the process.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QLineEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>

#include <poll.h>
#include <unistd.h>

#include "app/DesktopSignals.h"
#include "app/Form1.h"
#include "app/SleepInhibitor.h"
#include "harness/LoopbackServer.h"
#include "harness/PrivateBus.h"
#include "harness/ScriptedDialogs.h"
#include "harness/Timing.h"
#include "support/RunOptions.h"
#include "support/UniqueFd.h"

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

// One request of the portal stand-in; its Close ends it.
class PortalRequest : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Request")
public:
    std::function<void()> closed;
public slots:
    void Close() { closed(); }
};

// Stands in for the desktop portal's Inhibit.
class PortalStandIn : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Inhibit")
public:
    explicit PortalStandIn(QDBusConnection bus) : bus_(std::move(bus)) {}
    int calls = 0;
    std::map<QString, QString> active;  // request path: reason
    uint lastFlags = 0;

public slots:
    QDBusObjectPath Inhibit(const QString&, uint flags, const QVariantMap& options) {
        ++calls;
        lastFlags = flags;
        const QString path = s("/org/freedesktop/portal/desktop/request/%1").arg(calls);
        auto* request = new PortalRequest;
        request->setParent(this);
        request->closed = [this, path, request] {
            active.erase(path);
            bus_.unregisterObject(path);
            request->deleteLater();
        };
        bus_.registerObject(path, request, QDBusConnection::ExportAllSlots);
        active[path] = options.value(s("reason")).toString();
        return QDBusObjectPath(path);
    }

private:
    QDBusConnection bus_;
};

// Stands in for logind: each inhibitor is the write end of a pipe, held until every copy of it
// is closed, as logind's descriptors are.
class LogindStandIn : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    std::vector<Fw::UniqueFd> readEnds;
    QStringList whats, whys;

    // How many inhibitors are still held.
    int held() const {
        int count = 0;
        for (const Fw::UniqueFd& end : readEnds) {
            pollfd p{end.get(), POLLIN, 0};
            if (::poll(&p, 1, 0) == 0) ++count;
        }
        return count;
    }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString&, const QString& why, const QString&) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return {};
        readEnds.emplace_back(ends[0]);
        whats << what;
        whys << why;
        QDBusUnixFileDescriptor handed(ends[1]);  // a copy of its own
        ::close(ends[1]);
        return handed;
    }
};

struct KeepAwake : ::testing::Test {
    PrivateBus bus;
    LoopbackServer http;
    std::mutex lock;
    std::condition_variable changed;
    bool release = false;
    int asked = 0;
    std::unique_ptr<PortalStandIn> portal;
    std::unique_ptr<LogindStandIn> logind;
    ScriptedDialogs dialogs;
    Settings::Store settings;
    std::unique_ptr<Form1> form;
    QTemporaryDir out;

    void SetUp() override {
        if (!bus.start()) GTEST_SKIP() << bus.failure.toStdString();
        http.server().Get("/slow/(.*)", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock<std::mutex> hold(lock);
            ++asked;
            changed.wait(hold, [&] { return release; });
            res.set_content("body", "application/octet-stream");
        });
        http.start();
        ASSERT_TRUE(QDBusConnection::connectToBus(bus.address, s("services")).isConnected());
    }
    void TearDown() override {
        letServerGo();
        form.reset();
        QDBusConnection::disconnectFromBus(s("window"));
        QDBusConnection::disconnectFromBus(s("window-system"));
        portal.reset();
        logind.reset();
        QDBusConnection::disconnectFromBus(s("services"));
    }
    void letServerGo() {
        {
            const std::lock_guard<std::mutex> hold(lock);
            release = true;
        }
        changed.notify_all();
    }
    int serverAsked() {
        const std::lock_guard<std::mutex> hold(lock);
        return asked;
    }
    void offerPortal() {
        QDBusConnection services = QDBusConnection(s("services"));
        portal = std::make_unique<PortalStandIn>(services);
        ASSERT_TRUE(services.registerService(s("org.freedesktop.portal.Desktop")));
        ASSERT_TRUE(services.registerObject(s("/org/freedesktop/portal/desktop"), portal.get(), QDBusConnection::ExportAllSlots));
    }
    void offerLogind() {
        QDBusConnection services = QDBusConnection(s("services"));
        logind = std::make_unique<LogindStandIn>();
        ASSERT_TRUE(services.registerService(s("org.freedesktop.login1")));
        ASSERT_TRUE(services.registerObject(s("/org/freedesktop/login1"), logind.get(), QDBusConnection::ExportAllSlots));
    }
    // The window on the private bus, which also stands for the system bus; a run of `files`
    // slow files is started and has reached the server.
    void startRun(int files) {
        form = std::make_unique<Form1>(dialogs, settings);
        form->desktopSignals().useBus(QDBusConnection::connectToBus(bus.address, s("window")));
        form->desktopSignals().sleepInhibitor().useSystemBus(QDBusConnection::connectToBus(bus.address, s("window-system")));
        for (int k = 0; k < files; ++k) form->urlList().append(http.url(s("/slow/%1.bin").arg(k)));
        form->Text1->setText(out.path());
        form->PushButton2->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return serverAsked() > 0; }, Timing::boundMs(20000)));
    }
    bool waitFor(const std::function<bool()>& arrived) { return QTest::qWaitFor(arrived, Timing::boundMs(20000)); }
};

}  // namespace

TEST_F(KeepAwake, ThePortalsInhibitorIsHeldOnceWhileTheRunTransfersAndLetGoAtItsEnd) {
    offerPortal();
    offerLogind();
    startRun(12);
    ASSERT_TRUE(waitFor([&] { return form->desktopSignals().sleepInhibitor().holder() == s("portal"); }));
    ASSERT_EQ(portal->active.size(), 1u);
    EXPECT_EQ(portal->active.begin()->second, s("Downloading 12 files"));
    EXPECT_EQ(portal->lastFlags & SleepInhibitor::kPortalSuspend, uint(SleepInhibitor::kPortalSuspend));
    letServerGo();
    ASSERT_TRUE(waitFor([&] { return !form->IsDownloading; }));
    EXPECT_TRUE(waitFor([&] { return portal->active.empty(); })) << "the inhibitor outlived the run";
    EXPECT_EQ(portal->calls, 1) << "one inhibitor for the whole run";
    EXPECT_TRUE(logind->readEnds.empty()) << "logind is not asked where the portal answers";
}

TEST_F(KeepAwake, StopAndCloseLetThePortalsInhibitorGo) {
    offerPortal();
    startRun(3);
    ASSERT_TRUE(waitFor([&] { return portal->active.size() == 1; }));
    form->stopDownloading();
    EXPECT_TRUE(waitFor([&] { return portal->active.empty(); })) << "Stop kept the computer awake";
    letServerGo();
    ASSERT_TRUE(waitFor([&] { return !form->IsDownloading; }));

    {
        const std::lock_guard<std::mutex> hold(lock);
        release = false;
        asked = 0;
    }
    form->PushButton2->click();
    ASSERT_TRUE(waitFor([&] { return portal->active.size() == 1; }));
    form->close();
    EXPECT_TRUE(waitFor([&] { return portal->active.empty(); })) << "a closed window kept the computer awake";
}

TEST_F(KeepAwake, WithoutAPortalLogindsInhibitorIsHeldUntilTheRunEnds) {
    offerLogind();
    startRun(1);
    ASSERT_TRUE(waitFor([&] { return logind->held() == 1; }));
    EXPECT_EQ(logind->whys, QStringList{s("Downloading 1 file")});
    EXPECT_TRUE(logind->whats.front().split(u':').contains(s("sleep")));
    letServerGo();
    ASSERT_TRUE(waitFor([&] { return !form->IsDownloading; }));
    EXPECT_TRUE(waitFor([&] { return logind->held() == 0; }));
}

TEST_F(KeepAwake, WhenTheOptionIsOffNothingIsHeld) {
    offerPortal();
    RunOptions::Values values = RunOptions::Read(settings);
    values.keepAwake = false;
    RunOptions::Write(settings, values);
    startRun(1);
    letServerGo();
    ASSERT_TRUE(waitFor([&] { return !form->IsDownloading; }));
    // A second run with the option on is asked for, so the first one would have been seen.
    values.keepAwake = true;
    RunOptions::Write(settings, values);
    {
        const std::lock_guard<std::mutex> hold(lock);
        release = false;
    }
    form->PushButton2->click();
    ASSERT_TRUE(waitFor([&] { return portal->calls >= 1; }));
    EXPECT_EQ(portal->calls, 1);
    letServerGo();
    ASSERT_TRUE(waitFor([&] { return !form->IsDownloading; }));
}

TEST_F(KeepAwake, AKilledProgramLeavesNoInhibitorBehind) {
    offerLogind();
    QProcess copy;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(s("DBUS_SESSION_BUS_ADDRESS"), bus.address);
    env.insert(s("DBUS_SYSTEM_BUS_ADDRESS"), bus.address);
    env.insert(s("QT_QPA_PLATFORM"), s("offscreen"));
    copy.setProcessEnvironment(env);
    // Closed only after a minute: the kill comes first.
    copy.start(s(FETCHWRIGHT_WINDOW_COPY), {out.path(), s("60000"), http.url(s("/slow/a.bin"))});
    ASSERT_TRUE(copy.waitForStarted(10000));
    ASSERT_TRUE(waitFor([&] { return logind->held() == 1; })) << copy.readAllStandardError().toStdString();
    copy.kill();
    ASSERT_TRUE(copy.waitForFinished(10000));
    EXPECT_TRUE(waitFor([&] { return logind->held() == 0; }));
}

#include "test_sleep_inhibitor.moc"
