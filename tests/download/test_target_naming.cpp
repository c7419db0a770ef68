#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

#include "download/DownloadEngine.h"
#include "download/TargetNaming.h"
#include "harness/FolderContents.h"
#include "harness/JobRun.h"
#include "harness/LoopbackServer.h"
#include "harness/ScriptedDialogs.h"

using namespace Main;

namespace {
const QChar kBack = QLatin1Char('\\');
const QChar kSlash = QLatin1Char('/');
QString s(const char* text) { return QString::fromUtf8(text); }

// A file system made of a set of taken names, counting the queries.
struct FakeFolder {
    QSet<QString> taken;
    int queries = 0;
    NamingContext context(QChar sep, NameMemo* memo = nullptr) {
        NamingContext c;
        c.separator = sep;
        c.memo = memo;
        c.exists = [this](const QString& p) {
            ++queries;
            return taken.contains(p);
        };
        return c;
    }
};
}  // namespace

TEST(TargetNaming, BasePathFromTheLastSegmentWithBackslashes) {
    const QString url = s("http://server/a/b/pic.jpg");
    EXPECT_EQ(BuildTargetPath(url, s("C:\\Out\\"), kBack), s("C:\\Out\\pic.jpg"));
    EXPECT_EQ(BuildTargetPath(url, s("C:\\Out"), kBack), s("C:\\Out\\pic.jpg"));
    EXPECT_EQ(BuildTargetPath(s("http://h/get.php?id=7"), s("C:\\Out\\"), kBack), s("C:\\Out\\get.php?id=7"));
    EXPECT_EQ(BuildTargetPath(s("http://h/dl?f=a/b.zip"), s("C:\\Out\\"), kBack), s("C:\\Out\\b.zip"));
    EXPECT_EQ(BuildTargetPath(s("pic.jpg"), s("C:\\Out\\"), kBack), s("C:\\Out\\pic.jpg"));
    EXPECT_EQ(BuildTargetPath(s("http://h/a\\b.jpg"), s("C:\\Out\\"), kBack), s("C:\\Out\\b.jpg"));
    EXPECT_EQ(BuildTargetPath(url, s("\\\\server\\share\\"), kBack), s("\\\\server\\share\\pic.jpg"));
    // A URL ending in "/" names no file: the base path is the folder itself.
    EXPECT_EQ(BuildTargetPath(s("http://h/dir/"), s("C:\\Out\\"), kBack), s("C:\\Out\\"));
    // Percent escapes and queries stay as written; the fragment is no part of the name.
    EXPECT_EQ(BuildTargetPath(s("http://h/a%20b.jpg#x"), s("C:\\Out"), kBack), s("C:\\Out\\a%20b.jpg"));
    EXPECT_EQ(BuildTargetPath(s("http://h/get.php?id=7#top"), s("C:\\Out\\"), kBack), s("C:\\Out\\get.php?id=7"));
    // A fragment holding separators names nothing either.
    EXPECT_EQ(BuildTargetPath(s("http://h/app.html#/view/x\\y"), s("C:\\Out"), kBack), s("C:\\Out\\app.html"));
}

TEST(TargetNaming, BasePathWithNativeSeparator) {
    const QString url = s("http://server/a/b/pic.jpg");
    EXPECT_EQ(BuildTargetPath(url, s("/home/u/Out/"), kSlash), s("/home/u/Out/pic.jpg"));
    EXPECT_EQ(BuildTargetPath(url, s("/home/u/Out"), kSlash), s("/home/u/Out/pic.jpg"));
    EXPECT_EQ(BuildTargetPath(s("http://h/a\\b.jpg"), s("/out"), kSlash), s("/out/b.jpg"));
    EXPECT_EQ(BuildTargetPath(s("http://h/dl?f=a/b.zip"), s("/out/"), kSlash), s("/out/b.zip"));
    EXPECT_EQ(BuildTargetPath(url, s("//out//x"), kSlash), s("/out/x/pic.jpg"));
    EXPECT_EQ(BuildTargetPath(s("http://h/dir/"), s("/out"), kSlash), s("/out/"));
    EXPECT_EQ(BuildTargetPath(s("https://h/doc/python-policy.html#main-packages"), s("/out"), kSlash),
              s("/out/python-policy.html"));
    EXPECT_EQ(BuildTargetPath(s("http://h/dir/#intro"), s("/out"), kSlash), s("/out/"));
    EXPECT_EQ(Download::NamingText(s("http://h/a\\b.jpg")), s("http://h/a/b.jpg"));
}

TEST(TargetNaming, ExtensionSplitLooksAtTheFileNameOnly) {
    EXPECT_EQ(StripExtension(s("C:\\Out\\archive.tar.gz"), kBack), s("C:\\Out\\archive.tar"));
    EXPECT_EQ(GetExtension(s("C:\\Out\\archive.tar.gz"), kBack), s("gz"));
    EXPECT_EQ(StripExtension(s("/o/file."), kSlash), s("/o/file"));
    EXPECT_EQ(GetExtension(s("/o/file."), kSlash), QString());
    EXPECT_EQ(StripExtension(QString()), QString());
    EXPECT_EQ(GetExtension(QString()), QString());
    // A dot in the folder part or a leading dot does not split.
    EXPECT_EQ(StripExtension(s("/o.d/README"), kSlash), s("/o.d/README"));
    EXPECT_EQ(GetExtension(s("/o.d/README"), kSlash), QString());
    EXPECT_EQ(StripExtension(s("C:\\o\\.bashrc"), kBack), s("C:\\o\\.bashrc"));

    EXPECT_EQ(NumberedCandidate(s("/o.d/README"), 2, kSlash), s("/o.d/README (2)"));
    EXPECT_EQ(NumberedCandidate(s("/o/.bashrc"), 1, kSlash), s("/o/.bashrc (1)"));
    EXPECT_EQ(NumberedCandidate(s("/o/file."), 3, kSlash), s("/o/file (3)."));
}

TEST(TargetNaming, CompoundArchiveExtensionsStayWholeWhenNumbered) {
    for (const char* ext : {".tar.gz", ".tar.bz2", ".tar.xz", ".tar.zst", ".tar.lz", ".tar.Z"}) {
        const QString e = s(ext);
        EXPECT_EQ(NumberedCandidate(s("C:\\Out\\file003") + e, 1, kBack), s("C:\\Out\\file003 (1)") + e) << ext;
        EXPECT_EQ(NumberedCandidate(s("/o.d/file003") + e, 2, kSlash), s("/o.d/file003 (2)") + e) << ext;
    }
    EXPECT_EQ(NumberedCandidate(s("/o/SRC.TAR.GZ"), 1, kSlash), s("/o/SRC (1).TAR.GZ"));
    // Not compound: another first part, or nothing before ".tar".
    EXPECT_EQ(NumberedCandidate(s("/o/file.zip.gz"), 1, kSlash), s("/o/file.zip (1).gz"));
    EXPECT_EQ(NumberedCandidate(s("/o/.tar.gz"), 1, kSlash), s("/o/.tar (1).gz"));
    EXPECT_EQ(NumberedCandidate(s("C:\\o\\x.tar"), 1, kBack), s("C:\\o\\x (1).tar"));
    // The dot is looked for in the file name only.
    EXPECT_EQ(NumberedCandidate(s("C:\\o.tar.gz\\README"), 1, kBack), s("C:\\o.tar.gz\\README (1)"));

    FakeFolder folder;
    folder.taken << s("C:\\Out\\file003.tar.gz") << s("C:\\Out\\file003 (1).tar.gz");
    EXPECT_EQ(NextFreeName(s("C:\\Out\\file003.tar.gz"), folder.context(kBack)),
              s("C:\\Out\\file003 (2).tar.gz"));
}

TEST(TargetNaming, FirstFreeNameCountsUpFromTheBaseAndReusesGaps) {
    FakeFolder folder;
    const QString base = s("C:\\Out\\pic.jpg");
    EXPECT_EQ(NextFreeName(base, folder.context(kBack)), base);
    folder.taken << base;
    EXPECT_EQ(NextFreeName(base, folder.context(kBack)), s("C:\\Out\\pic (1).jpg"));
    folder.taken << s("C:\\Out\\pic (1).jpg");
    EXPECT_EQ(NextFreeName(base, folder.context(kBack)), s("C:\\Out\\pic (2).jpg"));
    // pic (1).jpg deleted while pic (2).jpg remains: the gap is taken.
    folder.taken.remove(s("C:\\Out\\pic (1).jpg"));
    folder.taken << s("C:\\Out\\pic (2).jpg");
    EXPECT_EQ(NextFreeName(base, folder.context(kBack)), s("C:\\Out\\pic (1).jpg"));

    folder.taken << s("/o/README") << s("/o/archive.tar.gz");
    EXPECT_EQ(NextFreeName(s("/o/README"), folder.context(kSlash)), s("/o/README (1)"));
    EXPECT_EQ(NextFreeName(s("/o/archive.tar.gz"), folder.context(kSlash)),
              s("/o/archive (1).tar.gz"));
    // Nothing to number when the address names no file.
    folder.taken << s("/o/");
    EXPECT_EQ(NextFreeName(s("/o/"), folder.context(kSlash)), s("/o/"));
}

TEST(TargetNaming, RunMemoKeepsManyEqualNamesLinearAndStillFindsOldGaps) {
    FakeFolder folder;
    NameMemo memo;
    const QString base = s("/o/ss.jpg");
    // Present before the run: the base, and (2); (1) is a gap.
    folder.taken << base << s("/o/ss (2).jpg");
    QStringList got;
    const int items = 2000;
    for (int k = 0; k < items; ++k) {
        const QString name = NextFreeName(base, folder.context(kSlash, &memo));
        got << name;
        folder.taken << name;  // stored, as a download would
    }
    EXPECT_EQ(got[0], s("/o/ss (1).jpg"));
    EXPECT_EQ(got[1], s("/o/ss (3).jpg"));
    EXPECT_EQ(got.last(), s("/o/ss (%1).jpg").arg(items + 1));
    EXPECT_EQ(QSet<QString>(got.begin(), got.end()).size(), items);
    // One query per item; without the memo it would be about items^2 / 2.
    EXPECT_LE(folder.queries, items + 5);

    // A name handed out but not stored is handed out again.
    const QString next = NextFreeName(base, folder.context(kSlash, &memo));
    memo.givenBack(base, next);
    EXPECT_EQ(NextFreeName(base, folder.context(kSlash, &memo)), next);
    // A name someone else took meanwhile is skipped.
    memo.givenBack(base, next);
    folder.taken << next;
    EXPECT_NE(NextFreeName(base, folder.context(kSlash, &memo)), next);
}

TEST(TargetNaming, ANameHandedOutButNotYetOnDiskIsTakenForEveryBase) {
    FakeFolder folder;
    NameMemo memo;
    folder.taken << s("/o/a.jpg");
    // The second a.jpg gets "a (1).jpg", whose file is still on its way to disk when an address
    // ending in "a (1).jpg" comes next.
    EXPECT_EQ(NextFreeName(s("/o/a.jpg"), folder.context(kSlash, &memo)), s("/o/a (1).jpg"));
    EXPECT_EQ(NextFreeName(s("/o/a (1).jpg"), folder.context(kSlash, &memo)),
              s("/o/a (1) (1).jpg"));
    // Given back (its download failed), the name is free again.
    memo.givenBack(s("/o/a.jpg"), s("/o/a (1).jpg"));
    EXPECT_EQ(NextFreeName(s("/o/a.jpg"), folder.context(kSlash, &memo)), s("/o/a (1).jpg"));
    memo.clear();
    EXPECT_EQ(NextFreeName(s("/o/a (1).jpg"), folder.context(kSlash, &memo)), s("/o/a (1).jpg"));
}

TEST(TargetNaming, AnchorsIntoOnePageAndRepeatedArchivesAgainstAServer) {
    LoopbackServer http;
    std::mutex lock;
    std::vector<std::string> asked;
    http.server().Get("/doc/(.*)", [&](const httplib::Request& req, httplib::Response& res) {
        {
            std::lock_guard<std::mutex> hold(lock);
            asked.push_back(req.target);
        }
        res.set_content("body of " + req.matches[1].str(), "application/octet-stream");
    });
    http.start();
    QTemporaryDir dir;
    ScriptedDialogs dialogs;
    Download::Engine engine;
    const QStringList urls{http.url(s("/doc/policy.html#intro")), http.url(s("/doc/policy.html#main-packages")),
                           http.url(s("/doc/file003.tar.gz")), http.url(s("/doc/file003.tar.gz#sig"))};
    const Download::RunSummary summary = RunJob(engine, urls, dir.path());
    EXPECT_EQ(summary.failedCount(), 0) << summary.finalMessage().toStdString();
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("file003 (1).tar.gz"), s("file003.tar.gz"),
                                                  s("policy (1).html"), s("policy.html")}));
    EXPECT_EQ(contentOf(dir.filePath(s("policy (1).html"))), QByteArray("body of policy.html"));
    // The fragment never goes to the server.
    std::lock_guard<std::mutex> hold(lock);
    std::sort(asked.begin(), asked.end());  // several at once: in any order
    EXPECT_EQ(asked, (std::vector<std::string>{"/doc/file003.tar.gz", "/doc/file003.tar.gz", "/doc/policy.html",
                                               "/doc/policy.html"}));
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST(TargetNaming, ANumberedNameStaysWithinTheFileSystemsLimit) {
    const QString stem(251, QLatin1Char('a'));  // with ".jpg", 255 bytes: as long as a name may be
    const QString numbered = NumberedCandidate(s("/o/") + stem + s(".jpg"), 1, kSlash);
    EXPECT_EQ(numbered, s("/o/") + QString(247, QLatin1Char('a')) + s(" (1).jpg"));
    EXPECT_EQ(NumberedCandidate(s("/o/") + stem + s(".jpg"), 12, kSlash), s("/o/") + QString(246, QLatin1Char('a')) + s(" (12).jpg"));
    // Cut on a character's boundary (two bytes each here), never inside it, and no blank left before the number.
    const QString wide = QString(120, QChar(0xE9)) + s(" b.tar.gz");  // 240 + 9 bytes
    EXPECT_EQ(NumberedCandidate(s("/o/") + wide, 1000, kSlash), s("/o/") + QString(120, QChar(0xE9)) + s(" (1000).tar.gz"));
    EXPECT_EQ(NumberedCandidate(QString(126, QChar(0xE9)) + s(".x"), 1, kSlash), QString(124, QChar(0xE9)) + s(" (1).x"));
    // An extension that leaves no room for a stem: the number follows the whole name cut short.
    const QString longExtension = s("a.") + QString(253, QLatin1Char('x'));
    EXPECT_EQ(NumberedCandidate(longExtension, 1, kSlash), s("a.") + QString(249, QLatin1Char('x')) + s(" (1)"));
    // Shorter names are numbered as ever.
    EXPECT_EQ(NumberedCandidate(s("/o/") + QString(200, QLatin1Char('a')) + s(".jpg"), 1, kSlash),
              s("/o/") + QString(200, QLatin1Char('a')) + s(" (1).jpg"));
}

TEST(TargetNaming, ATakenNameOfTheLongestLengthIsStoredNumbered) {
    LoopbackServer http;
    http.server().Get("/long/(.*)", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content("long one", "application/octet-stream");
    });
    http.start();
    QTemporaryDir dir;
    const QString name = QString(251, QLatin1Char('n')) + s(".bin");
    QFile taken(dir.filePath(name));
    ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
    taken.write("the user's");
    taken.close();
    ScriptedDialogs dialogs;
    Download::Engine engine;
    const Download::RunSummary summary = RunJob(engine, {http.url(s("/long/") + name)}, dir.path());
    EXPECT_EQ(summary.failedCount(), 0) << summary.finalMessage().toStdString();
    const QString numbered = QString(247, QLatin1Char('n')) + s(" (1).bin");
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{numbered, name}));
    EXPECT_EQ(contentOf(dir.filePath(numbered)), QByteArray("long one"));
    EXPECT_EQ(contentOf(dir.filePath(name)), QByteArray("the user's"));
}

TEST(DownloadRunShare, PercentRoundsHalfToEven) {
    EXPECT_EQ(Download::SharePercent(1, 3), 33);
    EXPECT_EQ(Download::SharePercent(2, 3), 67);
    EXPECT_EQ(Download::SharePercent(3, 3), 100);
    const int eight[] = {12, 25, 38, 50, 62, 75, 88, 100};
    for (int i = 1; i <= 8; ++i) EXPECT_EQ(Download::SharePercent(i, 8), eight[i - 1]) << i;
    EXPECT_EQ(Download::SharePercent(1, 200), 0);   // 0.5 -> 0
    EXPECT_EQ(Download::SharePercent(3, 200), 2);   // 1.5 -> 2
    EXPECT_EQ(Download::SharePercent(2147483647, 2147483647), 100);
    EXPECT_EQ(Download::SharePercent(1073741824, 2147483647), 50);
}
