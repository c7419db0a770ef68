// "Change Address…" on the window's list: the prompt is prefilled with the row's address; a new
// address that proves to serve the same file takes the kept bytes along and the next Start goes
// on from them under the row's name; one that does not asks first, and drops the kept bytes only
// on Yes.
#include <gtest/gtest.h>

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/Form1.h"
#include "app/ListActions.h"
#include "download/DownloadEngine.h"
#include "download/PartialRecords.h"
#include "download/TargetNaming.h"
#include "harness/CutRun.h"
#include "harness/FolderContents.h"
#include "harness/LoopbackServer.h"
#include "harness/RunWait.h"
#include "harness/ScriptedDialogs.h"
#include "harness/Timing.h"

using namespace std::chrono_literals;

namespace {
QString s(const char* text) { return QString::fromUtf8(text); }

constexpr std::size_t kBig = 12u << 20;
constexpr std::size_t kHoldAt = 9u << 20;
constexpr qint64 kCutAt = qint64(8u << 20) + 4096;

char byteAt(std::size_t i, int version) { return static_cast<char>((i * 29 + i / 5003 + std::size_t(version) * 11) & 0xff); }

struct ChangeAddressTest : ::testing::Test {
    QTemporaryDir state;
    std::atomic<bool> holding{true};
    std::mutex lock;
    std::vector<std::pair<std::string, std::string>> asked;  // path and Range of each request
    // Before the window, so that the window's connections are closed before the server stops.
    LoopbackServer http;
    ScriptedDialogs dialogs;
    Settings::Store settings;
    Form1 form{dialogs, settings};
    QTemporaryDir dir;

    ChangeAddressTest() {
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
        // "/v1/..." and "/copy/..." serve the same file, "/v2/..." another one of the same length.
        http.server().Get("/(v1|v2|copy)/(.*)", [this](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard<std::mutex> hold(lock);
                asked.emplace_back(req.path, req.get_header_value("Range"));
            }
            const int v = req.matches[1].str() == "v2" ? 2 : 1;
            res.set_header("ETag", "\"t" + std::to_string(v) + "\"");
            res.set_header("Accept-Ranges", "bytes");
            res.set_content_provider(kBig, "application/octet-stream", [this, v](size_t offset, size_t length, httplib::DataSink& sink) {
                if (holding && offset >= kHoldAt)
                    for (int k = 0; k < 2000 && holding && sink.is_writable(); ++k) std::this_thread::sleep_for(5ms);
                std::string chunk(std::min<size_t>(length, 256 * 1024), '\0');
                for (std::size_t k = 0; k < chunk.size(); ++k) chunk[k] = byteAt(offset + k, v);
                return sink.write(chunk.data(), chunk.size());
            });
        });
        http.start();
        form.Text1->setText(dir.path());
    }
    ~ChangeAddressTest() override {
        holding = false;
        qunsetenv("XDG_STATE_HOME");
    }

    // An earlier run of `path` cut past 8 MB: its bytes are kept. Returns how many.
    qint64 keepPartOf(const char* path) {
        Download::Engine engine;
        engine.setSplitBigFiles(false);
        const QString url = http.url(s(path));
        const Download::ItemOutcome cut = RunOneCutAt(engine, url, Main::BuildTargetPath(url, dir.path()), kCutAt);
        EXPECT_TRUE(cut.paused) << cut.reason.toStdString();
        holding = false;
        std::lock_guard<std::mutex> hold(lock);
        asked.clear();
        return cut.bytes;
    }
    void selectRow(int row) {
        form.ListView1->selectionModel()->setCurrentIndex(form.urlList().index(row), QItemSelectionModel::ClearAndSelect |
                                                                                      QItemSelectionModel::Rows);
    }
    QAction* changeAction(QMenu& menu) {
        for (QAction* action : menu.actions())
            if (action->text() == s("Change Address\u2026")) return action;
        return nullptr;
    }
    // Chooses "Change Address…" from the row's menu, answering the prompt with `address`.
    void changeTo(const QString& address) {
        std::unique_ptr<QMenu> menu(form.findChild<ListActions*>()->buildContextMenu());
        QAction* change = changeAction(*menu);
        ASSERT_NE(change, nullptr);
        ASSERT_TRUE(change->isEnabled());
        dialogs.inputAnswers.push_back(address);
        change->trigger();
    }
    bool partKept(const char* path) { return Download::PartialStore().find(dir.path(), http.url(s(path))).has_value(); }
};
}  // namespace

TEST_F(ChangeAddressTest, OnlyAPausedOrFailedRowOffersIt) {
    form.urlList().appendMany({http.url(s("/v1/a.bin")), http.url(s("/v1/b.bin"))});
    selectRow(0);
    std::unique_ptr<QMenu> menu(form.findChild<ListActions*>()->buildContextMenu());
    ASSERT_NE(changeAction(*menu), nullptr);
    EXPECT_FALSE(changeAction(*menu)->isEnabled());
    form.urlList().setOutcome(form.urlList().idAt(2), UrlList::Outcome::Failed, s("Failed: HTTP 403"));
    selectRow(1);
    menu.reset(form.findChild<ListActions*>()->buildContextMenu());
    EXPECT_TRUE(changeAction(*menu)->isEnabled());
}

TEST_F(ChangeAddressTest, APausedRowGivenACopyOfItsFileGoesOnFromItsKeptBytesUnderItsName) {
    const qint64 kept = keepPartOf("/v1/a.bin");
    ASSERT_GT(kept, 0);
    form.urlList().appendMany({http.url(s("/v1/a.bin"))});
    selectRow(0);
    QTest::keyClick(form.ListView1, Qt::Key_Space);
    ASSERT_EQ(form.urlList().outcomeAt(1), UrlList::Outcome::Held);
    changeTo(http.url(s("/copy/renamed.bin")));
    ASSERT_EQ(dialogs.prompts.size(), 1u);
    EXPECT_EQ(dialogs.prompts[0].defaultText, http.url(s("/v1/a.bin")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.urlList().textAt(1) == http.url(s("/copy/renamed.bin")); }, Timing::boundMs(20000)));
    EXPECT_TRUE(dialogs.messages.empty()) << dialogs.messageTexts().join(s(" | ")).toStdString();
    EXPECT_FALSE(partKept("/v1/a.bin"));
    EXPECT_TRUE(partKept("/copy/renamed.bin"));
    // Resumed and started: the rest only, into the row's own name.
    selectRow(0);
    QTest::keyClick(form.ListView1, Qt::Key_Space);
    ASSERT_TRUE(ClickStartAndWait(form));
    EXPECT_EQ(form.urlList().outcomeAt(1), UrlList::Outcome::Stored);
    ASSERT_EQ(entriesOf(dir.path()), QStringList{s("a.bin")});
    QFile file(dir.filePath(s("a.bin")));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_EQ(std::size_t(bytes.size()), kBig);
    bool same = true;
    for (std::size_t i = 0; i < kBig && same; ++i) same = bytes[qsizetype(i)] == byteAt(i, 1);
    EXPECT_TRUE(same);
    std::lock_guard<std::mutex> hold(lock);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].first, "/copy/renamed.bin");
    EXPECT_EQ(asked[1].second, "bytes=" + std::to_string(kept) + "-");
}

TEST_F(ChangeAddressTest, AnAddressOfAnotherFileAsksAndDropsTheKeptBytesOnlyOnYes) {
    ASSERT_GT(keepPartOf("/v1/a.bin"), 0);
    form.urlList().appendMany({http.url(s("/v1/a.bin"))});
    form.urlList().setOutcome(form.urlList().idAt(1), UrlList::Outcome::Failed, s("Failed: HTTP 403"));
    selectRow(0);
    // No: nothing changes.
    dialogs.messageAnswers.push_back(Dialogs::No);
    changeTo(http.url(s("/v2/a.bin")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs.messages.size() == 1; }, Timing::boundMs(20000)));
    EXPECT_EQ(dialogs.messages[0].code, int(Dialogs::YesNo));
    EXPECT_TRUE(dialogs.messages[0].text.contains(s("does not give the same file"))) << dialogs.messages[0].text.toStdString();
    EXPECT_EQ(form.urlList().textAt(1), http.url(s("/v1/a.bin")));
    EXPECT_TRUE(partKept("/v1/a.bin"));
    EXPECT_EQ(entriesOf(dir.path()), QStringList{s("a.bin.part")});
    // Yes: the row goes by the new address and its kept bytes are gone.
    dialogs.messageAnswers.push_back(Dialogs::Yes);
    changeTo(http.url(s("/v2/a.bin")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.urlList().textAt(1) == http.url(s("/v2/a.bin")); }, Timing::boundMs(20000)));
    EXPECT_EQ(dialogs.messages.size(), 2u);
    EXPECT_FALSE(partKept("/v1/a.bin"));
    EXPECT_FALSE(partKept("/v2/a.bin"));
    EXPECT_TRUE(entriesOf(dir.path()).isEmpty());
}
