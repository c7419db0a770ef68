// Several copies of the program at once, each a process of its own (engine_copy), into one
// folder against one loopback server: nothing lost, nothing stored twice or under another
// address's name, no temporary left, and a clean-up never takes a file in use or one it did not
// make.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <thread>

#include <signal.h>

#include "download/DownloadEngine.h"
#include "download/TargetNaming.h"
#include "harness/FolderContents.h"
#include "harness/LoopbackServer.h"

using namespace std::chrono_literals;

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

struct Item {
    QString url;
    QString detail;  // the path when stored, the reason when not
};

struct Report {
    std::vector<Item> stored, failed;
    int exitCode = -1;
    QString errors;
};

Report collect(QProcess& copy) {
    Report report;
    if (!copy.waitForFinished(60000)) return report;
    report.exitCode = copy.exitStatus() == QProcess::NormalExit ? copy.exitCode() : -1;
    report.errors = QString::fromUtf8(copy.readAllStandardError());
    for (const QString& line : QString::fromUtf8(copy.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() != 3) continue;
        (fields[0] == s("stored") ? report.stored : report.failed).push_back({fields[1], fields[2]});
    }
    return report;
}

// Is `name` the file name of `url` or one of its numbered forms ("f3 (2).bin")?
bool namedAfter(const QString& name, const QString& url) {
    const QString segment = Main::FileNameOf(url, QLatin1Char('/'));
    const QString stem = Main::StripExtension(segment, QLatin1Char('/'));
    const QString rest = segment.mid(stem.size());
    const QRegularExpression pattern(QLatin1Char('^') + QRegularExpression::escape(stem) + s("( \\(\\d+\\))?") +
                                     QRegularExpression::escape(rest) + QLatin1Char('$'));
    return pattern.match(name).hasMatch();
}

struct CopiesFixture : ::testing::Test {
    std::atomic<bool> released{false};
    std::atomic<int> stalls{0};
    LoopbackServer http;
    QTemporaryDir dir;

    CopiesFixture() {
        // Headers and body go out as separate writes; without this each reply waits for a
        // delayed acknowledgement.
        http.server().set_tcp_nodelay(true);
        http.server().Get("/files/(.*)", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content("body of " + req.matches[1].str(), "application/octet-stream");
        });
        http.server().Get("/stall.bin", [this](const httplib::Request&, httplib::Response& res) {
            ++stalls;
            res.set_chunked_content_provider("application/octet-stream", [this](size_t, httplib::DataSink& sink) {
                sink.write("x", 1);
                for (int k = 0; k < 250 && !released; ++k) std::this_thread::sleep_for(20ms);
                return false;
            });
        });
        http.start();
    }
    ~CopiesFixture() override { released = true; }

    QString folder() const { return dir.path(); }

    std::unique_ptr<QProcess> start(const QStringList& args) {
        auto copy = std::make_unique<QProcess>();
        copy->start(s(FETCHWRIGHT_ENGINE_COPY), args);
        EXPECT_TRUE(copy->waitForStarted(10000));
        return copy;
    }

    QStringList list(int count) const {
        QStringList urls;
        // Every tenth address shares one name, so that names collide inside each copy too.
        for (int k = 0; k < count; ++k)
            urls << http.url(k % 10 == 9 ? s("/files/same.bin") : s("/files/f%1.bin").arg(k));
        return urls;
    }

    // Checks one folder after copies ran the same list into it, each reporting `report`.
    void expectEveryFileOnceAndWhole(const std::vector<Report>& reports, int perCopy, const QString& round) {
        std::set<QString> paths;
        for (const Report& r : reports) {
            ASSERT_EQ(r.exitCode, 0) << round.toStdString() << r.errors.toStdString();
            for (const Item& failure : r.failed)
                ADD_FAILURE() << round.toStdString() << ": " << failure.url.toStdString() << " - " << failure.detail.toStdString();
            ASSERT_EQ(int(r.stored.size()), perCopy) << round.toStdString();
            for (const Item& item : r.stored) {
                EXPECT_TRUE(paths.insert(item.detail).second) << "stored twice: " << item.detail.toStdString();
                const QString name = QFileInfo(item.detail).fileName();
                EXPECT_TRUE(namedAfter(name, item.url)) << name.toStdString() << " from " << item.url.toStdString();
                EXPECT_EQ(contentOf(item.detail), "body of " + Main::FileNameOf(item.url, QLatin1Char('/')).toUtf8())
                    << item.detail.toStdString();
            }
        }
        QStringList expected;
        for (const QString& path : paths) expected << QFileInfo(path).fileName();
        expected.sort();
        // Exactly the files reported: no temporary, nothing unreported.
        EXPECT_EQ(entriesOf(folder()), expected) << round.toStdString();
    }
};

}  // namespace

TEST_F(CopiesFixture, CopiesAtOnceIntoOneFolderStoreEveryFileOnceWithEitherKindOfTemporary) {
    constexpr int kFiles = 100;
    const QStringList urls = list(kFiles);
    int round = 0;
    for (const char* method : {"", "--named"}) {
        for (int copies : {2, 3, 3, 3}) {
            const QString label = s("round %1 (%2 copies%3)").arg(round++).arg(copies).arg(s(method));
            QTemporaryDir into;
            dir.swap(into);
            std::vector<std::unique_ptr<QProcess>> running;
            for (int k = 0; k < copies; ++k) {
                QStringList args;
                if (*method) args << s(method);
                running.push_back(start(args << folder() << urls));
            }
            std::vector<Report> reports;
            for (auto& copy : running) reports.push_back(collect(*copy));
            expectEveryFileOnceAndWhole(reports, kFiles, label);
            if (HasFailure()) return;
        }
    }
}

TEST_F(CopiesFixture, ACleanUpLoopingBesideRunsTakesNothingOfTheirsNorTheUsersOwn) {
    QFile own(dir.filePath(s(".fetchwright-Notes1.part")));
    ASSERT_TRUE(own.open(QIODevice::WriteOnly));
    own.write("my notes");
    own.close();
    auto cleaner = start({s("--clean"), folder(), s("4")});
    const QStringList urls = list(150);
    std::vector<Report> reports;
    for (int round = 0; round < 2; ++round) {
        auto a = start(QStringList{s("--named"), folder()} + urls.mid(0, 75));
        auto b = start(QStringList{s("--named"), folder()} + urls.mid(75));
        reports.push_back(collect(*a));
        reports.push_back(collect(*b));
    }
    ASSERT_TRUE(cleaner->waitForFinished(30000));
    EXPECT_EQ(QString::fromUtf8(cleaner->readAllStandardOutput()).trimmed(), s("removed\t0"));
    EXPECT_EQ(contentOf(own.fileName()), "my notes");
    ASSERT_TRUE(own.remove());
    expectEveryFileOnceAndWhole(reports, 75, s("beside a clean-up"));
}

TEST_F(CopiesFixture, AKilledRunLeavesNothingOrARecordedTemporaryThatOnlyIsRemovedLater) {
    auto killDuringTransfer = [&](QStringList args, const QString& into) {
        const int before = stalls;
        auto copy = start(args << into << http.url(s("/stall.bin")));
        for (int k = 0; k < 1000 && stalls == before; ++k) std::this_thread::sleep_for(10ms);
        ASSERT_GT(stalls, before);
        std::this_thread::sleep_for(100ms);  // the first bytes are in the temporary
        ::kill(static_cast<pid_t>(copy->processId()), SIGKILL);
        ASSERT_TRUE(copy->waitForFinished(10000));
    };
    // An anonymous temporary dies with its process.
    QTemporaryDir anonymous;
    killDuringTransfer({}, anonymous.path());
    EXPECT_TRUE(entriesOf(anonymous.path()).isEmpty()) << entriesOf(anonymous.path()).join(s(", ")).toStdString();

    // A named one stays until the next run into the folder, which leaves the user's own files
    // of that pattern alone, and those that another program downloaded.
    killDuringTransfer({s("--named")}, folder());
    const QStringList left = entriesOf(folder());
    ASSERT_EQ(left.size(), 1);
    EXPECT_TRUE(Download::IsTemporaryName(left[0])) << left[0].toStdString();
    // A file system mounted again (a FAT stick) gives its files new inode numbers: the leftover,
    // copied over itself to a new inode here, is still known as this program's.
    {
        const QString leftover = dir.filePath(left[0]);
        ASSERT_TRUE(QFile::copy(leftover, leftover + s(".copy")));
        ASSERT_TRUE(QFile::remove(leftover));
        ASSERT_TRUE(QFile::rename(leftover + s(".copy"), leftover));
    }
    for (const char* name : {".fetchwright-Notes1.part", ".fetchwright-abc123.part"}) {
        QFile f(dir.filePath(s(name)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(name);
    }
    for (int run = 0; run < 2; ++run) {
        auto copy = start({folder(), http.url(s("/files/.fetchwright-xyz789.part")), http.url(s("/files/ok.txt"))});
        const Report report = collect(*copy);
        ASSERT_EQ(report.exitCode, 0) << report.errors.toStdString();
        // A download named like a temporary loses its leading dot, so it never looks like one.
        ASSERT_EQ(report.failed.size(), 0u);
        EXPECT_EQ(report.stored.size(), 2u);
        QStringList expected{s(".fetchwright-Notes1.part"), s(".fetchwright-abc123.part"), s("fetchwright-xyz789.part"), s("ok.txt")};
        if (run == 1) expected << s("fetchwright-xyz789 (1).part") << s("ok (1).txt");
        expected.sort();
        EXPECT_EQ(entriesOf(folder()), expected);
    }
    EXPECT_EQ(contentOf(dir.filePath(s(".fetchwright-Notes1.part"))), ".fetchwright-Notes1.part");
    EXPECT_EQ(contentOf(dir.filePath(s(".fetchwright-abc123.part"))), ".fetchwright-abc123.part");
}
