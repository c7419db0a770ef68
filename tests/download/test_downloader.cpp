#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "download/Downloader.h"
#include "harness/LoopbackServer.h"
#include "harness/Timing.h"

namespace {
struct FetchFixture : ::testing::Test {
    LoopbackServer http;
    QTemporaryDir dir;
    Download::Downloader downloader{Download::TransferLimits{2000, 2, 5}};

    Download::TransferResult fetch(const QString& path, QByteArray* body = nullptr) {
        const QString file = dir.filePath(QStringLiteral("out"));
        const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        auto result = downloader.fetchToFd(http.url(path), fd);
        ::close(fd);
        if (body) {
            QFile f(file);
            f.open(QIODevice::ReadOnly);
            *body = f.readAll();
        }
        return result;
    }
};
}  // namespace

TEST_F(FetchFixture, BodyStreamsIntoTheFileAndRedirectsAreFollowed) {
    http.server().Get("/a.bin", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(300000, 'z'), "application/octet-stream");
    });
    http.server().Get("/hop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/a.bin"); });
    http.start();
    QByteArray body;
    auto r = fetch(QStringLiteral("/a.bin"), &body);
    EXPECT_TRUE(r.ok) << r.reason.toStdString();
    EXPECT_EQ(body.size(), 300000);
    EXPECT_EQ(r.bytes, 300000);

    r = fetch(QStringLiteral("/hop"), &body);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(body.size(), 300000);
    EXPECT_EQ(r.finalUrl, http.url(QStringLiteral("/a.bin")));
}

TEST_F(FetchFixture, ErrorStatusesAndNonWebRedirectsFail) {
    http.server().Get("/ftp", [](const httplib::Request&, httplib::Response& res) {
        res.status = 302;
        res.set_header("Location", "file:///etc/passwd");
    });
    http.start();
    auto r = fetch(QStringLiteral("/missing"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.reason, QStringLiteral("HTTP 404"));
    r = fetch(QStringLiteral("/ftp"));
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.reason.isEmpty());
}

TEST_F(FetchFixture, CancelEndsAStalledTransferPromptly) {
    http.server().Get("/stall", [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("application/octet-stream", [](size_t, httplib::DataSink& sink) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return sink.is_writable();
        });
    });
    http.start();
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        downloader.cancel();
    });
    const auto start = std::chrono::steady_clock::now();
    auto r = fetch(QStringLiteral("/stall"));
    const auto took = std::chrono::steady_clock::now() - start;
    canceller.join();
    EXPECT_TRUE(r.cancelled);
    EXPECT_FALSE(r.ok);
    EXPECT_LT(took, Timing::bound(std::chrono::milliseconds(1500)));
    http.stop();
}

TEST_F(FetchFixture, BlanksInTheAddressAreSentEscapedAndOtherEscapesStay) {
    http.server().Get("/dir/(.*)", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content("got " + req.matches[1].str(), "text/plain");
    });
    http.start();
    QByteArray body;
    auto r = fetch(QStringLiteral("/dir/my file (1).txt"), &body);
    EXPECT_TRUE(r.ok) << r.reason.toStdString();
    EXPECT_EQ(body, "got my file (1).txt");
    r = fetch(QStringLiteral("/dir/a%20b%25c.txt"), &body);
    EXPECT_TRUE(r.ok) << r.reason.toStdString();
    EXPECT_EQ(body, "got a b%c.txt");

    // Blanks around the address, as a typed entry keeps them, are not part of it.
    QFile out(dir.filePath(QStringLiteral("padded")));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    r = downloader.fetchToFd(QStringLiteral("  ") + http.url(QStringLiteral("/dir/p.txt")) + QStringLiteral(" "),
                             out.handle());
    out.close();
    EXPECT_TRUE(r.ok) << r.reason.toStdString();
    EXPECT_EQ(r.finalUrl, http.url(QStringLiteral("/dir/p.txt")));
}
