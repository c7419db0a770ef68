// The shown texts in the user's language: German from the compiled-in translation, English as
// the sources write it with the plural forms of the counted texts, and the start-up choosing by
// the desktop's language.
#include <QDir>
#include <QGroupBox>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include "app/Form1.h"
#include "app/Languages.h"
#include "app/Startup.h"
#include "download/RunSummary.h"
#include "harness/ScriptedDialogs.h"
#include "listbuild/UserAddress.h"

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

// A run's closing message for one stored item and `notReached` items it never came to.
QString ClosingMessage(int notReached) {
    Download::RunSummary summary;
    Download::ItemOutcome stored;
    stored.stored = true;
    stored.path = s("/out/a.zip");
    summary.add(s("http://example.com/a.zip"), stored);
    summary.addNotReached(notReached);
    return summary.finalMessage();
}

QString NotAddedMessage(int lines) {
    Main::NotAdded notAdded;
    for (int i = 0; i < lines; ++i) notAdded.note(u"ftp://example.com/x");
    return notAdded.message();
}

}  // namespace

TEST(Languages, GermanWindowShowsGermanCaptionsAndMessages) {
    const Languages::Translators german{QLocale(QLocale::German, QLocale::Germany)};
    ASSERT_TRUE(german.ownLoaded());
    ScriptedDialogs dialogs;
    Settings::Store settings;
    Form1 form{dialogs, settings};
    EXPECT_EQ(form.PushButton2->text(), s("Download starten"));
    EXPECT_EQ(form.PushButton5->text(), s("Eine URL hinzufügen"));
    EXPECT_EQ(form.PushButton11->text(), s("Liste leeren"));
    EXPECT_EQ(form.Frame2->title(), s("In diesem Ordner speichern"));
    EXPECT_TRUE(form.ListView1->toolTip().startsWith(s("Doppelklick")));

    // A message box of a button, as the scripted dialogs are shown it.
    form.Text1->setText(QDir::homePath());
    form.PushButton2_Click();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, s("Die Liste ist leer."));
}

TEST(Languages, GermanCountedTextsTakeTheirPluralForms) {
    const Languages::Translators german{QLocale(QLocale::German)};
    ASSERT_TRUE(german.ownLoaded());
    EXPECT_EQ(ClosingMessage(1), s("Fertig.\r\n1 gespeichert.\r\n\r\n1 Eintrag wurde nicht erreicht."));
    EXPECT_EQ(ClosingMessage(3), s("Fertig.\r\n1 gespeichert.\r\n\r\n3 Einträge wurden nicht erreicht."));
    EXPECT_TRUE(NotAddedMessage(1).startsWith(s("1 Zeile wurde nicht hinzugefügt: keine Webadresse\n")));
    EXPECT_TRUE(NotAddedMessage(2).startsWith(s("2 Zeilen wurden nicht hinzugefügt: keine Webadressen\n")));
    EXPECT_TRUE(Main::UnfinishedRunQuestion(2, 0).contains(s("Die 2 Downloads, die er nicht gespeichert hat")));
}

// English needs no translation of its words, but the counted texts read right only with the
// English plural forms, which every language without a translation of its own gets too.
TEST(Languages, EnglishAndUntranslatedLanguagesReadTheSourcesWithEnglishPlurals) {
    for (const QLocale& locale : {QLocale::c(), QLocale(QLocale::English, QLocale::UnitedStates), QLocale(QLocale::French)}) {
        SCOPED_TRACE(locale.name().toStdString());
        const Languages::Translators translators{locale};
        EXPECT_TRUE(translators.ownLoaded());
        EXPECT_EQ(ClosingMessage(1), s("Done.\r\n1 stored.\r\n\r\n1 item was not reached."));
        EXPECT_EQ(ClosingMessage(2), s("Done.\r\n1 stored.\r\n\r\n2 items were not reached."));
        EXPECT_TRUE(NotAddedMessage(1).startsWith(s("1 line was not added: not a web address\n")));
        EXPECT_EQ(Main::UnfinishedRunQuestion(1, 0),
                  s("The last run did not finish.\nPut the 1 download it did not store back in the list?"));
        ScriptedDialogs dialogs;
        Settings::Store settings;
        Form1 form{dialogs, settings};
        EXPECT_EQ(form.PushButton2->text(), s("Start Downloading"));
    }
}

// Qt's own dialogs follow the language where Debian's translations of Qt are installed.
TEST(Languages, QtsOwnTextsFollowWhereInstalled) {
    if (!QFileInfo::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + s("/qtbase_de.qm")))
        GTEST_SKIP() << "qt6-translations-l10n is not installed";
    const Languages::Translators german{QLocale(QLocale::German)};
    EXPECT_TRUE(german.qtLoaded());
    EXPECT_NE(QCoreApplication::translate("QPlatformTheme", "Cancel"), s("Cancel"));
}

// The program itself picks the translation by LANGUAGE and LANG, as the desktop sets them.
TEST(Languages, TheProgramFollowsTheDesktopsLanguage) {
    const auto help = [](const QString& language, const QString& lang) {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(s("LC_ALL"));
        env.remove(s("LC_MESSAGES"));
        env.insert(s("LANGUAGE"), language);
        env.insert(s("LANG"), lang);
        env.insert(s("QT_QPA_PLATFORM"), s("offscreen"));
        program.setProcessEnvironment(env);
        program.start(s(FETCHWRIGHT_PROGRAM), {s("--help")});
        EXPECT_TRUE(program.waitForFinished(30000));
        return QString::fromUtf8(program.readAllStandardOutput());
    };
    EXPECT_TRUE(help(s("de"), s("de_DE.UTF-8")).contains(s("Lädt viele Webdateien in einem Lauf in einen Ordner.")));
    EXPECT_TRUE(help(s("de"), s("en_US.UTF-8")).contains(s("Lädt viele Webdateien")));
    const QString english = help(QString(), s("C"));
    EXPECT_TRUE(english.contains(s("Downloads many web files into one folder in a single run."))) << english.toStdString();
    EXPECT_TRUE(help(QString(), s("en_GB.UTF-8")).contains(s("Downloads many web files into one folder in a single run.")));
}
