// "Get All Links Within URL" against pages served on the loopback interface.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeView>

#include <atomic>
#include <chrono>
#include <memory>
#include <string_view>
#include <thread>

#include <unistd.h>

#include "app/Form1.h"
#include "harness/ListContents.h"
#include "harness/ListWait.h"
#include "harness/FolderContents.h"
#include "harness/LoopbackServer.h"
#include "harness/ScriptedDialogs.h"
#include "harness/Timing.h"
#include "listbuild/ExtractLinks.h"

namespace {
const char* kPage =
    "<html><!-- <a href=\"comment.jpg\"> -->\n"
    "<a HREF=\"a.jpg\">A</a> <a Href=\"/img/b.jpg\"> <a href=\"//cdn.example/c.js\">\n"
    "<a href=\"../up.jpg\"><a href=\"#top\"><a href=\"\"><a href=\"https://other.example/d.zip\">\n"
    "<a href=\"mailto:me@x.example\"><a href=\"javascript:go()\"><a href=\"data:,x\"><a href=\"tel:1\">\n"
    "<a href='single.jpg'><a href = \"spaced.jpg\"><a href=bare.jpg>\n"
    "<a href=\"q.php?a=1&amp;b=2&copy=3&#38;c\"><a href=\"caf\xE9.jpg\"><a href=\"\xC3\xA9t\xC3\xA9.jpg\">\n"
    "<script>var s = 'href=\"script.jpg\"';</script>\n"
    "<a href=\"a.jpg\"><a href=\"a.jpg\">href=\"last.jpg\"";

struct Extraction : ::testing::Test {
    LoopbackServer http;
    ScriptedDialogs dialogs;
    Settings::Store settings;  // the test home's own
    Form1 form{dialogs, settings};
    QTemporaryDir temp;
    QByteArray oldTmp = qgetenv("TMPDIR");

    void SetUp() override {
        // Each test gets its own temporary folder, to see what is left in it.
        qputenv("TMPDIR", temp.path().toLocal8Bit());
        http.server().Get("/site/dir/page.htm", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(kPage, "text/html");
        });
        http.server().Get("/old", [](const httplib::Request&, httplib::Response& res) {
            res.set_redirect("/site/dir/page.htm");
        });
        http.server().Get("/empty", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("", "text/html");
        });
        http.server().Get("/", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("<a href=\"root.jpg\">", "text/html");
        });
        http.start();
    }
    void TearDown() override {
        if (oldTmp.isNull()) qunsetenv("TMPDIR");
        else qputenv("TMPDIR", oldTmp);
    }
    QStringList entries() { return contentsOf(form.urlList()); }
    QString tempPage() const { return temp.path() + QStringLiteral("/HTML1.tmp"); }
};

// Page files this process still has open or mapped.
int PageFilesHeld() {
    int held = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& name : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[256] = {};
        if (::readlink(QFile::encodeName(fds.filePath(name)).constData(), target, sizeof target - 1) > 0)
            held += std::string_view(target).find("fetchwright-page") != std::string_view::npos;
    }
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (maps.open(QIODevice::ReadOnly)) held += static_cast<int>(maps.readAll().count("fetchwright-page"));
    return held;
}
}  // namespace

TEST_F(Extraction, EveryLinkOfTheRedirectedPageResolvedAgainstItsFinalAddress) {
    form.urlList().append(u"http://existing/");
    const QString site = http.url(QStringLiteral("/site/"));
    const QString dir = site + QStringLiteral("dir/");
    const QString root = http.url(QStringLiteral("/"));
    dialogs.inputAnswers = {http.url(QStringLiteral("/old"))};
    form.PushButton7_Click();
    ASSERT_TRUE(WaitForListWork(form));
    ASSERT_EQ(dialogs.prompts.size(), 1u);
    EXPECT_EQ(dialogs.prompts[0].prompt,
              QStringLiteral("Enter url to extract from (i.e. http://www.quillmoor.example/gallery.htm):"));
    EXPECT_EQ(dialogs.prompts[0].defaultText, QString());
    EXPECT_TRUE(dialogs.messages.empty()) << dialogs.messageTexts().join(u'|').toStdString();
    // Not the comment's or the script's, not the page itself (#top, ""), no other scheme; every
    // quoting style; references decoded and non-ASCII percent-encoded.
    const QStringList expected = {
        QStringLiteral("http://existing/"),
        dir + QStringLiteral("a.jpg"),
        root + QStringLiteral("img/b.jpg"),
        QStringLiteral("http://cdn.example/c.js"),
        site + QStringLiteral("up.jpg"),
        QStringLiteral("https://other.example/d.zip"),
        dir + QStringLiteral("single.jpg"),
        dir + QStringLiteral("spaced.jpg"),
        dir + QStringLiteral("bare.jpg"),
        dir + QStringLiteral("q.php?a=1&b=2&copy=3&c"),
        dir + QStringLiteral("caf%C3%A9.jpg"),
        dir + QStringLiteral("%C3%A9t%C3%A9.jpg"),
        dir + QStringLiteral("a.jpg"),
        dir + QStringLiteral("a.jpg"),
    };
    EXPECT_EQ(entries(), expected);
    EXPECT_EQ(ExtractLinks::BaseUrl, dir + QStringLiteral("page.htm"));
    EXPECT_FALSE(QFile::exists(tempPage()));
    EXPECT_EQ(form.mousePointer(), PointerDefault);
}

TEST_F(Extraction, TheSelectedEntryIsOfferedAndABareHostIsFetchedAtItsRoot) {
    // Without "http" in front the address is completed; a bare host gets "/".
    const QString hostPort = QStringLiteral("127.0.0.1:%1").arg(http.port());
    form.urlList().append(hostPort);
    form.ListView1->setCurrentIndex(form.urlList().index(0));
    dialogs.inputAnswers = {hostPort};
    form.PushButton7_Click();
    ASSERT_TRUE(WaitForListWork(form));
    ASSERT_EQ(dialogs.prompts.size(), 1u);
    EXPECT_EQ(dialogs.prompts[0].defaultText, hostPort);
    EXPECT_EQ(ExtractLinks::PageUrl, QStringLiteral("http://") + hostPort + QStringLiteral("/"));
    EXPECT_EQ(entries(), (QStringList{hostPort, QStringLiteral("http://") + hostPort + QStringLiteral("/root.jpg")}));
}

TEST_F(Extraction, FailuresCancelAndEmptyPages) {
    dialogs.inputAnswers = {QString(), http.url(QStringLiteral("/missing.htm")), http.url(QStringLiteral("/empty")),
                            QStringLiteral("ftp://127.0.0.1/x")};
    form.PushButton7_Click();  // cancelled: nothing fetched, nothing shown
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(form.mousePointer(), PointerDefault);
    form.PushButton7_Click();  // 404
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("URL not found\nHTTP 404")});
    EXPECT_EQ(dialogs.messages[0].code, Dialogs::OkOnly);
    EXPECT_FALSE(QFile::exists(tempPage()));
    form.PushButton7_Click();  // an empty page adds nothing, and says so
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(dialogs.messageTexts().value(1), QStringLiteral("No links found on this page."));
    form.PushButton7_Click();  // no web address: nothing is fetched
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(dialogs.messageTexts().value(2), QStringLiteral("URL not found\nNot a web address"));
    EXPECT_EQ(dialogs.messages.size(), 3u);
    EXPECT_EQ(form.urlList().count(), 0);
}

TEST(SetPageUrl, ReadsTheAddressAsEveryTypedAddressIsRead) {
    using ExtractLinks::SetPageUrl;
    EXPECT_EQ(SetPageUrl(QStringLiteral("server")), QStringLiteral("http://server/"));
    EXPECT_EQ(SetPageUrl(QStringLiteral("server/dir/page.php")), QStringLiteral("http://server/dir/page.php"));
    EXPECT_EQ(SetPageUrl(QStringLiteral("HTTP://Server/a")), QStringLiteral("http://server/a"));
    EXPECT_EQ(SetPageUrl(QStringLiteral("https://server?x=1")), QStringLiteral("https://server/?x=1"));
    EXPECT_EQ(SetPageUrl(QStringLiteral("ftp://server/a")), QString());
    EXPECT_EQ(ExtractLinks::PageUrl, QString());
}

TEST_F(Extraction, ASecondExtractionWhileOneRunsIsRefusedSilently) {
    // A page that arrives slowly keeps the first extraction running.
    http.server().Get("/slow", [](const httplib::Request&, httplib::Response& res) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        res.set_content("<a href=\"s.jpg\">", "text/html");
    });
    dialogs.inputAnswers = {http.url(QStringLiteral("/slow"))};
    bool clearedWhileBusy = false;
    int pointerSeen = -1;
    QTimer::singleShot(150, &form, [&] {
        pointerSeen = form.mousePointer();
        form.urlList().append(u"http://during/");
        form.PushButton7_Click();   // no prompt: an unscripted one would fail the test
        form.PushButton11_Click();  // the busy pointer keeps the list
        clearedWhileBusy = form.urlList().count() == 0;
    });
    form.PushButton7_Click();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(pointerSeen, PointerBusy);
    EXPECT_FALSE(clearedWhileBusy);
    EXPECT_EQ(dialogs.prompts.size(), 1u);
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("http://during/"), http.url(QStringLiteral("/s.jpg"))}));
}

TEST_F(Extraction, ClosingTheWindowAbortsTheFetchAtOnce) {
    // The page comes only when the test lets it, long after the bound below. The flag is shared:
    // the handler may still look at it after the test body has returned.
    auto released = std::make_shared<std::atomic<bool>>(false);
    http.server().Get("/hang", [released](const httplib::Request&, httplib::Response& res) {
        for (int k = 0; k < 1000 && !*released; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        res.set_content("<a href=\"late.jpg\">", "text/html");
    });
    dialogs.inputAnswers = {http.url(QStringLiteral("/hang"))};
    form.show();
    QElapsedTimer sinceClose;
    QTimer::singleShot(200, &form, [&] {
        sinceClose.start();
        form.close();
    });
    form.PushButton7_Click();
    ASSERT_TRUE(WaitForListWork(form));
    *released = true;
    ASSERT_TRUE(sinceClose.isValid());
    EXPECT_LT(sinceClose.elapsed(), Timing::boundMs(1000));
    EXPECT_EQ(form.urlList().count(), 0);
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_FALSE(QFile::exists(tempPage()));
}

TEST_F(Extraction, ALinkLeftAtTheOldTemporaryNameIsNeitherFollowedNorRemoved) {
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.filePath(QStringLiteral("victim"));
    QFile v(victim);
    ASSERT_TRUE(v.open(QIODevice::WriteOnly));
    v.write("keep");
    v.close();
    ASSERT_TRUE(QFile::link(victim, tempPage()));
    dialogs.inputAnswers = {http.url(QStringLiteral("/site/dir/page.htm"))};
    form.PushButton7_Click();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_GT(form.urlList().count(), 10);
    EXPECT_EQ(contentOf(victim), QByteArray("keep"));
    EXPECT_EQ(QFile::symLinkTarget(tempPage()), victim);
}

TEST_F(Extraction, AnotherCopyTakingTheTemporaryNameMeanwhileChangesNothingHere) {
    // A second running copy of the program uses the same name in the same folder: it removes
    // this copy's file and writes its own page there while this copy's page still arrives.
    const QString path = tempPage();
    http.server().Get("/raced", [path](const httplib::Request&, httplib::Response& res) {
        QFile::remove(path);
        QFile other(path);
        if (other.open(QIODevice::WriteOnly)) other.write("<a href=\"http://other-copy/x.jpg\">");
        other.close();
        res.set_content("<a href=\"mine.jpg\">", "text/html");
    });
    dialogs.inputAnswers = {http.url(QStringLiteral("/raced"))};
    form.PushButton7_Click();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_TRUE(dialogs.messages.empty()) << dialogs.messageTexts().join(u'|').toStdString();
    EXPECT_EQ(entries(), QStringList{http.url(QStringLiteral("/mine.jpg"))});
    // The other copy's file is its own to read and remove.
    QFile other(path);
    ASSERT_TRUE(other.open(QIODevice::ReadOnly));
    EXPECT_EQ(other.readAll(), QByteArray("<a href=\"http://other-copy/x.jpg\">"));
}

TEST_F(Extraction, APageIsCutAtTheLimitWhateverTheServerSaysAndLeavesNothingBehind) {
    const std::size_t limit = static_cast<std::size_t>(ExtractLinks::kPageLimitBytes);
    const std::string tail = "<a href=\"end.jpg\">";
    http.server().Get("/exact", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(limit - tail.size(), 'x') + tail, "text/html");
    });
    http.server().Get("/over", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content("<a href=\"first.jpg\">" + std::string(limit, 'x'), "text/html");
    });
    // Chunked, so no length warns of it: the page never ends.
    http.server().Get("/endless", [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("text/html", [](std::size_t, httplib::DataSink& sink) {
            static const std::string chunk = [] {
                std::string c;
                while (c.size() < 64 * 1024) c += "<a href=\"again.jpg\">";
                return c;
            }();
            return sink.write(chunk.data(), chunk.size());
        });
    });
    dialogs.inputAnswers = {http.url(QStringLiteral("/exact")), http.url(QStringLiteral("/over")),
                            http.url(QStringLiteral("/endless"))};
    form.PushButton7_Click();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_TRUE(dialogs.messages.empty()) << dialogs.messageTexts().join(u'|').toStdString();
    EXPECT_EQ(entries(), QStringList{http.url(QStringLiteral("/end.jpg"))});
    form.PushButton7_Click();
    ASSERT_TRUE(WaitForListWork(form));
    form.PushButton7_Click();
    ASSERT_TRUE(WaitForListWork(form));
    const QString tooLarge = QStringLiteral("URL not found\nPage larger than 64 MB");
    EXPECT_EQ(dialogs.messageTexts(), (QStringList{tooLarge, tooLarge}));
    EXPECT_EQ(form.urlList().count(), 1);
    EXPECT_EQ(entriesOf(temp.path()), QStringList{});
    EXPECT_EQ(PageFilesHeld(), 0);
    {
        // Only while a fetched page is held is its memory file there.
        Download::Engine engine;
        const Fw::Result<ExtractLinks::Page> page = ExtractLinks::DownloadPage(http.url(QStringLiteral("/")), engine);
        ASSERT_TRUE(page.ok());
        EXPECT_EQ(page->bytes(), std::string_view("<a href=\"root.jpg\">"));
        EXPECT_GT(PageFilesHeld(), 0);
    }
    EXPECT_EQ(PageFilesHeld(), 0);
}

TEST_F(Extraction, WhateverLiesAtTheOldSharedNameNeitherBreaksNorIsTouched) {
    // Another user's file there could not be replaced; a folder cannot be either.
    ASSERT_TRUE(QDir(temp.path()).mkdir(QStringLiteral("HTML1.tmp")));
    QFile theirs(tempPage() + QStringLiteral("/theirs"));
    ASSERT_TRUE(theirs.open(QIODevice::WriteOnly));
    theirs.write("<a href=\"http://theirs/x.jpg\">");
    theirs.close();
    dialogs.inputAnswers = {http.url(QStringLiteral("/"))};
    form.PushButton7_Click();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_TRUE(dialogs.messages.empty()) << dialogs.messageTexts().join(u'|').toStdString();
    EXPECT_EQ(entries(), QStringList{http.url(QStringLiteral("/root.jpg"))});
    EXPECT_EQ(entriesOf(temp.path()), QStringList{QStringLiteral("HTML1.tmp")});
    EXPECT_EQ(contentOf(theirs.fileName()), QByteArray("<a href=\"http://theirs/x.jpg\">"));
}

TEST(ScanPage, LinksArriveInBatchesInPageOrderAndTheScanStopsWhenTold) {
    std::string page;
    page.reserve(24 << 20);
    for (int i = 0; i < 1000000; ++i) page += "<a href=\"p/" + std::to_string(i) + ".jpg\">\n";
    const QString base = QStringLiteral("http://s/d/x.htm");
    // Run through: every link once, in order, across every batch boundary.
    UrlList all;
    int batches = 0;
    std::atomic<bool> stop{false};
    const Fw::Result<qsizetype> scanned = ExtractLinks::ScanPage(page, base, [&](EntryBatch&& batch) {
        ++batches;
        batch.appendTo(all);
    }, stop);
    ASSERT_TRUE(scanned.ok());
    EXPECT_EQ(*scanned, 1000000);
    EXPECT_GT(batches, 1);
    ASSERT_EQ(all.count(), 1000000);
    for (int i = 1; i <= all.count(); i += 9973)
        EXPECT_EQ(all.textAt(i), QStringLiteral("http://s/d/p/%1.jpg").arg(i - 1));
    EXPECT_EQ(all.textAt(all.count()), QStringLiteral("http://s/d/p/999999.jpg"));

    // Told to stop after the first batch: it stops at its next step, short of the end.
    UrlList list;
    const Fw::Result<qsizetype> stopped = ExtractLinks::ScanPage(page, base, [&](EntryBatch&& batch) {
        batch.appendTo(list);
        stop = true;
    }, stop);
    ASSERT_FALSE(stopped.ok());
    EXPECT_TRUE(stopped.error().isCancelled());
    EXPECT_GT(list.count(), 0);
    EXPECT_LT(list.count(), 1000000);
    EXPECT_EQ(list.textAt(list.count()), QStringLiteral("http://s/d/p/%1.jpg").arg(list.count() - 1));
}

TEST(ScanPage, AScanThatCannotStartSaysWhyInsteadOfFindingNoLinks) {
    std::atomic<bool> stop{false};
    int batches = 0;
    const Fw::Result<qsizetype> scanned =
        ExtractLinks::ScanPage("<a href=\"a.jpg\">", QStringLiteral("not an address"), [&](EntryBatch&&) { ++batches; }, stop);
    ASSERT_FALSE(scanned.ok());
    EXPECT_FALSE(scanned.error().isCancelled());
    EXPECT_FALSE(scanned.error().text.isEmpty());
    EXPECT_EQ(batches, 0);
}
