#include <QClipboard>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include "app/Form1.h"
#include "app/StartupEnvironment.h"
#include "harness/ListContents.h"
#include "harness/ScriptedDialogs.h"

namespace {

struct FormFixture : ::testing::Test {
    ScriptedDialogs dialogs;
    Settings::Store settings;  // the test home's own
    Form1 form{dialogs, settings};

    void fill(std::initializer_list<const char*> texts) {
        for (const char* t : texts) form.urlList().append(QString::fromLatin1(t));
    }
    void select(int position) {
        form.ListView1->selectionModel()->setCurrentIndex(form.urlList().index(position - 1),
                                                          QItemSelectionModel::ClearAndSelect);
    }
    QStringList contents() { return contentsOf(form.urlList()); }
    void hover(QWidget* w) {
        QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), w->mapToGlobal(QPointF(2, 2)), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w, &move);
    }
};

QRect tw(int l, int t, int w, int h) { return QRect((l + 7) / 15, (t + 7) / 15, (w + 7) / 15, (h + 7) / 15); }

}  // namespace

TEST_F(FormFixture, FixedSizeWindowWithControlsWhereTheFormPutsThem) {
    EXPECT_EQ(form.minimumSize(), QSize(536, 464));
    EXPECT_EQ(form.maximumSize(), QSize(536, 464));
    EXPECT_EQ(form.ListView1->geometry(), tw(120, 120, 7800, 2805));
    EXPECT_EQ(form.PushButton2->geometry(), tw(120, 5910, 7800, 405));
    EXPECT_EQ(form.PushButton4->geometry(), tw(4080, 3525, 3840, 405));
    EXPECT_EQ(form.ProgressBar1->geometry(), tw(120, 6435, 7800, 405));
    EXPECT_EQ(form.Text1->geometry(), tw(240, 300, 6540, 345));
    EXPECT_EQ(form.Text1->parentWidget(), form.Frame2);
    EXPECT_EQ(form.Option2->parentWidget(), form.Frame1);
    // The download option frame lies below the window's client area.
    EXPECT_GE(form.Frame1->geometry().top(), form.height());
    EXPECT_TRUE(form.Option1->isChecked());
    EXPECT_FALSE(form.Option2->isChecked());
}

TEST_F(FormFixture, CaptionsFontsAndToolTip) {
    EXPECT_EQ(form.PushButton5->text(), QStringLiteral("Add One URL"));
    EXPECT_EQ(form.PushButton13->text(), QStringLiteral("Load List Of URLs From File"));
    EXPECT_EQ(form.PushButton7->text(), QStringLiteral("Get All Links Within URL"));
    EXPECT_EQ(form.PushButton4->text(), QStringLiteral("Load Sample/Example URLs"));
    EXPECT_EQ(form.PushButton17->text(), QStringLiteral("Remove URLs Containing X"));
    EXPECT_EQ(form.PushButton3->text(), QStringLiteral("Remove URLs Not Cont. X"));
    EXPECT_EQ(form.PushButton11->text(), QStringLiteral("Clear List"));
    EXPECT_EQ(form.PushButton1->text(), QStringLiteral("Help"));
    EXPECT_EQ(form.PushButton2->text(), QStringLiteral("Start Downloading"));
    EXPECT_EQ(form.PushButton6->text(), QStringLiteral("..."));
    EXPECT_EQ(form.Frame1->title(), QStringLiteral("Download Option"));
    EXPECT_EQ(form.Frame2->title(), QStringLiteral("Save To This Folder"));
    EXPECT_EQ(form.ProgressBar1->text(), QStringLiteral("Progress Bar"));
    EXPECT_EQ(form.ListView1->toolTip(),
              QStringLiteral("Double-click item to remove it. Move | line to right and out of window to reveal full names."));
    EXPECT_TRUE(form.font().bold());
    EXPECT_EQ(form.font().pointSize(), 9);
    EXPECT_DOUBLE_EQ(form.PushButton2->font().pointSizeF(), 11.25);
}

TEST_F(FormFixture, TabFollowsTheControlsAsTheyAreLaidOut) {
    const QList<QWidget*> stops{form.ListView1,    form.PushButton5, form.PushButton13, form.PushButton7, form.PushButton4,
                                form.PushButton17, form.PushButton3, form.PushButton11, form.PushButton1, form.PushButton18,
                                form.Text1,        form.PushButton6, form.PushButton2,  form.Option1,     form.Option2};
    QWidget* w = form.ListView1;
    QPoint before = w->mapTo(&form, QPoint(0, 0));
    for (int i = 1; i < stops.size(); ++i) {
        do { w = w->nextInFocusChain(); } while (!stops.contains(w) && w != form.ListView1);
        ASSERT_EQ(w, stops[i]) << "tab stop " << i;
        // Each stop lies below the one before, or on its row to its right.
        const QPoint at = w->mapTo(&form, QPoint(0, 0));
        EXPECT_TRUE(at.y() > before.y() || (at.y() == before.y() && at.x() > before.x()))
            << w->objectName().toStdString() << " comes before " << stops[i - 1]->objectName().toStdString();
        before = at;
    }
}

TEST_F(FormFixture, StartUpSetsTitleAndListColumn) {
    StartupEnvironment env = StartupEnvironment::FromSystem();
    env.pingCommand = QStringLiteral("echo 64 bytes from 127.0.0.1");
    env.drawHomePageNumber = [] { return 1; };
    form.Form_Load(env);
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Fetchwright"));
    EXPECT_EQ(dialogs.applicationTitle(), QStringLiteral("Fetchwright"));
    EXPECT_EQ(form.urlList().headerData(0, Qt::Horizontal).toString(), QStringLiteral("URL(s)"));
    EXPECT_EQ(form.ListView1->header()->sectionSize(0), 7000 / 15);
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(FormFixture, HoverRulesAndBusyPointer) {
    hover(form.PushButton2);
    EXPECT_EQ(form.mousePointer(), PointerHand);
    hover(form.ListView1->viewport());
    EXPECT_EQ(form.mousePointer(), PointerDefault);
    hover(form.PushButton6);
    EXPECT_EQ(form.mousePointer(), PointerHand);
    hover(form.Text1);
    EXPECT_EQ(form.mousePointer(), PointerDefault);
    hover(form.PushButton11);
    hover(&form);
    EXPECT_EQ(form.mousePointer(), PointerDefault);
    // Option buttons and the progress bar have no rule.
    hover(form.PushButton1);
    hover(form.ProgressBar1);
    EXPECT_EQ(form.mousePointer(), PointerHand);

    form.setMousePointer(PointerBusy);
    EXPECT_EQ(form.cursor().shape(), Qt::WaitCursor);
    hover(form.PushButton2);
    hover(form.ListView1->viewport());
    EXPECT_EQ(form.mousePointer(), PointerBusy);
    EXPECT_EQ(form.cursor().shape(), Qt::WaitCursor);
}

TEST_F(FormFixture, HandPointerShowsPointingHandWithoutCursorFile) {
    form.setMousePointer(PointerHand);
    EXPECT_EQ(form.cursor().shape(), Qt::PointingHandCursor);
    form.setMousePointer(PointerDefault);
    EXPECT_EQ(form.cursor().shape(), Qt::ArrowCursor);
}

TEST_F(FormFixture, DeleteAndDoubleClickRemoveTheSelectedEntry) {
    fill({"http://a/1", "http://b/2", "http://c/3"});
    select(2);
    QTest::keyClick(form.ListView1, Qt::Key_Delete);
    EXPECT_EQ(contents(), (QStringList{QStringLiteral("http://a/1"), QStringLiteral("http://c/3")}));
    EXPECT_EQ(form.urlList().textAt(2), QStringLiteral("http://c/3"));
    // The entry that moved up is selected next, so Delete can go on.
    EXPECT_EQ(form.selectedEntry(), 2);

    select(1);
    QTest::mouseDClick(form.ListView1->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(contents(), QStringList{QStringLiteral("http://c/3")});
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(FormFixture, SeveralRowsAtOnceForDeleteAndCopy) {
    fill({"http://a/1", "http://b/2", "http://c/3", "http://d/4", "http://e/5", "http://f/6"});
    EXPECT_EQ(form.ListView1->selectionMode(), QAbstractItemView::ExtendedSelection);
    // Click the fifth row, Ctrl+click the second, Shift+click the third: rows 2, 3 and 5,
    // chosen out of order.
    auto click = [&](int position, Qt::KeyboardModifiers modifiers) {
        const QRect row = form.ListView1->visualRect(form.urlList().index(position - 1));
        QTest::mouseClick(form.ListView1->viewport(), Qt::LeftButton, modifiers, row.center());
    };
    form.resize(form.size());
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    click(5, Qt::NoModifier);
    click(2, Qt::ControlModifier);
    click(3, Qt::ShiftModifier);
    const std::vector<bool> chosen = form.selectedRows();
    EXPECT_EQ(chosen, (std::vector<bool>{false, true, true, false, true, false}));
    EXPECT_EQ(form.selectedEntry(), 3);  // the current row

    QTest::keyClick(form.ListView1, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("http://b/2\nhttp://c/3\nhttp://e/5"));

    QTest::keyClick(form.ListView1, Qt::Key_Delete);
    EXPECT_EQ(contents(), (QStringList{QStringLiteral("http://a/1"), QStringLiteral("http://d/4"), QStringLiteral("http://f/6")}));
    // The entry now in the place of the first removed one is selected, alone.
    EXPECT_EQ(form.selectedRows(), (std::vector<bool>{false, true, false}));

    // A double-click removes the one row clicked.
    form.ListView1->selectAll();
    const QRect first = form.ListView1->visualRect(form.urlList().index(0));
    QTest::mouseDClick(form.ListView1->viewport(), Qt::LeftButton, Qt::NoModifier, first.center());
    EXPECT_EQ(contents(), (QStringList{QStringLiteral("http://d/4"), QStringLiteral("http://f/6")}));

    // Ctrl+A and Delete empty even a long list in one go.
    form.urlList().clear();
    {
        UrlList::Batch batch(form.urlList());
        for (int i = 0; i < 200000; ++i) batch.add(QStringLiteral("http://many/%1").arg(i));
    }
    form.ListView1->selectAll();
    form.ListView1_KeyDown(46);
    EXPECT_EQ(form.urlList().count(), 0);
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(FormFixture, TheColumnSpansTheListAndARowsTipIsItsAddress) {
    StartupEnvironment env = StartupEnvironment::FromSystem();
    env.pingCommand = QStringLiteral("echo 64 bytes from 127.0.0.1");
    env.drawHomePageNumber = [] { return 1; };
    form.Form_Load(env);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QHeaderView* header = form.ListView1->header();
    EXPECT_EQ(header->sectionSize(0), form.ListView1->viewport()->width());
    EXPECT_GE(header->sectionSize(0), 7000 / 15);
    // Dragged wider, the column still reveals long entries.
    header->resizeSection(0, 2000);
    EXPECT_EQ(header->sectionSize(0), 2000);

    // Each row's tip is its address (the list's own tip is for the space below the rows).
    fill({"http://a/1"});
    EXPECT_EQ(form.ListView1->model()->data(form.urlList().index(0), Qt::ToolTipRole).toString(), QStringLiteral("http://a/1"));
}

TEST_F(FormFixture, DirectRemovalDoesNothingWhenEmptyUnselectedOrBusy) {
    form.ListView1_KeyDown(46);
    form.ListView1_DblClick();
    EXPECT_EQ(form.urlList().count(), 0);

    fill({"http://a/1", "http://a/1"});
    form.ListView1->selectionModel()->clearSelection();
    form.ListView1_KeyDown(46);
    EXPECT_EQ(form.urlList().count(), 2);

    select(1);
    form.ListView1_KeyDown(45);  // another key
    EXPECT_EQ(form.urlList().count(), 2);

    form.setMousePointer(PointerBusy);
    form.ListView1_KeyDown(46);
    form.ListView1_DblClick();
    EXPECT_EQ(form.urlList().count(), 2);

    form.setMousePointer(PointerDefault);
    form.ListView1_DblClick();
    EXPECT_EQ(contents(), QStringList{QStringLiteral("http://a/1")});
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(FormFixture, ProgressCaptionIsShownLiterally) {
    form.ProgressBar1->setValue(50);
    form.ProgressBar1->setCaption(QStringLiteral("Please wait.. Processing: http://x/a%p%v.jpg"));
    EXPECT_EQ(form.ProgressBar1->text(), QStringLiteral("Please wait.. Processing: http://x/a%p%v.jpg"));
}
