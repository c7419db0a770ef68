#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include "harness/UserSettings.h"
#include <stdexcept>
#include "support/BuildInfo.h"
#include "support/RunOptions.h"
#include "support/Settings.h"

namespace {

struct SettingsFixture : ::testing::Test {
    Settings::Store store;
    void SetUp() override { clearUserSettings(); }
    void TearDown() override { clearUserSettings(); }
    QByteArray onDisk() {
        QFile f(store.fileName());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

}  // namespace

TEST_F(SettingsFixture, LivesInTheUsersConfigUnderItsOwnSection) {
    EXPECT_EQ(store.fileName(), QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) +
                                    QStringLiteral("/Quillmoor/Fetchwright.conf"));
    store.write(QStringLiteral("Output Folder"), QStringLiteral("/srv/out/"));
    const QByteArray text = onDisk();
    EXPECT_TRUE(text.contains("[Fetchwright]")) << text.constData();
    EXPECT_TRUE(text.contains("/srv/out/")) << text.constData();
}

TEST_F(SettingsFixture, AbsentEntriesGiveTheDefaultAndStoredTextsComeBackUnchanged) {
    EXPECT_EQ(store.read(QStringLiteral("Option1"), QStringLiteral("1")), QStringLiteral("1"));
    EXPECT_EQ(store.read(QStringLiteral("LastFolderDot"), QString()), QString());

    const QString texts[] = {QString(), QStringLiteral("C:\\Out\\"), QStringLiteral("a, b,c"),
                             QStringLiteral("@at the start"), QStringLiteral("  spaced  "),
                             QStringLiteral("/home/jürgen/Téléchargements/日本/"), QStringLiteral("semi;colon=eq\"q\"")};
    for (const QString& t : texts) {
        store.write(QStringLiteral("Output Folder"), t);
        EXPECT_EQ(store.read(QStringLiteral("Output Folder"), QStringLiteral("default")), t);
        // A second store object (another start of the program) reads the same.
        EXPECT_EQ(Settings::Store().read(QStringLiteral("Output Folder"), QStringLiteral("default")), t);
    }
    // An empty stored text is a value, not an absence.
    store.write(QStringLiteral("Output Folder"), QString());
    EXPECT_EQ(store.read(QStringLiteral("Output Folder"), QStringLiteral("default")), QString());
}

TEST_F(SettingsFixture, WritesReachTheDiskAtOnceAndOutsideWritesAreSeen) {
    store.write(QStringLiteral("Output Folder"), QStringLiteral("/tmp/a"));
    EXPECT_TRUE(onDisk().contains("Output%20Folder=/tmp/a")) << onDisk().constData();
    store.write(QStringLiteral("Output Folder"), QStringLiteral("/tmp/ab"));
    EXPECT_TRUE(onDisk().contains("Output%20Folder=/tmp/ab")) << onDisk().constData();

    // Another copy of the program writes the file: the next read sees it.
    QFile f(store.fileName());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("[Fetchwright]\nOutput%20Folder=/elsewhere/written/by/another/copy\nOption2=True\n");
    f.close();
    EXPECT_EQ(store.read(QStringLiteral("Output Folder"), QString()), QStringLiteral("/elsewhere/written/by/another/copy"));
    EXPECT_EQ(store.read(QStringLiteral("Option2"), QStringLiteral("0")), QStringLiteral("True"));
}

TEST_F(SettingsFixture, StoreInAGivenFileKeepsTheSameSection) {
    const QString file = QDir::tempPath() + QStringLiteral("/fetchwright-settings-test.conf");
    QFile::remove(file);
    Settings::Store own(file);
    own.write(QStringLiteral("Option1"), QStringLiteral("False"));
    EXPECT_EQ(own.read(QStringLiteral("Option1"), QStringLiteral("1")), QStringLiteral("False"));
    EXPECT_EQ(store.read(QStringLiteral("Option1"), QStringLiteral("1")), QStringLiteral("1"));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().contains("[Fetchwright]"));
    QFile::remove(file);
}

TEST(Truth, WordsInAnyCaseAndNumbers) {
    EXPECT_EQ(Settings::TruthText(true), QStringLiteral("True"));
    EXPECT_EQ(Settings::TruthText(false), QStringLiteral("False"));
    for (const char* t : {"True", "TRUE", "tRuE", "1", "-1", "2", " 7 ", "0.5"})
        EXPECT_TRUE(Settings::ToTruth(QString::fromLatin1(t))) << t;
    for (const char* t : {"False", "false", "FALSE", "0", "0.0", "-0"})
        EXPECT_FALSE(Settings::ToTruth(QString::fromLatin1(t))) << t;
    for (const char* t : {"", "yes", "no", "1x", "Truee", "on", "nan", "NaN", "inf", "-Infinity"}) {
        try {
            Settings::ToTruth(QString::fromLatin1(t));
            ADD_FAILURE() << "accepted " << t;
        } catch (const std::runtime_error& f) {
            EXPECT_STREQ(f.what(), "Type mismatch");
        }
    }
}

TEST_F(SettingsFixture, RequestOptionsAreKeptUnderTheirNamesAndReadSafely) {
    // Nothing stored: no cookies, the program's own User-Agent, the server's times kept.
    RunOptions::Values values = RunOptions::Read(store);
    EXPECT_EQ(values.cookiesFile, QString());
    EXPECT_TRUE(values.keepServerTime);
    EXPECT_EQ(RunOptions::UserAgentOf(values), QByteArray(BuildInfo::kUserAgent));
    EXPECT_TRUE(QByteArray(BuildInfo::kUserAgent).startsWith("Fetchwright/"));

    values.cookiesFile = QStringLiteral("/home/me/cookies.txt");
    values.userAgent = QStringLiteral("Mozilla/5.0 (X11)");
    values.keepServerTime = false;
    RunOptions::Write(store, values);
    EXPECT_EQ(store.read(QStringLiteral("Cookies File"), QString()), QStringLiteral("/home/me/cookies.txt"));
    EXPECT_EQ(store.read(QStringLiteral("User-Agent"), QString()), QStringLiteral("Mozilla/5.0 (X11)"));
    EXPECT_EQ(store.read(QStringLiteral("Keep Server Time"), QString()), QStringLiteral("False"));
    EXPECT_EQ(RunOptions::Read(store), values);

    // A hand-edited file: an unreadable truth is the default, a header value loses its line breaks.
    store.write(QStringLiteral("Keep Server Time"), QStringLiteral("maybe"));
    store.write(QStringLiteral("User-Agent"), QStringLiteral("Agent\r\nCookie: stolen=1"));
    values = RunOptions::Read(store);
    EXPECT_TRUE(values.keepServerTime);
    EXPECT_EQ(RunOptions::UserAgentOf(values), QByteArray("AgentCookie: stolen=1"));
}

TEST_F(SettingsFixture, IfFileExistsKeepsEachOfItsThreeChoices) {
    RunOptions::Values values;
    values.skipUnchanged = true;
    RunOptions::Write(store, values);
    EXPECT_EQ(store.read(QStringLiteral("If File Exists"), QString()), QStringLiteral("Skip unchanged"));
    EXPECT_EQ(RunOptions::Read(store), values);
    store.write(QStringLiteral("If File Exists"), QStringLiteral("skip"));
    values = RunOptions::Read(store);
    EXPECT_TRUE(values.skipExisting);
    EXPECT_FALSE(values.skipUnchanged);
    store.write(QStringLiteral("If File Exists"), QStringLiteral("Skip unchanged files"));
    values = RunOptions::Read(store);
    EXPECT_FALSE(values.skipExisting || values.skipUnchanged);
}
