// Names from the answer, against a loopback server: the server's name, the type's extension, the
// final address after a redirect, hostile names kept inside the folder, equal names numbered in
// list order, and "Skip" for a file already there with the announced size.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "download/DownloadEngine.h"
#include "harness/FolderContents.h"
#include "harness/LoopbackServer.h"

using namespace std::chrono_literals;

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

struct NamesFixture : ::testing::Test {
    LoopbackServer http;
    QTemporaryDir dir;
    QTemporaryDir outside;  // where nothing may land
    Download::Engine engine{Download::TransferLimits{2000, 5, 5, 1}};

    NamesFixture() {
        // /cd?name=... answers with that Content-Disposition value.
        http.server().Get("/cd", [](const httplib::Request& req, httplib::Response& res) {
            res.set_header("Content-Disposition", req.get_param_value("v"));
            res.set_content("from cd", "application/octet-stream");
        });
        http.server().Get("/download.php", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("%PDF-1.4", "application/pdf");
        });
        http.server().Get("/blob", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("bytes", "application/octet-stream");
        });
        http.server().Get("/old-link", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/dist/tool_3.1.tar.xz"); });
        http.server().Get("/dist/(.*)", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("tarball", "application/x-xz");
        });
        http.server().Get("/sized/(.*)", [this](const httplib::Request& req, httplib::Response& res) {
            res.set_content(std::string(100, 'b') + req.matches[1].str(), "application/octet-stream");
        });
        http.server().Get("/unsized/(.*)", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("application/octet-stream", [](size_t, httplib::DataSink& sink) {
                sink.write("chunked", 7);
                sink.done();
                return true;
            });
        });
        http.server().Get("/slowname", [](const httplib::Request&, httplib::Response& res) {
            std::this_thread::sleep_for(300ms);
            res.set_header("Content-Disposition", "attachment; filename=\"same.txt\"");
            res.set_content("first", "text/plain");
        });
        http.server().Get("/fastname", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Content-Disposition", "attachment; filename=\"same.txt\"");
            res.set_content("second", "text/plain");
        });
        http.start();
    }

    std::vector<Download::ItemOutcome> run(const QStringList& paths, int atOnce = 1) {
        engine.beginRun();
        engine.setMaxTransfers(atOnce);
        for (const QString& path : paths) {
            const QString url = http.url(path);
            engine.enqueue(url, Main::BuildTargetPath(Download::NamingText(url), dir.path()));
        }
        engine.endInput();
        engine.runQueue(std::function<void()>{});
        return engine.finishRun();
    }
    QByteArray contentOf(const QString& name) const {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
    }
    static QString cd(const char* value) {
        return s("/cd?v=") + QString::fromLatin1(QUrl::toPercentEncoding(QString::fromUtf8(value)));
    }
};

}  // namespace

TEST_F(NamesFixture, TheServersNameTheTypesExtensionAndTheFinalAddress) {
    const auto outcomes = run({cd("attachment; filename*=UTF-8''Quarterly%20Report%20%E2%82%AC.pdf; filename=\"fallback.pdf\""),
                               cd("inline; filename=caf\xC3\xA9.txt;"), s("/download.php?id=3"), s("/old-link"), s("/blob?x=1")});
    for (const auto& o : outcomes) ASSERT_TRUE(o.stored) << o.reason.toStdString();
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("Quarterly Report \u20ac.pdf"), s("blob"), s("caf\u00e9.txt"),
                                                  s("download.pdf"), s("tool_3.1.tar.xz")}));
    EXPECT_EQ(contentOf(s("download.pdf")), "%PDF-1.4");
    EXPECT_EQ(contentOf(s("tool_3.1.tar.xz")), "tarball");
}

TEST_F(NamesFixture, AnEscapedAddressNamesTheFileAlikeWithAndWithoutARedirect) {
    http.server().Get("/moved-escaped", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("/sized/caf%C3%A9%20menu%2Fx.bin");
    });
    const auto outcomes = run({s("/sized/caf%C3%A9%20menu%2Fx.bin?q=1"), s("/moved-escaped"), s("/sized/%FFend.bin")});
    for (const auto& o : outcomes) ASSERT_TRUE(o.stored) << o.reason.toStdString();
    // An escape that stands for no UTF-8 stays as written; a decoded slash is no folder.
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("%FFend.bin"), s("caf\u00e9 menu_x (1).bin"), s("caf\u00e9 menu_x.bin")}));
}

TEST_F(NamesFixture, HostileServerNamesStayInsideTheFolder) {
    const QString leak = outside.path() + s("/evil.txt");
    const auto outcomes = run({cd("attachment; filename=\"../../x.txt\""), cd("attachment; filename=\"..\\\\..\\\\y.txt\""),
                               cd("attachment; filename=\"/etc/passwd\""), cd("attachment; filename=\".hidden\""),
                               cd(("attachment; filename=\"" + outside.path().toStdString() + "/evil.txt\"").c_str())});
    for (const auto& o : outcomes) ASSERT_TRUE(o.stored) << o.reason.toStdString();
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("evil.txt"), s("hidden"), s("passwd"), s("x.txt"), s("y.txt")}));
    EXPECT_FALSE(QFile::exists(leak));
    EXPECT_TRUE(entriesOf(outside.path()).isEmpty());
}

TEST_F(NamesFixture, EqualServerNamesAreNumberedInListOrderWhicheverAnswersFirst) {
    const auto outcomes = run({s("/slowname"), s("/fastname")}, 4);
    for (const auto& o : outcomes) ASSERT_TRUE(o.stored) << o.reason.toStdString();
    EXPECT_EQ(contentOf(s("same.txt")), "first");
    EXPECT_EQ(contentOf(s("same (1).txt")), "second");
}

TEST_F(NamesFixture, SkipLeavesOutAFileOfTheAnnouncedSizeAndNumbersTheRest) {
    auto write = [&](const char* name, const QByteArray& data) {
        QFile f(dir.filePath(s(name)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
    };
    write("same.bin", QByteArray(100, 'b') + "same.bin");  // the size the server announces
    write("other.bin", "shorter");
    write("chunks.bin", "chunked");
    engine.setNaming(true, true);
    const auto outcomes = run({s("/sized/same.bin"), s("/sized/other.bin"), s("/unsized/chunks.bin")});
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_TRUE(outcomes[0].skipped);
    EXPECT_FALSE(outcomes[0].stored);
    EXPECT_EQ(outcomes[0].path, dir.filePath(s("same.bin")));
    // Another size, or none announced: numbered as ever.
    EXPECT_TRUE(outcomes[1].stored);
    EXPECT_EQ(outcomes[1].path, dir.filePath(s("other (1).bin")));
    EXPECT_TRUE(outcomes[2].stored);
    EXPECT_EQ(outcomes[2].path, dir.filePath(s("chunks (1).bin")));
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("chunks (1).bin"), s("chunks.bin"), s("other (1).bin"), s("other.bin"), s("same.bin")}));

    Download::RunSummary summary;
    for (const auto& o : outcomes) summary.add(s("u"), o);
    EXPECT_EQ(summary.finalMessage(), s("Done.\r\n2 stored, 1 skipped."));

    // "Number" fetches it again as a copy.
    engine.setNaming(true, false);
    const auto again = run({s("/sized/same.bin")});
    EXPECT_TRUE(again[0].stored);
    EXPECT_EQ(contentOf(s("same (1).bin")), QByteArray(100, 'b') + "same.bin");
}

TEST_F(NamesFixture, WithoutServerNamesTheAddressNamesTheFile) {
    engine.setNaming(false, false);
    const auto outcomes = run({cd("attachment; filename=\"server.txt\""), s("/download.php?id=3")});
    for (const auto& o : outcomes) ASSERT_TRUE(o.stored) << o.reason.toStdString();
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("cd"), s("download.pdf")}));
}
