// Unfinished work in the state folder: the record of a run comes back whole after its copy is
// gone and only then; what cannot be read is dropped without harm; partial files are continued
// or removed only while they are the file the program made.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "download/UnfinishedWork.h"

using namespace Download;

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

constexpr qint64 kDay = 24LL * 60 * 60 * 1000;
constexpr qint64 kStart = 1'700'000'000'000;

struct UnfinishedWork : ::testing::Test {
    QTemporaryDir dir;
    QString state = dir.path() + s("/state");
    QString out = dir.path() + s("/out");
    qint64 now = kStart;
    Clock clock = [this] { return now; };

    UnfinishedWork() { QDir().mkpath(out); }

    QString runs() const { return state + s("/runs"); }
    QStringList runFiles() const { return QDir(runs()).entryList(QDir::Files | QDir::System | QDir::Hidden); }
    static void write(const QString& path, const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    static QByteArray read(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    // A record left by a copy that is gone.
    void leaveRun(const UnfinishedRun& run) {
        UnfinishedRunRecord record(state, clock);
        ASSERT_TRUE(record.save(run));
    }
    // A partial of `url` in the output folder, made and recorded as the engine does.
    PartialRecord makePartial(const QString& url, const QString& partName, const QByteArray& bytes, qint64 good) {
        PartialRecord record;
        record.url = url;
        record.folder = out;
        record.partName = partName;
        record.validator = "\"v1\"";
        record.total = 1000;
        Fw::UniqueFd fd = CreatePartialLocked(record);
        EXPECT_TRUE(fd.valid());
        EXPECT_EQ(::write(fd.get(), bytes.constData(), size_t(bytes.size())), bytes.size());
        record.goodLength = good;
        EXPECT_TRUE(PartialStore(state, clock).put(record));
        return record;
    }
};

}  // namespace

// ---- The record of a run ----

TEST_F(UnfinishedWork, ARecordComesBackWholeOnlyOnceItsOwnerIsGone) {
    const UnfinishedRun run{s("/home/u/Down loads/"),
                            {s("http://a.example/1.zip"), s("http://b.example/ü?x=1\\2"), s("http://c.example/line\nbreak")}};
    {
        UnfinishedRunRecord owner(state, clock);
        ASSERT_TRUE(owner.save({s("/old/"), {s("http://old.example/")}}));
        ASSERT_TRUE(owner.save(run));
        EXPECT_TRUE(owner.holdsRecord());
        EXPECT_EQ(runFiles(), QStringList{QFileInfo(owner.path()).fileName()}) << "no temporary stays beside it";
        // Another copy (another open of the file) sees the owner's lock.
        EXPECT_FALSE(UnfinishedRunRecord::FindLeftover(state, clock));
    }
    auto leftover = UnfinishedRunRecord::FindLeftover(state, clock);
    ASSERT_TRUE(leftover);
    EXPECT_EQ(leftover->run().folder, run.folder);
    EXPECT_EQ(leftover->run().entries, run.entries);
    EXPECT_EQ(leftover->savedAt(), kStart);
    // While one copy holds it, no other is offered it.
    EXPECT_FALSE(UnfinishedRunRecord::FindLeftover(state, clock));

    // Taken, it belongs to this copy: offered again only once this copy is gone too.
    std::optional<UnfinishedRunRecord> taken(std::move(*leftover).take());
    leftover.reset();
    EXPECT_FALSE(UnfinishedRunRecord::FindLeftover(state, clock));
    taken.reset();
    leftover = UnfinishedRunRecord::FindLeftover(state, clock);
    ASSERT_TRUE(leftover);
    std::move(*leftover).discard();
    EXPECT_TRUE(runFiles().isEmpty());
    EXPECT_FALSE(UnfinishedRunRecord::FindLeftover(state, clock));
}

TEST_F(UnfinishedWork, ARunThatEndsNormallyLeavesNothingAndTheNewestLeftoverIsOffered) {
    UnfinishedRunRecord finished(state, clock);
    ASSERT_TRUE(finished.save({out, {s("http://a/")}}));
    finished.remove();
    EXPECT_TRUE(runFiles().isEmpty());

    leaveRun({s("/older/"), {s("http://old/")}});
    now += 1000;
    leaveRun({s("/newer/"), {s("http://new/1"), s("http://new/2")}});
    auto leftover = UnfinishedRunRecord::FindLeftover(state, clock);
    ASSERT_TRUE(leftover);
    EXPECT_EQ(leftover->run().folder, s("/newer/"));
    std::move(*leftover).discard();
    // The older one waits for the next start.
    leftover = UnfinishedRunRecord::FindLeftover(state, clock);
    ASSERT_TRUE(leftover);
    EXPECT_EQ(leftover->run().folder, s("/older/"));
}

TEST_F(UnfinishedWork, RecordsThatCannotBeReadAreDroppedAndNothingElseIsTouched) {
    QDir().mkpath(runs());
    const QString user = dir.path() + s("/user.txt");
    write(user, "the user's own");
    write(runs() + s("/run-00000000000000a1.rec"), QByteArray("\x00\xff\x12garbage\n", 11));
    // Cut off after the first of its two entries.
    write(runs() + s("/run-00000000000000a2.rec"), "Fetchwright unfinished run 1\nsaved 1\nfolder /x/\nentries 2\nhttp://a/\n");
    // An entry count far beyond what the file holds.
    write(runs() + s("/run-00000000000000a3.rec"), "Fetchwright unfinished run 1\nsaved 1\nfolder /x/\nentries 999999999999\n");
    {  // far beyond any record (sparse: no disk used)
        QFile huge(runs() + s("/run-00000000000000a4.rec"));
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        ASSERT_TRUE(huge.resize(kMaxRunRecordBytes + 1));
    }
    ASSERT_EQ(::mkfifo(QFile::encodeName(runs() + s("/run-00000000000000a5.rec")).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(user, runs() + s("/run-00000000000000a6.rec")));
    write(runs() + s("/notes.rec"), "not named like a record");
    write(runs() + s("/run-00000000000000a7.tmp"), "a save that was cut off");

    // Nothing readable: nothing offered, and a pipe is never opened for reading (that would hang).
    EXPECT_FALSE(UnfinishedRunRecord::FindLeftover(state, clock));
    EXPECT_EQ(runFiles(), QStringList{s("notes.rec")});
    EXPECT_EQ(read(user), QByteArray("the user's own"));

    // Replaced by the next record, which is read as usual.
    leaveRun({out, {s("http://a/")}});
    const auto leftover = UnfinishedRunRecord::FindLeftover(state, clock);
    ASSERT_TRUE(leftover);
    EXPECT_EQ(leftover->run().entries, QStringList{s("http://a/")});
}

TEST_F(UnfinishedWork, ARecordOlderThanThirtyDaysIsDroppedNotOffered) {
    leaveRun({out, {s("http://a/")}});
    now = kStart + 29 * kDay;
    EXPECT_TRUE(UnfinishedRunRecord::FindLeftover(state, clock));
    now = kStart + 31 * kDay;
    EXPECT_FALSE(UnfinishedRunRecord::FindLeftover(state, clock));
    EXPECT_TRUE(runFiles().isEmpty());
}

TEST_F(UnfinishedWork, ARecordBeyondTheSizeLimitIsNotWrittenAndTheLastOneStays) {
    UnfinishedRunRecord record(state, clock);
    ASSERT_TRUE(record.save({out, {s("http://a/")}}));
    // 300 entries of a megabyte each.
    const QString big = s("http://a/") + QString(1024 * 1024, QLatin1Char('x'));
    QStringList entries;
    for (int i = 0; i < 300; ++i) entries << big;
    EXPECT_FALSE(record.save({out, entries}));
    record = UnfinishedRunRecord(state, clock);  // the first owner goes
    const auto leftover = UnfinishedRunRecord::FindLeftover(state, clock);
    ASSERT_TRUE(leftover);
    EXPECT_EQ(leftover->run().entries, QStringList{s("http://a/")});
}

// ---- Recording a run while it goes ----

TEST_F(UnfinishedWork, TheRecorderWritesInBatchesAndKeepsWhatWasNotStored) {
    QStringList entries;
    for (int i = 0; i < 100000; ++i) entries << s("http://host.example/file-%1.bin").arg(i);
    {
        UnfinishedRunRecorder recorder(state, clock);
        recorder.begin(out, entries);
        for (int i = 0; i < entries.size(); ++i)
            if (i != 5 && i != 500 && i != 99999) recorder.stored(i);
        recorder.stored(7);  // twice: counted once
        const int added = recorder.add(s("http://late.example/"));
        EXPECT_EQ(added, 100000);
        EXPECT_EQ(recorder.pendingCount(), 4);
        // A hundred thousand calls, a handful of writes (a loaded machine may allow a few more).
        EXPECT_LE(recorder.writes(), 10);
        recorder.flush();
        // The window closes mid-run: the record stays with the latest state.
    }
    const auto leftover = UnfinishedRunRecord::FindLeftover(state, clock);
    ASSERT_TRUE(leftover);
    EXPECT_EQ(leftover->run().folder, out);
    EXPECT_EQ(leftover->run().entries,
              (QStringList{entries[5], entries[500], entries[99999], s("http://late.example/")}));
}

TEST_F(UnfinishedWork, ARunFinishedNormallyLeavesNoRecordAndATakenOneIsWrittenInto) {
    {
        UnfinishedRunRecorder recorder(state, clock);
        recorder.begin(out, {s("http://a/"), s("http://b/")});
        recorder.flush();
        EXPECT_EQ(runFiles().size(), 1);
        recorder.stored(0);
        recorder.finishedNormally();
        EXPECT_FALSE(recorder.isActive());
    }
    EXPECT_TRUE(runFiles().isEmpty());
    EXPECT_FALSE(UnfinishedRunRecord::FindLeftover(state, clock));

    leaveRun({out, {s("http://old/")}});
    {
        UnfinishedRunRecorder recorder(state, clock);
        auto leftover = UnfinishedRunRecord::FindLeftover(state, clock);
        ASSERT_TRUE(leftover);
        recorder.adopt(std::move(*leftover).take());
        recorder.begin(out, {s("http://old/"), s("http://new/")});
        recorder.stored(0);
        recorder.flush();
        EXPECT_EQ(runFiles().size(), 1) << "one record per copy";
    }
    const auto leftover = UnfinishedRunRecord::FindLeftover(state, clock);
    ASSERT_TRUE(leftover);
    EXPECT_EQ(leftover->run().entries, QStringList{s("http://new/")});
}

TEST_F(UnfinishedWork, EachWriteOfARunAddsWhatChangedAndTheRecordReadsBackWithItsPages) {
    QStringList entries, pages;
    for (int i = 0; i < 20000; ++i) {
        entries << s("http://host.example/file-%1.bin").arg(i);
        pages << (i % 2 ? s("http://host.example/page-%1.html").arg(i / 1000) : QString());
    }
    auto recordSize = [&] {
        const QStringList files = runFiles();
        return files.size() == 1 ? QFileInfo(runs() + QLatin1Char('/') + files[0]).size() : -1;
    };
    qint64 whole = 0;
    {
        UnfinishedRunRecorder recorder(state, clock);
        recorder.begin(out, entries, pages);
        recorder.flush();
        whole = recordSize();
        ASSERT_GT(whole, 20000 * 30);
        for (int i = 0; i < 10; ++i) recorder.stored(i * 2);
        recorder.stored(1);
        EXPECT_EQ(recorder.add(s("http://late.example/a"), s("http://late.example/")), 20000);
        EXPECT_EQ(recorder.add(s("http://late.example/b")), 20001);
        recorder.stored(20001);  // stored before it was ever written
        recorder.flush();
        EXPECT_LT(recordSize() - whole, 300) << "a few changes append a few lines, not the list";
    }
    auto leftover = UnfinishedRunRecord::FindLeftover(state, clock);
    ASSERT_TRUE(leftover);
    const UnfinishedRun& run = leftover->run();
    ASSERT_EQ(run.entries.size(), 20000 - 11 + 1);
    ASSERT_EQ(run.pages.size(), run.entries.size());
    EXPECT_EQ(run.entries[0], entries[3]);
    EXPECT_EQ(run.pages[0], pages[3]);
    EXPECT_EQ(run.entries[8], entries[19]);
    EXPECT_EQ(run.pages[8], pages[19]);
    EXPECT_EQ(run.entries[9], entries[20]) << "the even ones up to 18 were stored";
    EXPECT_EQ(run.pages[9], QString());
    EXPECT_EQ(run.entries.back(), s("http://late.example/a"));
    EXPECT_EQ(run.pages.back(), s("http://late.example/"));

    // Taken on by the next copy, which stores nearly all: the lines of changes outgrow what is
    // left, and the record is written whole again, smaller.
    {
        UnfinishedRunRecorder recorder(state, clock);
        recorder.adopt(std::move(*leftover).take());
        recorder.begin(out, run.entries, run.pages);
        for (int i = 0; i + 1 < run.entries.size(); ++i) {
            recorder.stored(i);
            if (i % 4000 == 0) recorder.flush();
        }
        recorder.flush();
        EXPECT_LT(recordSize(), whole / 4);
    }
    leftover = UnfinishedRunRecord::FindLeftover(state, clock);
    ASSERT_TRUE(leftover);
    EXPECT_EQ(leftover->run().entries, QStringList{s("http://late.example/a")});
    EXPECT_EQ(leftover->run().pages, QStringList{s("http://late.example/")});
}

TEST_F(UnfinishedWork, ARecordOfTheFirstFormIsReadAndAWriteCutOffEndsTheRecordBeforeIt) {
    write(runs() + s("/run-00000000000000b1.rec"),
          "Fetchwright unfinished run 1\nsaved " + QByteArray::number(kStart) + "\nfolder /x/\nentries 2\nhttp://a/\nhttp://b/\n");
    auto leftover = UnfinishedRunRecord::FindLeftover(state, clock);
    ASSERT_TRUE(leftover);
    EXPECT_EQ(leftover->run().entries, (QStringList{s("http://a/"), s("http://b/")}));
    EXPECT_TRUE(leftover->run().pages.isEmpty());
    std::move(*leftover).discard();

    const QByteArray journal = "Fetchwright unfinished run 2\nfolder /y/\na http://a/\np http://page/\na http://b/\nt " +
                               QByteArray::number(kStart) + "\n";
    // Cut off inside the next write's line: what was written before stands.
    write(runs() + s("/run-00000000000000b2.rec"), journal + "s 0\nt " + QByteArray::number(kStart + 9) + "\ns 1");
    leftover = UnfinishedRunRecord::FindLeftover(state, clock);
    ASSERT_TRUE(leftover);
    EXPECT_EQ(leftover->savedAt(), kStart + 9);
    EXPECT_EQ(leftover->run().entries, QStringList{s("http://b/")});
    std::move(*leftover).discard();
    // A line that is no change of the record, or a number that names no entry, is not a record.
    const QByteArray fresh = "t " + QByteArray::number(kStart + 20) + "\n";
    for (const QByteArray& bad : {QByteArray("s 2\n"), QByteArray("x 1\n"), QByteArray("p http://again/\np http://twice/\n")}) {
        write(runs() + s("/run-00000000000000b3.rec"), journal + bad + fresh);
        EXPECT_FALSE(UnfinishedRunRecord::FindLeftover(state, clock)) << bad.constData();
        EXPECT_TRUE(runFiles().isEmpty());
    }
}

// ---- Partial files ----

TEST_F(UnfinishedWork, APartialIsContinuedFromItsLastGoodByteByOneCopyAtATime) {
    const PartialRecord made = makePartial(s("http://h/big.iso"), s("big.iso.part"), "0123456789unflushed", 10);
    const auto found = PartialStore(state, clock).find(out + s("/"), s("http://h/big.iso"));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->validator, QByteArray("\"v1\""));
    EXPECT_EQ(found->total, 1000);
    EXPECT_EQ(found->goodLength, 10);
    EXPECT_EQ(found->device, made.device);
    EXPECT_FALSE(PartialStore(state, clock).find(out, s("http://h/other.iso")));

    Fw::UniqueFd first = OpenPartialLocked(*found);
    ASSERT_TRUE(first.valid());
    // What came after the last flush is cut off; appending continues at the good length.
    EXPECT_EQ(::write(first.get(), "AB", 2), 2);
    EXPECT_EQ(read(out + s("/big.iso.part")), QByteArray("0123456789AB"));

    errno = 0;
    EXPECT_FALSE(OpenPartialLocked(*found).valid());
    EXPECT_EQ(errno, EWOULDBLOCK);
    first.reset();
    EXPECT_TRUE(OpenPartialLocked(*found).valid());
}

TEST_F(UnfinishedWork, OnlyTheRecordedFileIsEverContinuedOrRemoved) {
    PartialStore store(state, clock);
    const PartialRecord made = makePartial(s("http://h/a.bin"), s("a.bin.part"), "0123456789", 10);
    // The user replaced the partial with a file of the same name.
    const QString partPath = out + s("/a.bin.part");
    ASSERT_TRUE(QFile::remove(partPath));
    write(partPath, "the user's own data");
    errno = 0;
    EXPECT_FALSE(OpenPartialLocked(made).valid());
    EXPECT_EQ(errno, ESTALE);
    EXPECT_FALSE(store.removeWithPartial(out, s("http://h/a.bin")));
    EXPECT_EQ(read(partPath), QByteArray("the user's own data"));
    EXPECT_FALSE(store.find(out, s("http://h/a.bin"))) << "a record that leads nowhere goes";

    // Forged records, each naming a user's file: by a name that is no partial's, by the wrong
    // file (inode), with more good bytes than the file has, and outside the folder.
    const QString photo = out + s("/photo.jpg");
    const QString notes = out + s("/notes.part");
    write(photo, "photo");
    write(notes, "notes");
    struct stat photoStat, notesStat;
    ASSERT_EQ(::stat(QFile::encodeName(photo).constData(), &photoStat), 0);
    ASSERT_EQ(::stat(QFile::encodeName(notes).constData(), &notesStat), 0);
    const QString folder = QFileInfo(out).canonicalFilePath();
    const auto forge = [&](const QString& url, const QString& part, qint64 good, const struct stat& st) {
        // Written where the store looks: the store's own put refuses such names.
        PartialRecord probe;
        probe.url = url;
        probe.folder = out;
        probe.partName = s("x.part");
        ASSERT_TRUE(store.put(probe));
        const QStringList records = QDir(state + s("/partials")).entryList(QDir::Files);
        ASSERT_EQ(records.size(), 1);
        const QByteArray text = "Fetchwright partial 1\nsaved 0\nurl " + url.toUtf8() + "\nfolder " + folder.toUtf8() +
                                "\npart " + part.toUtf8() + "\nvalidator \ntotal " + QByteArray::number(std::max<qint64>(5, good * 10)) +
                                "\ngood " + QByteArray::number(good) +
                                "\ndevice " + QByteArray::number(quint64(st.st_dev)) + "\ninode " +
                                QByteArray::number(quint64(st.st_ino)) + "\nbirth 0\nmark -\n";
        write(state + s("/partials/") + records[0], text);
    };
    struct stat elsewhere = notesStat;
    elsewhere.st_ino += 1000;
    forge(s("http://h/photo"), s("photo.jpg"), 0, photoStat);
    EXPECT_FALSE(store.removeWithPartial(out, s("http://h/photo")));
    forge(s("http://h/notes"), s("notes.part"), 0, elsewhere);
    EXPECT_TRUE(store.find(out, s("http://h/notes"))) << "read as a record: refused for its inode alone";
    EXPECT_EQ(store.removeForRun(out, {s("http://h/notes")}), 0);
    forge(s("http://h/long"), s("notes.part"), 100, notesStat);
    const std::optional<PartialRecord> longer = store.find(out, s("http://h/long"));
    ASSERT_TRUE(longer) << "read as a record: refused when its file is opened";
    EXPECT_FALSE(OpenPartialLocked(*longer).valid());
    EXPECT_FALSE(store.removeWithPartial(out, s("http://h/long")));
    // The very file, by its name and inode, but without the mark and birth time of ours.
    forge(s("http://h/mine"), s("notes.part"), 0, notesStat);
    const std::optional<PartialRecord> mine = store.find(out, s("http://h/mine"));
    ASSERT_TRUE(mine);
    EXPECT_FALSE(OpenPartialLocked(*mine).valid());
    EXPECT_FALSE(store.removeWithPartial(out, s("http://h/mine")));
    forge(s("http://h/up"), s("../notes.part"), 0, notesStat);
    now += 31 * kDay;
    EXPECT_EQ(store.removeExpired(), 0);
    EXPECT_EQ(read(photo), QByteArray("photo"));
    EXPECT_EQ(read(notes), QByteArray("notes"));
    EXPECT_TRUE(QDir(state + s("/partials")).entryList(QDir::Files).isEmpty());
}

TEST_F(UnfinishedWork, PartialsExpireAfterThirtyDaysUnlessACopyIsContinuingThem) {
    const PartialRecord idle = makePartial(s("http://h/idle"), s("idle.part"), "idle", 4);
    const PartialRecord busy = makePartial(s("http://h/busy"), s("busy.part"), "busy", 4);
    Fw::UniqueFd held = OpenPartialLocked(busy);
    ASSERT_TRUE(held.valid());
    PartialStore store(state, clock);
    now = kStart + 29 * kDay;
    EXPECT_EQ(store.removeExpired(), 0);
    EXPECT_TRUE(QFile::exists(out + s("/idle.part")));
    now = kStart + 31 * kDay;
    EXPECT_EQ(store.removeExpired(), 1);
    EXPECT_FALSE(QFile::exists(out + s("/idle.part")));
    EXPECT_FALSE(store.find(out, s("http://h/idle")));
    EXPECT_TRUE(QFile::exists(out + s("/busy.part")));
    EXPECT_TRUE(store.find(out, s("http://h/busy")));
    held.reset();
    EXPECT_EQ(store.removeExpired(), 1);
    EXPECT_FALSE(QFile::exists(out + s("/busy.part")));
}

// ---- Several copies, each a process of its own ----

namespace {
struct Copy {
    QProcess process;
    explicit Copy(const QStringList& args) {
        process.start(QStringLiteral(FETCHWRIGHT_UNFINISHED_COPY), args);
    }
    ~Copy() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
    QByteArray line() {
        while (!process.canReadLine())
            if (!process.waitForReadyRead(20000)) return "<no answer>";
        return process.readLine().trimmed();
    }
    void kill() {
        process.kill();  // SIGKILL: no chance to clean up
        process.waitForFinished(10000);
    }
};
}  // namespace

TEST_F(UnfinishedWork, ARunningCopysRecordIsNotOfferedUntilItIsKilled) {
    Copy running({s("save"), state, out, s("http://a/"), s("http://b/")});
    ASSERT_EQ(running.line(), QByteArray("saved"));
    EXPECT_FALSE(UnfinishedRunRecord::FindLeftover(state));
    running.kill();
    const auto leftover = UnfinishedRunRecord::FindLeftover(state);
    ASSERT_TRUE(leftover);
    EXPECT_EQ(leftover->run().entries, (QStringList{s("http://a/"), s("http://b/")}));
}

TEST_F(UnfinishedWork, TwoCopiesStartingAtOnceNeverBothTakeOneLeftover) {
    // Saved now: the copies go by the real clock.
    ASSERT_TRUE(UnfinishedRunRecord(state).save({out, {s("http://a/"), s("http://b/"), s("http://c/")}}));
    Copy first({s("take"), state});
    Copy second({s("take"), state});
    QList<QByteArray> answers{first.line(), second.line()};
    std::sort(answers.begin(), answers.end());
    EXPECT_EQ(answers, (QList<QByteArray>{"none", "took 3"}));
    // Taken by a copy that is then killed: offered again.
    first.kill();
    second.kill();
    EXPECT_TRUE(UnfinishedRunRecord::FindLeftover(state));
}

TEST_F(UnfinishedWork, TwoCopiesNeverContinueOnePartial) {
    const PartialRecord made = makePartial(s("http://h/big"), s("big.part"), "0123", 4);
    Copy other({s("partial"), state, out, s("http://h/big")});
    ASSERT_EQ(other.line(), QByteArray("open"));
    EXPECT_FALSE(OpenPartialLocked(made).valid());
    EXPECT_FALSE(PartialStore(state).removeWithPartial(out, s("http://h/big")));
    EXPECT_TRUE(QFile::exists(out + s("/big.part")));
    Copy third({s("partial"), state, out, s("http://h/big")});
    EXPECT_EQ(third.line(), QByteArray("refused"));
    other.kill();
    EXPECT_TRUE(OpenPartialLocked(made).valid());
}
