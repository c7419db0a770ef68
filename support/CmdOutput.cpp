#include "support/CmdOutput.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "support/UniqueFd.h"

namespace CmdOutput {

namespace {

constexpr int kEndingGraceMs = 50;

// Runs in the child between fork and exec, so only async-signal-safe calls.
void prepareChild() {
    // Its own process group, so that a time limit ends it with everything it started.
    ::setpgid(0, 0);
    // Default signal handling and mask, whatever this program set for itself.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int signal : {SIGPIPE, SIGINT, SIGTERM}) ::sigaction(signal, &byDefault, nullptr);
#ifdef CLOSE_RANGE_CLOEXEC
    // Descriptors opened elsewhere without close-on-exec must not keep pipes or files alive in
    // the command. Marked, not closed: the channel on which the child reports a failed exec
    // must stay open until then. Older kernels refuse, and the child inherits them as before.
    ::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC);
#endif
}

// Whether `program` can be run, looked up as QProcess looks it up (PATH for a bare name). Asked
// before starting, because QProcess (Qt 6.4) leaves a descriptor open for every failed start.
bool runnable(const QString& program) {
    if (!program.contains(QLatin1Char('/'))) return !QStandardPaths::findExecutable(program).isEmpty();
    const QFileInfo file(program);
    return file.isFile() && file.isExecutable();
}

// Ends the child with its whole group and reaps it, so no zombie stays.
void endGroup(QProcess& process) {
    if (process.state() == QProcess::NotRunning) return;
    ::kill(-pid_t(process.processId()), SIGKILL);
    process.waitForFinished(-1);
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

QString RunAndCapture(const QString& commandLine, bool captureOutput, bool captureErrors, const WaitRules& wait) {
    if (!captureOutput && !captureErrors)
        throw std::invalid_argument("Invalid procedure call or argument");

    if (wait.exitStatus) *wait.exitStatus = -1;
    QStringList words = SplitCommandLine(commandLine);
    if (words.isEmpty() || !runnable(words.first())) return QString::fromLatin1(kCreateProcessFailed);

    // One pipe of our own for both streams, so that they keep the order written, and because
    // QProcess does not tell when the child closes its output while it still runs.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return QString::fromLatin1(kCreateProcessFailed);
    Fw::UniqueFd readEnd(ends[0]);
    Fw::UniqueFd writeEnd(ends[1]);

    QProcess process;
    process.setProgram(words.takeFirst());
    process.setArguments(words);
    // Hidden child: no input, and a stream not captured goes nowhere.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!wait.environment.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString& entry : wait.environment) {
            const qsizetype equals = entry.indexOf(QLatin1Char('='));
            if (equals > 0) environment.insert(entry.left(equals), entry.mid(equals + 1));
        }
        process.setProcessEnvironment(environment);
    }
    const int sink = writeEnd.get();
    process.setChildProcessModifier([sink, captureOutput, captureErrors] {
        if (captureOutput) ::dup2(sink, STDOUT_FILENO);
        if (captureErrors) ::dup2(sink, STDERR_FILENO);
        prepareChild();
    });
    process.start(QIODevice::ReadOnly);
    const bool started = process.waitForStarted(-1);
    // From here only the child holds the write end, so the pipe breaks when it lets go.
    writeEnd.reset();
    if (!started) return QString::fromLatin1(kCreateProcessFailed);

    QByteArray output;
    char buffer[1024];
    QElapsedTimer clock;
    clock.start();
    bool closed = false;
    for (;;) {
        int stepMs = 50;
        if (wait.limitMs >= 0) {
            const qint64 left = wait.limitMs - clock.elapsed();
            if (left <= 0) break;
            stepMs = int(std::min<qint64>(stepMs, left));
        }
        pollfd p{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, stepMs);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t got = ::read(readEnd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        if (got == 0) {
            closed = true;
            break;
        }
        output.append(buffer, got);
    }
    readEnd.reset();
    // A child that let go of its output normally ends with it; it gets a moment for that, so
    // that what it left running in the background is not ended with it. A caller that judges by
    // the exit status waits for it within its limit: on a busy machine the end of a child that
    // closed its output can take longer than the moment.
    if (closed) {
        int graceMs = kEndingGraceMs;
        if (wait.exitStatus) graceMs = wait.limitMs >= 0 ? int(std::max<qint64>(graceMs, wait.limitMs - clock.elapsed())) : -1;
        process.waitForFinished(graceMs);
    }
    if (wait.exitStatus && process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit)
        *wait.exitStatus = process.exitCode();
    endGroup(process);
    // Decoded once, whole: a character split between two reads stays one, and stray bytes at the
    // very end still show instead of waiting for a continuation that never comes.
    return QStringDecoder(QStringConverter::System, QStringConverter::Flag::Stateless).decode(output);
}

}  // namespace CmdOutput
