// Moving entries and taking removals back.
#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "harness/ListContents.h"
#include "urllist/UrlList.h"

namespace {
QStringList letters(const char* s) {
    QStringList out;
    for (; *s; ++s) out << QString(QLatin1Char(*s));
    return out;
}
QString joined(const UrlList& list) { return contentsOf(list).join(QString()); }
std::vector<bool> flags(const char* s) {
    std::vector<bool> out;
    for (; *s; ++s) out.push_back(*s == 'x');
    return out;
}
std::string shown(const std::vector<bool>& f) {
    std::string out;
    for (bool b : f) out += b ? 'x' : '.';
    return out;
}
// Ids still rise with the position, so that a run can walk the list by id.
void expectIdsRising(const UrlList& list) {
    for (int i = 2; i <= list.count(); ++i) ASSERT_LT(list.idAt(i - 1), list.idAt(i)) << "at " << i;
    for (int i = 1; i <= list.count(); ++i) ASSERT_EQ(list.positionOf(list.idAt(i)), i);
}
}  // namespace

TEST(UrlListMove, UpAndDownMoveEachRunAndStopAtTheEdges) {
    UrlList list;
    QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::Fatal);
    list.appendMany(letters("abcdefg"));
    std::vector<bool> chosen = flags(".xx..x.");
    EXPECT_TRUE(list.moveChosen(chosen, -1));
    EXPECT_EQ(joined(list), QStringLiteral("bcadfeg"));
    EXPECT_EQ(shown(chosen), "xx..x..");
    expectIdsRising(list);
    // Pressed against the top, the first run stays; the other still moves until it meets it.
    EXPECT_TRUE(list.moveChosen(chosen, -1));
    EXPECT_EQ(joined(list), QStringLiteral("bcafdeg"));
    EXPECT_EQ(shown(chosen), "xx.x...");
    EXPECT_TRUE(list.moveChosen(chosen, -1));
    EXPECT_FALSE(list.moveChosen(chosen, -1));
    EXPECT_EQ(joined(list), QStringLiteral("bcfadeg"));
    EXPECT_EQ(shown(chosen), "xxx....");
    chosen = flags("x.....x");
    EXPECT_TRUE(list.moveChosen(chosen, +1));
    EXPECT_EQ(joined(list), QStringLiteral("cbfadeg"));
    EXPECT_EQ(shown(chosen), ".x....x");
    expectIdsRising(list);
}

TEST(UrlListMove, ManyScatteredRunsMoveAsOneReset) {
    UrlList list;
    QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QStringList texts;
    for (int i = 0; i < 200; ++i) texts << QString::number(i);
    list.appendMany(texts);
    std::vector<bool> chosen(200, false);
    for (int i = 1; i < 200; i += 2) chosen[std::size_t(i)] = true;  // every odd one: 100 runs
    QSignalSpy reset(&list, &UrlList::modelReset);
    EXPECT_TRUE(list.moveChosen(chosen, -1));
    EXPECT_EQ(reset.count(), 1);
    EXPECT_EQ(list.textAt(1), QStringLiteral("1"));
    EXPECT_EQ(list.textAt(2), QStringLiteral("0"));
    EXPECT_EQ(list.textAt(200), QStringLiteral("198"));
    EXPECT_TRUE(chosen[0] && !chosen[1] && chosen[198] && !chosen[199]);
    expectIdsRising(list);
}

TEST(UrlListMove, ChosenEntriesGoBeforeTheDropRowInTheirOrder) {
    UrlList list;
    QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::Fatal);
    list.appendMany(letters("abcdef"));
    list.setOutcome(list.idAt(2), UrlList::Outcome::Failed, QStringLiteral("HTTP 404"));
    std::vector<bool> chosen = flags(".x....");
    EXPECT_TRUE(list.moveChosenBefore(chosen, 5));  // one entry, down
    EXPECT_EQ(joined(list), QStringLiteral("acdebf"));
    EXPECT_EQ(shown(chosen), "....x.");
    // The note follows its entry to the entry's new id.
    EXPECT_EQ(list.outcomeAt(5), UrlList::Outcome::Failed);
    EXPECT_EQ(list.noteAt(5), QStringLiteral("HTTP 404"));
    EXPECT_TRUE(list.noteAt(2).isEmpty());
    chosen = flags("....xx");
    EXPECT_TRUE(list.moveChosenBefore(chosen, 0));  // a block, to the top
    EXPECT_EQ(joined(list), QStringLiteral("bfacde"));
    EXPECT_EQ(shown(chosen), "xx....");
    chosen = flags("x.x..x");
    EXPECT_TRUE(list.moveChosenBefore(chosen, 6));  // scattered, to the end
    EXPECT_EQ(joined(list), QStringLiteral("fcdbae"));
    EXPECT_EQ(shown(chosen), "...xxx");
    chosen = flags("...xx.");
    EXPECT_FALSE(list.moveChosenBefore(chosen, 4));  // onto itself
    EXPECT_FALSE(list.moveChosenBefore(chosen, 5));
    EXPECT_EQ(joined(list), QStringLiteral("fcdbae"));
    expectIdsRising(list);
}

TEST(UrlListUndo, EachKindOfRemovalComesBackAtItsOldPlaces) {
    UrlList list;
    QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::Fatal);
    list.appendMany(letters("abcdefgh"));
    EXPECT_FALSE(list.canUndo());
    list.setOutcome(list.idAt(3), UrlList::Outcome::Stored, QStringLiteral("c.jpg"));
    list.setOutcome(list.idAt(5), UrlList::Outcome::Skipped, QString());

    list.removeAt(2);                                                              // b
    list.removeIf([](std::string_view t) { return t == "d" || t == "g"; });      // d, g
    list.removeStored();                                                           // c, e
    EXPECT_EQ(joined(list), QStringLiteral("afh"));
    list.clear();
    EXPECT_EQ(list.count(), 0);

    EXPECT_EQ(list.undoRemoval().count, 3);
    EXPECT_EQ(joined(list), QStringLiteral("afh"));
    const UrlList::Restored stored = list.undoRemoval();
    EXPECT_EQ(stored.count, 2);
    EXPECT_EQ(stored.first, 2);
    EXPECT_EQ(joined(list), QStringLiteral("acefh"));
    EXPECT_EQ(list.outcomeAt(2), UrlList::Outcome::Stored);
    EXPECT_EQ(list.noteAt(2), QStringLiteral("c.jpg"));
    EXPECT_EQ(list.outcomeAt(3), UrlList::Outcome::Skipped);
    list.undoRemoval();
    EXPECT_EQ(joined(list), QStringLiteral("acdefgh"));
    list.undoRemoval();
    EXPECT_EQ(joined(list), QStringLiteral("abcdefgh"));
    EXPECT_FALSE(list.canUndo());
    EXPECT_EQ(list.undoRemoval().count, 0);
    expectIdsRising(list);
}

TEST(UrlListUndo, TenStepsBackAndEntriesAddedOrMovedMeanwhileStay) {
    UrlList list;
    QStringList texts;
    for (int i = 0; i < 12; ++i) texts << QString::number(i);
    list.appendMany(texts);
    for (int i = 0; i < 12; ++i) list.removeAt(1);
    EXPECT_EQ(list.count(), 0);
    int steps = 0;
    while (list.undoRemoval().count > 0) ++steps;
    EXPECT_EQ(steps, int(UrlList::kUndoSteps));
    EXPECT_EQ(contentsOf(list), (QStringList{QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("4"), QStringLiteral("5"),
                                             QStringLiteral("6"), QStringLiteral("7"), QStringLiteral("8"), QStringLiteral("9"),
                                             QStringLiteral("10"), QStringLiteral("11")}));

    list.clear();
    list.appendMany(letters("abcde"));
    list.removeAt(2);          // b
    list.append(u"z");         // acdez
    std::vector<bool> chosen = flags("....x");
    list.moveChosenBefore(chosen, 0);  // zacde
    list.undoRemoval();
    EXPECT_EQ(joined(list), QStringLiteral("zbacde"));
    expectIdsRising(list);
}

TEST(UrlListUndo, ARemovalOfManyScatteredRowsComesBackWhole) {
    UrlList list;
    QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QStringList texts;
    for (int i = 0; i < 5000; ++i) texts << QStringLiteral("http://x/%1").arg(i);
    list.appendMany(texts);
    int k = 0;
    list.removeIf([&k](std::string_view) { return (k++ % 3) != 0; });
    EXPECT_EQ(list.count(), 1667);
    EXPECT_EQ(list.undoRemoval().count, 3333);
    EXPECT_EQ(contentsOf(list), texts);
    expectIdsRising(list);
}

TEST(UrlListPages, AnEntryKeepsItsPageThroughMovesRemovalsUndoAndCompaction) {
    UrlList list;
    list.append(QStringLiteral("typed"));
    {
        UrlList::Batch batch(list);
        batch.setPage(list.addPage(QStringLiteral("http://site.example/a.html")));
        batch.add(QStringLiteral("a1"));
        batch.add(QStringLiteral("a2"));
        batch.setPage(list.addPage(QStringLiteral("http://site.example/b.html")));
        batch.add(QStringLiteral("b1"));
    }
    // The same page again is the same number: a big page's batches share one text.
    EXPECT_EQ(list.addPage(QStringLiteral("http://site.example/b.html")), list.addPage(QStringLiteral("http://site.example/b.html")));
    EXPECT_EQ(list.addPage(QString()), 0u);
    auto pages = [&] {
        QStringList out;
        for (int i = 1; i <= list.count(); ++i) out << list.textAt(i) + QLatin1Char('@') + list.pageAt(i).section(QLatin1Char('/'), -1);
        return out;
    };
    EXPECT_EQ(pages(), (QStringList{"typed@", "a1@a.html", "a2@a.html", "b1@b.html"}));
    std::vector<bool> chosen = flags("...x");
    ASSERT_TRUE(list.moveChosen(chosen, -1));
    EXPECT_EQ(pages(), (QStringList{"typed@", "a1@a.html", "b1@b.html", "a2@a.html"}));
    list.removeAt(2);
    list.removeIf([](std::string_view text) { return text == "typed"; });
    EXPECT_EQ(pages(), (QStringList{"b1@b.html", "a2@a.html"}));
    list.undoRemoval();
    list.undoRemoval();
    EXPECT_EQ(pages(), (QStringList{"typed@", "a1@a.html", "b1@b.html", "a2@a.html"}));
    // Many removed texts make the list rewrite its blocks; the pages stay with their entries.
    list.appendMany(QStringList(5000, QString(200, QLatin1Char('x'))));
    list.removeIf([](std::string_view text) { return text.size() == 200; });
    EXPECT_EQ(pages(), (QStringList{"typed@", "a1@a.html", "b1@b.html", "a2@a.html"}));
}
