// Alt+Up/Down, dragging within the list, Ctrl+Z and Keep Only on the window.
#include <gtest/gtest.h>

#include <QDropEvent>
#include <QFile>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include "app/Form1.h"
#include "app/ListActions.h"
#include "app/ListEditing.h"
#include "harness/ListContents.h"
#include "harness/ListWait.h"
#include "harness/LoopbackServer.h"
#include "harness/RunWait.h"
#include "harness/ScriptedDialogs.h"
#include "harness/Timing.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {
struct ListEditingTest : ::testing::Test {
    ScriptedDialogs dialogs;
    Settings::Store settings;
    Form1 form{dialogs, settings};
    ListEditing* editing = form.findChild<ListEditing*>();

    void fill(const char* letters) {
        QStringList texts;
        for (const char* c = letters; *c; ++c) texts << QStringLiteral("http://x/%1.jpg").arg(QLatin1Char(*c));
        form.urlList().appendMany(texts);
    }
    // The entries as their letters: "http://x/b.jpg" is "b".
    QString letters() {
        QString out;
        for (const QString& e : contentsOf(form.urlList())) out += e.mid(9, e.size() - 13);
        return out;
    }
    void selectRows(std::initializer_list<int> rows) {
        QItemSelection selection;
        for (int row : rows) selection.select(form.urlList().index(row), form.urlList().index(row));
        form.ListView1->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        form.ListView1->selectionModel()->setCurrentIndex(form.urlList().index(*rows.begin()), QItemSelectionModel::NoUpdate);
    }
    std::vector<int> selected() {
        std::vector<int> rows;
        const std::vector<bool> flags = form.selectedRows();
        for (std::size_t i = 0; i < flags.size(); ++i)
            if (flags[i]) rows.push_back(int(i));
        return rows;
    }
    void key(Qt::Key k, Qt::KeyboardModifiers mods) { QTest::keyClick(form.ListView1, k, mods); }
    // A drag of the list's own rows dropped at `y` on the list.
    void dropAt(int y) {
        std::unique_ptr<QMimeData> data(form.urlList().mimeData({}));
        QWidget* viewport = form.ListView1->viewport();
        QDragEnterEvent enter(QPoint(5, y), Qt::MoveAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent drop(QPointF(5, y), Qt::MoveAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &drop);
        EXPECT_TRUE(drop.isAccepted());
    }
    int rowTop(int row) { return form.ListView1->visualRect(form.urlList().index(row)).top(); }
};
}  // namespace

TEST_F(ListEditingTest, AltUpAndAltDownMoveTheSelectedEntriesAndKeepThemSelected) {
    ASSERT_NE(editing, nullptr);
    fill("abcdef");
    selectRows({3});
    key(Qt::Key_Up, Qt::AltModifier);
    EXPECT_EQ(letters(), QStringLiteral("abdcef"));
    EXPECT_EQ(selected(), std::vector<int>{2});
    key(Qt::Key_Up, Qt::AltModifier);
    key(Qt::Key_Up, Qt::AltModifier);
    key(Qt::Key_Up, Qt::AltModifier);  // at the top it stays
    EXPECT_EQ(letters(), QStringLiteral("dabcef"));
    EXPECT_EQ(form.ListView1->currentIndex().row(), 0);

    selectRows({1, 2, 4});  // a, b and e
    key(Qt::Key_Down, Qt::AltModifier);
    EXPECT_EQ(letters(), QStringLiteral("dcabfe"));
    EXPECT_EQ(selected(), (std::vector<int>{2, 3, 5}));
    key(Qt::Key_Down, Qt::AltModifier);  // e at the bottom stays, a and b go on
    EXPECT_EQ(letters(), QStringLiteral("dcfabe"));
    EXPECT_EQ(selected(), (std::vector<int>{3, 4, 5}));
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(ListEditingTest, ADragMovesTheSelectionBeforeOrAfterTheRowItIsDroppedOn) {
    fill("abcdef");
    form.resize(form.size());
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const int height = form.ListView1->visualRect(form.urlList().index(0)).height();
    ASSERT_GT(height, 2);
    selectRows({0});
    dropAt(rowTop(3) + height - 1);  // the lower half of d: after it
    EXPECT_EQ(letters(), QStringLiteral("bcdaef"));
    EXPECT_EQ(selected(), std::vector<int>{3});
    selectRows({1, 4});  // c and e, to the top
    dropAt(rowTop(0) + 1);
    EXPECT_EQ(letters(), QStringLiteral("cebdaf"));
    EXPECT_EQ(selected(), (std::vector<int>{0, 1}));
    selectRows({2});  // below the last row: to the end
    dropAt(rowTop(5) + 2 * height);
    EXPECT_EQ(letters(), QStringLiteral("cedafb"));
    // Text dropped from elsewhere is still added, not taken for a move.
    QMimeData text;
    text.setText(QStringLiteral("http://x/z.jpg"));
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(form.ListView1->viewport(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(form.ListView1->viewport(), &drop);
    EXPECT_TRUE(drop.isAccepted());
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(letters(), QStringLiteral("cedafbz"));
}

TEST_F(ListEditingTest, CtrlZBringsBackWhatEachKindOfRemovalTook) {
    fill("abcdef");
    const auto undo = [&] { key(Qt::Key_Z, Qt::ControlModifier); };
    // Double-click.
    selectRows({1});
    form.ListView1_DblClick();
    EXPECT_EQ(letters(), QStringLiteral("acdef"));
    undo();
    EXPECT_EQ(letters(), QStringLiteral("abcdef"));
    EXPECT_EQ(form.ListView1->currentIndex().row(), 1);
    // Delete with several selected.
    selectRows({0, 2, 5});
    key(Qt::Key_Delete, Qt::NoModifier);
    EXPECT_EQ(letters(), QStringLiteral("bde"));
    undo();
    EXPECT_EQ(letters(), QStringLiteral("abcdef"));
    // A filter button.
    dialogs.inputAnswers = {QStringLiteral("/C.JPG")};
    form.PushButton17->click();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(letters(), QStringLiteral("abdef"));
    undo();
    EXPECT_EQ(letters(), QStringLiteral("abcdef"));
    // The other filter, taking entries on both sides of the one it keeps.
    dialogs.inputAnswers = {QStringLiteral("/D.")};
    form.PushButton3->click();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(letters(), QStringLiteral("d"));
    undo();
    EXPECT_EQ(letters(), QStringLiteral("abcdef"));
    // Remove Duplicates and Remove Stored Entries, from the context menu.
    fill("a");
    form.urlList().setOutcome(form.urlList().idAt(2), UrlList::Outcome::Stored, QStringLiteral("b.jpg"));
    auto* actions = form.findChild<ListActions*>();
    std::unique_ptr<QMenu> menu(actions->buildContextMenu());
    for (QAction* action : menu->actions())
        if (action->text() == QStringLiteral("Remove Duplicates") || action->text() == QStringLiteral("Remove Stored Entries"))
            action->trigger();
    EXPECT_EQ(letters(), QStringLiteral("acdef"));
    undo();
    EXPECT_EQ(letters(), QStringLiteral("abcdef"));
    EXPECT_EQ(form.urlList().outcomeAt(2), UrlList::Outcome::Stored);
    undo();
    EXPECT_EQ(letters(), QStringLiteral("abcdefa"));
    // Clear List, then Keep Only.
    form.PushButton11->click();
    EXPECT_EQ(form.urlList().count(), 0);
    undo();
    EXPECT_EQ(letters(), QStringLiteral("abcdefa"));
    dialogs.keepOnlyAnswers = {QStringLiteral("/[ab]\\.jpg$/")};
    key(Qt::Key_K, Qt::ControlModifier);
    EXPECT_EQ(letters(), QStringLiteral("aba"));
    undo();
    EXPECT_EQ(letters(), QStringLiteral("abcdefa"));
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(ListEditingTest, KeepOnlyShowsThePresetsAndALiveCountAndSaysWhyABadPatternIsRefused) {
    fill("abc");
    form.urlList().appendMany({QStringLiteral("http://x/movie.MKV"), QStringLiteral("http://x/2024.pdf")});
    QStringList shownTexts;
    dialogs.onKeepOnly = [&](Dialogs::PatternCount& count) {
        count.show = [&](const QString& text, bool usable) { shownTexts << text + (usable ? "" : " (not usable)"); };
        count.setPattern(QString());
        count.setPattern(QStringLiteral("/(/"));
        count.setPattern(QStringLiteral("*.jpg;*.mkv"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return shownTexts.last().startsWith(QStringLiteral("Keeps")); }, Timing::boundMs(10000)));
    };
    dialogs.keepOnlyAnswers = {std::nullopt};
    editing->keepOnly();
    ASSERT_EQ(dialogs.keepOnlyPresetsShown.size(), 1u);
    QStringList names;
    for (const auto& preset : dialogs.keepOnlyPresetsShown[0]) names << preset.name;
    EXPECT_EQ(names, (QStringList{QStringLiteral("Images"), QStringLiteral("Video"), QStringLiteral("Audio"),
                                  QStringLiteral("Archives"), QStringLiteral("Documents"), QStringLiteral("Programs")}));
    EXPECT_TRUE(dialogs.keepOnlyPresetsShown[0][0].pattern.contains(QStringLiteral("*.png")));
    ASSERT_EQ(shownTexts.size(), 4);
    EXPECT_EQ(shownTexts[0], QStringLiteral("Choose a preset or type a pattern (not usable)"));
    EXPECT_TRUE(shownTexts[1].startsWith(QStringLiteral("Not a valid regular expression: "))) << shownTexts[1].toStdString();
    EXPECT_TRUE(shownTexts[1].endsWith(QStringLiteral(" (not usable)")));
    EXPECT_EQ(shownTexts[2], QStringLiteral("Counting…"));
    EXPECT_EQ(shownTexts[3], QStringLiteral("Keeps 4 of 5"));
    EXPECT_EQ(form.urlList().count(), 5);  // cancelled

    // A preset's pattern, accepted.
    dialogs.onKeepOnly = nullptr;
    dialogs.keepOnlyAnswers = {dialogs.keepOnlyPresetsShown[0][1].pattern};
    editing->keepOnly();
    EXPECT_EQ(contentsOf(form.urlList()), QStringList{QStringLiteral("http://x/movie.MKV")});
    // A bad pattern from the dialog changes nothing and says why.
    dialogs.keepOnlyAnswers = {QStringLiteral("/a{2,1}/")};
    editing->keepOnly();
    EXPECT_EQ(form.urlList().count(), 1);
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.messages[0].text.startsWith(QStringLiteral("Keep Only: Not a valid regular expression: ")))
        << dialogs.messages[0].text.toStdString();
}

TEST_F(ListEditingTest, KeepOnlyAcceptedBeforeALongListIsCountedFinishesUnderTheBusyPointer) {
    {
        UrlList::Batch batch(form.urlList());
        for (int i = 0; i < 600000; ++i) batch.add(QStringLiteral("http://x/%1.%2").arg(i).arg(i % 4 ? "gif" : "zip"));
    }
    // A regular expression looks at the whole text of each of them: longer than the moment
    // decided on the spot.
    dialogs.keepOnlyAnswers = {QStringLiteral("/\\.zip$/")};
    editing->keepOnly();
    EXPECT_EQ(form.mousePointer(), int(PointerBusy));
    EXPECT_EQ(form.urlList().count(), 600000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.urlList().count() == 150000; }, Timing::boundMs(30000)));
    EXPECT_NE(form.mousePointer(), int(PointerBusy));
    EXPECT_EQ(form.urlList().textAt(2), QStringLiteral("http://x/4.zip"));
}

TEST_F(ListEditingTest, KeepOnlyWithATooSlowPatternSaysSoInTheDialogAndOnAcceptRemovesNothing) {
    {
        UrlList::Batch batch(form.urlList());
        for (int i = 0; i < 200000; ++i)
            batch.add(QStringLiteral("http://files.example/%1-%2.bin").arg(QString(28, u'a')).arg(i));
    }
    QStringList shownTexts;
    dialogs.onKeepOnly = [&](Dialogs::PatternCount& count) {
        count.show = [&](const QString& text, bool usable) { shownTexts << text + (usable ? "" : " (not usable)"); };
        count.setPattern(QStringLiteral("/(a+)+$/"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !shownTexts.last().startsWith(QStringLiteral("Counting")); },
                                    Timing::boundMs(10000)));
    };
    dialogs.keepOnlyAnswers = {std::nullopt};
    editing->keepOnly();
    ASSERT_FALSE(shownTexts.isEmpty());
    EXPECT_EQ(shownTexts.last(), QStringLiteral("This pattern is too slow for these addresses (not usable)"));

    // Accepted all the same (a dialog that lets it through): nothing is removed, and it says why.
    dialogs.onKeepOnly = nullptr;
    dialogs.keepOnlyAnswers = {QStringLiteral("/(.*a){20}/")};
    editing->keepOnly();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs.messages.empty(); }, Timing::boundMs(10000)));
    EXPECT_EQ(dialogs.messages[0].text, QStringLiteral("Keep Only: This pattern is too slow for these addresses"));
    EXPECT_EQ(form.urlList().count(), 200000);
    EXPECT_NE(form.mousePointer(), int(PointerBusy));
}

TEST_F(ListEditingTest, DuringARunUndoPutsEntriesBackIntoTheQueueAndKeepOnlyWaits) {
    LoopbackServer http;
    std::atomic<bool> released{false};
    http.server().Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(64 * 1024, "application/octet-stream", [&](size_t, size_t length, httplib::DataSink& sink) {
            if (!released) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const std::string chunk(std::min<size_t>(length, 1024), 'x');
            sink.write(chunk.data(), chunk.size());
            return true;
        });
    });
    http.server().Get("/a", [](const httplib::Request&, httplib::Response& res) { res.set_content("aaa", "text/plain"); });
    http.start();
    QTemporaryDir dir;
    form.urlList().append(http.url(QStringLiteral("/a")));
    form.urlList().removeAt(1);
    form.urlList().append(http.url(QStringLiteral("/slow")));
    form.Text1->setText(dir.path());
    QStringList during;
    QStringList listDuring;
    QTimer::singleShot(100, &form, [&] {
        selectRows({0});
        key(Qt::Key_Z, Qt::ControlModifier);
        key(Qt::Key_K, Qt::ControlModifier);
        during = dialogs.messageTexts();
        listDuring = contentsOf(form.urlList());
        released = true;
    });
    EXPECT_TRUE(ClickStartAndWait(form));
    released = true;
    EXPECT_EQ(during, (QStringList{QStringLiteral("Keep Only cannot be used while downloading. Press Stop Downloading first.")}));
    EXPECT_EQ(listDuring, (QStringList{http.url(QStringLiteral("/a")), http.url(QStringLiteral("/slow"))}));
    EXPECT_TRUE(dialogs.keepOnlyPresetsShown.empty());
    // The entry put back joined the run in its place and was stored there.
    EXPECT_EQ(form.urlList().outcomeAt(1), UrlList::Outcome::Stored);
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("a"))));
}
