// The byte-level link scan, reference decoding and address resolution.
#include <gtest/gtest.h>

#include <QUrl>

#include <string>
#include <vector>

#include "listbuild/LinkScan.h"

using namespace ExtractLinks;

namespace {
std::vector<std::string> Scan(std::string_view page) {
    std::vector<std::string> links;
    ScanForLinks(page, [&](std::string_view link) { links.emplace_back(link); return true; }, [] { return true; });
    return links;
}

std::string Resolve(std::string_view base, std::string_view link) {
    std::string out;
    const bool ok = ResolveLink(base, link, out);
    return ok ? out : "<skipped>";
}
}  // namespace

TEST(ScanForLinks, MatchesOnlyTheExactSixCharactersInAnyLetterCase) {
    EXPECT_EQ(Scan(R"(<a href="a">x<A HREF="b"><a Href="c"><a hReF="d">)"),
              (std::vector<std::string>{"a", "b", "c", "d"}));
    // Blanks around "=", single quotes, no quotes, other attributes: not links.
    EXPECT_TRUE(Scan(R"(<a href ="a"><a href= "b"><a href='c'><a href=d><img src="e"><a hre="f">)").empty());
}

TEST(ScanForLinks, PageOrderDuplicatesCommentsScriptsAndTheVeryEnd) {
    const std::string page = "<!-- href=\"c1\" --><script>x='href=\"s1\"'</script>href=\"d\" href=\"d\"\nhref=\"d\"href=\"\"";
    EXPECT_EQ(Scan(page), (std::vector<std::string>{"c1", "s1", "d", "d", "d", ""}));
    // The shortest possible page that holds a link, and a match ending at the last byte.
    EXPECT_EQ(Scan("href=\"\""), (std::vector<std::string>{""}));
    EXPECT_EQ(Scan("xhref=\"ab\""), (std::vector<std::string>{"ab"}));
    EXPECT_TRUE(Scan("href=").empty());
    EXPECT_TRUE(Scan("").empty());
}

TEST(ScanForLinks, AnUnclosedQuoteAddsNothingAndOverlapsAreFound) {
    EXPECT_EQ(Scan("href=\"a\" href=\"never closed"), (std::vector<std::string>{"a"}));
    EXPECT_TRUE(Scan("href=\"").empty());
    // The closing quote of one link can complete the next match.
    EXPECT_EQ(Scan("href=\"xhref=\"y\""), (std::vector<std::string>{"xhref=", "y"}));
}

TEST(ScanForLinks, ASinkOrProgressCanStopTheScan) {
    std::string page;
    for (int i = 0; i < 20000; ++i) page += "<a href=\"l\">=";
    int seen = 0;
    EXPECT_FALSE(ScanForLinks(page, [&](std::string_view) { return ++seen < 3; }, [] { return true; }));
    EXPECT_EQ(seen, 3);
    int progressCalls = 0;
    seen = 0;
    EXPECT_FALSE(ScanForLinks(page, [&](std::string_view) { ++seen; return true; },
                              [&] { return ++progressCalls < 2; }));
    EXPECT_EQ(progressCalls, 2);
    EXPECT_LT(seen, 20000);
}

TEST(ScanLinksFrom, ResumedInTinyStepsOrAfterEveryLinkFindsWhatOnePassFinds) {
    // Overlaps, a match across every step boundary, an unclosed tail.
    std::string page = "href=\"xhref=\"y\" HREF=\"\"=href=\"a\"";
    for (int i = 0; i < 50; ++i) page += std::string(static_cast<std::size_t>(i % 7), '=') + "href=\"l" + std::to_string(i) + "\"";
    page += "href=\"never";
    const std::vector<std::string> whole = Scan(page);
    ASSERT_GT(whole.size(), 50u);
    for (std::size_t step : {1u, 2u, 3u, 5u, 7u, 64u}) {
        for (bool pauseEachLink : {false, true}) {
            std::vector<std::string> links;
            std::size_t at = 0;
            int calls = 0;
            while (at < page.size() && ++calls < 100000) {
                const std::size_t next = ScanLinksFrom(page, at, at + step, [&](std::string_view link) {
                    links.emplace_back(link);
                    return !pauseEachLink;
                });
                ASSERT_GT(next, at);
                at = next;
            }
            EXPECT_EQ(links, whole) << "step " << step << (pauseEachLink ? ", pausing after each link" : "");
        }
    }
}

TEST(CharacterReferences, OnlyTheFiveMarkupCharactersAreDecoded) {
    EXPECT_EQ(DecodeCharacterReferences("a?x=1&amp;y=2&#38;z=3&#x26;w&#X26;v&#0038;"), "a?x=1&y=2&z=3&w&v&");
    EXPECT_EQ(DecodeCharacterReferences("&quot;&lt;&gt;&apos;&#34;&#60;&#x3e;&#39;"), "\"<>'\"<>'");
    EXPECT_EQ(DecodeCharacterReferences("p?a=1&copy=2&amp&lt&#65;&#x41;&nbsp;&AMP;&#;&#x;&"),
              "p?a=1&copy=2&amp&lt&#65;&#x41;&nbsp;&AMP;&#;&#x;&");
    EXPECT_EQ(DecodeCharacterReferences("&#99999999999999999999938;"), "&#99999999999999999999938;");
    EXPECT_EQ(DecodeCharacterReferences("&amp;amp;"), "&amp;");  // decoded once only
}

TEST(LinkBytes, Utf8WhereValidElseOneCharacterPerByte) {
    EXPECT_EQ(ToUtf8("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(ToUtf8("caf\xE9"), "caf\xC3\xA9");
    EXPECT_EQ(ToUtf8("\xC3"), "\xC3\x83");               // truncated sequence
    EXPECT_EQ(ToUtf8("\xC0\xAF"), "\xC3\x80\xC2\xAF");   // overlong form
    EXPECT_EQ(ToUtf8("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xC2\x80");  // surrogate
    EXPECT_TRUE(IsValidUtf8("\xF0\x9F\x98\x80"));
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));       // above U+10FFFF
}

TEST(ResolveLink, RelativeFormsAsABrowserResolvesThem) {
    const std::string_view page = "http://server/dir/page.htm?q=1";
    EXPECT_EQ(Resolve(page, "a.jpg"), "http://server/dir/a.jpg");
    EXPECT_EQ(Resolve(page, "/img/a.jpg"), "http://server/img/a.jpg");
    EXPECT_EQ(Resolve(page, "//cdn/a.js"), "http://cdn/a.js");
    EXPECT_EQ(Resolve("https://server/dir/", "//cdn/a.js"), "https://cdn/a.js");
    EXPECT_EQ(Resolve(page, "../a.jpg"), "http://server/a.jpg");
    EXPECT_EQ(Resolve(page, "../../../a.jpg"), "http://server/a.jpg");
    EXPECT_EQ(Resolve(page, "sub/./x/../b.jpg"), "http://server/dir/sub/b.jpg");
    EXPECT_EQ(Resolve(page, "#top"), "http://server/dir/page.htm?q=1#top");
    EXPECT_EQ(Resolve(page, ""), "http://server/dir/page.htm?q=1");
    EXPECT_EQ(Resolve(page, "?p=2"), "http://server/dir/page.htm?p=2");
    EXPECT_EQ(Resolve("http://server", "a.jpg"), "http://server/a.jpg");
    EXPECT_EQ(Resolve("http://server", ""), "http://server/");
    EXPECT_EQ(Resolve("http://127.0.0.1:8080/x/y", "z"), "http://127.0.0.1:8080/x/z");
    // Blanks around the value and line breaks inside it are not part of the address.
    EXPECT_EQ(Resolve(page, "  a\n.jpg\t"), "http://server/dir/a.jpg");
    // A blank or control left inside is escaped as a browser does; the downloader refuses it raw.
    EXPECT_EQ(Resolve(page, "my file.jpg?q=a b#x y"), "http://server/dir/my%20file.jpg?q=a%20b#x%20y");
    EXPECT_EQ(Resolve(page, "http://other/a b\x01\x7F.jpg"), "http://other/a%20b%01%7F.jpg");
}

TEST(ResolveLink, AbsoluteLinksStayAndUnfetchableSchemesAreSkipped) {
    const std::string_view page = "http://server/dir/";
    EXPECT_EQ(Resolve(page, "https://otherserver/b.zip"), "https://otherserver/b.zip");
    EXPECT_EQ(Resolve(page, "HTTP://otherserver/b.zip"), "HTTP://otherserver/b.zip");
    EXPECT_EQ(Resolve(page, "http://x/../a"), "http://x/../a");
    for (const char* link : {"mailto:a@b.example", "javascript:void(0)", "data:text/plain,hi", "tel:123",
                             "ftp://server/a.zip", "file:///etc/passwd", " JavaScript:alert(1)", "c:/x"})
        EXPECT_EQ(Resolve(page, link), "<skipped>") << link;
}

TEST(ResolveLink, AgreesWithQUrlOnTheStandardExamples) {
    // The examples of RFC 3986 section 5.4 (except "//g", where browsers add the root path).
    const std::string base = "http://a/b/c/d;p?q";
    for (const char* ref : {"g", "./g", "g/", "/g", "?y", "g?y", "#s", "g#s", "g?y#s", ";x", "g;x", "g;x?y#s", "",
                            ".", "./", "..", "../", "../g", "../..", "../../", "../../g", "../../../g",
                            "../../../../g", "/./g", "/../g", "g.", ".g", "g..", "..g", "./../g", "./g/.",
                            "g/./h", "g/../h", "g;x=1/./y", "g;x=1/../y", "g?y/./x", "g?y/../x", "g#s/./x",
                            "g#s/../x"}) {
        const QUrl expected = QUrl(QString::fromStdString(base)).resolved(QUrl(QString::fromLatin1(ref)));
        EXPECT_EQ(Resolve(base, ref), expected.toString(QUrl::FullyEncoded).toStdString()) << ref;
    }
    EXPECT_EQ(Resolve(base, "//g"), "http://g/");
}

TEST(CompleteLink, DecodesThenResolves) {
    std::string out;
    ASSERT_TRUE(CompleteLink("http://s/d/p.htm", "img.php?a=1&amp;b=2&copy=3", out));
    EXPECT_EQ(out, "http://s/d/img.php?a=1&b=2&copy=3");
    ASSERT_TRUE(CompleteLink("http://s/d/p.htm", "caf\xE9.jpg", out));
    EXPECT_EQ(out, "http://s/d/caf\xC3\xA9.jpg");
    EXPECT_FALSE(CompleteLink("http://s/d/p.htm", "mailto:x&#64;y", out));
    EXPECT_TRUE(out.empty());
}
