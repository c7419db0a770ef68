// Expired links mended from their pages, and new addresses given to kept parts: a link whose
// signed query expired (403) is looked up again on its page and continued from its kept bytes
// under the page's new link when that proves to be the very same file (same length and ETag, or
// the same last 64 KB); a new link to another file is refused, the item fails with the reason and
// its kept part stays as it was; a paused row given a new address goes on from its kept bytes.
#include <QDir>
#include <QSocketNotifier>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "download/DownloadJob.h"
#include "download/PartialRecords.h"
#include "download/SameFile.h"
#include "download/TargetNaming.h"
#include "harness/CutRun.h"
#include "harness/FolderContents.h"
#include "harness/LoopbackServer.h"
#include "harness/Timing.h"
#include "listbuild/PageMend.h"
#include "support/SerialWorker.h"
#include "support/UniqueFd.h"

#include <sys/eventfd.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Download::EntryId;

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

constexpr std::size_t kBig = 12u << 20;           // kept as a part from 8 MB on
constexpr std::size_t kHoldAt = 9u << 20;         // the first run's answer waits here until let go
constexpr qint64 kCutAt = qint64(8u << 20) + 4096;  // where the first run is cut

char byteAt(std::size_t i, int version) { return static_cast<char>((i * 131 + i / 7919 + std::size_t(version) * 13) & 0xff); }

struct Request {
    std::string path, sig, range;
};

struct MendFixture : ::testing::Test {
    // What the server serves now: links signed with `liveSig` are good, others answer 403; the
    // page lists the link signed with `pageSig`; the file is `size` bytes of `version`, with
    // ETag "e<etag>".
    std::atomic<int> liveSig{1}, pageSig{1}, version{1}, etag{1};
    std::atomic<std::size_t> size{kBig};
    std::atomic<bool> holding{true};
    std::atomic<bool> stallReleased{false};
    std::atomic<bool> pageGone{false}, pageBinary{false};
    std::atomic<bool> refuseRest{false};  // the live link answers a range to its end with 403
    std::atomic<std::size_t> served{0};
    std::atomic<std::size_t> servedFresh{0};  // of them, by the link signed 2
    // Bumped as requests are forgotten: an answer of an earlier run still writing its last piece
    // (let go as the run ended) counts to none of the later ones.
    std::atomic<int> epoch{0};
    std::atomic<std::size_t> heldAt{0};
    std::atomic<int> pageReads{0};
    std::atomic<int> oldLinkEtag{0};  // when set, the link signed 1 stays good but answers with this ETag
    std::mutex lock;
    std::vector<Request> requests;
    LoopbackServer http;
    QTemporaryDir dir;
    QTemporaryDir state;
    Download::Engine engine{Download::TransferLimits{2000, 10, 5, 1}};
    Download::Engine pageEngine;
    Fw::SerialWorker worker;
    std::atomic<bool> stopMends{false};
    // The worker's answers, handed to the test's thread under a lock; an eventfd only wakes it.
    std::mutex answersLock;
    std::vector<std::pair<std::function<void(Download::MendAnswer)>, Download::MendAnswer>> answers;
    Fw::UniqueFd wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    QSocketNotifier woken{wake.get(), QSocketNotifier::Read};
    std::optional<Download::JobResult> result;
    std::map<EntryId, Download::ItemOutcome> finished;
    std::map<EntryId, qint64> held;
    std::map<EntryId, QString> changed;

    MendFixture() {
        QObject::connect(&woken, &QSocketNotifier::activated, &woken, [this] {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wake.get(), &count, sizeof count);
            std::vector<std::pair<std::function<void(Download::MendAnswer)>, Download::MendAnswer>> taken;
            {
                std::lock_guard<std::mutex> hold(answersLock);
                taken.swap(answers);
            }
            for (auto& [done, answer] : taken) done(std::move(answer));
        });
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
        engine.setSplitBigFiles(false);
        auto file = [this](const httplib::Request& req, httplib::Response& res) {
            const std::string sig = req.has_param("sig") ? req.get_param_value("sig") : "";
            {
                std::lock_guard<std::mutex> hold(lock);
                requests.push_back({req.path, sig, req.get_header_value("Range")});
            }
            const std::string range = req.get_header_value("Range");
            const bool rest = !range.empty() && range.back() == '-';
            const bool live = sig == std::to_string(liveSig.load()) || (sig == "1" && oldLinkEtag > 0);
            if (req.path.rfind("/dl/", 0) == 0 && (!live || (rest && refuseRest))) {
                res.status = 403;
                return;
            }
            const int v = version;
            const int tag = sig == "1" && oldLinkEtag > 0 ? oldLinkEtag.load() : etag.load();
            res.set_header("ETag", "\"e" + std::to_string(tag) + "\"");
            res.set_header("Accept-Ranges", "bytes");
            const bool fresh = sig == "2";
            const int asOf = epoch;
            res.set_content_provider(size.load(), "application/octet-stream", [this, v, fresh, asOf](size_t offset, size_t length, httplib::DataSink& sink) {
                if (holding && offset >= kHoldAt) {
                    heldAt = offset;
                    for (int k = 0; k < 2000 && holding && sink.is_writable(); ++k) std::this_thread::sleep_for(5ms);
                }
                std::string chunk(std::min<size_t>(length, 256 * 1024), '\0');
                for (std::size_t k = 0; k < chunk.size(); ++k) chunk[k] = byteAt(offset + k, v);
                if (asOf == epoch) {
                    served += chunk.size();
                    if (fresh) servedFresh += chunk.size();
                }
                return sink.write(chunk.data(), chunk.size());
            });
        };
        http.server().Get("/dl/(.*)", file);
        http.server().Get("/mirror/(.*)", file);
        // One byte, then nothing until let go: keeps a run going.
        http.server().Get("/stall/(.*)", [this](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("application/octet-stream", [this](size_t, httplib::DataSink& sink) {
                sink.write("s", 1);
                for (int k = 0; k < 4000 && !stallReleased && sink.is_writable(); ++k) std::this_thread::sleep_for(5ms);
                sink.done();
                return true;
            });
        });
        http.server().Get("/page.html", [this](const httplib::Request&, httplib::Response& res) {
            ++pageReads;
            if (pageGone) {
                res.status = 404;
                return;
            }
            if (pageBinary) {
                // A file with NUL bytes and a link-like text in it.
                std::string bytes(4096, '\0');
                bytes += "<a href=\"/dl/big.bin?sig=2\">";
                res.set_content(bytes, "text/html");
                return;
            }
            const std::string sig = std::to_string(pageSig.load());
            res.set_content("<html><body><a href=\"/dl/other.zip?sig=" + sig + "\">other</a>\n<a href=\"/dl/big.bin?sig=" + sig +
                                "\">big</a></body></html>",
                            "text/html");
        });
        http.start();
    }
    ~MendFixture() override {
        holding = false;
        stallReleased = true;
        stopMends = true;
        worker.stop();
        qunsetenv("XDG_STATE_HOME");
    }

    QString link(int sig) { return http.url(QStringLiteral("/dl/big.bin?sig=%1").arg(sig)); }
    QString page() { return http.url(s("/page.html")); }
    std::vector<Request> asked() {
        std::lock_guard<std::mutex> hold(lock);
        return requests;
    }
    void forgetRequests() {
        std::lock_guard<std::mutex> hold(lock);
        requests.clear();
        ++epoch;
        served = 0;
        servedFresh = 0;
    }

    // The first run: the link signed 1 cut past 8 MB, its bytes kept. Returns what is kept.
    qint64 cutFirstRun() {
        const QString url = link(1);
        const Download::ItemOutcome cut = RunOneCutAt(engine, url, Main::BuildTargetPath(url, dir.path()), kCutAt);
        EXPECT_TRUE(cut.paused) << cut.reason.toStdString();
        holding = false;
        const std::optional<Download::PartialRecord> kept = Download::PartialStore().find(dir.path(), url);
        EXPECT_TRUE(kept.has_value());
        forgetRequests();
        return kept ? kept->goodLength : -1;
    }

    // Pages read on a worker of the test's, answered on its thread, as the window does with its
    // list jobs.
    void giveMender(Download::DownloadJob& job) {
        job.setMender([this](Download::MendAsk ask, std::function<void(Download::MendAnswer)> done) {
            worker.post([this, ask = std::move(ask), done = std::move(done)] {
                Download::MendAnswer answer = PageMend::Mend(ask, pageEngine, stopMends);
                {
                    std::lock_guard<std::mutex> hold(answersLock);
                    answers.emplace_back(done, std::move(answer));
                }
                const std::uint64_t one = 1;
                [[maybe_unused]] const ssize_t n = ::write(wake.get(), &one, sizeof one);
            });
        });
    }
    std::unique_ptr<Download::DownloadJob> make(std::vector<Download::JobItem> list, int atOnce = 1) {
        Download::JobOptions options;
        options.atOnce = atOnce;
        options.splitBigFiles = false;
        auto job = std::make_unique<Download::DownloadJob>(engine, dir.path(), std::move(list), options, nullptr);
        QObject::connect(job.get(), &Download::DownloadJob::result, [this](const Download::JobResult& r) { result = r; });
        QObject::connect(job.get(), &Download::DownloadJob::itemFinished,
                         [this](EntryId e, const Download::ItemOutcome& o) { finished[e] = o; });
        QObject::connect(job.get(), &Download::DownloadJob::itemHeld, [this](EntryId e, qint64 kept) { held[e] = kept; });
        QObject::connect(job.get(), &Download::DownloadJob::itemAddressChanged, [this](EntryId e, const QString& t) { changed[e] = t; });
        return job;
    }
    // The second run of the expired link, from its page, to its end.
    void runFromPage() {
        auto job = make({Download::JobItem{1, link(1), page()}});
        giveMender(*job);
        job->start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, Timing::boundMs(60000)));
    }
    // The file holds the first `length` bytes of `v` (and nothing more, unless `prefix`).
    bool fileIs(const QString& path, std::size_t length, int v, bool prefix = false) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly) || std::size_t(f.size()) < length) return false;
        const QByteArray bytes = f.readAll();
        if (!prefix && std::size_t(bytes.size()) != length) return false;
        for (std::size_t i = 0; i < length; ++i)
            if (bytes[qsizetype(i)] != byteAt(i, v)) return false;
        return true;
    }
};

}  // namespace

TEST_F(MendFixture, AnExpiredSignedLinkIsMendedFromItsPageAndGoesOnFromItsKeptBytes) {
    const qint64 kept = cutFirstRun();
    ASSERT_GT(kept, 0);
    // The signature expires; the page now links the same file signed anew.
    liveSig = 2;
    pageSig = 2;
    runFromPage();
    ASSERT_TRUE(finished[1].stored) << finished[1].reason.toStdString();
    EXPECT_EQ(changed[1], link(2));
    EXPECT_EQ(entriesOf(dir.path()), QStringList{s("big.bin")});
    EXPECT_TRUE(fileIs(dir.filePath(s("big.bin")), kBig, 1));
    // The old link once (403), then the new one: the proof's 64 KB before the kept end, and the
    // rest from there. No byte came twice beyond the proof.
    const std::vector<Request> seen = asked();
    std::vector<Request> files;
    for (const Request& r : seen)
        if (r.path == "/dl/big.bin") files.push_back(r);
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].sig, "1");
    EXPECT_EQ(files[0].range, "bytes=" + std::to_string(kept) + "-");
    EXPECT_EQ(files[1].sig, "2");
    EXPECT_EQ(files[1].range, "bytes=" + std::to_string(kept - Download::kProofBytes) + "-" + std::to_string(kept - 1));
    EXPECT_EQ(files[2].sig, "2");
    EXPECT_EQ(files[2].range, "bytes=" + std::to_string(kept) + "-");
    EXPECT_LE(served.load(), kBig - std::size_t(kept) + std::size_t(Download::kProofBytes));
    EXPECT_FALSE(Download::PartialStore().find(dir.path(), link(1)).has_value());
}

TEST_F(MendFixture, ANewLinkWithAnotherETagIsTakenWhenItsLastKeptBytesAreTheSame) {
    const qint64 kept = cutFirstRun();
    ASSERT_GT(kept, 0);
    liveSig = 2;
    pageSig = 2;
    etag = 7;  // another server's ETag for the very same bytes
    runFromPage();
    ASSERT_TRUE(finished[1].stored) << finished[1].reason.toStdString();
    EXPECT_TRUE(fileIs(dir.filePath(s("big.bin")), kBig, 1));
    EXPECT_LE(served.load(), kBig - std::size_t(kept) + std::size_t(Download::kProofBytes));
}

TEST_F(MendFixture, ANewLinkToAnotherFileIsRefusedAndTheKeptPartStaysAsItWas) {
    struct Case {
        const char* what;
        std::size_t size;
        int version, etag;
        const char* why;
    };
    for (const Case& c : {Case{"another length", kBig + 1, 1, 1, "bytes, the kept part's"},
                          Case{"another ETag and other bytes", kBig, 2, 2, "another validator and other bytes"}}) {
        SCOPED_TRACE(c.what);
        liveSig = 1;
        pageSig = 1;
        size = kBig;
        version = 1;
        etag = 1;
        holding = true;
        result.reset();
        finished.clear();
        changed.clear();
        Download::PartialStore().removeWithPartial(dir.path(), link(1));
        const qint64 kept = cutFirstRun();
        ASSERT_GT(kept, 0);
        liveSig = 2;
        pageSig = 2;
        size = c.size;
        version = c.version;
        etag = c.etag;
        runFromPage();
        ASSERT_EQ(finished.count(1), 1u);
        const Download::ItemOutcome& failed = finished[1];
        EXPECT_FALSE(failed.stored);
        EXPECT_TRUE(failed.reason.startsWith(s("HTTP 403; its page no longer lists the same file"))) << failed.reason.toStdString();
        EXPECT_TRUE(failed.reason.contains(s(c.why))) << failed.reason.toStdString();
        EXPECT_TRUE(changed.empty());
        // Only the proof went to the new link; the part and its record are as the first run left them.
        for (const Request& r : asked()) {
            if (r.sig != "2") continue;
            EXPECT_EQ(r.range, "bytes=" + std::to_string(kept - Download::kProofBytes) + "-" + std::to_string(kept - 1));
        }
        const std::optional<Download::PartialRecord> record = Download::PartialStore().find(dir.path(), link(1));
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(record->goodLength, kept);
        EXPECT_EQ(record->validator, QByteArray("\"e1\""));
        EXPECT_EQ(entriesOf(dir.path()), QStringList{s("big.bin.part")});
        EXPECT_TRUE(fileIs(dir.filePath(s("big.bin.part")), std::size_t(kept), 1, true));
    }
}

TEST_F(MendFixture, AnItemNotFoundOnAPageFailsAsBefore) {
    const qint64 kept = cutFirstRun();
    ASSERT_GT(kept, 0);
    liveSig = 2;
    pageSig = 2;
    // Typed, not found on a page: nothing to read again, and nothing stays.
    auto job = make({Download::JobItem{1, link(1)}});
    giveMender(*job);
    job->start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, Timing::boundMs(60000)));
    EXPECT_EQ(finished[1].reason, s("HTTP 403"));
    EXPECT_TRUE(changed.empty());
    EXPECT_TRUE(entriesOf(dir.path()).isEmpty()) << entriesOf(dir.path()).join(s(", ")).toStdString();
    for (const Request& r : asked()) EXPECT_NE(r.sig, "2");
}

TEST_F(MendFixture, APausedRowGivenANewAddressGoesOnFromItsKeptBytesUnderItsName) {
    // The second item holds the run open while the first is paused.
    auto job = make({Download::JobItem{1, link(1)}, Download::JobItem{2, http.url(s("/stall/s.bin"))}}, 2);
    job->start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return heldAt.load() >= kHoldAt; }, Timing::boundMs(30000)));
    job->pause({1});
    ASSERT_TRUE(QTest::qWaitFor([&] { return held.count(1) > 0; }, Timing::boundMs(30000)));
    ASSERT_GT(held[1], 0);
    holding = false;
    forgetRequests();
    // The same file elsewhere, under another name: the row keeps its name and place.
    const QString mirror = http.url(s("/mirror/renamed.bin"));
    const Download::AddressCheck check = Download::CheckNewAddress(dir.path(), link(1), mirror, nullptr);
    EXPECT_EQ(check.kept, held[1]);
    ASSERT_TRUE(check.proof.proven) << check.proof.why.toStdString();
    ASSERT_TRUE(Download::ApplyNewAddress(dir.path(), link(1), mirror, check));
    ASSERT_TRUE(job->changeAddress(1, mirror));
    EXPECT_FALSE(job->changeAddress(2, mirror)) << "an item under way keeps its address";
    job->resume({Download::JobItem{1, mirror}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count(1) > 0 && finished[1].stored; }, Timing::boundMs(60000)))
        << finished[1].reason.toStdString();
    stallReleased = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, Timing::boundMs(60000)));
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("big.bin"), s("s.bin")}));
    EXPECT_TRUE(fileIs(dir.filePath(s("big.bin")), kBig, 1));
    std::vector<Request> seen;
    for (const Request& r : asked())
        if (r.path != "/stall/s.bin") seen.push_back(r);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].path, "/mirror/renamed.bin");
    EXPECT_EQ(seen[1].range, "bytes=" + std::to_string(held[1]) + "-");
}

TEST_F(MendFixture, ANewAddressThatIsNotTheSameFileKeepsThePartUntilItIsDropped) {
    const qint64 kept = cutFirstRun();
    ASSERT_GT(kept, 0);
    version = 2;
    etag = 2;
    const QString mirror = http.url(s("/mirror/big.bin"));
    const Download::AddressCheck check = Download::CheckNewAddress(dir.path(), link(1), mirror, nullptr);
    EXPECT_EQ(check.kept, kept);
    EXPECT_FALSE(check.proof.proven);
    EXPECT_FALSE(check.proof.why.isEmpty());
    // Asking changes nothing; dropping removes the part and its record.
    EXPECT_EQ(entriesOf(dir.path()), QStringList{s("big.bin.part")});
    ASSERT_TRUE(Download::ApplyNewAddress(dir.path(), link(1), mirror, check));
    EXPECT_TRUE(entriesOf(dir.path()).isEmpty());
    EXPECT_FALSE(Download::PartialStore().find(dir.path(), link(1)).has_value());
    EXPECT_FALSE(Download::PartialStore().find(dir.path(), mirror).has_value());
}

TEST_F(MendFixture, APageThatIsGoneOrNoWebPageIsNamedAndNothingElseIsAsked) {
    struct Case {
        const char* what;
        bool gone, binary;
        const char* why;
    };
    for (const Case& c : {Case{"gone", true, false, "HTTP 403; its page could not be read again (HTTP 404)"},
                          Case{"binary", false, true, "HTTP 403; its page is no web page now"}}) {
        SCOPED_TRACE(c.what);
        pageGone = false;
        pageBinary = false;
        liveSig = 1;
        holding = true;
        result.reset();
        finished.clear();
        Download::PartialStore().removeWithPartial(dir.path(), link(1));
        const qint64 kept = cutFirstRun();
        ASSERT_GT(kept, 0);
        liveSig = 2;
        pageGone = c.gone;
        pageBinary = c.binary;
        runFromPage();
        ASSERT_EQ(finished.count(1), 1u);
        EXPECT_EQ(finished[1].reason, s(c.why));
        for (const Request& r : asked()) EXPECT_NE(r.sig, "2");
        EXPECT_TRUE(Download::PartialStore().find(dir.path(), link(1)).has_value());
    }
}

TEST_F(MendFixture, AnItemIsMendedOnceInARunAndThenFailsAsBefore) {
    const qint64 kept = cutFirstRun();
    ASSERT_GT(kept, 0);
    liveSig = 2;
    pageSig = 2;
    // The new link proves to be the same file, then refuses its rest too.
    refuseRest = true;
    runFromPage();
    ASSERT_EQ(finished.count(1), 1u);
    EXPECT_EQ(finished[1].reason, s("HTTP 403"));
    EXPECT_EQ(changed[1], link(2));
    EXPECT_EQ(pageReads.load(), 1);
    // Failed as before a mend: nothing of it stays.
    EXPECT_TRUE(entriesOf(dir.path()).isEmpty()) << entriesOf(dir.path()).join(s(", ")).toStdString();
    EXPECT_FALSE(Download::PartialStore().find(dir.path(), link(2)).has_value());
}

TEST_F(MendFixture, APartItsAddressNoLongerContinuesIsMendedFromItsPageOrElseStartsOver) {
    for (const bool pageHasAnother : {true, false}) {
        SCOPED_TRACE(pageHasAnother ? "the page links the same file anew" : "the page links only the old address");
        liveSig = 1;
        pageSig = 1;
        oldLinkEtag = 0;
        holding = true;
        result.reset();
        finished.clear();
        changed.clear();
        Download::PartialStore().removeWithPartial(dir.path(), link(1));
        Download::PartialStore().removeWithPartial(dir.path(), link(2));
        QFile::remove(dir.filePath(s("big.bin")));
        const qint64 kept = cutFirstRun();
        ASSERT_GT(kept, 0);
        // The old link still answers, but no longer for the kept part's validator; the new one
        // (when linked) serves the very file.
        oldLinkEtag = 9;
        liveSig = pageHasAnother ? 2 : 1;
        pageSig = pageHasAnother ? 2 : 1;
        runFromPage();
        ASSERT_TRUE(finished[1].stored) << finished[1].reason.toStdString();
        EXPECT_EQ(entriesOf(dir.path()), QStringList{s("big.bin")});
        EXPECT_TRUE(fileIs(dir.filePath(s("big.bin")), kBig, 1));
        std::vector<Request> files;
        for (const Request& r : asked())
            if (r.path == "/dl/big.bin") files.push_back(r);
        ASSERT_GE(files.size(), 2u);
        EXPECT_EQ(files[0].range, "bytes=" + std::to_string(kept) + "-");
        if (pageHasAnother) {
            EXPECT_EQ(changed[1], link(2));
            ASSERT_EQ(files.size(), 3u);
            EXPECT_EQ(files[2].sig, "2");
            EXPECT_EQ(files[2].range, "bytes=" + std::to_string(kept) + "-");
            // The refused answer was cut at its first byte; the new link sent the proof and the rest.
            EXPECT_LE(servedFresh.load(), kBig - std::size_t(kept) + std::size_t(Download::kProofBytes));
        } else {
            // As without a page: the whole file again from the old address.
            EXPECT_TRUE(changed.empty());
            ASSERT_EQ(files.size(), 2u);
            EXPECT_EQ(files[1].sig, "1");
            EXPECT_EQ(files[1].range, "");
        }
    }
}
