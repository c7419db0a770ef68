// One copy of the program's unfinished-work keeping, in a process of its own, for tests of
// several copies at once. Each form prints one line when it has done its part, then holds what
// it has (locks included) until its standard input closes or it is killed.
//
//   unfinished_copy save STATE FOLDER ENTRY...   saves a run's record: "saved"
//   unfinished_copy take STATE                   takes the leftover, if any: "took N" or "none"
//   unfinished_copy partial STATE FOLDER URL     opens the recorded partial: "open" or "refused"
#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

#include <unistd.h>

#include "download/UnfinishedWork.h"

namespace {
void say(const QByteArray& line) {
    std::printf("%s\n", line.constData());
    std::fflush(stdout);
}

void holdUntilStdinCloses() {
    char buffer[64];
    while (::read(0, buffer, sizeof buffer) > 0) {
    }
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() >= 3 && args[0] == QLatin1String("save")) {
        Download::UnfinishedRunRecord record(args[1]);
        if (!record.save({args[2], args.mid(3)})) return 1;
        say("saved");
        holdUntilStdinCloses();
        return 0;
    }
    if (args.size() == 2 && args[0] == QLatin1String("take")) {
        auto leftover = Download::UnfinishedRunRecord::FindLeftover(args[1]);
        std::optional<Download::UnfinishedRunRecord> taken;
        if (leftover) {
            const auto count = leftover->run().entries.size();
            taken.emplace(std::move(*leftover).take());
            say("took " + QByteArray::number(count));
        } else {
            say("none");
        }
        holdUntilStdinCloses();
        return 0;
    }
    if (args.size() == 4 && args[0] == QLatin1String("partial")) {
        const auto record = Download::PartialStore(args[1]).find(args[2], args[3]);
        const Fw::UniqueFd fd = record ? Download::OpenPartialLocked(*record) : Fw::UniqueFd();
        say(fd ? "open" : "refused");
        holdUntilStdinCloses();
        return 0;
    }
    std::fprintf(stderr, "usage: unfinished_copy save|take|partial ...\n");
    return 2;
}
