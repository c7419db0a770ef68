#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "urllist/UrlList.h"

namespace {
QStringList contents(const UrlList& list) {
    QStringList out;
    for (int i = 1; i <= list.count(); ++i) out << list.textAt(i);
    return out;
}
}  // namespace

TEST(UrlList, KeepsOrderAndDuplicatesWithOneBasedPositions) {
    UrlList list;
    EXPECT_EQ(list.count(), 0);
    list.append(u"http://a/1.jpg");
    list.append(u"http://b/2.jpg");
    list.append(u"http://a/1.jpg");
    EXPECT_EQ(list.count(), 3);
    EXPECT_EQ(list.textAt(1), QStringLiteral("http://a/1.jpg"));
    EXPECT_EQ(list.textAt(3), QStringLiteral("http://a/1.jpg"));
    EXPECT_THROW(list.textAt(0), std::out_of_range);
    EXPECT_THROW(list.textAt(4), std::out_of_range);
}

TEST(UrlList, RemoveAtMovesLaterEntriesUp) {
    UrlList list;
    list.appendMany({QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")});
    list.removeAt(2);
    EXPECT_EQ(contents(list), (QStringList{QStringLiteral("one"), QStringLiteral("three")}));
    EXPECT_THROW(list.removeAt(3), std::out_of_range);
    list.clear();
    EXPECT_EQ(list.count(), 0);
    list.append(u"after clear");
    EXPECT_EQ(contents(list), QStringList{QStringLiteral("after clear")});
}

TEST(UrlList, TextsSurviveUnchanged) {
    UrlList list;
    const QStringList texts{QString(), QStringLiteral("  http://x/ spaced  "), QStringLiteral("\thttp://x/tab"),
                            QStringLiteral("http://h\u00e9/\u00fc\u20ac.jpg"), QStringLiteral("http://x/%20%p"),
                            QStringLiteral("\uFEFFhttp://x/marked")};
    list.appendMany(texts);
    EXPECT_EQ(contents(list), texts);
    EXPECT_EQ(list.utf8At(4), std::string_view("http://h\xc3\xa9/\xc3\xbc\xe2\x82\xac.jpg"));
}

TEST(UrlList, LongTextGetsItsOwnBlock) {
    UrlList list;
    const QString longText = QString(3 << 20, QLatin1Char('x'));
    list.append(u"short");
    list.append(longText);
    list.append(u"after");
    EXPECT_EQ(list.textAt(2), longText);
    EXPECT_EQ(list.textAt(3), QStringLiteral("after"));
}

TEST(UrlList, RemoveIfKeepsOrderOfTheRest) {
    UrlList list;
    list.appendMany({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("4"),
                     QStringLiteral("5")});
    const auto removed = list.removeIf([](std::string_view t) { return t == "2" || t == "4"; });
    EXPECT_EQ(removed, 2);
    EXPECT_EQ(contents(list), (QStringList{QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("5")}));
    EXPECT_EQ(list.removeIf([](std::string_view) { return false; }), 0);
}

TEST(UrlList, ManyScatteredRemovalsAndCompactionKeepTexts) {
    UrlList list;
    {
        UrlList::Batch batch(list);
        for (int i = 0; i < 200000; ++i) batch.add(QStringLiteral("http://server/dir/%1.jpg").arg(i));
    }
    ASSERT_EQ(list.count(), 200000);
    QSignalSpy reset(&list, &QAbstractItemModel::modelReset);
    // Remove every entry but each tenth: far more garbage than live text, so blocks are rewritten.
    list.removeIf([](std::string_view t) { return t.find("0.jpg") == std::string_view::npos; });
    EXPECT_EQ(reset.count(), 1);
    ASSERT_EQ(list.count(), 20000);
    for (int i = 1; i <= list.count(); i += 997)
        EXPECT_EQ(list.textAt(i), QStringLiteral("http://server/dir/%1.jpg").arg((i - 1) * 10));
    EXPECT_LT(list.storageBytes(), 3u << 20);
}

TEST(UrlList, BatchAnnouncesOneInsertAndSurvivesClearWhileOpen) {
    UrlList list;
    QSignalSpy inserted(&list, &QAbstractItemModel::rowsInserted);
    {
        UrlList::Batch batch(list);
        batch.add(u"a");
        batch.addUtf8("b");
        list.clear();  // another action clears while the batch is still filling
        batch.add(u"c");
    }
    EXPECT_EQ(inserted.count(), 1);
    EXPECT_EQ(contents(list), (QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}));
}

TEST(UrlList, ClearWhileABatchFillsStillLetsRemovalsGiveMemoryBack) {
    UrlList list;
    {
        UrlList::Batch batch(list);
        batch.add(QString(100, QLatin1Char('s')));
        list.clear();
    }
    {
        UrlList::Batch batch(list);
        for (int i = 0; i < 60000; ++i) batch.add(QStringLiteral("http://server/dir/%1.jpg").arg(i, 30, 10, QLatin1Char('0')));
    }
    ASSERT_GT(list.storageBytes(), 3u << 20);
    EXPECT_EQ(list.removeIf([](std::string_view) { return true; }), 60001);
    EXPECT_EQ(list.count(), 0);
    EXPECT_LT(list.storageBytes(), 1u << 20);
}

TEST(UrlList, ModelShowsTextsAndHeader) {
    UrlList list;
    list.setHeaderText(QStringLiteral("URL(s)"));
    list.append(u"http://x/a.jpg");
    EXPECT_EQ(list.rowCount(), 1);
    EXPECT_EQ(list.data(list.index(0)).toString(), QStringLiteral("http://x/a.jpg"));
    EXPECT_EQ(list.headerData(0, Qt::Horizontal).toString(), QStringLiteral("URL(s)"));
}

TEST(UrlList, AnEntryOfMegabytesShowsItsBeginningAndKeepsItsWholeText) {
    UrlList list;
    const QString ascii = QStringLiteral("http://s/") + QString(3000000, QLatin1Char('a'));
    const QString wide = QStringLiteral("http://s/") + QString(1000000, QChar(0xE9));
    list.append(ascii);
    list.append(wide);
    for (int row = 0; row < 2; ++row) {
        const QString whole = list.textAt(row + 1);
        const QString shown = list.data(list.index(row)).toString();
        EXPECT_LT(shown.size(), 10000);
        EXPECT_GT(shown.size(), 4000);
        EXPECT_TRUE(shown.endsWith(QChar(0x2026)));
        // Cut between characters, never inside one.
        EXPECT_TRUE(whole.startsWith(shown.chopped(1)));
    }
    EXPECT_EQ(list.textAt(1), ascii);
    EXPECT_EQ(list.textAt(2), wide);
}

TEST(UrlList, ARowsTipIsItsWholeTextOrItsEndsWhenVeryLong) {
    UrlList list;
    const QString shortOne = QStringLiteral("http://s/") + QString(380, QLatin1Char('b'));
    const QString huge = QStringLiteral("http://s/") + QString(8 * 1024 * 1024, QLatin1Char('a')) + QStringLiteral("/tail.bin");
    // Two-byte characters everywhere: a cut at any byte would fall inside one half the time.
    const QString wide = QStringLiteral("http://s/") + QString(1001, QChar(0xE9)) + QStringLiteral("z");
    list.appendMany({shortOne, huge, wide});
    EXPECT_EQ(list.data(list.index(0), Qt::ToolTipRole).toString(), shortOne);
    for (int row : {1, 2}) {
        const QString whole = list.textAt(row + 1);
        const QString tip = list.data(list.index(row), Qt::ToolTipRole).toString();
        EXPECT_LT(tip.size(), 420) << row;
        const qsizetype mark = tip.indexOf(QChar(0x2026));
        ASSERT_GT(mark, 100) << row;
        EXPECT_TRUE(whole.startsWith(tip.left(mark))) << row;
        EXPECT_TRUE(whole.endsWith(tip.mid(mark + 1))) << row;
        EXPECT_GT(tip.size() - mark, 60) << row;
        EXPECT_FALSE(tip.contains(QChar(QChar::ReplacementCharacter))) << row;
    }
}

// Qt's own checker follows every change the model announces and stops the program at the first
// inconsistency (a wrong row count after an insert, a stale index, a bad header).
TEST(UrlList, EveryChangeIsAnnouncedConsistentlyToViews) {
    UrlList list;
    QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::Fatal);
    list.setHeaderText(QStringLiteral("URL(s)"));
    list.append(u"http://a/1");
    list.append(u"http://a/2");
    {
        UrlList::Batch batch(list);
        for (int i = 0; i < 500; ++i) batch.add(QStringLiteral("http://b/%1").arg(i));
        batch.commit();
        batch.add(u"http://c/after-commit");
    }
    list.appendMany({QStringLiteral("http://d/1"), QStringLiteral("http://d/2")});
    list.removeAt(1);
    list.removeAt(list.count());
    EXPECT_GT(list.removeIf([](std::string_view t) { return t.find("/b/1") != std::string_view::npos; }), 0);
    EXPECT_EQ(list.removeIf([](std::string_view) { return false; }), 0);
    list.clear();
    list.clear();
    list.append(u"http://e/again");
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(list.textAt(1), QStringLiteral("http://e/again"));
}

TEST(UrlList, IdsRiseWithThePositionAndStayWithTheirEntryThroughRemovals) {
    UrlList list;
    list.append(u"a");
    {
        UrlList::Batch batch(list);
        batch.add(u"b");
        list.append(u"c");  // joins before the batch commits, and so comes first
        batch.add(u"d");
    }
    EXPECT_EQ(contents(list), (QStringList{QStringLiteral("a"), QStringLiteral("c"), QStringLiteral("b"), QStringLiteral("d")}));
    for (int i = 1; i < list.count(); ++i) EXPECT_LT(list.idAt(i), list.idAt(i + 1));
    const UrlList::EntryId c = list.idAt(2), b = list.idAt(3), d = list.idAt(4);
    list.removeAt(2);
    EXPECT_EQ(list.positionOf(c), 0);
    EXPECT_EQ(list.positionOf(b), 2);
    // The next entry after one that is gone is the one that followed it.
    EXPECT_EQ(list.firstPositionAfter(c), 2);
    EXPECT_EQ(list.firstPositionAfter(d), 0);
    // Ids are never given again, not even after a clear.
    const UrlList::EntryId next = list.nextId();
    list.clear();
    list.append(u"e");
    EXPECT_EQ(list.idAt(1), next);
}

TEST(UrlList, OutcomesFollowTheirEntryAndRemoveStoredKeepsTheRest) {
    UrlList list;
    QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::Fatal);
    for (int k = 0; k < 6; ++k) list.append(QStringLiteral("http://h/%1").arg(k));
    list.setOutcome(list.idAt(1), UrlList::Outcome::Stored, QStringLiteral("Stored as /tmp/0"));
    list.setOutcome(list.idAt(2), UrlList::Outcome::Failed, QStringLiteral("Failed: HTTP 404"));
    list.setOutcome(list.idAt(4), UrlList::Outcome::Stored, QStringLiteral("Stored as /tmp/3"));
    list.setOutcomeFrom(5, UrlList::Outcome::NotReached);
    list.setOutcomeLook(UrlList::Outcome::NotReached, QVariant(), QStringLiteral("Not reached"));
    list.removeAt(3);
    EXPECT_EQ(list.outcomeAt(3), UrlList::Outcome::Stored);
    EXPECT_EQ(list.noteAt(3), QStringLiteral("Stored as /tmp/3"));
    EXPECT_EQ(list.data(list.index(3), Qt::ToolTipRole).toString(), QStringLiteral("http://h/4\nNot reached"));
    EXPECT_EQ(list.data(list.index(1), UrlList::OutcomeRole).toInt(), int(UrlList::Outcome::Failed));
    // The row's text stays the entry's.
    EXPECT_EQ(list.data(list.index(0), Qt::DisplayRole).toString(), QStringLiteral("http://h/0"));

    EXPECT_EQ(list.countOutcome(UrlList::Outcome::Stored), 2);
    EXPECT_EQ(list.removeStored(), 2);
    EXPECT_EQ(contents(list), (QStringList{QStringLiteral("http://h/1"), QStringLiteral("http://h/4"), QStringLiteral("http://h/5")}));
    EXPECT_EQ(list.outcomeAt(1), UrlList::Outcome::Failed);
    list.clearOutcomes();
    EXPECT_EQ(list.outcomeAt(1), UrlList::Outcome::None);
    EXPECT_TRUE(list.noteAt(1).isEmpty());
    // Without an outcome the tip is the address alone.
    EXPECT_EQ(list.data(list.index(0), Qt::ToolTipRole).toString(), QStringLiteral("http://h/1"));
}

TEST(UrlList, SeveralOutcomesAtOnceAreOneChangeOverTheRowsTheySpanAndSkipEntriesGone) {
    UrlList list;
    QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::Fatal);
    for (int k = 0; k < 8; ++k) list.append(QStringLiteral("http://h/%1").arg(k));
    const UrlList::EntryId gone = list.idAt(2);
    const UrlList::EntryId sixth = list.idAt(6);
    list.setOutcome(sixth, UrlList::Outcome::Failed, QStringLiteral("old note"));
    list.removeAt(2);
    QSignalSpy changed(&list, &QAbstractItemModel::dataChanged);
    list.setOutcomes({{list.idAt(5), UrlList::Outcome::None, QString()},  // "http://h/5", its note cleared
                      {gone, UrlList::Outcome::Stored, QStringLiteral("never shown")},
                      {list.idAt(3), UrlList::Outcome::Stored, QStringLiteral("Stored as /tmp/3")},
                      {list.idAt(1), UrlList::Outcome::Failed, QStringLiteral("Failed: HTTP 404")}});
    ASSERT_EQ(changed.size(), 1);
    EXPECT_EQ(changed[0][0].value<QModelIndex>().row(), 0);
    EXPECT_EQ(changed[0][1].value<QModelIndex>().row(), 4);
    EXPECT_EQ(list.outcomeAt(1), UrlList::Outcome::Failed);
    EXPECT_EQ(list.outcomeAt(2), UrlList::Outcome::None);
    EXPECT_EQ(list.noteAt(3), QStringLiteral("Stored as /tmp/3"));
    EXPECT_EQ(list.outcomeAt(5), UrlList::Outcome::None);
    EXPECT_TRUE(list.noteAt(5).isEmpty());
    EXPECT_EQ(list.countOutcome(UrlList::Outcome::Stored), 1);
    // Nothing to change: nothing announced.
    list.setOutcomes({{gone, UrlList::Outcome::Failed, QString()}});
    list.setOutcomes({});
    EXPECT_EQ(changed.size(), 1);
}

TEST(UrlList, AFormedNoteIsShownInItsOutcomesFormWhereverTheEntryGoes) {
    UrlList list;
    QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::Fatal);
    list.setOutcomeLook(UrlList::Outcome::Stored, QVariant(), QString(), QStringLiteral("Stored as %1"));
    for (int k = 0; k < 4; ++k) list.append(QStringLiteral("http://h/%1").arg(k));
    // A path that itself reads like a form is shown as it is.
    const QString path = QStringLiteral("/out/100%1 (2).txt");
    list.setOutcomes({{list.idAt(2), UrlList::Outcome::Stored, path, true},
                      {list.idAt(3), UrlList::Outcome::Failed, QStringLiteral("Failed: HTTP 500"), true}});
    EXPECT_EQ(list.noteAt(2), QStringLiteral("Stored as /out/100%1 (2).txt"));
    EXPECT_EQ(list.data(list.index(1), Qt::ToolTipRole).toString(), QStringLiteral("http://h/1\nStored as /out/100%1 (2).txt"));
    // An outcome without a form shows the note as given.
    EXPECT_EQ(list.noteAt(3), QStringLiteral("Failed: HTTP 500"));
    // Removed and brought back, the row's note is still its own.
    list.removeAt(2);
    EXPECT_EQ(list.noteAt(2), QStringLiteral("Failed: HTTP 500"));
    list.undoRemoval();
    EXPECT_EQ(list.noteAt(2), QStringLiteral("Stored as /out/100%1 (2).txt"));
    // A plain note in its place replaces the formed one.
    list.setOutcome(list.idAt(2), UrlList::Outcome::Stored, QStringLiteral("kept elsewhere"));
    EXPECT_EQ(list.noteAt(2), QStringLiteral("kept elsewhere"));
}

TEST(UrlList, OutcomesSurviveCompaction) {
    UrlList list;
    const QString big(300 * 1024, QLatin1Char('x'));
    for (int k = 0; k < 12; ++k) list.append(big + QString::number(k));
    const UrlList::EntryId last = list.idAt(12);
    list.setOutcome(last, UrlList::Outcome::Failed, QStringLiteral("why"));
    // Most removed: the blocks are rewritten.
    list.removeIf([](std::string_view t) { return t.back() != '1'; });
    ASSERT_EQ(list.count(), 2);  // "…1" and "…11"
    EXPECT_EQ(list.positionOf(last), 2);
    EXPECT_EQ(list.outcomeAt(2), UrlList::Outcome::Failed);
    EXPECT_EQ(list.noteAt(2), QStringLiteral("why"));
    EXPECT_EQ(list.textAt(2), big + QStringLiteral("11"));
}
