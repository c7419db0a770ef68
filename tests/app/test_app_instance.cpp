// One window for each user: a second start of the program hands its entries to the running
// window over a private session bus and ends; without a bus, a start goes on alone.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include "app/AppInstance.h"
#include "app/Form1.h"
#include "app/SessionBus.h"
#include "harness/ListWait.h"
#include "harness/LoopbackServer.h"
#include "harness/PrivateBus.h"
#include "harness/ScriptedDialogs.h"
#include "harness/Timing.h"
#include "support/UniqueFd.h"

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

bool WriteFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QStringList ListTexts(Form1& form) {
    QStringList texts;
    for (int row = 1; row <= form.urlList().count(); ++row) texts << form.urlList().textAt(row);
    return texts;
}

// The running window of the test and the program itself started beside it.
struct HandOver : ::testing::Test {
    PrivateBus bus;
    ScriptedDialogs dialogs;
    Settings::Store settings;
    std::unique_ptr<Form1> form;
    std::unique_ptr<AppInstance::Service> service = std::make_unique<AppInstance::Service>();
    QTemporaryDir work;

    void SetUp() override {
        if (!bus.start()) GTEST_SKIP() << bus.failure.toStdString();
        QDBusConnection first = QDBusConnection::connectToBus(bus.address, s("first"));
        ASSERT_TRUE(first.isConnected());
        form = std::make_unique<Form1>(dialogs, settings);
        ASSERT_EQ(AppInstance::ClaimOrHandOver(first, *service, {}, {}), AppInstance::Start::First);
        AppInstance::Attach(*service, *form);
    }
    void TearDown() override {
        form.reset();
        // Gone before its connection, so that the bus's own thread, closing the connection, finds
        // nothing of it left to look at.
        service.reset();
        QDBusConnection::disconnectFromBus(s("first"));
    }

    struct Second {
        int exitCode = -1;
        qint64 ms = 0;
        QString errors;
    };
    // Starts the program with `arguments` in `folder` on the private bus and waits for its end.
    Second startSecond(const QStringList& arguments, const QString& folder, const QString& busAddress = {}) {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(s("DBUS_SESSION_BUS_ADDRESS"), busAddress.isEmpty() ? bus.address : busAddress);
        env.insert(s("QT_QPA_PLATFORM"), s("offscreen"));
        env.insert(s("XDG_ACTIVATION_TOKEN"), s("token-of-the-second-start"));
        program.setProcessEnvironment(env);
        program.setWorkingDirectory(folder);
        QElapsedTimer clock;
        clock.start();
        program.start(s(FETCHWRIGHT_PROGRAM), arguments);
        // The window's events flow meanwhile: it answers the call the program makes.
        const bool ended = QTest::qWaitFor([&] { return program.state() == QProcess::NotRunning; }, Timing::boundMs(30000));
        Second second;
        second.ms = clock.elapsed();
        if (!ended) {
            program.kill();
            program.waitForFinished(5000);
            return second;
        }
        second.exitCode = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
        second.errors = QString::fromLocal8Bit(program.readAllStandardError());
        return second;
    }
};

}  // namespace

TEST_F(HandOver, ASecondStartHandsItsAddressesAndListFilesToTheRunningWindowAndEnds) {
    ASSERT_TRUE(WriteFile(work.filePath(s("list.txt")), "https://example.org/from-list/1\nhttps://example.org/from-list/2\n"));
    // A relative list file is read in the second start's folder, not the window's.
    const Second second = startSecond({s("example.com/typed"), s("list.txt"), s("https://example.org/b.zip")}, work.path());
    ASSERT_EQ(second.exitCode, 0) << second.errors.toStdString();
    std::cout << "hand-off: the second start ended after " << second.ms << " ms\n";
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->urlList().count() == 4; }, Timing::boundMs(20000))) << ListTexts(*form).join(s(", ")).toStdString();
    ASSERT_TRUE(WaitForListWork(*form));
    // Typed addresses as Add One URL adds them (a scheme put in front), the list's lines after.
    EXPECT_EQ(ListTexts(*form), (QStringList{s("http://example.com/typed"), s("https://example.org/b.zip"),
                                             s("https://example.org/from-list/1"), s("https://example.org/from-list/2")}));
    EXPECT_TRUE(dialogs.messages.empty()) << dialogs.messageTexts().join(s(" | ")).toStdString();
    EXPECT_TRUE(form->isVisible()) << "the window is raised for the entries";
    EXPECT_FALSE(form->IsDownloading) << "a hand-off starts nothing by itself";
}

TEST_F(HandOver, BadEntriesOfASecondStartAreNamedByTheRunningWindow) {
    ASSERT_TRUE(QDir(work.path()).mkdir(s("folder")));
    const Second second = startSecond({s("./missing.txt"), s("folder"), s("ftp://example.org/x"), s("https://example.org/ok")}, work.path());
    ASSERT_EQ(second.exitCode, 0) << second.errors.toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs.messages.size() >= 3; }, Timing::boundMs(20000)))
        << dialogs.messageTexts().join(s(" | ")).toStdString();
    ASSERT_TRUE(WaitForListWork(*form));
    EXPECT_EQ(ListTexts(*form), QStringList{s("https://example.org/ok")});
    const QString shown = dialogs.messageTexts().join(s("\n"));
    EXPECT_TRUE(shown.contains(s("File not found")) && shown.contains(work.filePath(s("missing.txt")))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(s("Not a regular file")) && shown.contains(work.filePath(s("folder")))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(s("ftp://example.org/x"))) << shown.toStdString();
}

TEST_F(HandOver, ASecondStartWithoutEntriesOnlyRaisesTheWindow) {
    form->urlList().append(s("https://example.org/kept"));
    ASSERT_FALSE(form->isVisible());
    const Second second = startSecond({}, work.path());
    ASSERT_EQ(second.exitCode, 0) << second.errors.toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->isVisible(); }, Timing::boundMs(20000)));
    EXPECT_EQ(ListTexts(*form), QStringList{s("https://example.org/kept")});
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(HandOver, AddressesHandedOverDuringARunJoinIt) {
    LoopbackServer http;
    std::mutex lock;
    std::condition_variable changed;
    bool release = false;
    std::atomic<bool> asked{false};
    http.server().Get("/slow.bin", [&](const httplib::Request&, httplib::Response& res) {
        asked = true;
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return release; });
        res.set_content("slow", "application/octet-stream");
    });
    http.server().Get("/late.bin", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("late", "application/octet-stream");
    });
    http.start();
    const auto letGo = [&] {
        {
            const std::lock_guard<std::mutex> hold(lock);
            release = true;
        }
        changed.notify_all();
    };
    QTemporaryDir out;
    form->urlList().append(http.url(s("/slow.bin")));
    form->Text1->setText(out.path());
    form->PushButton2->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return asked.load(); }, Timing::boundMs(20000)));
    ASSERT_TRUE(form->IsDownloading);

    const Second second = startSecond({http.url(s("/late.bin"))}, work.path());
    EXPECT_EQ(second.exitCode, 0) << second.errors.toStdString();
    const bool joined = QTest::qWaitFor([&] { return form->urlList().count() == 2; }, Timing::boundMs(20000));
    letGo();
    ASSERT_TRUE(joined);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->IsDownloading; }, Timing::boundMs(30000)));
    EXPECT_TRUE(QFile::exists(out.filePath(s("slow.bin"))));
    // The entry joined the running queue and was fetched by the same run.
    const QString closing = dialogs.messageTexts().join(s(" | "));
    EXPECT_TRUE(QFile::exists(out.filePath(s("late.bin")))) << closing.toStdString();
    EXPECT_TRUE(closing.startsWith(s("Done.\r\n2 stored."))) << closing.toStdString();
}

TEST_F(HandOver, ACopyThatHoldsTheNameButDoesNotServeItLeavesTheStartAlone) {
    // The window's copy serves; a start on a second bus, whose name holder serves nothing, is alone.
    PrivateBus other;
    ASSERT_TRUE(other.start()) << other.failure.toStdString();
    QDBusConnection holder = QDBusConnection::connectToBus(other.address, s("holder"));
    QDBusConnection starting = QDBusConnection::connectToBus(other.address, s("starting"));
    ASSERT_TRUE(holder.registerService(QString::fromLatin1(BuildInfo::kAppId)));
    AppInstance::Service second;
    EXPECT_EQ(AppInstance::ClaimOrHandOver(starting, second, {s("https://example.org/x")}, {}, 2000), AppInstance::Start::Alone);
    QDBusConnection::disconnectFromBus(s("holder"));
    QDBusConnection::disconnectFromBus(s("starting"));
}

TEST(HandOverWithoutBus, AStartWithoutASessionBusGoesOnAloneAtOnce) {
    QTemporaryDir dir;
    const QByteArray before = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(dir.filePath(s("nowhere"))));
    EXPECT_FALSE(SessionBus::Connect(s("nowhere"), 1000).has_value());

    // A socket that accepts and never greets costs the start the limit, not more.
    const QByteArray path = QFile::encodeName(dir.filePath(s("silent")));
    Fw::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    memcpy(at.sun_path, path.constData(), size_t(path.size()));
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener.get(), 4), 0);
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + path);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(SessionBus::Connect(s("silent"), 300).has_value());
    EXPECT_LT(clock.elapsed(), Timing::boundMs(5000));
    qputenv("DBUS_SESSION_BUS_ADDRESS", before);

    QDBusConnection none = QDBusConnection::connectToBus(s("unix:path=") + dir.filePath(s("nowhere")), s("none"));
    AppInstance::Service service;
    EXPECT_EQ(AppInstance::ClaimOrHandOver(none, service, {s("https://example.org/x")}, {}), AppInstance::Start::Alone);
    QDBusConnection::disconnectFromBus(s("none"));
}

TEST(CommandLineEntries, FilesTravelAsAbsoluteFileAddressesAndTheRestAsTyped) {
    QTemporaryDir dir;
    ASSERT_TRUE(WriteFile(dir.filePath(s("urls.txt")), "x\n"));
    const auto file = [&](const QString& path) { return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded); };
    const QStringList entries = AppInstance::EntriesOfArguments(
        {s("urls.txt"), s("./gone.txt"), s("../up.txt"), s("example.com"), s("https://example.org/a b"),
         s("file:///srv/lists/x.txt"), s(""), s("~/home.txt"), s("a name with blanks.txt")},
        dir.path());
    EXPECT_EQ(entries, (QStringList{file(dir.filePath(s("urls.txt"))), file(dir.filePath(s("gone.txt"))),
                                    file(QDir::cleanPath(dir.path() + s("/../up.txt"))), s("example.com"),
                                    s("https://example.org/a b"), s("file:///srv/lists/x.txt"),
                                    file(QDir::homePath() + s("/home.txt")), s("a name with blanks.txt")}));
}

TEST(CommandLineEntries, AFifoAndANonAddressAreNamedAsTheButtonsNameThem) {
    ScriptedDialogs dialogs;
    Settings::Store settings;
    Form1 form(dialogs, settings);
    QTemporaryDir dir;
    const QString fifo = dir.filePath(s("pipe"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    AppInstance::HandOverEntries(form, AppInstance::EntriesOfArguments({s("pipe"), s("mailto:someone@example.org")}, dir.path()),
                                 s("CommandLine"));
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(form.urlList().count(), 0);
    const QString shown = dialogs.messageTexts().join(s("\n"));
    EXPECT_TRUE(shown.contains(s("Not a regular file")) && shown.contains(fifo)) << shown.toStdString();
    EXPECT_TRUE(shown.contains(s("mailto:someone@example.org"))) << shown.toStdString();
}
