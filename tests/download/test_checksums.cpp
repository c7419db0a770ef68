// Files one can trust: digests on list lines and in checksum files, computed as the bytes are
// written, and a file that fails its digest kept apart under a name that says so.
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include "download/ChecksumFiles.h"
#include "download/DownloadJob.h"
#include "download/TargetNaming.h"
#include "harness/CutRun.h"
#include "harness/FolderContents.h"
#include "harness/LoopbackServer.h"
#include "harness/Timing.h"

using namespace Download;
using namespace Download::Checksum;
using namespace std::chrono_literals;

namespace {
QString s(const char* text) { return QString::fromUtf8(text); }

QByteArray Hex(const QByteArray& data, QCryptographicHash::Algorithm algorithm = QCryptographicHash::Sha256) {
    return QCryptographicHash::hash(data, algorithm).toHex();
}
Digest Sha256Of(const QByteArray& data) { return Digest{Kind::Sha256, Hex(data)}; }

QByteArray Bytes(int size, int seed) {
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) data[i] = char((i * 131 + seed * 7 + i / 251) & 0xff);
    return data;
}

std::vector<Entry> Parsed(const QByteArray& file, Kind kind = Kind::Sha256, const char* name = "SHA256SUMS") {
    const Fw::Result<std::vector<Entry>> entries = ParseChecksumFile(file, kind, s(name));
    EXPECT_TRUE(entries.ok()) << entries.error().text.toStdString();
    return entries ? *entries : std::vector<Entry>{};
}
QString Refused(const QByteArray& file, Kind kind = Kind::Sha256, const char* name = "SHA256SUMS") {
    const Fw::Result<std::vector<Entry>> entries = ParseChecksumFile(file, kind, s(name));
    return entries ? s("<accepted>") : entries.error().text;
}
}  // namespace

TEST(ParseDigest, KindAndDigitsInAnyCaseAndTheReasonForAWrongOne) {
    const QByteArray hex(64, 'a');
    EXPECT_EQ(ParseDigest(s("SHA256:") + QString::fromLatin1(hex.toUpper())), (Digest{Kind::Sha256, hex}));
    EXPECT_EQ(ParseDigest(s("sha256:") + QString::fromLatin1(hex))->text(), s("sha256:") + QString::fromLatin1(hex));
    EXPECT_EQ(ParseDigest(s("md5:") + QString(32, u'0'))->kind, Kind::Md5);
    QString reason;
    EXPECT_FALSE(ParseDigest(s("sha256:") + QString(63, u'a'), &reason));
    EXPECT_EQ(reason, s("sha256: 63 hex digits where 64 belong"));
    EXPECT_FALSE(ParseDigest(s("sha512:") + QString(127, u'a') + s("g"), &reason));
    EXPECT_EQ(reason, s("sha512: not a hex digit in the digest"));
    EXPECT_FALSE(ParseDigest(s("sha1:") + QString(40, u'a')));
}

TEST(ChecksumFile, TheUsualFormsAreRead) {
    const QByteArray a(64, 'a'), b(64, 'B'), c(64, 'c');
    const std::vector<Entry> entries = Parsed("# made by sha256sum\r\n" + a + "  a.iso\r\n" + b + " *./b file.iso\n\n"
                                              "SHA256 (c.iso) = " + c + "\n");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, s("a.iso"));
    EXPECT_EQ(entries[1].name, s("b file.iso"));
    EXPECT_EQ(entries[1].digest.hex, b.toLower());
    EXPECT_EQ(entries[2].name, s("c.iso"));
    // A file named after one file may hold its digest alone; BSD lines give their own kind.
    const std::vector<Entry> single = Parsed(QByteArray(128, 'f') + "\n", Kind::Sha512, "x.iso.sha512");
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(single[0].name, s("x.iso"));
    EXPECT_EQ(Parsed("MD5 (m.iso) = " + QByteArray(32, '1'))[0].digest.kind, Kind::Md5);
    EXPECT_EQ(ChecksumFileKind(s("sha256sums")), Kind::Sha256);
    EXPECT_EQ(ChecksumFileKind(s("MD5SUMS")), Kind::Md5);
    EXPECT_EQ(ChecksumFileKind(s("x.iso.SHA512")), Kind::Sha512);
    EXPECT_EQ(ChecksumFileKind(s("x.iso")), std::nullopt);
    EXPECT_EQ(ChecksumFileKind(s(".sha256")), std::nullopt);
    // The entries a run looks at more closely, whatever the case, blanks around them left out.
    for (const char* text : {"http://h/pub/SHA256SUMS", "http://h/sha512sums  ", "http://h/x.iso.Sha512", "http://h/x.MD5", " http://h/a.sha256"})
        EXPECT_TRUE(MayBeChecksumFile(s(text))) << text;
    for (const char* text : {"http://h/files", "http://h/x.sha1", "http://h/x.iso", "", "http://h/a.sha256/", "http://h/v2"})
        EXPECT_FALSE(MayBeChecksumFile(s(text))) << text;
}

TEST(ChecksumFile, HostileFilesAreNamedAndNothingLeadsOutOfTheFolder) {
    const QByteArray a(64, 'a');
    // Names of other folders apply to nothing here.
    const std::vector<Entry> kept = Parsed(a + "  ../etc/passwd\n" + a + "  sub/x.iso\n" + a + "  ..\n" + a + "  ok.iso\n" +
                                           a + "  c:\\x.iso\n");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].name, s("ok.iso"));
    EXPECT_EQ(Refused(a + "  x\n" + QByteArray(63, 'a') + "  y\n"), s("line 2: 63 hex digits where 64 belong"));
    EXPECT_EQ(Refused(QByteArray(32, 'a') + "  y\n"), s("line 1: 32 hex digits where 64 belong"));
    EXPECT_EQ(Refused("SHA1 (x) = " + QByteArray(40, 'a')), s("line 1: a digest of a kind this program does not check"));
    EXPECT_EQ(Refused("<html><body>Not Found</body></html>"), s("line 1: not a digest and a name"));
    EXPECT_EQ(Refused(a + "\n"), s("line 1: a digest without a name"));
    EXPECT_EQ(Refused(QByteArray("\x7f" "ELF\x02\x01\x01\0\0\0", 10)), s("not a text file"));
    EXPECT_EQ(Refused("\xff\xfe" + a), s("not a text file"));
    EXPECT_EQ(Refused("# nothing\n"), s("no digest of a file of this folder"));
    EXPECT_EQ(Refused(QByteArray(kChecksumFileLimitBytes + 1, 'a')), s("larger than 8 MB"));
    // One endless line within the limit is one malformed line, read once.
    EXPECT_EQ(Refused(QByteArray(kChecksumFileLimitBytes - 3, 'a') + " x"), s("line 1: 8388605 hex digits where 64 belong"));
    QByteArray many;
    for (int i = 0; i <= kMostNames; ++i) many += QByteArray(64, 'a') + "  " + QByteArray::number(i) + "\n";
    ASSERT_LE(many.size(), kChecksumFileLimitBytes);
    EXPECT_EQ(Refused(many), s("more than 100,000 names"));
}

TEST(ChecksumBook, DigestsApplyByNameToTheSameFolderOnTheSameServer) {
    Book book;
    book.add(s("http://h:8080/pub/SHA256SUMS"), {{s("a.iso"), Digest{Kind::Sha256, QByteArray(64, 'a')}},
                                                 {s("caf\u00e9.iso"), Digest{Kind::Sha256, QByteArray(64, 'e')}}});
    book.add(s("http://h:8080/pub/SHA512SUMS"), {{s("a.iso"), Digest{Kind::Sha512, QByteArray(128, 'b')}}});
    ASSERT_TRUE(book.find(s("http://h:8080/pub/a.iso?token=1")));
    EXPECT_EQ(book.find(s("http://h:8080/pub/a.iso"))->digest.kind, Kind::Sha512);  // the stronger one
    EXPECT_EQ(book.find(s("http://h:8080/pub/a.iso"))->source, s("SHA512SUMS"));
    EXPECT_TRUE(book.find(s("http://user:pw@h:8080/pub/caf%C3%A9.iso")));
    EXPECT_FALSE(book.find(s("http://h:8080/pub/sub/a.iso")));
    EXPECT_FALSE(book.find(s("http://h:8081/pub/a.iso")));
    EXPECT_FALSE(book.find(s("https://h:8080/pub/a.iso")));
    EXPECT_FALSE(book.find(s("http://h:8080/a.iso")));
}

namespace {
struct ChecksumRun : ::testing::Test {
    LoopbackServer http;
    QTemporaryDir dir;
    QTemporaryDir state;
    Engine engine{TransferLimits{2000, 5, 5, 1}};
    QByteArray a = Bytes(300000, 1), b = Bytes(200000, 2), c = Bytes(1000, 3);
    QByteArray sums;
    std::mutex lock;
    QStringList paths;  // in the order asked
    QByteArray big;     // served with ranges, slowly while `slow`
    std::atomic<bool> slow{false};
    std::vector<std::string> ranges;  // the Range header of each request for it

    ChecksumRun() {
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
        auto serve = [this](const char* path, const QByteArray* data, QByteArray flipped = {}) {
            http.server().Get(path, [this, data, flipped](const httplib::Request& req, httplib::Response& res) {
                {
                    std::lock_guard<std::mutex> hold(lock);
                    paths << QString::fromStdString(req.path);
                }
                const QByteArray body = flipped.isEmpty() ? *data : flipped;
                res.set_content(body.toStdString(), "application/octet-stream");
            });
        };
        serve("/pub/a.bin", &a);
        QByteArray bad = b;
        bad[1234] = char(bad[1234] ^ 0x01);  // one flipped bit: the server's copy is damaged
        serve("/pub/b.bin", &b, bad);
        serve("/pub/c.bin", &c);
        serve("/pub/SHA256SUMS", &sums);
        http.server().Get("/pub/long/([a-z]+)", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(100, 'x'), "application/octet-stream");
        });
        http.server().Get("/other/MD5SUMS", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("<html>Not a checksum file</html>", "text/html");
        });
        http.server().Get("/other/SHA512SUMS", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(9 << 20, 'a'), "text/plain");
        });
        http.server().Get("/big.bin", [this](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard<std::mutex> hold(lock);
                ranges.push_back(req.get_header_value("Range"));
            }
            res.set_header("ETag", "\"b\"");
            res.set_header("Accept-Ranges", "bytes");
            res.set_content_provider(std::size_t(big.size()), "application/octet-stream", [this](size_t offset, size_t length, httplib::DataSink& sink) {
                if (slow) std::this_thread::sleep_for(5ms);
                sink.write(big.constData() + offset, std::min<size_t>(length, slow ? 64 * 1024 : 256 * 1024));
                return true;
            });
        });
        http.start();
    }
    ~ChecksumRun() override { qunsetenv("XDG_STATE_HOME"); }

    struct Ran {
        JobResult result;
        std::vector<ItemOutcome> outcomes;  // by entry, from 1
    };
    Ran run(std::vector<JobItem> items) {
        JobOptions options;
        options.atOnce = 4;
        DownloadJob job(engine, dir.path(), std::move(items), options, nullptr);
        Ran ran;
        std::optional<JobResult> result;
        QObject::connect(&job, &DownloadJob::itemFinished, [&](EntryId entry, const ItemOutcome& outcome) {
            if (ran.outcomes.size() <= entry) ran.outcomes.resize(entry + 1);
            ran.outcomes[entry] = outcome;
        });
        QObject::connect(&job, &DownloadJob::result, [&](const JobResult& r) { result = r; });
        job.start();
        if (!QTest::qWaitFor([&] { return result.has_value(); }, Timing::boundMs(120000))) ADD_FAILURE() << "the run did not end";
        ran.result = result.value_or(JobResult{});
        return ran;
    }
    QString url(const char* path) { return http.url(s(path)); }
};
}  // namespace

TEST_F(ChecksumRun, AMatchingDigestVerifiesAndAFlippedByteIsKeptApartAndCountedAsFailed) {
    // A file of that name is there already: the failed copy is numbered, and nothing is replaced.
    {
        QFile taken(dir.filePath(s("b.bin.checksum-failed")));
        ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
        taken.write("mine");
    }
    // A name as long as the folder takes keeps room for the suffix.
    const std::string longName(255, 'n');
    const Ran ran = run({JobItem{1, url("/pub/a.bin"), {}, Sha256Of(a)}, JobItem{2, url("/pub/b.bin"), {}, Sha256Of(b)},
                         JobItem{3, url("/pub/c.bin")}, JobItem{4, url("/pub/long/") + QString::fromStdString(longName), {}, Sha256Of(b)}});
    ASSERT_EQ(ran.outcomes.size(), 5u);
    EXPECT_TRUE(ran.outcomes[4].checksumFailed) << ran.outcomes[4].reason.toStdString();
    const QString cut = QString(255 - 16, u'n') + s(".checksum-failed");
    EXPECT_EQ(contentOf(dir.filePath(cut)), QByteArray(100, 'x'));
    EXPECT_TRUE(ran.outcomes[1].stored);
    EXPECT_EQ(ran.outcomes[1].verified, s("SHA-256 matches the list (") + QString::fromLatin1(Hex(a)) + s(")"));
    EXPECT_FALSE(ran.outcomes[2].stored);
    EXPECT_TRUE(ran.outcomes[2].checksumFailed);
    QByteArray damaged = b;
    damaged[1234] = char(damaged[1234] ^ 0x01);
    const QString reason = ran.outcomes[2].reason;
    EXPECT_TRUE(reason.startsWith(s("Checksum failed: SHA-256 is ") + QString::fromLatin1(Hex(damaged)) +
                                  s(", the list says ") + QString::fromLatin1(Hex(b))))
        << reason.toStdString();
    EXPECT_TRUE(ran.outcomes[3].stored);
    EXPECT_TRUE(ran.outcomes[3].verified.isEmpty());
    EXPECT_EQ(entriesOf(dir.path()),
              (QStringList{s("a.bin"), s("b.bin (1).checksum-failed"), s("b.bin.checksum-failed"), s("c.bin"), cut}));
    EXPECT_TRUE(reason.endsWith(s("; kept as b.bin (1).checksum-failed"))) << reason.toStdString();
    EXPECT_EQ(ran.outcomes[2].path, dir.filePath(s("b.bin (1).checksum-failed")));
    EXPECT_EQ(contentOf(dir.filePath(s("b.bin (1).checksum-failed"))), damaged);
    EXPECT_EQ(contentOf(dir.filePath(s("b.bin.checksum-failed"))), QByteArray("mine"));
    EXPECT_EQ(ran.result.summary.failedCount(), 2);
    EXPECT_EQ(ran.result.summary.storedCount(), 2);
    EXPECT_TRUE(ran.result.summary.finalMessage().contains(QString::fromLatin1(Hex(damaged))));
}

TEST_F(ChecksumRun, AChecksumFileInTheListIsFetchedFirstAndAppliesToItsFolder) {
    QByteArray damaged = b;
    damaged[1234] = char(damaged[1234] ^ 0x01);
    sums = Hex(a) + "  a.bin\n" + Hex(b) + " *b.bin\n" + Hex(a) + "  ../a.bin\n";
    // The checksum file comes last in the list, and another folder's broken ones are named.
    const Ran ran = run({JobItem{1, url("/pub/a.bin")}, JobItem{2, url("/pub/b.bin")}, JobItem{3, url("/pub/c.bin")},
                         JobItem{4, url("/other/MD5SUMS")}, JobItem{5, url("/other/SHA512SUMS")},
                         JobItem{6, url("/pub/SHA256SUMS")}});
    ASSERT_EQ(ran.outcomes.size(), 7u);
    {
        std::lock_guard<std::mutex> hold(lock);
        ASSERT_FALSE(paths.isEmpty());
        EXPECT_EQ(paths.first(), s("/pub/SHA256SUMS"));
    }
    EXPECT_TRUE(ran.outcomes[1].stored);
    EXPECT_TRUE(ran.outcomes[1].verified.startsWith(s("SHA-256 matches SHA256SUMS"))) << ran.outcomes[1].verified.toStdString();
    EXPECT_TRUE(ran.outcomes[2].checksumFailed);
    EXPECT_TRUE(ran.outcomes[2].reason.contains(s("SHA256SUMS says ") + QString::fromLatin1(Hex(b))));
    EXPECT_TRUE(ran.outcomes[3].stored);  // not listed: stored unchecked
    EXPECT_TRUE(ran.outcomes[3].verified.isEmpty());
    EXPECT_TRUE(ran.outcomes[6].stored);  // and the checksum files are stored as the items they are
    EXPECT_EQ(contentOf(dir.filePath(s("SHA256SUMS"))), sums);
    EXPECT_FALSE(QFile::exists(dir.filePath(s("b.bin"))));
    const QString message = ran.result.summary.finalMessage();
    EXPECT_TRUE(message.contains(url("/other/MD5SUMS") + s(" was ignored: line 1: not a digest and a name"))) << message.toStdString();
    EXPECT_TRUE(message.contains(url("/other/SHA512SUMS") + s(" was ignored: larger than 8 MB"))) << message.toStdString();
    EXPECT_TRUE(message.contains(s("1 failed")));
}

TEST_F(ChecksumRun, AContinuedPartIsVerifiedWithItsKeptBytesReadOnce) {
    // 12 MB, kept as a part from 8 MB on; the first run is stopped part way.
    big = Bytes(12 << 20, 5);
    slow = true;
    const QString address = url("/big.bin");
    auto once = [&](qint64 stopAt, const Digest& digest) {
        return RunOneCutAt(engine, address, Main::BuildTargetPath(address, dir.path()), stopAt, digest);
    };
    const ItemOutcome stopped = once(9 << 20, Sha256Of(big));
    ASSERT_TRUE(stopped.paused) << stopped.stored << " " << stopped.reason.toStdString();
    ASSERT_EQ(entriesOf(dir.path()), QStringList{s("big.bin.part")});
    slow = false;
    const qint64 readBefore = BytesReadBack();
    const ItemOutcome done = once(0, Sha256Of(big));
    ASSERT_TRUE(done.stored) << done.reason.toStdString();
    EXPECT_TRUE(done.verified.startsWith(s("SHA-256 matches the list"))) << done.verified.toStdString();
    // The kept bytes were read once, to start the digest; what came after was digested as written.
    EXPECT_EQ(BytesReadBack() - readBefore, stopped.bytes);
    {
        std::lock_guard<std::mutex> hold(lock);
        ASSERT_EQ(ranges.size(), 2u);
        EXPECT_EQ(ranges[1].rfind("bytes=", 0), 0u) << ranges[1];  // continued, not fetched again
    }
    EXPECT_EQ(entriesOf(dir.path()), QStringList{s("big.bin")});
}
