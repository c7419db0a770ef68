#pragma once
// Runs one command line as a hidden child and returns what it wrote to its standard output
// and/or standard error, read through one pipe until the child lets go of it.
#include <QString>
#include <QStringList>

namespace CmdOutput {

inline constexpr const char* kCreateProcessFailed =
    "Failed to create process, check the path of the command line.";

struct WaitRules {
    // After this many milliseconds the child (with everything it started) is killed and what was
    // read so far is returned. Negative: wait until the child ends.
    int limitMs = -1;
    // NAME=value entries set for the child only (LC_ALL=C for a tool whose text is read).
    QStringList environment;
    // When given: the child's exit status, or -1 when it did not end by itself or never started.
    int* exitStatus = nullptr;
};

// The words of a command line: blanks separate them, single quotes keep everything, double quotes
// keep everything but a backslash before " or \, and a backslash outside quotes keeps the next
// character. Nothing is expanded.
QStringList SplitCommandLine(const QString& commandLine);

// Runs `commandLine` (program and arguments, split as a shell would split words and quotes, but
// without a shell). `captureOutput`/`captureErrors` choose the streams read; with both, they share
// one pipe and arrive in the order written. At least one must be set, else this throws
// std::invalid_argument and starts nothing. Output is decoded from the locale's 8-bit encoding.
// A command that cannot be started (also an empty command line or a file that is not executable)
// gives kCreateProcessFailed as the result. A child that closes its captured output while it still
// runs is not waited for: after a moment it is ended with everything it started, like one that
// hits the time limit. Blocks until the child lets go of its output or the limit is reached: the
// only caller runs before the window is shown.
QString RunAndCapture(const QString& commandLine, bool captureOutput, bool captureErrors,
                      const WaitRules& wait = {});

}  // namespace CmdOutput
