// Finding the web addresses in pasted and dropped text.
#include <gtest/gtest.h>

#include "listbuild/FindAddresses.h"

using Main::FindWebAddresses;

namespace {
QString s(const char* text) { return QString::fromUtf8(text); }
QStringList found(const char* text) { return FindWebAddresses(s(text)); }
}  // namespace

TEST(FindAddresses, AnEmailGivesItsAddressesAndNoneOfItsProse) {
    const char* mail =
        "Hi Anna,\r\n"
        "\r\n"
        "Here are the files you asked for:\r\n"
        "https://files.quillmoor.example/reports/2024/q1.pdf\r\n"
        "https://files.quillmoor.example/reports/2024/q2.pdf, and the older one at\r\n"
        "<http://archive.quillmoor.example/old/q4-2023.zip>.\r\n"
        "The mirror, if the first is slow:\r\n"
        "downloads.quillmoor.example/q1.pdf\r\n"
        "(see also https://en.wikipedia.org/wiki/Report_(document)).\r\n"
        "\r\n"
        "Thanks, Bob\r\n"
        "Bob.\r\n"
        "> On Mon, Anna wrote:\r\n"
        "> Could you send \"https://intranet.example/list?id=7&x=1\"?\r\n";
    EXPECT_EQ(found(mail), (QStringList{s("https://files.quillmoor.example/reports/2024/q1.pdf"),
                                        s("https://files.quillmoor.example/reports/2024/q2.pdf"),
                                        s("http://archive.quillmoor.example/old/q4-2023.zip"),
                                        s("http://downloads.quillmoor.example/q1.pdf"),
                                        s("https://en.wikipedia.org/wiki/Report_(document)"),
                                        s("https://intranet.example/list?id=7&x=1")}));
}

TEST(FindAddresses, HtmlSourceGivesItsAbsoluteLinksAndTheirTexts) {
    const char* html =
        "<ul>\n"
        "  <li><a href=\"https://cdn.example.org/img/a.png\">a.png</a></li>\n"
        "  <li><a href='HTTPS://cdn.example.org/img/b.png'>https://cdn.example.org/img/b.png</a></li>\n"
        "  <img src=\"//cdn.example.org/c.png\" alt=\"\"><link rel=\"stylesheet\" href=\"/style.css\">\n"
        "</ul>\n";
    EXPECT_EQ(found(html), (QStringList{s("https://cdn.example.org/img/a.png"), s("HTTPS://cdn.example.org/img/b.png"),
                                        s("https://cdn.example.org/img/b.png")}));
}

TEST(FindAddresses, MarkdownLinksLoseTheirMarkup) {
    const char* markdown =
        "# Downloads\n"
        "* [Installer](https://example.com/setup-1.2.exe)\n"
        "* [Docs (PDF)](https://example.com/docs.pdf \"Manual\")\n"
        "* Source: `https://git.example.com/repo.tar.gz`\n"
        "* <https://example.com/checksums.txt>\n"
        "* **https://example.com/bold.zip**\n"
        "![logo](https://example.com/logo.svg) [https://example.com/a](https://example.com/b)\n";
    EXPECT_EQ(found(markdown), (QStringList{s("https://example.com/setup-1.2.exe"), s("https://example.com/docs.pdf"),
                                            s("https://git.example.com/repo.tar.gz"),
                                            s("https://example.com/checksums.txt"), s("https://example.com/bold.zip"),
                                            s("https://example.com/logo.svg"), s("https://example.com/a"),
                                            s("https://example.com/b")}));
}

TEST(FindAddresses, ATerminalLogGivesTheFetchedAddresses) {
    const char* log =
        "$ wget -i list.txt\n"
        "--2024-03-01 10:15:02--  http://mirror.example.net/pub/file-1.0.tar.gz\n"
        "Resolving mirror.example.net (mirror.example.net)... 192.0.2.10\n"
        "Connecting to mirror.example.net (mirror.example.net)|192.0.2.10|:80... connected.\n"
        "HTTP request sent, awaiting response... 301 Moved Permanently\n"
        "Location: https://mirror.example.net/pub/file-1.0.tar.gz [following]\n"
        "Saving to: \xE2\x80\x98" "file-1.0.tar.gz\xE2\x80\x99\n"
        "$ ls\n"
        "file-1.0.tar.gz\n"
        "src/main.cpp\n"
        "./build/a.out\n";
    EXPECT_EQ(found(log), (QStringList{s("http://mirror.example.net/pub/file-1.0.tar.gz"),
                                       s("https://mirror.example.net/pub/file-1.0.tar.gz")}));
}

TEST(FindAddresses, SeveralOnALineAndWhereAnAddressEnds) {
    EXPECT_EQ(found("http://a.example/1, http://a.example/2 and http://a.example/3."),
              (QStringList{s("http://a.example/1"), s("http://a.example/2"), s("http://a.example/3")}));
    EXPECT_EQ(found("\xE2\x80\x9Chttps://x.example/a\xE2\x80\x9D or \xC2\xABhttps://x.example/b\xC2\xBB!"),
              (QStringList{s("https://x.example/a"), s("https://x.example/b")}));
    EXPECT_EQ(found("(https://x.example/a) [https://x.example/b]; {https://x.example/c}"),
              (QStringList{s("https://x.example/a"), s("https://x.example/b"), s("https://x.example/c")}));
    // Brackets the address opened stay; escapes, queries and fragments are kept as written.
    EXPECT_EQ(found("https://x.example/A_(b)_c?q=(1)&r=%20#f:"), QStringList{s("https://x.example/A_(b)_c?q=(1)&r=%20#f")});
    EXPECT_EQ(found("http://[::1]:8080/x.bin)"), QStringList{s("http://[::1]:8080/x.bin")});
    EXPECT_EQ(found("https://\xE4\xBE\x8B\xE3\x81\x88.jp/\xE3\x83\x95.zip\xE2\x80\xA6"),
              QStringList{s("https://\xE4\xBE\x8B\xE3\x81\x88.jp/\xE3\x83\x95.zip")});
    // No host, or a scheme inside a word, is no address.
    EXPECT_EQ(found("http:// https:///x xhttp://a.example/ \"http://\""), QStringList());
    EXPECT_EQ(found("see xhttp://a.example/1 and http://a.example/2"), QStringList{s("http://a.example/2")});
}

TEST(FindAddresses, ALineThatIsOnlyAnAddressWithoutSchemeGetsOne) {
    EXPECT_EQ(found("example.com/a.zip\r<mirror.example.com:8080/b.zip>\n  192.0.2.7/c.bin.  \n"
                    "(x.example/wiki/A_(b))\n\"q.example/\""),
              (QStringList{s("http://example.com/a.zip"), s("http://mirror.example.com:8080/b.zip"),
                           s("http://192.0.2.7/c.bin"), s("http://x.example/wiki/A_(b)"), s("http://q.example/")}));
    // No dot before the first "/", blanks, no "/" at all, or no host name.
    EXPECT_EQ(found("server/d\nexample.com/a b.zip\nwww.example.com\nThanks.\ne.g.\nC:/x.txt\n.hidden.d/x\n"
                    "a..b/x\nuser@mail.example/x\nexample.com:/x\nexample.com:80a/x\n-- \n"),
              QStringList());
    EXPECT_EQ(found(""), QStringList());
}

TEST(FindAddresses, TheCallbackFormReportsInTextOrderWithDuplicates) {
    QStringList seen;
    FindWebAddresses(s("http://d.example/1 http://d.example/1\nd.example/1"), [&](const QString& a) { seen << a; });
    EXPECT_EQ(seen, (QStringList{s("http://d.example/1"), s("http://d.example/1"), s("http://d.example/1")}));
}
