// "Keep Only": what a pattern keeps, and the count over a long list.
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "harness/ListContents.h"
#include "harness/Timing.h"
#include "listbuild/KeepOnly.h"
#include "urllist/UrlList.h"

namespace {
KeepOnly::Rule rule(const QString& pattern) {
    Fw::Result<KeepOnly::Rule> r = KeepOnly::Rule::Parse(pattern);
    EXPECT_TRUE(r.ok()) << pattern.toStdString() << ": " << (r.ok() ? "" : r.error().text.toStdString());
    return r.ok() ? *r : *KeepOnly::Rule::Parse(QStringLiteral("*"));
}
bool keeps(const char* pattern, const char* address) { return rule(QString::fromUtf8(pattern)).keeps(address); }
QString presetPattern(const char* name) {
    for (const KeepOnly::Preset& p : KeepOnly::Presets())
        if (std::string_view(p.name) == name) return QString::fromLatin1(p.pattern);
    ADD_FAILURE() << "no preset " << name;
    return {};
}
}  // namespace

TEST(KeepOnlyRule, EachPresetKeepsItsKindByTheFileNameOnly) {
    const struct {
        const char* preset;
        const char* kept;
    } cases[] = {{"Images", "http://x/a/photo.JPG"},       {"Video", "https://x/clip.webm?t=3"},
                 {"Audio", "http://x/song.flac#x"},        {"Archives", "http://x/src.tar.gz"},
                 {"Documents", "http://x/paper.pdf"},      {"Programs", "http://x/setup.exe"}};
    for (const auto& c : cases) {
        const KeepOnly::Rule r = rule(presetPattern(c.preset));
        EXPECT_TRUE(r.keeps(c.kept)) << c.preset;
        // Not another kind, not a page, and not the extension in the query or the host.
        for (const auto& other : cases)
            if (&other != &c) {
                EXPECT_FALSE(r.keeps(other.kept)) << c.preset << " kept " << other.kept;
            }
        EXPECT_FALSE(r.keeps("http://x/index.html")) << c.preset;
        EXPECT_FALSE(r.keeps("http://x.jpg.example/get.php?file=a.jpg")) << c.preset;
    }
    EXPECT_EQ(KeepOnly::Presets().size(), 6u);
}

TEST(KeepOnlyRule, WildcardsOnTheNameOrThePathEndingsAndCase) {
    EXPECT_TRUE(keeps("*.jpg;*.png", "http://x/dir/a.PNG"));
    EXPECT_TRUE(keeps("*.jpg, *.png", "http://x/a.jpg?size=big"));
    EXPECT_FALSE(keeps("*.jpg;*.png", "http://x/a.jpeg"));
    EXPECT_TRUE(keeps("photo-??.jpg", "http://x/y/photo-12.jpg"));
    EXPECT_FALSE(keeps("photo-??.jpg", "http://x/y/photo-123.jpg"));
    // With a "/", the whole path, beginning at any folder.
    EXPECT_TRUE(keeps("images/*.jpg", "http://x/site/images/a.jpg"));
    EXPECT_TRUE(keeps("images/*.jpg", "http://x/images/2024/a.jpg"));
    EXPECT_FALSE(keeps("images/*.jpg", "http://x/myimages/a.jpg"));
    EXPECT_FALSE(keeps("/images/*", "http://x/site/images/a.jpg"));
    // Without wildcards, an ending.
    EXPECT_TRUE(keeps("pdf", "http://x/a.PDF"));
    EXPECT_FALSE(keeps("pdf", "http://x/a.pdf.html"));
    // A folder address has no file name; an address without a path has "/" as its path.
    EXPECT_FALSE(keeps("*.jpg", "http://x/a.jpg/"));
    EXPECT_TRUE(keeps("*/", "http://x"));
}

TEST(KeepOnlyRule, ARegularExpressionBetweenSlashesIsSearchedInTheWholeAddress) {
    EXPECT_TRUE(keeps("/\\d{4}\\.pdf$/", "http://x/report-2024.pdf"));
    EXPECT_FALSE(keeps("/\\d{4}\\.pdf$/", "http://x/report-24.pdf"));
    EXPECT_FALSE(keeps("/\\d{4}\\.pdf$/", "http://x/report-2024.PDF"));
    EXPECT_TRUE(keeps("/\\d{4}\\.pdf$/i", "http://x/report-2024.PDF"));
    EXPECT_TRUE(keeps("/^https:\\/\\/cdn\\./", "https://cdn.example/a"));
    EXPECT_TRUE(keeps("/é/", "http://x/caf\xc3\xa9"));
}

TEST(KeepOnlyRule, ABadPatternSaysWhatIsWrong) {
    const Fw::Result<KeepOnly::Rule> bad = KeepOnly::Rule::Parse(QStringLiteral("/(a/"));
    ASSERT_FALSE(bad.ok());
    EXPECT_TRUE(bad.error().text.startsWith(QStringLiteral("Not a valid regular expression: "))) << bad.error().text.toStdString();
    EXPECT_TRUE(bad.error().text.endsWith(QStringLiteral(" at character 3"))) << bad.error().text.toStdString();
    EXPECT_EQ(KeepOnly::Rule::Parse(QStringLiteral(" ; ,")).error().text, QStringLiteral("Choose a preset or type a pattern"));
    EXPECT_EQ(KeepOnly::Rule::Parse(QStringLiteral("//")).error().text, QStringLiteral("The regular expression is empty"));
}

TEST(KeepOnlyScan, CountsALongListInSlicesAndStartsAgainWhenTheListChanges) {
    UrlList list;
    {
        UrlList::Batch batch(list);
        for (int i = 0; i < 300000; ++i) batch.add(QStringLiteral("http://x/%1.%2").arg(i).arg(i % 3 ? "jpg" : "pdf"));
    }
    KeepOnly::Scan scan(list);
    QSignalSpy done(&scan, &KeepOnly::Scan::done);
    scan.start(rule(QStringLiteral("*.pdf")));
    // Nothing is decided before the window's loop runs: the count never holds it.
    EXPECT_FALSE(scan.isDone());
    EXPECT_EQ(scan.total(), 0);
    ASSERT_TRUE(done.wait(Timing::boundMs(20000)));
    EXPECT_EQ(scan.kept(), 100000);
    EXPECT_EQ(scan.total(), 300000);

    // Entries added at the end are counted on; a removal starts again.
    list.appendMany({QStringLiteral("http://x/new.pdf")});
    EXPECT_FALSE(scan.isDone());
    ASSERT_TRUE(QTest::qWaitFor([&] { return scan.isDone(); }, Timing::boundMs(20000)));
    EXPECT_EQ(scan.kept(), 100001);
    list.removeAt(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return scan.isDone(); }, Timing::boundMs(20000)));
    EXPECT_EQ(scan.kept(), 100000);
    EXPECT_EQ(scan.total(), 300000);

    EXPECT_EQ(scan.removeTheRest(), 200000);
    EXPECT_EQ(list.count(), 100000);
    EXPECT_EQ(list.textAt(1), QStringLiteral("http://x/3.pdf"));
    // One removal, so one undo brings all back.
    EXPECT_EQ(list.undoRemoval().count, 200000);
    EXPECT_EQ(list.count(), 300000);
}

// Expressions that try every way of splitting an address: each address gets a bounded amount of
// the engine's work, and the first that needs more names the pattern too slow, at once, instead
// of holding the count (and the window) for minutes.
std::string slowAddress(int k) { return "http://files.example/" + std::string(28, 'a') + "-" + std::to_string(k) + ".bin"; }

TEST(KeepOnlyRule, AnExpressionThatNeedsTooMuchWorkForAnAddressIsNamedTooSlow) {
    for (const char* pattern : {"/(a+)+$/", "/(.*a){20}/"}) {
        const KeepOnly::Rule r = rule(QString::fromLatin1(pattern));
        EXPECT_EQ(r.judge(slowAddress(1)), KeepOnly::Rule::Verdict::TooSlow) << pattern;
        EXPECT_FALSE(r.keeps(slowAddress(1))) << pattern;
    }
    // The same kinds of pattern, where they have little to try, decide as usual.
    EXPECT_EQ(rule(QStringLiteral("/(a+)+$/")).judge("http://x/aaa"), KeepOnly::Rule::Verdict::Keep);
    EXPECT_EQ(rule(QStringLiteral("/(.*a){2}/")).judge("http://x/aab"), KeepOnly::Rule::Verdict::Keep);
    EXPECT_EQ(rule(QStringLiteral("/(.*a){3}/")).judge("http://x/aab"), KeepOnly::Rule::Verdict::Drop);
    // A text that is not UTF-8 is not kept, and is no reason to call the pattern slow.
    EXPECT_EQ(rule(QStringLiteral("/a/")).judge("http://x/a\xff"), KeepOnly::Rule::Verdict::Drop);
    // An error's place counts characters, not bytes.
    const auto bad = KeepOnly::Rule::Parse(QStringLiteral("/éé(/"));
    ASSERT_FALSE(bad.ok());
    EXPECT_TRUE(bad.error().text.endsWith(QStringLiteral(" at character 4"))) << bad.error().text.toStdString();
}

TEST(KeepOnlyScan, ATooSlowPatternOverALongListEndsTheCountAtOnceAndRemovesNothing) {
    UrlList list;
    {
        UrlList::Batch batch(list);
        for (int i = 0; i < 200000; ++i) batch.add(QString::fromStdString(slowAddress(i)));
    }
    for (const char* pattern : {"/(a+)+$/", "/(.*a){20}/"}) {
        KeepOnly::Scan scan(list);
        QSignalSpy done(&scan, &KeepOnly::Scan::done);
        scan.start(rule(QString::fromLatin1(pattern)));
        ASSERT_TRUE(done.wait(Timing::boundMs(10000))) << pattern;
        EXPECT_TRUE(scan.isTooSlow()) << pattern;
        EXPECT_EQ(scan.removeTheRest(), 0) << pattern;
        EXPECT_EQ(list.count(), 200000);
    }
}
