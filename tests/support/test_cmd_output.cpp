#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "harness/Descriptors.h"
#include "harness/Timing.h"
#include "download/ConnectionTry.h"
#include "support/CmdOutput.h"
#include "support/ConnectivityCheck.h"
#include <stdexcept>
#include "support/UniqueFd.h"

using CmdOutput::RunAndCapture;

namespace {

QString sh(const char* script) { return QStringLiteral("sh -c '") + QString::fromUtf8(script) + QLatin1Char('\''); }

// Children of this test that ended but were never waited for.
int zombieChildren() {
    int zombies = 0;
    const QString self = QString::number(::getpid());
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/") + pid + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly)) continue;
        // "pid (name) state ppid ...": the name may hold blanks, so read after its last ')'.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[0] == "Z" && fields[1] == self.toLatin1()) ++zombies;
    }
    return zombies;
}

// Whether process `pid` is gone (or only waits to be reaped by whoever adopted it).
bool goneWithin(pid_t pid, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly)) return true;
        const QByteArray line = stat.readAll();
        if (line.mid(line.lastIndexOf(')') + 2, 1) == "Z") return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

TEST(RunAndCapture, SplitsTheCommandLineLikeAShellWithoutOne) {
    EXPECT_EQ(CmdOutput::SplitCommandLine(QStringLiteral("  ping  -c 1\thost ")),
              (QStringList{QStringLiteral("ping"), QStringLiteral("-c"), QStringLiteral("1"), QStringLiteral("host")}));
    EXPECT_EQ(CmdOutput::SplitCommandLine(QStringLiteral("a 'b c' \"d 'e'\" f\\ g \"\" '' h\"i j\"")),
              (QStringList{QStringLiteral("a"), QStringLiteral("b c"), QStringLiteral("d 'e'"), QStringLiteral("f g"),
                           QString(), QString(), QStringLiteral("hi j")}));
    EXPECT_TRUE(CmdOutput::SplitCommandLine(QStringLiteral("   ")).isEmpty());
    // Nothing is expanded: the words reach the program as written.
    EXPECT_EQ(RunAndCapture(QStringLiteral("echo $HOME '*' \"a  b\""), true, false), QStringLiteral("$HOME * a  b\n"));
}

TEST(RunAndCapture, ReadsTheChosenStreamsOnly) {
    const QString both = sh("echo out; echo err >&2");
    EXPECT_EQ(RunAndCapture(both, true, false), QStringLiteral("out\n"));
    EXPECT_EQ(RunAndCapture(both, false, true), QStringLiteral("err\n"));
}

TEST(RunAndCapture, BothStreamsShareOnePipeInTheOrderWritten) {
    const QString script = sh("for i in 1 2 3 4 5; do echo o$i; echo e$i >&2; done");
    EXPECT_EQ(RunAndCapture(script, true, true),
              QStringLiteral("o1\ne1\no2\ne2\no3\ne3\no4\ne4\no5\ne5\n"));
}

TEST(RunAndCapture, ReturnsOutputOfAnyLengthWhole) {
    QString expected;
    for (int i = 1; i <= 20000; ++i) expected += QString::number(i) + QLatin1Char('\n');
    const QString got = RunAndCapture(QStringLiteral("seq 1 20000"), true, false);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_EQ(got, expected);
}

TEST(RunAndCapture, DecodesNonAsciiTextAlsoWhenACharacterSpansTwoReads) {
    QTemporaryDir dir;
    const QString file = dir.path() + QStringLiteral("/text");
    // 1023 ASCII bytes, so the two bytes of "ü" fall on both sides of the first 1024-byte read.
    const QString text = QString(1023, QLatin1Char('a')) + QStringLiteral("ü€ Grüße 日本\n");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text.toUtf8());
    f.close();
    EXPECT_EQ(RunAndCapture(QStringLiteral("cat \"") + file + QLatin1Char('"'), true, false), text);
    EXPECT_EQ(RunAndCapture(sh("printf \"Grüße\\n\" >&2"), false, true), QStringLiteral("Grüße\n"));
    // Bytes that are no text in the locale's encoding still count, also as the very last byte.
    EXPECT_EQ(RunAndCapture(sh("printf \"caf\\351\""), true, false), QString::fromLocal8Bit("caf\xE9"));
    EXPECT_EQ(RunAndCapture(sh("printf \"\\303\""), true, false), QString::fromLocal8Bit("\xC3"));
}

TEST(RunAndCapture, ACommandThatCannotStartGivesTheFailureText) {
    const QString failed = QString::fromLatin1(CmdOutput::kCreateProcessFailed);
    EXPECT_EQ(failed, QStringLiteral("Failed to create process, check the path of the command line."));
    EXPECT_EQ(RunAndCapture(QStringLiteral("/nonexistent/program --flag"), true, true), failed);
    EXPECT_EQ(RunAndCapture(QStringLiteral("fetchwright-no-such-command-anywhere"), true, false), failed);
    EXPECT_EQ(RunAndCapture(QString(), true, false), failed);
    QTemporaryDir dir;
    QFile plain(dir.path() + QStringLiteral("/not-executable"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.write("echo hi\n");
    plain.close();
    EXPECT_EQ(RunAndCapture(plain.fileName(), true, false), failed);
    // Executable, but no program the system can run: only the start itself can tell.
    ASSERT_TRUE(plain.setPermissions(plain.permissions() | QFile::ExeOwner));
    EXPECT_EQ(RunAndCapture(plain.fileName(), true, false), failed);
}

TEST(RunAndCapture, NeitherStreamIsAnInvalidArgumentAndStartsNothing) {
    QTemporaryDir dir;
    const QString marker = dir.path() + QStringLiteral("/started");
    try {
        RunAndCapture(QStringLiteral("touch ") + marker, false, false);
        ADD_FAILURE() << "no failure";
    } catch (const std::invalid_argument& f) {
        EXPECT_STREQ(f.what(), "Invalid procedure call or argument");
    }
    EXPECT_FALSE(QFile::exists(marker));
}

TEST(RunAndCapture, ClosesEveryDescriptorItOpens) {
    RunAndCapture(QStringLiteral("true"), true, false);  // warm-up of lazily opened files
    const int before = openDescriptors();
    for (int i = 0; i < 5; ++i) {
        RunAndCapture(sh("echo o; echo e >&2"), true, true);
        RunAndCapture(sh("echo o"), true, false);
        RunAndCapture(QStringLiteral("/nonexistent/program"), true, true);
        CmdOutput::WaitRules shortWait;
        shortWait.limitMs = 50;
        RunAndCapture(sh("sleep 5"), true, false, shortWait);
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(RunAndCapture, TheCommandGetsNoDescriptorOfThisProgramBeyondItsStreams) {
    const int inheritable = ::open("/dev/null", O_RDONLY);  // without close-on-exec
    ASSERT_GE(inheritable, 3);
    const QStringList seen = RunAndCapture(sh("ls /proc/$$/fd"), true, false).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ::close(inheritable);
    EXPECT_TRUE(seen.contains(QStringLiteral("1")));
    EXPECT_FALSE(seen.contains(QString::number(inheritable))) << seen.join(QLatin1Char(' ')).toStdString();
}

TEST(RunAndCapture, WaitsForASlowChildAndATimeLimitEndsAHangingChild) {
    CmdOutput::WaitRules wait;
    EXPECT_EQ(RunAndCapture(sh("sleep 0.3; echo done"), true, false, wait), QStringLiteral("done\n"));

    wait.limitMs = 300;
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(RunAndCapture(sh("echo early; sleep 60; echo late"), true, false, wait), QStringLiteral("early\n"));
    EXPECT_LT(clock.elapsed(), Timing::boundMs(5000));
    EXPECT_EQ(zombieChildren(), 0);
}

TEST(RunAndCapture, AnExitStatusIsWaitedForWithinTheLimitAfterTheOutputCloses) {
    CmdOutput::WaitRules wait;
    int status = -1;
    wait.exitStatus = &status;
    wait.limitMs = Timing::boundMs(3000);
    // The output closes well before the end, as a child's may seem to on a busy machine.
    EXPECT_EQ(RunAndCapture(sh("echo up; exec >&-; sleep 0.3; exit 3"), true, false, wait), QStringLiteral("up\n"));
    EXPECT_EQ(status, 3);
    // Past the limit it counts as not ended.
    wait.limitMs = 300;
    RunAndCapture(sh("exec >&-; sleep 60"), true, false, wait);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(zombieChildren(), 0);
}

TEST(RunAndCapture, ATimeLimitEndsEverythingTheChildStarted) {
    QTemporaryDir dir;
    const QString pidFile = dir.filePath(QStringLiteral("pid"));
    CmdOutput::WaitRules wait;
    wait.limitMs = 300;
    // The grandchild writes nothing and holds no pipe: only its process group ties it to the run.
    RunAndCapture(sh(qPrintable(QStringLiteral("sleep 60 >/dev/null 2>&1 & echo $! >%1; wait").arg(pidFile))),
                  true, false, wait);
    QFile f(pidFile);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const pid_t grandchild = pid_t(f.readAll().trimmed().toInt());
    ASSERT_GT(grandchild, 0);
    const bool gone = goneWithin(grandchild, Timing::bound(std::chrono::milliseconds(3000)));
    if (!gone) ::kill(grandchild, SIGKILL);
    EXPECT_TRUE(gone);
}

TEST(RunAndCapture, AChildThatClosesItsOutputButRunsOnIsNotWaitedForAndLeavesNoZombie) {
    const char* scripts[][2] = {
        {"echo early; exec >&-; sleep 60", "o"},
        {"echo early >&2; exec 2>&-; sleep 60", "e"},
        {"echo early; exec >&- 2>&-; sleep 60", "oe"},
    };
    for (const auto& [script, streams] : scripts) {
        const bool out = QByteArray(streams).contains('o');
        const bool err = QByteArray(streams).contains('e');
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(RunAndCapture(sh(script), out, err), QStringLiteral("early\n")) << script;
        EXPECT_LT(clock.elapsed(), Timing::boundMs(5000)) << script;
        EXPECT_EQ(zombieChildren(), 0) << script;
    }
}

namespace {
struct Online : ::testing::Test {
    bool check(const QString& command, int limitMs = 3000, const Main::ConnectionTry& tryConnection = {}) {
        return Main::CheckOnline(command, limitMs, tryConnection);
    }
};
}  // namespace

TEST_F(Online, ThePingsExitStatusCountsInAnyLanguage) {
    // A reply in another language, and a reply without any text.
    EXPECT_TRUE(check(sh("echo 64 octets de 1.1.1.1: icmp_seq=1 ttl=57; exit 0")));
    EXPECT_TRUE(check(QStringLiteral("true")));
    // The check runs ping in the C locale, whatever the user's.
    EXPECT_TRUE(check(sh("[ \"$LC_ALL\" = C ] || exit 1")));

    const QString commands[] = {
        sh("echo 64 bytes from 1.1.1.1; exit 1"),  // a reply line alone is no proof
        sh("echo \"1 packets transmitted, 0 received, 100% packet loss\"; exit 1"),
        QStringLiteral("/nonexistent/ping -c 1 -W 2 host"),
        QStringLiteral("false"),
    };
    for (const QString& command : commands) {
        EXPECT_FALSE(check(command)) << command.toStdString();
    }
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(check(sh("sleep 60"), 300));
    EXPECT_LT(clock.elapsed(), Timing::boundMs(5000));
}

TEST_F(Online, AConnectionThatGetsThroughSparesTheWarningWithinTheSameTime) {
    // ICMP blocked: the ping fails, the connection gets through.
    std::atomic<int> tries{0};
    EXPECT_TRUE(check(QStringLiteral("false"), 3000, [&](int, const std::atomic<bool>&) { return ++tries, true; }));
    EXPECT_EQ(tries, 1);

    // Both fail.
    EXPECT_FALSE(check(QStringLiteral("false"), 3000, [](int, const std::atomic<bool>&) { return false; }));

    // A try that hangs is told to stop at the limit; the check takes no longer than a ping would.
    std::atomic<bool> sawStop{false};
    const auto hanging = [&](int, const std::atomic<bool>& stop) {
        while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        sawStop = true;
        return false;
    };
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(check(QStringLiteral("false"), 400, hanging));
    EXPECT_TRUE(sawStop);
    EXPECT_GE(clock.elapsed(), 350);
    EXPECT_LT(clock.elapsed(), Timing::boundMs(3000));

    // A ping that answers does not wait for the try.
    sawStop = false;
    clock.restart();
    EXPECT_TRUE(check(QStringLiteral("true"), 3000, hanging));
    EXPECT_TRUE(sawStop);
    EXPECT_LT(clock.elapsed(), Timing::boundMs(1500));
}

namespace {
// A port on 127.0.0.1 that listens but never answers: the kernel takes the connection, nobody
// speaks TLS on it.
struct SilentListener {
    Fw::UniqueFd fd{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    int port = 0;
    SilentListener() {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof at;
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(fd.get(), 8) != 0 ||
            ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&at), &size) != 0)
            return;
        port = ntohs(at.sin_port);
    }
};
}  // namespace

TEST(ConnectionTry, AHandshakeCountsASilentOrClosedPortDoesNot) {
    std::atomic<bool> stop{false};
    SilentListener silent;
    ASSERT_NE(silent.port, 0);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(Download::CanConnectHttps(QStringLiteral("127.0.0.1"), 400, stop, silent.port));
    EXPECT_GE(clock.elapsed(), 350);
    EXPECT_LT(clock.elapsed(), Timing::boundMs(3000));
    // Told to stop, it stops long before its limit.
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop = true;
    });
    clock.restart();
    EXPECT_FALSE(Download::CanConnectHttps(QStringLiteral("127.0.0.1"), 20000, stop, silent.port));
    stopper.join();
    EXPECT_LT(clock.elapsed(), Timing::boundMs(2000));
    stop = false;
    const int closedPort = silent.port;
    silent.fd.reset();
    EXPECT_FALSE(Download::CanConnectHttps(QStringLiteral("127.0.0.1"), 2000, stop, closedPort));

    // A real TLS server on loopback, with a certificate made for the test.
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (openssl.isEmpty()) GTEST_SKIP() << "openssl is not installed";
    QTemporaryDir dir;
    QProcess make;
    make.start(openssl, {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                         QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                         QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-days"), QStringLiteral("1"),
                         QStringLiteral("-keyout"), dir.filePath(QStringLiteral("key.pem")), QStringLiteral("-out"),
                         dir.filePath(QStringLiteral("cert.pem"))});
    ASSERT_TRUE(make.waitForFinished(30000));
    ASSERT_EQ(make.exitCode(), 0) << make.readAllStandardError().toStdString();
    int port = 0;
    {
        SilentListener probe;  // a free port, let go for the server
        port = probe.port;
    }
    QProcess server;
    server.start(openssl, {QStringLiteral("s_server"), QStringLiteral("-accept"), QStringLiteral("127.0.0.1:%1").arg(port),
                           QStringLiteral("-cert"), dir.filePath(QStringLiteral("cert.pem")), QStringLiteral("-key"),
                           dir.filePath(QStringLiteral("key.pem")), QStringLiteral("-quiet")});
    ASSERT_TRUE(server.waitForStarted(10000));
    // Ready once it takes connections.
    for (QElapsedTimer waited; !waited.isValid() || waited.elapsed() < 10000; QThread::msleep(50)) {
        if (!waited.isValid()) waited.start();
        Fw::UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        at.sin_port = htons(quint16(port));
        if (::connect(probe.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) break;
    }
    EXPECT_TRUE(Download::CanConnectHttps(QStringLiteral("127.0.0.1"), 5000, stop, port));
    server.kill();
    server.waitForFinished(10000);
}
