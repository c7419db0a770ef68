#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <string>

#include "download/DownloadEngine.h"
#include "harness/LoopbackServer.h"
#include "harness/Timing.h"

namespace {
struct FetchFixture : ::testing::Test {
    LoopbackServer http;
    QTemporaryDir dir;
    Download::Engine engine{Download::TransferLimits{2000, 2, 5}};

    Fw::Result<Download::TransferInfo> fetch(const QString& path, QByteArray* body = nullptr) {
        const QString file = dir.filePath(QStringLiteral("out"));
        const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        auto result = engine.fetchInto(http.url(path), fd);
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
    ASSERT_TRUE(r) << r.error().text.toStdString();
    EXPECT_EQ(body.size(), 300000);
    EXPECT_EQ(r->bytes, 300000);
    EXPECT_EQ(r->httpStatus, 200);

    r = fetch(QStringLiteral("/hop"), &body);
    ASSERT_TRUE(r);
    EXPECT_EQ(body.size(), 300000);
    EXPECT_EQ(r->finalUrl, http.url(QStringLiteral("/a.bin")));
}

// The body is written in whole pages where it can, the rest held until more comes: every byte
// must reach the file in order, with or without an announced length, also when the body begins
// inside a page of the file.
TEST_F(FetchFixture, ABodyInOddPiecesIsStoredWholeWithOrWithoutALengthFromAnyOffset) {
    std::string body(1'300'000, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 131 + i / 4093) & 0xff);
    const auto sendInPieces = [&body](std::size_t offset, httplib::DataSink& sink) {
        static constexpr std::size_t kPieces[] = {1, 4095, 16385, 7919, 65536, 3, 131072, 12289};
        std::size_t at = offset, k = 0;
        while (at < body.size()) {
            const std::size_t n = std::min(kPieces[k++ % std::size(kPieces)], body.size() - at);
            if (!sink.write(body.data() + at, n)) return false;
            at += n;
        }
        return true;
    };
    http.server().Get("/sized", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(body.size(), "application/octet-stream",
                                 [&](std::size_t offset, std::size_t, httplib::DataSink& sink) { return sendInPieces(offset, sink); });
    });
    http.server().Get("/chunked", [&](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("application/octet-stream", [&](std::size_t offset, httplib::DataSink& sink) {
            if (!sendInPieces(offset, sink)) return false;
            sink.done();
            return true;
        });
    });
    http.start();
    for (const char* path : {"/sized", "/chunked"}) {
        for (const int before : {0, 1000, 4096}) {
            SCOPED_TRACE(std::string(path) + " after " + std::to_string(before) + " bytes");
            const QString file = dir.filePath(QStringLiteral("out"));
            const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ASSERT_GE(fd, 0);
            const std::string own(std::size_t(before), 'h');
            ASSERT_EQ(::write(fd, own.data(), own.size()), ssize_t(own.size()));
            auto r = engine.fetchInto(http.url(QString::fromUtf8(path)), fd);
            ::close(fd);
            ASSERT_TRUE(r) << r.error().text.toStdString();
            EXPECT_EQ(r->bytes, qint64(body.size()));
            QFile f(file);
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            const QByteArray all = f.readAll();
            EXPECT_EQ(all.size(), qsizetype(own.size() + body.size()));
            EXPECT_TRUE(all.startsWith(QByteArray::fromStdString(own)));
            EXPECT_TRUE(all.mid(before) == QByteArray::fromStdString(body)) << "the body differs from the file";
        }
    }
}

TEST_F(FetchFixture, ErrorStatusesAndNonWebRedirectsFail) {
    http.server().Get("/ftp", [](const httplib::Request&, httplib::Response& res) {
        res.status = 302;
        res.set_header("Location", "file:///etc/passwd");
    });
    http.start();
    auto r = fetch(QStringLiteral("/missing"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().text, QStringLiteral("HTTP 404"));
    EXPECT_EQ(r.error().kind, Fw::ErrorKind::Failed);
    EXPECT_EQ(r.error().code, 404);
    r = fetch(QStringLiteral("/ftp"));
    ASSERT_FALSE(r);
    EXPECT_FALSE(r.error().text.isEmpty());
}

TEST_F(FetchFixture, ARedirectThatEndsTheTransferIsAFailureNotAFile) {
    http.server().Get("/moved", [](const httplib::Request&, httplib::Response& res) {
        res.status = 301;
        res.set_content("<html>Moved</html>", "text/html");
    });
    http.server().Get("/hop-to-moved", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/moved"); });
    http.server().Get("/unchanged", [](const httplib::Request&, httplib::Response& res) {
        res.status = 304;
    });
    http.start();
    for (const char* path : {"/moved", "/hop-to-moved"}) {
        auto r = fetch(QString::fromUtf8(path));
        ASSERT_FALSE(r) << path;
        EXPECT_EQ(r.error().text, QStringLiteral("HTTP 301 without a Location")) << path;
    }
    auto r = fetch(QStringLiteral("/unchanged"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().text, QStringLiteral("HTTP 304 without a Location"));
}

TEST_F(FetchFixture, OnlyWebAddressesAreFetchedAndOthersNeverConnect) {
    std::atomic<int> requests{0};
    http.server().Get("/(.*)", [&](const httplib::Request&, httplib::Response& res) {
        ++requests;
        res.set_content("x", "text/plain");
    });
    http.start();
    const QString hostPort = QStringLiteral("127.0.0.1:%1").arg(http.port());
    QFile out(dir.filePath(QStringLiteral("out")));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    for (const QString& address :
         {QStringLiteral("file:///etc/hostname"), QStringLiteral("ftp://") + hostPort + QStringLiteral("/x"),
          hostPort + QStringLiteral("/x"), QStringLiteral("gopher:") + hostPort, QStringLiteral("httpx://") + hostPort,
          QStringLiteral("http:/") + hostPort + QStringLiteral("/x"), QString()}) {
        auto r = engine.fetchInto(address, out.handle());
        ASSERT_FALSE(r) << address.toStdString();
        EXPECT_EQ(r.error().text, QStringLiteral("Only http and https addresses can be downloaded")) << address.toStdString();
    }
    EXPECT_EQ(requests, 0);
    EXPECT_EQ(out.size(), 0);
    auto r = engine.fetchInto(QStringLiteral("HTTP://") + hostPort + QStringLiteral("/x"), out.handle());
    EXPECT_TRUE(r) << r.error().text.toStdString();
    EXPECT_EQ(requests, 1);
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
        engine.cancel();
    });
    const auto start = std::chrono::steady_clock::now();
    auto r = fetch(QStringLiteral("/stall"));
    const auto took = std::chrono::steady_clock::now() - start;
    canceller.join();
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().isCancelled());
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
    EXPECT_TRUE(r) << r.error().text.toStdString();
    EXPECT_EQ(body, "got my file (1).txt");
    r = fetch(QStringLiteral("/dir/a%20b%25c.txt"), &body);
    EXPECT_TRUE(r) << r.error().text.toStdString();
    EXPECT_EQ(body, "got a b%c.txt");

    // Blanks around the address, as a typed entry keeps them, are not part of it.
    QFile out(dir.filePath(QStringLiteral("padded")));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    r = engine.fetchInto(QStringLiteral("  ") + http.url(QStringLiteral("/dir/p.txt")) + QStringLiteral(" "),
                             out.handle());
    out.close();
    ASSERT_TRUE(r) << r.error().text.toStdString();
    EXPECT_EQ(r->finalUrl, http.url(QStringLiteral("/dir/p.txt")));

    // A control character inside goes out escaped, never cutting the address short.
    r = fetch(QStringLiteral("/dir/a") + QChar(0) + QStringLiteral("b\tc.txt"), &body);
    ASSERT_TRUE(r) << r.error().text.toStdString();
    EXPECT_EQ(body, QByteArray("got a\0b\tc.txt", 13));
}
