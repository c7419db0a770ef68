// What the window shows of a run, without a server: the bar against the bytes received, the
// caption's fields and its middle cut, and the rows under way as the list's roles and the
// delegate's painting give them.
#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QTreeView>

#include <gtest/gtest.h>

#include "app/CaptionProgressBar.h"
#include "app/RunProgress.h"
#include "app/RunRowDelegate.h"
#include "urllist/UrlList.h"

using Download::EntryId;
using Download::ItemOutcome;
using Download::JobFigures;
using RunProgress::RunMeter;

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

struct Item {
    EntryId entry;
    qint64 received;
    qint64 total;
    qint64 retryAtMs = 0;
    const char* name = "";
};

// A snapshot of a run of `items` with these items under way.
JobFigures snapshot(int items, std::vector<Item> under, qint64 moved = 0, bool allBegun = false) {
    JobFigures f;
    f.items = items;
    f.allBegun = allBegun;
    f.run.underWay = static_cast<int>(under.size());
    f.run.bytesMoved = moved;
    for (const Item& item : under) {
        Download::ItemFigures figures;
        figures.index = static_cast<int>(item.entry);
        figures.received = item.received;
        figures.total = item.total;
        figures.retryAtMs = item.retryAtMs;
        figures.name = s(item.name);
        f.run.items.push_back(figures);
        f.entries.push_back(item.entry);
        if (f.earliest == 0) f.earliest = item.entry;
    }
    return f;
}

ItemOutcome stored(qint64 bytes) {
    ItemOutcome outcome;
    outcome.stored = true;
    outcome.bytes = bytes;
    return outcome;
}

constexpr qint64 MB = 1000 * 1000;

}  // namespace

TEST(RunMeterBar, CountsBytesWithOneBigAndManySmallItemsAndReachesTheEndOnlyWhenTheLastItemEnds) {
    RunMeter meter;
    meter.reset(s("/out"), 10);
    int last = 0;
    auto check = [&](const char* when) {
        EXPECT_GE(meter.barValue(), last) << when << ": the bar went back";
        last = meter.barValue();
    };
    // The big one first, the nine small ones pass by it on the second transfer.
    meter.started(1, s("big.iso"));
    meter.update(snapshot(10, {{1, 0, 100 * MB}}), 0);
    check("start");
    for (EntryId small = 2; small <= 10; ++small) {
        meter.started(small, s("small"));
        meter.update(snapshot(10, {{1, (small - 1) * MB, 100 * MB}, {small, MB / 2, MB}}), small * 100);
        check("small under way");
        meter.finished(small, stored(MB));
        check("small ended");
        // The small ones end quickly; the bar follows the bytes, not the items ended.
        EXPECT_LT(meter.barValue(), 20) << "item " << small;
    }
    meter.update(snapshot(10, {{1, 50 * MB, 100 * MB}}, 0, true), 2000);
    // 9 MB of small ones and half the big one, of 109 MB.
    EXPECT_EQ(meter.barValue(), 54);
    EXPECT_EQ(meter.receivedBytes(), 59 * MB);
    EXPECT_EQ(meter.wholeBytes(), 109 * MB);
    meter.update(snapshot(10, {{1, 100 * MB - 1, 100 * MB}}, 0, true), 3000);
    EXPECT_EQ(meter.barValue(), 99) << "not full while an item is under way";
    meter.finished(1, stored(100 * MB));
    EXPECT_EQ(meter.barValue(), 100);
}

TEST(RunMeterBar, OneBigFileFillsItAsItsBytesArriveAndAnEstimateThatGrowsNeverTakesItBack) {
    RunMeter one;
    one.reset(s("/out"), 1);
    one.started(1, s("dvd.iso"));
    one.update(snapshot(1, {{1, 50 * MB, 200 * MB}}, 0, true), 0);
    EXPECT_EQ(one.barValue(), 25);
    one.update(snapshot(1, {{1, 150 * MB, 200 * MB}}, 0, true), 100);
    EXPECT_EQ(one.barValue(), 75);

    // A small first item makes the rest look small; a big second one corrects that, and the bar
    // waits for the bytes to catch up instead of moving back.
    RunMeter run;
    run.reset(s("/out"), 4);
    run.started(1, s("a"));
    run.finished(1, stored(MB));
    EXPECT_EQ(run.barValue(), 25);
    run.started(2, s("b"));
    run.update(snapshot(4, {{2, 0, 1000 * MB}}), 100);
    EXPECT_LT(run.receivedBytes() * 100 / run.wholeBytes(), 25);
    EXPECT_EQ(run.barValue(), 25);

    // Until any size is known, ended items are what there is to count.
    RunMeter unknown;
    unknown.reset(s("/out"), 4);
    unknown.started(1, s("a"));
    unknown.started(2, s("b"));
    unknown.update(snapshot(4, {{1, 5000, -1}, {2, 0, -1}}), 0);
    EXPECT_EQ(unknown.barValue(), 0);
    unknown.finished(1, ItemOutcome{});  // failed with nothing
    EXPECT_EQ(unknown.barValue(), 25);
}

TEST(RunMeterCaption, NameUnderWayBytesSpeedTimeLeftAndItemsDone) {
    RunMeter meter;
    meter.reset(s("/out"), 2);
    meter.started(7, s("live-dvd.iso"));
    meter.update(snapshot(2, {{7, 0, 40 * MB}}, 0), 0);
    EXPECT_EQ(meter.name(), s("live-dvd.iso"));
    // No speed yet, so no time left.
    EXPECT_EQ(meter.figuresText(), s("1 under way \u00b7 0.0 of 80.0 MB \u00b7 0 of 2 done"));
    meter.update(snapshot(2, {{7, 10 * MB, 40 * MB}}, 10 * MB), 1000);
    EXPECT_EQ(meter.figuresText(), s("1 under way \u00b7 10.0 of 80.0 MB \u00b7 10.0 MB/s \u00b7 0 of 2 done"))
        << "the time left waits for a steady speed";
    // The answer named it: the caption shows the name it is stored under.
    meter.update(snapshot(2, {{7, 20 * MB, 40 * MB, 0, "live-dvd (1).iso"}}, 20 * MB), 2000);
    EXPECT_EQ(meter.name(), s("live-dvd (1).iso"));
    // The other item counts as the mean size: 60 MB left at 10 MB/s.
    EXPECT_EQ(meter.figuresText(), s("1 under way \u00b7 20.0 of 80.0 MB \u00b7 10.0 MB/s \u00b7 0:06 left \u00b7 0 of 2 done"));
    meter.finished(7, stored(40 * MB));
    meter.update(snapshot(2, {}, 40 * MB, true), 2500);
    EXPECT_TRUE(meter.figuresText().endsWith(s("1 of 2 done"))) << meter.figuresText().toStdString();
}

// A run of 20 items of about 20 MB whose first is a small one: the whole is not guessed from one
// size, only the bytes so far are said, until half of the items have told theirs.
TEST(RunMeterCaption, TheWholeIsSaidOnlyOnceHalfOfTheItemsHaveToldTheirSize) {
    RunMeter meter;
    meter.reset(s("/out"), 20);
    meter.started(1, s("small"));
    meter.update(snapshot(20, {{1, 50 * 1000, 100 * 1000}}, 50 * 1000), 0);
    meter.update(snapshot(20, {{1, 100 * 1000, 100 * 1000}}, 100 * 1000), 1000);
    EXPECT_EQ(meter.figuresText(), s("1 under way \u00b7 100.0 kB \u00b7 50.0 kB/s \u00b7 0 of 20 done"))
        << "no whole of 2 MB from one small file, and no time left from it";
    meter.finished(1, stored(100 * 1000));
    std::vector<Item> under;
    for (EntryId k = 2; k <= 10; ++k) {
        meter.started(k, s("big"));
        under.push_back({k, 0, 20 * MB});
    }
    meter.update(snapshot(20, under, 100 * 1000), 2000);
    EXPECT_TRUE(meter.figuresText().contains(s("0.1 of 360.2 MB"))) << meter.figuresText().toStdString();
}

TEST(RunMeterRows, ShareSpeedRetryAndTipOfEachRowUnderWayAndOnlyWhatChanged) {
    RunMeter meter;
    meter.reset(s("/out"), 3);
    meter.started(1, s("a.iso"));
    meter.started(2, s("page"));
    meter.update(snapshot(3, {{1, 0, 200 * MB}, {2, 0, -1}}), 0);
    meter.update(snapshot(3, {{1, 90 * MB, 200 * MB, 0, "a.iso"}, {2, 1200 * 1000, -1}}), 1000);
    std::vector<RunProgress::RowFigures> rows = meter.changedRows();
    ASSERT_EQ(rows.size(), 2u);
    std::sort(rows.begin(), rows.end(), [](const auto& x, const auto& y) { return x.entry < y.entry; });
    EXPECT_DOUBLE_EQ(rows[0].share, 0.45);
    EXPECT_EQ(rows[0].text, s("45 % \u00b7 90.0 MB/s"));
    EXPECT_EQ(rows[0].tip, s("Saving as /out/a.iso \u00b7 200.0 MB"));
    // Without a size: the bytes received, no share, and the folder until the answer names it.
    EXPECT_LT(rows[1].share, 0);
    EXPECT_EQ(rows[1].text, s("1.2 MB \u00b7 1.2 MB/s"));
    EXPECT_EQ(rows[1].tip, s("Saving into /out \u00b7 size not known yet"));
    // The same figures again change no row.
    meter.update(snapshot(3, {{1, 90 * MB, 200 * MB, 0, "a.iso"}, {2, 1200 * 1000, -1}}), 1000);
    EXPECT_TRUE(meter.changedRows().empty());
    // A row waiting for its next try says when.
    meter.update(snapshot(3, {{1, 90 * MB, 200 * MB, 0, "a.iso"}, {2, 0, -1, 1000 + 6200}}), 1000);
    rows = meter.changedRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].text, s("retry in 0:07"));
    meter.finished(2, ItemOutcome{});
    EXPECT_EQ(meter.takeEndedRows(), std::vector<EntryId>{2});
}

TEST(RunMeterRows, TheListTellsARowUnderWayByItsRolesAndTheDelegateFillsItsShare) {
    UrlList list;
    list.appendMany({s("http://h.example/a.iso"), s("http://h.example/b.iso")});
    const QModelIndex first = list.index(0);
    EXPECT_FALSE(first.data(UrlList::ProgressRole).isValid());
    std::vector<int> changedRows;
    QObject::connect(&list, &QAbstractItemModel::dataChanged, [&](const QModelIndex& from, const QModelIndex& to) {
        for (int row = from.row(); row <= to.row(); ++row) changedRows.push_back(row);
    });
    list.setProgress(list.idAt(1), {0.5, s("50 % \u00b7 2.1 MB/s"), s("Saving as /out/a.iso \u00b7 4.0 MB")});
    EXPECT_EQ(changedRows, std::vector<int>{0}) << "only the row that changed";
    EXPECT_DOUBLE_EQ(first.data(UrlList::ProgressRole).toDouble(), 0.5);
    EXPECT_EQ(first.data(UrlList::ProgressTextRole).toString(), s("50 % \u00b7 2.1 MB/s"));
    EXPECT_EQ(first.data(Qt::ToolTipRole).toString(), s("http://h.example/a.iso\nSaving as /out/a.iso \u00b7 4.0 MB"));

    QTreeView view;
    view.setModel(&list);
    RunRowDelegate delegate;
    QStyleOptionViewItem option;
    option.initFrom(&view);
    // The text centred as the view has it, in a font that leaves the row's top edge free,
    // whatever fonts the machine has.
    option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    QFont font = view.font();
    font.setPixelSize(12);
    option.font = font;
    option.fontMetrics = QFontMetrics(font);
    option.rect = QRect(0, 0, 400, std::max(24, option.fontMetrics.height() + 8));
    option.palette.setColor(QPalette::Base, Qt::white);
    auto paint = [&](const QModelIndex& index) {
        QImage image(option.rect.size(), QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        delegate.paint(&painter, option, index);
        return image;
    };
    // The fill covers the share of the row's width; its top edge holds no text.
    const QImage half = paint(first);
    EXPECT_NE(half.pixel(20, 1), qRgb(255, 255, 255));
    EXPECT_NE(half.pixel(190, 1), qRgb(255, 255, 255));
    EXPECT_EQ(half.pixel(220, 1), qRgb(255, 255, 255));
    EXPECT_EQ(RunRowDelegate::fillWidth(400, 0.5), 200);
    EXPECT_EQ(RunRowDelegate::fillWidth(400, -1), 0);
    EXPECT_EQ(RunRowDelegate::fillWidth(400, 7), 400);
    // The figures are drawn at the right end.
    bool inked = false;
    for (int x = 300; x < 400 && !inked; ++x)
        for (int y = 4; y < 20 && !inked; ++y) inked = half.pixel(x, y) != qRgb(255, 255, 255);
    EXPECT_TRUE(inked);
    // A row not under way is drawn as before: no fill.
    EXPECT_EQ(paint(list.index(1)).pixel(20, 1), qRgb(255, 255, 255));

    list.clearProgress(list.idAt(1));
    EXPECT_FALSE(first.data(UrlList::ProgressRole).isValid());
    EXPECT_EQ(first.data(Qt::ToolTipRole).toString(), s("http://h.example/a.iso"));
}

TEST(RunProgressText, DurationsAndTheRateOfTheLastSeconds) {
    EXPECT_EQ(RunProgress::Duration(41), s("0:41"));
    EXPECT_EQ(RunProgress::Duration(3723), s("1:02:03"));
    RunProgress::RateMeter meter;
    meter.sample(0, 0);
    EXPECT_LT(meter.bytesPerSecond(), 0);
    meter.sample(1000, 1000000);
    meter.sample(2000, 3000000);
    EXPECT_DOUBLE_EQ(meter.bytesPerSecond(), 1.5e6);
    // Only the last few seconds count.
    meter.sample(6000, 3000000);
    meter.sample(7000, 3500000);
    EXPECT_DOUBLE_EQ(meter.bytesPerSecond(), 500000.0);
    // A body that started over is measured from its new start.
    meter.sample(7250, 100);
    EXPECT_LT(meter.bytesPerSecond(), 0);
}

TEST(CaptionProgressBarTest, ALongNameIsShortenedInItsMiddleAndTheFiguresStayWhole) {
    CaptionProgressBar bar;
    const QString lead = s("Please wait.. Processing: ");
    const QString figures = s("6 under way \u00b7 157 of 348 MB \u00b7 4.1 MB/s \u00b7 0:38 left \u00b7 34 of 55 done");
    const QString name = s("archive-") + QString(5 * 1000 * 1000, QLatin1Char('x')) + s("-end.iso");
    // Room for the figures and some 30 characters of the name, in the font the bar draws with.
    const QFontMetrics metrics(bar.font());
    bar.resize(metrics.horizontalAdvance(lead + s("archive-") + QString(14, QLatin1Char('x')) + s("\u2026-end.iso \u00b7 ") + figures) + 12, 27);
    bar.show();
    bar.setCaption(lead, name, figures);
    const QString shown = bar.text();
    EXPECT_TRUE(shown.startsWith(lead + s("archive-"))) << shown.left(80).toStdString();
    EXPECT_TRUE(shown.endsWith(s(" \u00b7 ") + figures)) << shown.right(80).toStdString();
    EXPECT_TRUE(shown.contains(QChar(0x2026)));
    EXPECT_LE(bar.fontMetrics().horizontalAdvance(shown), bar.width());
    // What is kept and laid out is bounded, whatever the name's length.
    EXPECT_LE(bar.caption().size(), lead.size() + CaptionProgressBar::kAddressChars + 3 + figures.size());
    EXPECT_EQ(bar.accessibleName(), bar.caption());

    // A short one is shown whole, and a wider bar shows more of a long one.
    bar.setCaption(lead, s("live-dvd.iso"), figures);
    EXPECT_EQ(bar.text(), lead + s("live-dvd.iso \u00b7 ") + figures);
    bar.setCaption(lead, name, figures);
    const int narrowShown = static_cast<int>(bar.text().size());
    bar.resize(bar.width() + metrics.horizontalAdvance(QString(20, QLatin1Char('x'))), 27);
    QApplication::processEvents();
    EXPECT_GT(bar.text().size(), narrowShown);
}

TEST(CaptionProgressBarTest, ANarrowBarDropsTheSpeedThenTheTransfersBeforeTheNameIsGone) {
    CaptionProgressBar bar;
    bar.show();
    const QString lead = s("Please wait.. Processing: ");
    const QStringList figures{s("6 under way \u00b7 157 of 348 MB \u00b7 4.1 MB/s \u00b7 0:38 left \u00b7 34 of 55 done"),
                              s("6 under way \u00b7 157 of 348 MB \u00b7 0:38 left \u00b7 34 of 55 done"),
                              s("157 of 348 MB \u00b7 0:38 left \u00b7 34 of 55 done")};
    const QFontMetrics metrics(bar.font());
    auto fits = [&](const QString& tail) { return metrics.horizontalAdvance(lead + s(" \u00b7 ") + tail) + 12; };
    for (int k = 0; k < 3; ++k) {
        // Just wide enough for figure k and a name of kMinAddressPx.
        bar.resize(fits(figures[k]) + CaptionProgressBar::kMinAddressPx, 27);
        bar.setCaption(lead, s("live-dvd-amd64-") + QString(200, QLatin1Char('x')) + s(".iso"), figures);
        EXPECT_TRUE(bar.text().endsWith(s(" \u00b7 ") + figures[k])) << k << ": " << bar.text().toStdString();
        EXPECT_TRUE(bar.text().contains(s("live-"))) << "the name keeps its room";
        EXPECT_TRUE(bar.caption().endsWith(figures[0])) << "the whole caption keeps every figure";
    }
}
