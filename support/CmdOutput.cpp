#include "support/CmdOutput.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringDecoder>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/ErrorTrap.h"

extern char** environ;

namespace CmdOutput {

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { close(); }
    int get() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

void defaultYield() {
    auto* app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread()) QCoreApplication::processEvents();
}

// A child that closed its end of the pipe but has not exited yet is reaped in the background, so
// that the caller never waits for it and no zombie stays behind.
void reap(pid_t pid) {
    if (::waitpid(pid, nullptr, WNOHANG) != 0) return;
    std::thread([pid] { while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {} }).detach();
}

}  // namespace

QStringList SplitCommandLine(const QString& commandLine) {
    QStringList words;
    QString word;
    bool inWord = false;
    for (qsizetype i = 0; i < commandLine.size(); ++i) {
        const QChar c = commandLine[i];
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')) {
            if (inWord) words << word;
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == QLatin1Char('\'')) {
            const qsizetype end = commandLine.indexOf(QLatin1Char('\''), i + 1);
            const qsizetype stop = end < 0 ? commandLine.size() : end;
            word += commandLine.mid(i + 1, stop - i - 1);
            i = stop;
        } else if (c == QLatin1Char('"')) {
            for (++i; i < commandLine.size() && commandLine[i] != QLatin1Char('"'); ++i) {
                if (commandLine[i] == QLatin1Char('\\') && i + 1 < commandLine.size() &&
                    (commandLine[i + 1] == QLatin1Char('"') || commandLine[i + 1] == QLatin1Char('\\')))
                    ++i;
                word += commandLine[i];
            }
        } else if (c == QLatin1Char('\\') && i + 1 < commandLine.size()) {
            word += commandLine[++i];
        } else {
            word += c;
        }
    }
    if (inWord) words << word;
    return words;
}

QString RunAndCapture(const QString& commandLine, bool captureOutput, bool captureErrors, bool oemToAnsi,
                      const WaitRules& wait) {
    (void)oemToAnsi;
    if (!captureOutput && !captureErrors)
        throw ErrorReport::Failure(QStringLiteral("Invalid procedure call or argument"));

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return {};
    Fd readEnd(ends[0]);
    Fd writeEnd(ends[1]);

    std::vector<QByteArray> words;
    for (const QString& word : SplitCommandLine(commandLine)) words.push_back(word.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    int spawnError = ENOENT;
    if (!words.empty()) {
        SpawnSetup setup;
        // Hidden child: no input, and the stream not captured goes nowhere.
        posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
        if (captureOutput) posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), 1);
        else posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
        if (captureErrors) posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), 2);
        else posix_spawn_file_actions_addopen(&setup.actions, 2, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
        // Descriptors opened elsewhere without close-on-exec must not keep the pipe or files alive.
        posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
#endif
        // Its own process group, so that a time limit can end it with all it started; default
        // signal handling and mask, whatever this program set for itself.
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGTERM);
        posix_spawnattr_setsigmask(&setup.attributes, &none);
        posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
        posix_spawnattr_setpgroup(&setup.attributes, 0);
        posix_spawnattr_setflags(&setup.attributes,
                                 POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        spawnError = ::posix_spawnp(&pid, argv[0], &setup.actions, &setup.attributes, argv.data(), environ);
    }
    // From here only the child holds the write end, so the pipe breaks when it has gone.
    writeEnd.close();
    if (spawnError != 0) return QString::fromLatin1(kCreateProcessFailed);

    QByteArray output;
    char buffer[1024];
    QElapsedTimer clock;
    clock.start();
    bool timedOut = false;
    for (;;) {
        if (wait.yield) wait.yield();
        else defaultYield();
        int pollMs = 50;
        if (wait.limitMs >= 0) {
            const qint64 left = wait.limitMs - clock.elapsed();
            if (left <= 0) {
                timedOut = true;
                break;
            }
            pollMs = int(std::min<qint64>(pollMs, left));
        }
        pollfd p{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, pollMs);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t got = ::read(readEnd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        if (got == 0) break;
        output.append(buffer, got);
    }
    readEnd.close();
    if (timedOut) {
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}
    } else {
        reap(pid);
    }
    // Decoded once, whole: a character split between two reads stays one, and stray bytes at the
    // very end still show instead of waiting for a continuation that never comes.
    return QStringDecoder(QStringConverter::System, QStringConverter::Flag::Stateless).decode(output);
}

}  // namespace CmdOutput
