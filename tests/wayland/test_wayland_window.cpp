// The window on a Wayland compositor (weston, headless): shown at its size, a message box of the
// desktop's own dialogs above it, and a drop into the list.
#include <QApplication>
#include <QDropEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QUrl>

#include <gtest/gtest.h>

#include "app/Form1.h"
#include "app/QtDialogs.h"
#include "harness/ListWait.h"
#include "harness/ScriptedDialogs.h"
#include "harness/Timing.h"

namespace {
QString s(const char* text) { return QString::fromUtf8(text); }

QStringList ListTexts(Form1& form) {
    QStringList texts;
    for (int row = 1; row <= form.urlList().count(); ++row) texts << form.urlList().textAt(row);
    return texts;
}
}  // namespace

TEST(Wayland, TheWindowAndAMessageBoxShowOnTheCompositor) {
    ASSERT_EQ(QGuiApplication::platformName(), s("wayland")) << "run under weston with QT_QPA_PLATFORM=wayland";
    Dialogs::QtDialogs dialogs;
    Settings::Store settings;
    Form1 form(dialogs, settings);
    dialogs.setOwner(&form);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form, Timing::boundMs(10000)));
    EXPECT_EQ(form.size(), QSize(536, 464));
    EXPECT_TRUE(form.PushButton2->isVisible());

    // The box is answered once the compositor shows it; no test waits on a person.
    bool exposed = false;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->windowHandle() || !box->windowHandle()->isExposed()) return;
        exposed = true;
        box->button(QMessageBox::Yes)->click();
    });
    answer.start(20);
    QTimer::singleShot(Timing::boundMs(20000), [] {
        if (QWidget* box = QApplication::activeModalWidget()) box->close();
    });
    const int answered = dialogs.msgBox(s("Shown on Wayland?"), Dialogs::YesNo);
    EXPECT_TRUE(exposed) << "the box never showed";
    EXPECT_EQ(answered, Dialogs::Yes);
}

// Paste goes through the compositor's clipboard, which needs a seat; weston's headless backend
// has none ("Can't set clipboard contents with no wl_seats available"), so only the drop is
// tried here: the paste keys are the same filter's under every platform.
TEST(Wayland, ADropAddsToTheList) {
    ScriptedDialogs dialogs;
    Settings::Store settings;
    Form1 form(dialogs, settings);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form, Timing::boundMs(10000)));

    QMimeData data;
    data.setUrls({QUrl(s("https://example.org/dropped.iso"))});
    data.setText(s("https://example.org/dropped.iso"));
    QWidget* viewport = form.ListView1->viewport();
    const QPoint at = viewport->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &drop);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.urlList().count() == 1; }, Timing::boundMs(10000)));
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(ListTexts(form), QStringList{s("https://example.org/dropped.iso")});
    EXPECT_TRUE(dialogs.messages.empty());
}
