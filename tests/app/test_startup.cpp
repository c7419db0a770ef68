#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QImageWriter>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include <memory>

#include "app/Form1.h"
#include "app/Startup.h"
#include "app/StartupEnvironment.h"
#include "harness/RunWait.h"
#include "harness/LoopbackServer.h"
#include "harness/ScriptedDialogs.h"
#include "harness/UserSettings.h"
#include "app/ErrorTrap.h"
#include "support/Settings.h"

namespace {

const QString kOnline = QStringLiteral("echo 64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.05 ms");
const QString kOffline = QStringLiteral("sh -c 'echo ping: one.one.one.one: Temporary failure in name resolution; exit 2'");

QString reportAt(int line) {
    return QStringLiteral("in Fetchwright2021/08/31.Form1.Form_Load at line ") + QString::number(line);
}

// A 32x32 cursor file with the given hotspot, as a cursor editor writes it.
QByteArray cursorFile(int hotX, int hotY) {
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(Qt::blue);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, "ico").write(image);
    data[2] = 2;  // type: cursor
    data[10] = char(hotX);
    data[11] = 0;
    data[12] = char(hotY);
    data[13] = 0;
    return data;
}

struct Startup : ::testing::Test {
    QTemporaryDir dir;
    QString programFolder;
    QString desktop;
    QString downloads;  // not there unless a test makes it
    QString home;
    StartupEnvironment env;
    Settings::Store store;
    ScriptedDialogs dialogs;
    std::unique_ptr<Form1> form;
    int desktopLookups = 0;
    int drawAnswer = 50;
    int draws = 0;

    // The whole program shares one store: no case leaves anything behind for the next.
    void TearDown() override { clearUserSettings(); }
    void SetUp() override {
        clearUserSettings();
        dialogs.messages.clear();
        desktopLookups = draws = 0;
        programFolder = dir.path() + QStringLiteral("/program");
        desktop = dir.path() + QStringLiteral("/Desktop");
        QDir().mkpath(programFolder);
        QDir().mkpath(desktop);
        env.programFolder = programFolder;
        env.pingCommand = kOnline;
        env.desktopFolder = [this] {
            ++desktopLookups;
            return desktop;
        };
        downloads = dir.path() + QStringLiteral("/Downloads");
        home = dir.path() + QStringLiteral("/home");
        env.downloadFolder = [this] { return downloads; };
        env.homeFolder = [this] { return home; };
        env.drawHomePageNumber = [this] {
            ++draws;
            return drawAnswer;
        };
        form = std::make_unique<Form1>(dialogs, store);
    }
    // Another start of the program: a new window over the same store.
    void restart() {
        form = std::make_unique<Form1>(dialogs, store);
        load();
    }
    void load() { form->Form_Load(env); }
    QString stored(const char* entry) { return store.read(QString::fromLatin1(entry), QStringLiteral("<absent>")); }
    void put(const char* entry, const QString& text) { store.write(QString::fromLatin1(entry), text); }
    void writeFile(const QString& path, const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
};

}  // namespace

// ---- Restoring the remembered choices ----

TEST_F(Startup, FirstStartSelectsTheFirstOptionAndTheDesktopFolderAndStoresTheFolder) {
    load();
    EXPECT_TRUE(form->Option1->isChecked());
    EXPECT_FALSE(form->Option2->isChecked());
    EXPECT_EQ(form->Text1->text(), desktop + QLatin1Char('/'));
    EXPECT_EQ(stored("Output Folder"), desktop + QLatin1Char('/'));
    // The first option was already selected: no click, so the options are not written.
    EXPECT_EQ(stored("Option1"), QStringLiteral("<absent>"));
    EXPECT_EQ(stored("Option2"), QStringLiteral("<absent>"));
    EXPECT_TRUE(dialogs.messages.empty()) << dialogs.messageTexts().join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(QFile::exists(QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) +
                              QStringLiteral("/Quillmoor/Fetchwright.conf")));
    // Title, column and caption.
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Fetchwright"));
    EXPECT_EQ(dialogs.applicationTitle(), QStringLiteral("Fetchwright"));
    EXPECT_EQ(form->urlList().headerData(0, Qt::Horizontal).toString(), QStringLiteral("URL(s)"));
    EXPECT_EQ(form->ListView1->header()->sectionSize(0), 466);
}

TEST_F(Startup, TheSystemDesktopIsTheDefaultOfARealStart) {
    env = StartupEnvironment::FromSystem();
    env.pingCommand = kOnline;
    env.drawHomePageNumber = [] { return 1; };
    load();
    EXPECT_EQ(form->Text1->text(),
              QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + QLatin1Char('/'));
    EXPECT_TRUE(form->Text1->text().startsWith(QString::fromLocal8Bit(qgetenv("HOME"))));
}

TEST_F(Startup, WithoutADesktopFolderTheDownloadFolderElseHomeIsTheDefault) {
    QDir().rmdir(desktop);
    QDir().mkpath(downloads);
    QDir().mkpath(home);
    load();
    EXPECT_EQ(form->Text1->text(), downloads + QLatin1Char('/'));
    EXPECT_EQ(stored("Output Folder"), downloads + QLatin1Char('/'));

    // A fresh store: nothing chosen yet, and no download folder either.
    clearUserSettings();
    QDir().rmdir(downloads);
    restart();
    EXPECT_EQ(form->Text1->text(), home + QLatin1Char('/'));
    // None of them is made.
    EXPECT_FALSE(QFileInfo::exists(desktop));
    EXPECT_FALSE(QFileInfo::exists(downloads));

    // Once the desktop is there it comes first again; a download folder given as a file is none.
    clearUserSettings();
    writeFile(downloads, "not a folder");
    QDir().mkpath(desktop);
    restart();
    EXPECT_EQ(form->Text1->text(), desktop + QLatin1Char('/'));
    clearUserSettings();
    QDir().rmdir(desktop);
    restart();
    EXPECT_EQ(form->Text1->text(), home + QLatin1Char('/'));
    EXPECT_TRUE(dialogs.messages.empty()) << dialogs.messageTexts().join(QLatin1Char('|')).toStdString();
}

TEST_F(Startup, AFreshAccountWithoutDesktopDownloadsIntoItsDownloadFolderAtOnce) {
    // The program's own look-ups, in a home without a Desktop folder.
    const QString systemDesktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    const QString systemDownloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    ASSERT_TRUE(systemDownloads.startsWith(QDir::homePath()));
    struct Restore {
        QString desktop, downloads;
        ~Restore() {
            QDir(downloads).removeRecursively();
            QDir().mkpath(desktop);
        }
    } restore{systemDesktop, systemDownloads};
    ASSERT_TRUE(QDir().rmdir(systemDesktop));
    QDir().mkpath(systemDownloads);
    env = StartupEnvironment::FromSystem();
    env.pingCommand = kOnline;
    env.drawHomePageNumber = [] { return 1; };
    load();
    EXPECT_EQ(form->Text1->text(), systemDownloads + QLatin1Char('/'));

    LoopbackServer http;
    http.server().Get("/first.txt", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("first file", "text/plain");
    });
    http.start();
    form->urlList().append(http.url(QStringLiteral("/first.txt")));
    EXPECT_TRUE(ClickStartAndWait(*form));
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("Done.\r\n1 stored.")});
    QFile stored(systemDownloads + QStringLiteral("/first.txt"));
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_EQ(stored.readAll(), QByteArray("first file"));
    form.reset();  // its engine's connection closed before the server stops
}

TEST_F(Startup, AStoredFolderIsRestoredExactlyAfterTheDesktopIsLookedUp) {
    const QString odd = QStringLiteral("  /srv/odd, folder/@x/ü ");
    put("Output Folder", odd);
    load();
    EXPECT_EQ(form->Text1->text(), odd);
    EXPECT_EQ(desktopLookups, 1);
    EXPECT_EQ(stored("Output Folder"), odd);
}

TEST_F(Startup, AnEmptyStoredFolderStaysEmpty) {
    put("Output Folder", QString());
    load();
    EXPECT_EQ(form->Text1->text(), QString());
    EXPECT_EQ(stored("Output Folder"), QString());
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(Startup, UndeterminableDesktopIsReportedAtLine138AndTheBoxStaysEmpty) {
    put("Output Folder", QStringLiteral("/srv/stored/"));
    desktop.clear();
    load();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].caption, QStringLiteral("Application Error"));
    EXPECT_TRUE(dialogs.messages[0].text.contains(reportAt(138))) << dialogs.messages[0].text.toStdString();
    EXPECT_EQ(form->Text1->text(), QString());
}

TEST_F(Startup, StoredOptionTextsInEveryAcceptedForm) {
    struct Case {
        const char* option1;  // nullptr: absent
        const char* option2;
        bool selected1, selected2;
        const char* stored1;  // after start-up
        const char* stored2;
    } cases[] = {
        {"False", "True", false, true, "False", "True"},
        {nullptr, "True", false, true, "False", "True"},  // the default selects Option1 first
        {"False", "False", false, false, "False", "False"},
        {"1", "0", true, false, "1", "0"},
        {"tRUE", "fALSE", true, false, "tRUE", "fALSE"},
        {"0", "-1", false, true, "False", "True"},
        {"TRUE", "TRUE", false, true, "False", "True"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.option1 ? c.option1 : "(absent)") + " / " + (c.option2 ? c.option2 : "(absent)"));
        SetUp();
        if (c.option1) put("Option1", QString::fromLatin1(c.option1));
        if (c.option2) put("Option2", QString::fromLatin1(c.option2));
        load();
        EXPECT_EQ(form->Option1->isChecked(), c.selected1);
        EXPECT_EQ(form->Option2->isChecked(), c.selected2);
        EXPECT_EQ(stored("Option1"), QString::fromLatin1(c.stored1));
        EXPECT_EQ(stored("Option2"), QString::fromLatin1(c.stored2));
        EXPECT_TRUE(dialogs.messages.empty());
        EXPECT_EQ(form->Text1->text(), desktop + QLatin1Char('/'));
    }
}

TEST_F(Startup, AnOptionTextThatIsNoTruthValueIsReportedAndStartUpGoesOn) {
    put("Option1", QStringLiteral("maybe"));
    put("Option2", QStringLiteral("True"));
    load();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text.left(dialogs.messages[0].text.indexOf(QLatin1Char('\r'))),
              QStringLiteral("Type mismatch"));
    EXPECT_TRUE(dialogs.messages[0].text.contains(reportAt(134)));
    EXPECT_EQ(dialogs.messages[0].code, Dialogs::OkOnly + Dialogs::Exclamation);
    EXPECT_TRUE(form->Option2->isChecked());
    EXPECT_FALSE(form->Option1->isChecked());
    EXPECT_EQ(form->Text1->text(), desktop + QLatin1Char('/'));

    SetUp();
    put("Option2", QStringLiteral("yes"));
    load();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.messages[0].text.contains(reportAt(136)));
    EXPECT_TRUE(form->Option1->isChecked());
    EXPECT_FALSE(form->Option2->isChecked());
    EXPECT_EQ(form->Text1->text(), desktop + QLatin1Char('/'));
}

// ---- The option pair and the folder box write back ----

TEST_F(Startup, OptionClicksKeepThePairExclusiveAndWriteBoth) {
    load();
    form->Option2->click();
    EXPECT_FALSE(form->Option1->isChecked());
    EXPECT_EQ(stored("Option1"), QStringLiteral("False"));
    EXPECT_EQ(stored("Option2"), QStringLiteral("True"));
    form->Option1->click();
    EXPECT_FALSE(form->Option2->isChecked());
    EXPECT_EQ(stored("Option1"), QStringLiteral("True"));
    EXPECT_EQ(stored("Option2"), QStringLiteral("False"));
    // After a start that selected neither, a click selects one again.
    put("Option1", QStringLiteral("False"));
    put("Option2", QStringLiteral("False"));
    restart();
    form->Option2->click();
    EXPECT_TRUE(form->Option2->isChecked());
    EXPECT_EQ(stored("Option1"), QStringLiteral("False"));
    EXPECT_EQ(stored("Option2"), QStringLiteral("True"));
    restart();
    EXPECT_TRUE(form->Option2->isChecked());
    EXPECT_FALSE(form->Option1->isChecked());
}

TEST_F(Startup, TypingStoresEveryKeystrokeOnDiskAndTheLastTextComesBack) {
    load();
    QStringList onDiskAtEachChange;
    QObject::connect(form->Text1, &QLineEdit::textChanged, form.get(), [&] {
        QFile f(store.fileName());
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray text = f.readAll();
        const qsizetype at = text.indexOf("Output%20Folder=");
        onDiskAtEachChange << (at < 0 ? QStringLiteral("<absent>")
                                      : QString::fromUtf8(text.mid(at + 16, text.indexOf('\n', at) - at - 16)));
    });
    form->Text1->clear();
    QTest::keyClicks(form->Text1, QStringLiteral("/tmp/out"));
    EXPECT_EQ(onDiskAtEachChange, (QStringList{QString(), QStringLiteral("/"), QStringLiteral("/t"), QStringLiteral("/tm"),
                                               QStringLiteral("/tmp"), QStringLiteral("/tmp/"), QStringLiteral("/tmp/o"),
                                               QStringLiteral("/tmp/ou"), QStringLiteral("/tmp/out")}));
    restart();
    EXPECT_EQ(form->Text1->text(), QStringLiteral("/tmp/out"));
    // Clearing the box by hand is remembered as an empty folder, not as "use the desktop".
    form->Text1->selectAll();
    QTest::keyClick(form->Text1, Qt::Key_Backspace);
    EXPECT_EQ(stored("Output Folder"), QString());
    restart();
    EXPECT_EQ(form->Text1->text(), QString());
}

// ---- The "..." button ----

TEST_F(Startup, BrowsePickSetsTheBoxWithOneSeparatorAndRemembersTheFolder) {
    load();
    const QString picked = dir.path() + QStringLiteral("/Data");
    QDir().mkpath(picked);
    QStringList lastFolderWhenBoxChanged;
    QObject::connect(form->Text1, &QLineEdit::textChanged, form.get(),
                     [&] { lastFolderWhenBoxChanged << stored("LastFolderDot"); });

    dialogs.folderAnswers.push_back(picked);
    form->PushButton6->click();
    ASSERT_EQ(dialogs.folderDialogs.size(), 1u);
    EXPECT_EQ(dialogs.folderDialogs[0].first, QStringLiteral("Please select folder:"));
    // The box holds an existing folder (the desktop): the chooser opens there.
    EXPECT_EQ(dialogs.folderDialogs[0].second, desktop + QLatin1Char('/'));
    EXPECT_EQ(form->Text1->text(), picked + QLatin1Char('/'));
    EXPECT_EQ(stored("LastFolderDot"), picked);
    EXPECT_EQ(stored("Output Folder"), picked + QLatin1Char('/'));
    EXPECT_EQ(lastFolderWhenBoxChanged, QStringList{picked});  // remembered before the box changed

    // With a folder in the box that does not exist, the browse opens on its nearest existing
    // parent (after a restart too); Cancel changes nothing.
    restart();
    const QString typed = picked + QStringLiteral("/not yet/made/");
    form->Text1->setText(typed);
    dialogs.folderAnswers.push_back(QString());
    form->PushButton6->click();
    ASSERT_EQ(dialogs.folderDialogs.size(), 2u);
    EXPECT_EQ(dialogs.folderDialogs[1].second, picked);
    EXPECT_EQ(form->Text1->text(), typed);
    EXPECT_EQ(stored("LastFolderDot"), picked);
    EXPECT_EQ(stored("Output Folder"), typed);
    form->Text1->setText(QStringLiteral("~/Nothing/here"));  // the test's home exists
    dialogs.folderAnswers.push_back(QString());
    form->PushButton6->click();
    EXPECT_EQ(dialogs.folderDialogs[2].second, QDir::homePath());
    // With no folder at all in the box, the folder picked last.
    form->Text1->setText(QString());
    dialogs.folderAnswers.push_back(QString());
    form->PushButton6->click();
    EXPECT_EQ(dialogs.folderDialogs[3].second, picked);
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(Startup, BrowsingToTheRootOrAFolderEndingInASeparatorAddsNoSecondOne) {
    load();
    dialogs.folderAnswers.push_back(QStringLiteral("/"));
    form->PushButton6->click();
    EXPECT_EQ(form->Text1->text(), QStringLiteral("/"));
    EXPECT_EQ(stored("LastFolderDot"), QStringLiteral("/"));
    EXPECT_EQ(stored("Output Folder"), QStringLiteral("/"));

    dialogs.folderAnswers.push_back(dir.path() + QLatin1Char('/'));
    form->PushButton6->click();
    EXPECT_EQ(dialogs.folderDialogs[1].second, QStringLiteral("/"));
    EXPECT_EQ(form->Text1->text(), dir.path() + QLatin1Char('/'));
}

TEST_F(Startup, AChoiceThatIsNoExistingFolderCountsAsCancel) {
    load();
    const QString before = form->Text1->text();
    dialogs.folderAnswers.push_back(dir.path() + QStringLiteral("/does-not-exist"));
    form->PushButton6->click();
    EXPECT_EQ(form->Text1->text(), before);
    EXPECT_EQ(stored("LastFolderDot"), QStringLiteral("<absent>"));
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(Startup, ATildeInTheBoxIsTheHomeFolderForTheChooser) {
    load();
    const QString downloads = QDir::homePath() + QStringLiteral("/Downloads");
    ASSERT_TRUE(QDir().mkpath(downloads));
    form->Text1->setText(QStringLiteral("~/Downloads/"));
    dialogs.folderAnswers.push_back(QString());
    form->PushButton6->click();
    ASSERT_EQ(dialogs.folderDialogs.size(), 1u);
    EXPECT_EQ(dialogs.folderDialogs[0].second, downloads + QLatin1Char('/'));
    // The box keeps what was typed.
    EXPECT_EQ(form->Text1->text(), QStringLiteral("~/Downloads/"));
}

// ---- Skin, cursor, home page, title ----

TEST_F(Startup, WithoutSkinOrCursorTheDesignLookAndThePointingHandStay) {
    load();
    EXPECT_TRUE(form->styleSheet().isEmpty());
    EXPECT_FALSE(form->autoFillBackground());
    form->setMousePointer(PointerHand);
    EXPECT_EQ(form->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(Startup, SkinAndCursorBesideTheProgramAreApplied) {
    const QByteArray sheet = "QPushButton { color: rgb(1, 2, 3); }";
    writeFile(programFolder + QStringLiteral("/x/o.cjs"), sheet);
    writeFile(programFolder + QStringLiteral("/HAND-M.CUR"), cursorFile(5, 7));
    QPalette palette = form->palette();
    palette.setColor(QPalette::Button, QColor(10, 200, 30));
    palette.setColor(QPalette::Window, QColor(250, 250, 250));
    form->setPalette(palette);
    load();
    EXPECT_TRUE(dialogs.messages.empty()) << dialogs.messageTexts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(form->styleSheet(), QString::fromUtf8(sheet));
    EXPECT_EQ(form->palette().color(QPalette::Window), QColor(10, 200, 30));
    EXPECT_TRUE(form->Frame2->autoFillBackground());
    EXPECT_TRUE(form->Option1->autoFillBackground());
    EXPECT_FALSE(form->PushButton2->autoFillBackground());

    form->setMousePointer(PointerHand);
    EXPECT_EQ(form->cursor().shape(), Qt::BitmapCursor);
    EXPECT_EQ(form->cursor().hotSpot(), QPoint(5, 7));
    EXPECT_EQ(form->cursor().pixmap().size(), QSize(32, 32));
}

TEST_F(Startup, StepsRunInOrderAndAFailingStepLetsTheNextOnesRun) {
    env.pingCommand = kOffline;
    drawAnswer = 7;
    writeFile(programFolder + QStringLiteral("/HAND-M.CUR"), "this is no picture");
    put("Output Folder", QStringLiteral("/srv/out/"));
    struct Seen {
        int draws;
        QString text;
        bool visible;
    };
    std::vector<Seen> atEachMessage;
    dialogs.onMessage = [&](const ShownMessage&) {
        atEachMessage.push_back({draws, form->Text1->text(), form->isVisible()});
    };
    load();
    ASSERT_EQ(dialogs.messages.size(), 2u) << dialogs.messageTexts().join(QLatin1Char('|')).toStdString();
    // First the connectivity warning, with the product name as caption.
    EXPECT_EQ(dialogs.messages[0].text, QStringLiteral("You must be online to use this software accurately."));
    EXPECT_EQ(dialogs.messages[0].caption, QStringLiteral("Fetchwright"));
    EXPECT_EQ(dialogs.messages[0].code, Dialogs::OkOnly);
    // Then the cursor load fails, before the home-page draw and the restore.
    EXPECT_TRUE(dialogs.messages[1].text.contains(reportAt(108))) << dialogs.messages[1].text.toStdString();
    for (const Seen& s : atEachMessage) {
        EXPECT_EQ(s.draws, 0);
        EXPECT_EQ(s.text, QString());
        EXPECT_FALSE(s.visible);
    }
    // Every later step still ran.
    EXPECT_EQ(draws, 1);
    EXPECT_EQ(dialogs.openedUrls, std::vector<QString>{QStringLiteral("https://www.quillmoor.example/")});
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Fetchwright"));
    EXPECT_EQ(form->ListView1->header()->sectionSize(0), 466);
    EXPECT_EQ(form->Text1->text(), QStringLiteral("/srv/out/"));
    form->setMousePointer(PointerHand);
    EXPECT_EQ(form->cursor().shape(), Qt::PointingHandCursor);
}

TEST(StartupSteps, TheHomePageOpensOnlyWhenTheDrawIsSeven) {
    for (int n : {1, 6, 7, 8, 70, 100}) {
        ScriptedDialogs dialogs;
        Main::OpenHomePageOccasionally(dialogs, [n] { return n; });
        EXPECT_EQ(dialogs.openedUrls.size(), n == 7 ? 1u : 0u) << n;
    }
    bool seen[101] = {};
    for (int i = 0; i < 5000; ++i) {
        const int n = Main::DrawFrom1To100();
        ASSERT_GE(n, 1);
        ASSERT_LE(n, 100);
        seen[n] = true;
    }
    EXPECT_TRUE(seen[1] && seen[7] && seen[100]);
}

TEST(StartupSteps, ApplicationTitleCutsBeforeTheLastBlankAndKeepsANameWithoutOne) {
    EXPECT_EQ(Main::ApplicationTitleFor(QStringLiteral("Fetchwright")), QStringLiteral("Fetchwright"));
    EXPECT_EQ(Main::ApplicationTitleFor(QStringLiteral("Quillmoor Fetchwright")), QStringLiteral("Quillmoor"));
    EXPECT_EQ(Main::ApplicationTitleFor(QStringLiteral("Alpha Beta Gamma Delta Epsilon Zeta Eta Theta Iota Kappa")),
              QStringLiteral("Alpha Beta Gamma Delta Epsilon Zeta Eta"));
    EXPECT_EQ(Main::ApplicationTitleFor(QStringLiteral("Averyveryveryveryveryveryveryveryverylongname x")),
              QStringLiteral("Averyveryveryveryveryveryveryveryverylongname"));
}

TEST(StartupSteps, DesktopFolderEndsInOneSeparatorOrFails) {
    EXPECT_EQ(Main::GetDesktopFolder(QStringLiteral("/home/u/Desktop")), QStringLiteral("/home/u/Desktop/"));
    EXPECT_EQ(Main::GetDesktopFolder(QStringLiteral("/")), QStringLiteral("/"));
    EXPECT_THROW(Main::GetDesktopFolder(QString()), ErrorReport::Failure);
}

TEST_F(Startup, TheWindowKeepsItsChoicesInTheStoreItIsHandedAndNowhereElse) {
    const QString file = dir.path() + QStringLiteral("/own/Fetchwright.conf");
    const Settings::Store own(file);
    ScriptedDialogs ownDialogs;
    Form1 window{ownDialogs, own};
    window.Form_Load(env);
    window.Text1->setText(QStringLiteral("/srv/out/"));
    window.Option2->click();
    EXPECT_EQ(own.read(QStringLiteral("Output Folder"), QString()), QStringLiteral("/srv/out/"));
    EXPECT_EQ(own.read(QStringLiteral("Option2"), QString()), QStringLiteral("True"));
    EXPECT_EQ(stored("Output Folder"), QStringLiteral("<absent>"));
    EXPECT_EQ(stored("Option2"), QStringLiteral("<absent>"));
}
