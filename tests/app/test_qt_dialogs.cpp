// The set-up of the desktop's message boxes: wide enough for their title, centred on the window,
// and a box opened while another is open comes above it. The boxes are shown without exec(), so
// no test waits on one.
#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QMessageBox>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include "app/QtDialogs.h"
#include "harness/Timing.h"

namespace {
int distance(const QPoint& a, const QPoint& b) { return (a - b).manhattanLength(); }
}  // namespace

TEST(MessageBoxes, AtLeastAsWideAsTheTitleAndCentredOnTheWindowWhereverItIsPlaced) {
    QWidget owner;
    owner.setGeometry(100, 80, 536, 464);
    EXPECT_EQ(Dialogs::MessageBoxParent(&owner), nullptr) << "before the window shows, a box stands alone";
    owner.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&owner));

    QMessageBox box(Dialogs::MessageBoxParent(&owner));
    EXPECT_EQ(box.parentWidget(), &owner);
    box.setWindowTitle(QStringLiteral("Fetchwright: the last run did not finish"));
    box.setText(QStringLiteral("F"));
    Dialogs::FitAndCentre(box, &owner);
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    // A bold title with an icon and three buttons of about 25 px beside it fits.
    QFont titleFont = QApplication::font("QMdiSubWindowTitleBar");
    titleFont.setBold(true);
    EXPECT_GE(box.width(), QFontMetrics(titleFont).horizontalAdvance(box.windowTitle()) + 100);
    EXPECT_LE(distance(box.frameGeometry().center(), owner.frameGeometry().center()), 2);

    // The window is put in its place only after the box opened (a window manager's placing).
    owner.move(400, 300);
    EXPECT_TRUE(QTest::qWaitFor([&] { return distance(box.frameGeometry().center(), owner.frameGeometry().center()) <= 2; },
                                Timing::boundMs(5000)));
    box.close();
}

TEST(MessageBoxes, ABoxOpenedWhileAnotherIsOpenComesAboveIt) {
    QWidget owner;
    owner.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&owner));
    // A box the user left open during a run; the run's closing box then belongs to it.
    QDialog open(&owner);
    open.setWindowModality(Qt::ApplicationModal);
    open.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeModalWidget() == &open; }, Timing::boundMs(5000)));
    QMessageBox closing(Dialogs::MessageBoxParent(&owner));
    EXPECT_EQ(closing.parentWidget(), &open);
    EXPECT_TRUE(closing.isWindow());
    open.close();
    EXPECT_EQ(Dialogs::MessageBoxParent(&owner), &owner);
}
