#include <gtest/gtest.h>

#include <ostream>

#include "download/Address.h"
#include "download/FileNaming.h"

// Failures show names as text, not as UTF-16 units.
static void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

using namespace Download;

namespace {
QString s(const char* text) { return QString::fromUtf8(text); }
QString repeated(const char* text, int times) { return s(text).repeated(times); }

struct Case {
    const char* input;
    const char* expected;
};

// The properties every safe name has, whatever it came from.
void expectSafe(const QString& name, int maxBytes = 255) {
    SCOPED_TRACE(name.toStdString());
    EXPECT_LE(name.toUtf8().size(), maxBytes);
    EXPECT_FALSE(name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')));
    EXPECT_FALSE(name.startsWith(QLatin1Char('.')));
    for (QChar c : name) EXPECT_FALSE(c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F));
    EXPECT_EQ(SafeFileName(name, maxBytes), name);
}
}  // namespace

TEST(FileNaming, ContentDispositionAsServersSendIt) {
    const Case cases[] = {
        // filename* in UTF-8 and ISO-8859-1, and before filename in either order
        {"attachment; filename*=UTF-8''%E2%82%AC%20rates.pdf", "€ rates.pdf"},
        {"attachment; filename*=iso-8859-1'en'%A3%20rates.pdf", "£ rates.pdf"},
        {"attachment; filename=\"EURO rates.pdf\"; filename*=utf-8''%e2%82%ac%20rates.pdf", "€ rates.pdf"},
        {"attachment; filename*=UTF-8''%E2%82%AC.pdf; filename=\"EUR.pdf\"", "€.pdf"},
        // a filename* that cannot be read leaves filename
        {"attachment; filename=\"plain.pdf\"; filename*=UTF-8''%FF.pdf", "plain.pdf"},
        {"attachment; filename*=koi8-r''%C1.txt; filename=a.txt", "a.txt"},
        {"attachment; filename*=no-quotes.txt; filename=b.txt", "b.txt"},
        // raw bytes, escapes, no quotes, trailing ';', inline, no type, odd spacing and case
        {"attachment; filename=\"Stra\xC3\x9F" "e caf\xC3\xA9.txt\"", "Straße café.txt"},
        {"attachment; filename=\"caf\xE9.txt\"", "café.txt"},
        {"attachment; filename=\"read%20me.txt\"", "read me.txt"},
        {"attachment; filename=\"100%25 %FF.txt\"", "100% %FF.txt"},
        {"attachment; filename=Quarterly Report.pdf", "Quarterly Report.pdf"},
        {"attachment; filename=\"manual.pdf\";", "manual.pdf"},
        {"inline; filename=\"tool_3.1.tar.xz\"", "tool_3.1.tar.xz"},
        {"filename=x.zip", "x.zip"},
        {"Attachment; FileName = \"y.zip\" ", "y.zip"},
        {"attachment; filename=\"=?UTF-8?B?4oKsIHJhdGVzLnBkZg==?=\"", "€ rates.pdf"},
        {"attachment; filename=\"=?iso-8859-1?Q?caf=E9_au?= =?ISO-8859-1?q?_lait.txt?=\"", "café au lait.txt"},
        {"attachment; filename=\"=?UTF-8?X?abc?=\"", "=?UTF-8?X?abc?="},
        {"attachment; size=3; filename=z.zip; filename=later.zip", "z.zip"},
        // quoted text: an escaped quote, a ';' inside, a Windows path kept, an unclosed quote
        {"attachment; filename=\"a \\\"b\\\"; c.txt\"", "a \"b\"; c.txt"},
        {"attachment; filename=\"C:\\dir\\a.pdf\"", "C:\\dir\\a.pdf"},
        {"attachment; filename=\"half.txt", "half.txt"},
        // no name at all
        {"", ""},
        {"attachment", ""},
        {"inline; size=10;", ""},
        {"attachment; filename=", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(ContentDispositionFileName(QByteArray(c.input)), s(c.expected));
    }
}

TEST(FileNaming, AddressSegmentDecoded) {
    const Case cases[] = {
        {"http://h/read%20me.txt", "read me.txt"},
        {"http://h/d/Stra%C3%9Fe%20caf%c3%a9.txt", "Straße café.txt"},
        {"http://h/100%25%20real.txt", "100% real.txt"},
        // an encoded separator is part of the name, never a folder
        {"http://h/a%2Fb.txt", "a_b.txt"},
        {"http://h/..%2F..%5Cx", ".._.._x"},
        // escapes that are not UTF-8 (stray byte, cut sequence, overlong, surrogate) stay
        {"http://h/bad%FF%C3.txt", "bad%FF%C3.txt"},
        {"http://h/x%C3%28%E2%82%AC.txt", "x%C3(€.txt"},
        {"http://h/%C0%AF%ED%A0%80", "%C0%AF%ED%A0%80"},
        {"http://h/50%.txt", "50%.txt"},
        // query and fragment go, also when they hold separators
        {"http://h/download.php?id=1", "download.php"},
        {"http://h/manual.pdf?download=1&lang=en", "manual.pdf"},
        {"http://h/images-1.0.tar.gz?utm_source=a/b", "images-1.0.tar.gz"},
        {"http://h/app.html#/view?x=1", "app.html"},
        // addresses that name no file
        {"http://h/?page=2", ""},
        {"http://h/dir/", ""},
        {"http://h", ""},
        {"http://[::1]:8080", ""},
        {"http://h/a\\b.jpg", "b.jpg"},
        {"pic.jpg", "pic.jpg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(AddressFileName(s(c.input)), s(c.expected));
    }
}

TEST(FileNaming, HostileNamesMadeSafe) {
    const Case cases[] = {
        {"../../x", "x"},
        {"..\\..\\x", "x"},
        {"/etc/passwd", "passwd"},
        {"C:\\dir\\a.pdf", "a.pdf"},
        {"dir/", ""},
        {"a\x01" "b\x7F\xC2\x85.txt\r\n", "ab.txt"},
        {"evil\xE2\x80\xAEgpj.exe", "evilgpj.exe"},
        {".hidden", "hidden"},
        {" . .x", "x"},
        {".fetchwright-a1B2c3.part", "fetchwright-a1B2c3.part"},
        {"  name.txt \t", "name.txt"},
        {"", ""},
        {".", ""},
        {"..", ""},
        {"...", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const QString safe = SafeFileName(s(c.input));
        EXPECT_EQ(safe, s(c.expected));
        expectSafe(safe);
    }
    // An unpaired surrogate has no UTF-8 form: it goes, a pair stays.
    const QChar lone(char16_t(0xD800));
    EXPECT_EQ(SafeFileName(QString(lone) + s("a😀.txt")), s("a😀.txt"));
}

TEST(FileNaming, LongNamesCutInTheStemKeepingTheExtension) {
    struct Long {
        QString name;
        int maxBytes;
        QString expected;
    };
    const Long cases[] = {
        // 300 bytes of three-byte characters: whole characters only, the extension kept
        {repeated("€", 100) + s(".pdf"), 255, repeated("€", 83) + s(".pdf")},
        {repeated("é", 150) + s(".txt"), 255, repeated("é", 125) + s(".txt")},
        // four-byte characters are never split, and a compound extension is one
        {repeated("😀", 80) + s(".tar.gz"), 255, repeated("😀", 62) + s(".tar.gz")},
        // a blank left at the cut's end goes
        {s("ab cd.txt"), 7, s("ab.txt")},
        // an extension that leaves no room for the stem is cut like the rest
        {s("a.") + repeated("x", 300), 255, s("a.") + repeated("x", 253)},
        {s("ok.txt"), 0, s("")},
    };
    for (const Long& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        const QString safe = SafeFileName(c.name, c.maxBytes);
        EXPECT_EQ(safe, c.expected);
        if (c.maxBytes > 0) expectSafe(safe, c.maxBytes);
    }
}

TEST(FileNaming, ChoiceOfNameAndExtension) {
    struct Choice {
        const char* url;
        const char* disposition;
        const char* type;
        const char* expected;
        bool useServerName = true;
    };
    const Choice cases[] = {
        // the server's name first; it keeps its own extension, and gets one only when it has none
        {"http://h/download.php?id=1", "attachment; filename=\"Quarterly Report.pdf\"", "application/pdf", "Quarterly Report.pdf"},
        {"http://h/download.php?id=1", "attachment; filename=report.php", "application/pdf", "report.php"},
        {"http://h/get", "inline; filename=report", "application/pdf", "report.pdf"},
        {"http://h/download.php?id=1", "attachment; filename=\"Quarterly Report.pdf\"", "application/pdf", "download.pdf", false},
        // a server name with nothing usable in it leaves the address's
        {"http://h/real.zip", "attachment; filename=\"..\"", "", "real.zip"},
        {"http://h/real.zip", "attachment; filename=\"/\"", "", "real.zip"},
        {"http://h/x", "attachment; filename=\"../../etc/passwd\"", "", "passwd"},
        {"http://h/x", "attachment; filename=\".bashrc\"", "", "bashrc"},
        // a script extension or none gets the type's, a specific type only
        {"http://h/download.php?id=3", "", "application/pdf", "download.pdf"},
        {"http://h/Show.ASPX", "", "Application/PDF; charset=binary", "Show.pdf"},
        {"http://h/latest", "", "application/pdf", "latest.pdf"},
        {"http://h/latest.", "", "application/pdf", "latest.pdf"},
        {"http://h/download.php?id=3", "", "application/octet-stream", "download.php"},
        {"http://h/download.php?id=3", "", "text/plain", "download.php"},
        {"http://h/latest", "", "", "latest"},
        {"http://h/latest", "", "application/x-no-such-type-here", "latest"},
        {"http://h/data.json", "", "application/pdf", "data.json"},
        // a folder or query-only address: index.html for HTML, else the host
        {"http://example.org/dir/", "", "text/html; charset=utf-8", "index.html"},
        {"http://example.org/?page=2", "", "application/xhtml+xml", "index.html"},
        {"http://example.org/dir/", "", "application/octet-stream", "example.org"},
        {"http://example.org/dir/", "", "", "example.org"},
        {"http://example.org/dir/", "", "application/pdf", "example.org.pdf"},
        {"http://[::1]:8080/", "", "", "::1"},
        {"no-host/", "", "", "download"},
        // decoded address names stay one safe component
        {"http://h/a%2F..%2Fb", "", "", "a_.._b"},
        {"http://h/%2E%2E", "", "", "h"},
        {"http://h/a%00b%0A.txt", "", "", "ab.txt"},
        {"http://h/%2Efetchwright-a1B2c3.part", "", "", "fetchwright-a1B2c3.part"},
    };
    for (const Choice& c : cases) {
        SCOPED_TRACE(std::string(c.url) + " | " + c.disposition + " | " + c.type);
        const QString name = ChooseFileName({s(c.url), QByteArray(c.disposition), QByteArray(c.type), std::nullopt}, c.useServerName);
        EXPECT_EQ(name, s(c.expected));
        expectSafe(name);
        // The engine hands over the segment it already read when there was no redirect.
        const QString segment = Download::Address(s(c.url)).lastSegment();
        EXPECT_EQ(ChooseFileName({s(c.url), QByteArray(c.disposition), QByteArray(c.type), segment}, c.useServerName), name);
    }
}

TEST(FileNaming, ChosenNamesRespectTheByteLimit) {
    const QByteArray longName = "attachment; filename*=UTF-8''" + repeated("ж", 150).toUtf8().toPercentEncoding();
    const QString name = ChooseFileName({s("http://h/x"), longName, "application/pdf", std::nullopt});
    EXPECT_EQ(name, repeated("ж", 125) + s(".pdf"));
    expectSafe(name);
    EXPECT_EQ(ChooseFileName({s("http://h/report-2024.pdf"), {}, {}, std::nullopt}, true, 10), s("report.pdf"));
    EXPECT_EQ(ChooseFileName({s("http://h/dir/"), {}, "text/html", std::nullopt}, true, 8), s("ind.html"));
    EXPECT_EQ(ChooseFileName({s("http://h/😀"), {}, {}, std::nullopt}, true, 3), s("dow"));
}
