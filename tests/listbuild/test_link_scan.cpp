// The tag scan, attribute-value reference decoding and link resolution.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "listbuild/LinkScan.h"

using namespace ExtractLinks;

namespace {
std::vector<std::string> Scan(std::string_view page) {
    std::vector<std::string> links;
    ScanForLinks(page, [&](const Href& h) {
        links.emplace_back(std::string(h.kind == Href::Base ? "base:" : h.kind == Href::Resource ? "res:" : "") +
                           std::string(h.value));
        return true;
    }, [] { return true; });
    return links;
}

// Every link of a page as the list receives it, against `pageUrl`.
std::vector<std::string> Links(std::string_view page, const char* pageUrl = "http://server/dir/page.htm") {
    std::string_view baseHref;
    const bool hasBase = FindBaseHref(page, baseHref);
    PageAddress where;
    EXPECT_TRUE(MakePageAddress(pageUrl, hasBase ? &baseHref : nullptr, where));
    std::vector<std::string> links;
    WebUrl::Url out;
    ScanForLinks(page, [&](const Href& h) {
        if (h.kind == Href::Link && CompleteLink(where, h.value, out)) links.push_back(out.href);
        return true;
    }, [] { return true; });
    return links;
}
using V = std::vector<std::string>;
}  // namespace

TEST(ScanForLinks, EveryQuotingStyleCaseAndBlanksAroundTheEqualsSign) {
    EXPECT_EQ(Scan(R"(<a href="a"><A HREF='b'><a Href=c><a hReF = "d" ><a href =e>)"), (V{"a", "b", "c", "d", "e"}));
    // Quotes of the other kind, ">" and "=" belong to a quoted value; unquoted ends at a blank or ">".
    EXPECT_EQ(Scan(R"(<a href="it's>x=y"><a href='say "hi"'><a href=p?q=1&r=2>t</a><a href=u/v x=1>)"),
              (V{"it's>x=y", R"(say "hi")", "p?q=1&r=2", "u/v"}));
    // The first href of a tag counts; other attributes, and names that merely end in href, do not.
    EXPECT_EQ(Scan(R"(<a title="href=x" data-href="y" href="first" href="second"><img src="z"><a xlink:href="w">)"),
              (V{"first"}));
    // An attribute without a value, a "/" between attributes, self-closing tags.
    EXPECT_EQ(Scan(R"(<a download href=f1><a/href="f2"/><link href="f3"/><a href>)"), (V{"f1", "f2", "f3", ""}));
}

TEST(ScanForLinks, CommentsScriptsStylesAndOtherTextAreNotTags) {
    const std::string page =
        "<!-- <a href=c1> --><a href=in1><!--><a href=in2><!---><a href=in3><!-- x --!><a href=in4>"
        "<script>var s = '<a href=\"s1\">'; if (a<b) x();</script ><a href=in5>"
        "<STYLE>a[href=\"s2\"]{}</style><textarea><a href=t1></textarea><title><a href=t2></title>"
        "<!DOCTYPE html><?xml href=\"p1\"?></p href=\"e1\"><a href=in6>a < b <a href=in7>";
    EXPECT_EQ(Scan(page), (V{"in1", "in2", "in3", "in4", "in5", "in6", "in7"}));
    // </scripts> does not close a script; everything after <plaintext> is text.
    EXPECT_EQ(Scan("<script></scripts><a href=x></script><a href=y>"), (V{"y"}));
    EXPECT_EQ(Scan("<a href=x><plaintext><a href=y></plaintext><a href=z>"), (V{"x"}));
    // A comment, script or tag cut off by the page's end hides what follows it.
    EXPECT_TRUE(Scan("<!-- <a href=a>").empty());
    EXPECT_TRUE(Scan("<script><a href=a>").empty());
    EXPECT_TRUE(Scan("<a href=\"never closed>").empty());
    EXPECT_TRUE(Scan("<a href=x").empty());
    EXPECT_TRUE(Scan("").empty());
}

TEST(ScanForLinks, BaseAndStyleSheetsAndIconsAreMarked) {
    EXPECT_EQ(Scan(R"(<base href="/b/"><link rel="stylesheet" href="s.css"><link REL="shortcut Icon" href=i.ico>)"
                   R"(<link rel="alternate" href="feed.xml"><link href="x.css" rel=stylesheet>)"),
              (V{"base:/b/", "res:s.css", "res:i.ico", "feed.xml", "res:x.css"}));
}

TEST(ScanLinksFrom, ResumedInTinyStepsOrAfterEveryLinkFindsWhatOnePassFinds) {
    std::string page = "<a href=x><script><a href=no></script><!-- <a href=no> -->";
    for (int i = 0; i < 50; ++i) page += std::string(static_cast<std::size_t>(i % 7), '<') + "<a href='l" + std::to_string(i) + "'>";
    page += "<a href=\"never";
    const V whole = Scan(page);
    ASSERT_EQ(whole.size(), 51u);
    for (std::size_t step : {1u, 2u, 3u, 5u, 7u, 64u}) {
        for (bool pauseEachLink : {false, true}) {
            V links;
            std::size_t at = 0;
            int calls = 0;
            while (at < page.size() && ++calls < 100000) {
                const std::size_t next = ScanLinksFrom(page, at, at + step, [&](const Href& h) {
                    links.emplace_back(h.value);
                    return !pauseEachLink;
                });
                ASSERT_GT(next, at);
                at = next;
            }
            EXPECT_EQ(links, whole) << "step " << step << (pauseEachLink ? ", pausing after each link" : "");
        }
    }
}

TEST(ScanForLinks, ASinkOrProgressCanStopTheScan) {
    std::string page;
    for (int i = 0; i < 20000; ++i) page += "<a href=\"l\">=";
    int seen = 0;
    EXPECT_FALSE(ScanForLinks(page, [&](const Href&) { return ++seen < 3; }, [] { return true; }));
    EXPECT_EQ(seen, 3);
    int progressCalls = 0;
    seen = 0;
    EXPECT_FALSE(ScanForLinks(page, [&](const Href&) { ++seen; return true; }, [&] { return ++progressCalls < 2; }));
    EXPECT_EQ(progressCalls, 2);
    EXPECT_LT(seen, 20000);
}

// Cases of the HTML tokenizer's character reference tests, as attribute values.
TEST(CharacterReferences, NamedNumericAndTheAttributeRule) {
    EXPECT_EQ(DecodeCharacterReferences("c&#43;&#43;/caf&eacute;.html"), "c++/caf\xC3\xA9.html");
    EXPECT_EQ(DecodeCharacterReferences("&AMP;&amp;&lt&gt;&quot;&apos;&nbsp;"), "&&<>\"'\xC2\xA0");
    EXPECT_EQ(DecodeCharacterReferences("&NotEqualTilde;&fjlig;"), "\xE2\x89\x82\xCC\xB8" "fj");
    // Numeric: the C1 replacements, the null character, surrogates and values past Unicode.
    EXPECT_EQ(DecodeCharacterReferences("&#128;&#x80;&#x9F;&#x81;"), "\xE2\x82\xAC\xE2\x82\xAC\xC5\xB8\xC2\x81");
    EXPECT_EQ(DecodeCharacterReferences("&#0;&#xD800;&#x110000;&#99999999999999999999;"),
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(DecodeCharacterReferences("&#65&#x42;&#X43"), "ABC");
    EXPECT_EQ(DecodeCharacterReferences("&#;&#x;&#xg;&"), "&#;&#x;&#xg;&");
    // Without ";" a legacy name is decoded unless "=" or a letter or digit follows it.
    EXPECT_EQ(DecodeCharacterReferences("?a=1&copy=2&copy;&copy.&copyx&notit;&notin;"),
              "?a=1&copy=2\xC2\xA9\xC2\xA9.&copyx&notit;\xE2\x88\x89");
    EXPECT_EQ(DecodeCharacterReferences("&amp;amp;&unknown;&ampx"), "&amp;&unknown;&ampx");
    EXPECT_EQ(DecodeCharacterReferences("&CounterClockwiseContourIntegral;"), "\xE2\x88\xB3");
}

TEST(LinkBytes, Utf8WhereValidElseOneCharacterPerByte) {
    EXPECT_EQ(ToUtf8("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(ToUtf8("caf\xE9"), "caf\xC3\xA9");
    EXPECT_EQ(ToUtf8("\xC3"), "\xC3\x83");
    EXPECT_EQ(ToUtf8("\xC0\xAF"), "\xC3\x80\xC2\xAF");
    EXPECT_TRUE(IsValidUtf8("\xF0\x9F\x98\x80"));
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));
}

TEST(CompleteLink, ResolvedAndWrittenAsABrowserDoes) {
    EXPECT_EQ(Links(R"(<a href="a.jpg"><a href="/img/a.jpg"><a href="../x/./y/../b.jpg"><a href="//CDN.Example:80/a.js">)"
                    R"(<a href="http://Example.COM/./a/../b"><a href="http:foo"><a href="\\h\x"><a href="中/test.txt">)"
                    R"(<a href="q#β"><a href="my file.jpg"><a href="  a&#10;b.jpg "><a href="c&#43;&#43;/caf&eacute;.html">)"),
              (V{"http://server/dir/a.jpg", "http://server/img/a.jpg", "http://server/x/b.jpg", "http://cdn.example/a.js",
                 "http://example.com/b", "http://server/dir/foo", "http://h/x", "http://server/dir/%E4%B8%AD/test.txt",
                 "http://server/dir/q#%CE%B2", "http://server/dir/my%20file.jpg", "http://server/dir/ab.jpg",
                 "http://server/dir/c++/caf%C3%A9.html"}));
    // Latin-1 bytes of a page that is not UTF-8 are read one character each.
    EXPECT_EQ(Links("<a href=\"caf\xE9.jpg\">"), (V{"http://server/dir/caf%C3%A9.jpg"}));
}

TEST(CompleteLink, NoWebAddressAndLinksIntoThePageItselfAreLeftOut) {
    EXPECT_EQ(Links(R"x(<a href="mailto:x@y"><a href="javascript:void(0)"><a href="ftp://h/a"><a href="http://a b/">)x"
                    R"(<a href="http://h:99999/"><a href="#top"><a href=""><a href="page.htm#s"><a href="page.htm?x#s">)"
                    R"(<link rel=stylesheet href=s.css><link rel=icon href=f.ico><a href="https://h/#f">)"),
              (V{"http://server/dir/page.htm?x#s", "https://h/#f"}));
    // Duplicates stay.
    EXPECT_EQ(Links("<a href=x><a href=x>"), (V{"http://server/dir/x", "http://server/dir/x"}));
}

TEST(CompleteLink, TheFirstBaseHrefHoldsForEveryLinkOfThePage) {
    EXPECT_EQ(Links(R"(<a href="before"><base href="http://other.example/b/"><base href="/ignored/"><a href="after">)"
                    R"(<a href="#top">)"),
              (V{"http://other.example/b/before", "http://other.example/b/after", "http://other.example/b/#top"}));
    // A relative base is resolved against the page; a base in a comment or one that is not http(s) counts not.
    EXPECT_EQ(Links(R"(<base href="../up/"><a href="x">)"), (V{"http://server/up/x"}));
    EXPECT_EQ(Links(R"(<!-- <base href="http://c/"> --><a href="x">)"), (V{"http://server/dir/x"}));
    EXPECT_EQ(Links(R"(<base href="ftp://f/"><a href="x">)"), (V{"http://server/dir/x"}));
    EXPECT_EQ(Links(R"(<base target=_top><base href="/b/"><a href="x">)"), (V{"http://server/b/x"}));
}
