#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include "support/PathHelpers.h"

using namespace Main;

namespace {
const QChar kBackslash = QLatin1Char('\\');
QString s(const char* text) { return QString::fromLatin1(text); }
}  // namespace

TEST(PathHelpers, ExistenceTestsTellFilesFoldersAndNothing) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(s("pic.jpg"));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    const QString folder = dir.filePath(s("sub"));
    ASSERT_TRUE(QDir().mkdir(folder));

    EXPECT_TRUE(FileOrFolderExists(file));
    EXPECT_TRUE(FileOrFolderExists(folder));
    EXPECT_FALSE(FileOrFolderExists(dir.filePath(s("missing.jpg"))));
    EXPECT_FALSE(FileOrFolderExists(QString()));

    EXPECT_TRUE(FolderExists(folder));
    EXPECT_TRUE(FolderExists(folder + s("/")));
    EXPECT_FALSE(FolderExists(file));
    EXPECT_FALSE(FolderExists(QString()));
    EXPECT_FALSE(FolderExists(dir.filePath(s("missing"))));
}

TEST(PathHelpers, DanglingLinkCountsAsTakenName) {
    QTemporaryDir dir;
    const QString link = dir.filePath(s("link.jpg"));
    ASSERT_EQ(::symlink("/nonexistent/target", QFile::encodeName(link).constData()), 0);
    EXPECT_TRUE(FileOrFolderExists(link));
    EXPECT_FALSE(FolderExists(link));
}

TEST(PathHelpers, LastPathComponentWindowsStyle) {
    EXPECT_EQ(LastPathComponent(s("scheme:\\\\server\\a\\b.jpg"), kBackslash), s("b.jpg"));
    EXPECT_EQ(LastPathComponent(s("abc"), kBackslash), s("abc"));
    EXPECT_EQ(LastPathComponent(s("C:\\dir\\"), kBackslash), QString());
    EXPECT_EQ(LastPathComponent(QString(), kBackslash), QString());
}

TEST(PathHelpers, LastPathComponentNative) {
    EXPECT_EQ(LastPathComponent(s("/home/u/pic.jpg")), s("pic.jpg"));
    EXPECT_EQ(LastPathComponent(s("/home/u/")), QString());
    EXPECT_EQ(LastPathComponent(s("a\\b.jpg")), s("a\\b.jpg"));
}

TEST(PathHelpers, CollapseWindowsStyleIsOnePassAndKeepsNetworkPrefix) {
    EXPECT_EQ(CollapseDoubleBackslashes(s("C:\\Out\\\\pic.jpg"), kBackslash), s("C:\\Out\\pic.jpg"));
    EXPECT_EQ(CollapseDoubleBackslashes(s("C:\\Out\\\\\\pic.jpg"), kBackslash), s("C:\\Out\\\\pic.jpg"));
    EXPECT_EQ(CollapseDoubleBackslashes(s("C:\\Out\\\\\\\\pic.jpg"), kBackslash), s("C:\\Out\\\\pic.jpg"));
    EXPECT_EQ(CollapseDoubleBackslashes(s("\\\\server\\share\\\\pic.jpg"), kBackslash),
              s("\\\\server\\share\\pic.jpg"));
    EXPECT_EQ(CollapseDoubleBackslashes(s("\\one\\\\two"), kBackslash), s("\\\\one\\two"));
    EXPECT_EQ(CollapseDoubleBackslashes(s("\\\\\\\\srv\\a"), kBackslash), s("\\\\srv\\a"));
    EXPECT_EQ(CollapseDoubleBackslashes(s("\\\\\\"), kBackslash), s("\\\\"));
    EXPECT_EQ(CollapseDoubleBackslashes(QString(), kBackslash), QString());
}

TEST(PathHelpers, CollapseNativeMakesLeadingRunSingle) {
    EXPECT_EQ(CollapseDoubleBackslashes(s("/home/u//pic.jpg")), s("/home/u/pic.jpg"));
    EXPECT_EQ(CollapseDoubleBackslashes(s("//home/u/pic.jpg")), s("/home/u/pic.jpg"));
    EXPECT_EQ(CollapseDoubleBackslashes(s("///")), s("/"));
    EXPECT_EQ(CollapseDoubleBackslashes(s("out//a\\\\b")), s("out/a\\\\b"));
}

TEST(PathHelpers, ALeadingTildeIsTheHomeFolder) {
    EXPECT_EQ(ExpandHomeFolder(s("~"), s("/home/u")), s("/home/u"));
    EXPECT_EQ(ExpandHomeFolder(s("~/"), s("/home/u")), s("/home/u/"));
    EXPECT_EQ(ExpandHomeFolder(s("~/Downloads"), s("/home/u/")), s("/home/u/Downloads"));
    EXPECT_EQ(ExpandHomeFolder(s("~/Downloads/"), s("/")), s("/Downloads/"));
    // Only a tilde that stands for the home folder by itself.
    EXPECT_EQ(ExpandHomeFolder(s("~user/x"), s("/home/u")), s("~user/x"));
    EXPECT_EQ(ExpandHomeFolder(s("/srv/~/x"), s("/home/u")), s("/srv/~/x"));
    EXPECT_EQ(ExpandHomeFolder(s(" ~/x"), s("/home/u")), s(" ~/x"));
    EXPECT_EQ(ExpandHomeFolder(QString(), s("/home/u")), QString());
    EXPECT_EQ(ExpandHomeFolder(s("~/x")), QDir::homePath() + s("/x"));
}
