// A page's images and media: srcset read as a browser reads it, the media attributes each element
// fetches, and "Get Links Takes" through the window against a loopback page.
#include <gtest/gtest.h>

#include <QStringList>

#include <atomic>
#include <string>
#include <vector>

#include "app/Form1.h"
#include "harness/ListContents.h"
#include "harness/ListWait.h"
#include "harness/LoopbackServer.h"
#include "harness/ScriptedDialogs.h"
#include "listbuild/ExtractLinks.h"
#include "listbuild/LinkScan.h"
#include "support/RunOptions.h"

using namespace ExtractLinks;

namespace {
using V = std::vector<std::string>;

// "url" for a candidate without descriptor, "url w" or "url x" with one.
V Candidates(std::string_view srcset) {
    std::vector<SrcsetCandidate> out;
    EXPECT_EQ(ParseSrcset(srcset, out), 0u);
    V texts;
    for (const SrcsetCandidate& c : out) {
        std::string text(c.url);
        if (c.width >= 0) text += " " + std::to_string(c.width) + "w";
        if (c.density >= 0) text += " " + std::to_string(c.density).substr(0, 4) + "x";
        texts.push_back(text);
    }
    return texts;
}

V Scanned(std::string_view page, RunOptions::LinksTake take) {
    V links;
    std::atomic<bool> stop{false};
    const Fw::Result<qsizetype> scanned = ScanPage(page, QStringLiteral("http://s/d/p.htm"), [&](EntryBatch&& batch) {
        std::size_t start = 0;
        for (std::size_t end : batch.ends) {
            links.push_back(batch.text.substr(start, end - start));
            start = end;
        }
    }, stop, take);
    EXPECT_TRUE(scanned.ok());
    return links;
}
}  // namespace

TEST(ParseSrcset, CandidatesAndDescriptorsAsABrowserSplitsThem) {
    EXPECT_EQ(Candidates("a.jpg 1x, b.jpg 2x"), (V{"a.jpg 1.00x", "b.jpg 2.00x"}));
    EXPECT_EQ(Candidates("  a.jpg 480w ,b.jpg   800w,\n\tc.jpg"), (V{"a.jpg 480w", "b.jpg 800w", "c.jpg"}));
    // A comma ends an address only when it is its last character: data: addresses keep theirs.
    EXPECT_EQ(Candidates("data:image/png;base64,AAA= 1x"), (V{"data:image/png;base64,AAA= 1.00x"}));
    EXPECT_EQ(Candidates("a.jpg,b.jpg,,, c.jpg"), (V{"a.jpg,b.jpg", "c.jpg"}));
    EXPECT_EQ(Candidates("a.jpg,, b.jpg"), (V{"a.jpg", "b.jpg"}));
    // Parentheses keep a comma and blanks inside one descriptor, which a browser then drops.
    EXPECT_EQ(Candidates("a.jpg (x, y) 1x, b.jpg 2x"), (V{"b.jpg 2.00x"}));
    // Width with a height is kept; what a browser drops is dropped.
    EXPECT_EQ(Candidates("a.jpg 100w 50h, b.jpg 50h, c.jpg 0w, d.jpg -1x, e.jpg 1.x, f.jpg 2x 3x, "
                         "g.jpg 10w 2x, h.jpg 1e1x, i.jpg .5x, j.jpg +1x, k.jpg 1q"),
              (V{"a.jpg 100w", "h.jpg 10.0x", "i.jpg 0.50x"}));
    EXPECT_EQ(Candidates(""), V{});
    EXPECT_EQ(Candidates(" , ,, "), V{});
}

TEST(ParseSrcset, AHugeSetIsBoundedAndTheRestCounted) {
    std::string huge;
    for (int i = 0; i < 100000; ++i) huge += "i" + std::to_string(i) + ".jpg " + std::to_string(i + 1) + "w, ";
    std::vector<SrcsetCandidate> out;
    EXPECT_EQ(ParseSrcset(huge, out), 100000u - kMostSrcsetCandidates);
    ASSERT_EQ(out.size(), kMostSrcsetCandidates);
    EXPECT_EQ(out.back().url, "i999.jpg");
    // One unbroken descriptor run, or nothing but separators: linear, no candidate.
    out.clear();
    EXPECT_EQ(ParseSrcset("a.jpg " + std::string(1 << 20, '('), out), 0u);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(ParseSrcset(std::string(1 << 20, ','), out), 0u);
    EXPECT_TRUE(out.empty());
}

TEST(LargestCandidate, WidthsWinThenDensitiesAndNoDescriptorIsOneX) {
    std::vector<SrcsetCandidate> c;
    ParseSrcset("a 2x, b, c 1.5x", c);
    EXPECT_EQ(LargestCandidate(c)->url, "a");
    c.clear();
    ParseSrcset("a 3x, b 400w, c 1200w, d 800w", c);
    EXPECT_EQ(LargestCandidate(c)->url, "c");
    c.clear();
    EXPECT_EQ(LargestCandidate(c), nullptr);
}

TEST(ScanPage, EachMediaFormOfAPageIsTakenOnlyWhenAsked) {
    const std::string page =
        "<a href=\"doc.pdf\"><img src=\"small.jpg\" srcset=\"small.jpg 1x, big.jpg 2x\">"
        "<picture><source srcset=\"wide.webp 1600w, narrow.webp 600w\" type=\"image/webp\"><img src=\"fallback.jpg\"></picture>"
        "<video src=\"clip.mp4\" poster=\"frame.jpg\"><source src=\"clip.webm\"></video>"
        "<audio src=\"song.ogg\"></audio><div data-src=\"lazy.jpg\" data-srcset=\"lazy-2.jpg 2x\"></div>"
        "<img src=\"a.jpg?x=1&amp;y=2\" alt=\"&lt;\"><script src=\"code.js\"></script><iframe src=\"frame.htm\"></iframe>"
        "<img src=\"p.htm#top\"><!-- <img src=\"commented.jpg\"> --><img srcset=\"\" src=\"\">";
    const std::string d = "http://s/d/";
    EXPECT_EQ(Scanned(page, RunOptions::LinksTake::Links), V{d + "doc.pdf"});
    // Every candidate, an address named twice by one tag once; script and frame sources are no media.
    EXPECT_EQ(Scanned(page, RunOptions::LinksTake::Media),
              (V{d + "doc.pdf", d + "small.jpg", d + "big.jpg", d + "wide.webp", d + "narrow.webp", d + "fallback.jpg",
                 d + "clip.mp4", d + "frame.jpg", d + "clip.webm", d + "song.ogg", d + "lazy.jpg", d + "lazy-2.jpg",
                 d + "a.jpg?x=1&y=2"}));
    EXPECT_EQ(Scanned(page, RunOptions::LinksTake::LargestMedia),
              (V{d + "doc.pdf", d + "big.jpg", d + "wide.webp", d + "fallback.jpg", d + "clip.mp4", d + "frame.jpg",
                 d + "clip.webm", d + "song.ogg", d + "lazy-2.jpg", d + "a.jpg?x=1&y=2"}));
    // References decode once: "&amp;amp;" is the text "&amp;" in the address.
    EXPECT_EQ(Scanned("<img srcset=\"q.jpg?a=1&amp;amp;b=2 2x\">", RunOptions::LinksTake::Media), V{d + "q.jpg?a=1&amp;b=2"});
    // A src beside a set of widths is not a candidate of the largest choice; beside densities it is 1x.
    EXPECT_EQ(Scanned("<img src=\"s.jpg\" srcset=\"m.jpg 300w\"><img src=\"t.jpg\" srcset=\"h.jpg 0.5x\">",
                      RunOptions::LinksTake::LargestMedia),
              (V{d + "m.jpg", d + "t.jpg"}));
}

namespace {
struct MediaExtraction : ::testing::Test {
    LoopbackServer http;
    ScriptedDialogs dialogs;
    Settings::Store settings;
    Form1 form{dialogs, settings};
    std::string page;

    void SetUp() override {
        http.server().Get("/g/gallery.htm", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(page, "text/html");
        });
        http.start();
    }
    QStringList extract(RunOptions::LinksTake take) {
        RunOptions::Values values = RunOptions::Read(settings);
        values.linksTake = take;
        RunOptions::Write(settings, values);
        form.urlList().clear();
        dialogs.inputAnswers = {http.url(QStringLiteral("/g/gallery.htm"))};
        form.PushButton7_Click();
        EXPECT_TRUE(WaitForListWork(form));
        return contentsOf(form.urlList());
    }
};
}  // namespace

TEST_F(MediaExtraction, TheStoredChoiceDecidesWhatTheWindowAdds) {
    page = "<base href=\"/media/\"><a href=\"index.htm\">"
           "<img src=\"a.jpg\" srcset=\"a-640.jpg 640w, a-1280.jpg 1280w\"><video poster=\"v.jpg\"><source src=\"v.mp4\"></video>";
    const QString m = http.url(QStringLiteral("/media/"));
    EXPECT_EQ(extract(RunOptions::LinksTake::Links), QStringList{m + QStringLiteral("index.htm")});
    EXPECT_EQ(settings.read(QStringLiteral("Get Links Takes"), {}), QStringLiteral("Links"));
    EXPECT_EQ(extract(RunOptions::LinksTake::Media),
              (QStringList{m + QStringLiteral("index.htm"), m + QStringLiteral("a.jpg"), m + QStringLiteral("a-640.jpg"),
                           m + QStringLiteral("a-1280.jpg"), m + QStringLiteral("v.jpg"), m + QStringLiteral("v.mp4")}));
    EXPECT_EQ(settings.read(QStringLiteral("Get Links Takes"), {}), QStringLiteral("Links, images and media"));
    EXPECT_EQ(extract(RunOptions::LinksTake::LargestMedia),
              (QStringList{m + QStringLiteral("index.htm"), m + QStringLiteral("a-1280.jpg"), m + QStringLiteral("v.jpg"),
                           m + QStringLiteral("v.mp4")}));
    EXPECT_TRUE(dialogs.messages.empty()) << dialogs.messageTexts().join(u'|').toStdString();
    // An unknown stored text reads as the plain links.
    settings.write(QStringLiteral("Get Links Takes"), QStringLiteral("Everything"));
    EXPECT_EQ(RunOptions::Read(settings).linksTake, RunOptions::LinksTake::Links);
}

TEST_F(MediaExtraction, AnEndlessSrcsetIsCutAndTheCutNamed) {
    page = "<img srcset=\"";
    for (int i = 0; i < 100000; ++i) page += "i" + std::to_string(i) + ".jpg " + std::to_string(i + 1) + "w,";
    page += "\">";
    const QStringList taken = extract(RunOptions::LinksTake::Media);
    EXPECT_EQ(taken.size(), qsizetype(kMostSrcsetCandidates));
    EXPECT_EQ(dialogs.messageTexts(),
              QStringList{QStringLiteral("99000 image candidates were left out: a srcset takes at most 1000.")});
    // The largest of what was taken.
    dialogs.messages.clear();
    EXPECT_EQ(extract(RunOptions::LinksTake::LargestMedia), QStringList{http.url(QStringLiteral("/g/i999.jpg"))});
}
