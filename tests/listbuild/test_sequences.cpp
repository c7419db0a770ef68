// Numbered sequences in "Add One URL".
#include <gtest/gtest.h>

#include "app/Form1.h"
#include "harness/ListContents.h"
#include "harness/ListWait.h"
#include "harness/ScriptedDialogs.h"
#include "listbuild/Sequences.h"
#include "listbuild/UserAddress.h"
#include "support/WebUrl.h"

namespace {
QString q(const char* s) { return QString::fromUtf8(s); }

QStringList expand(const char* address, qsizetype most = Main::kMostFromOneAddress) {
    const Fw::Result<QStringList> out = Main::ExpandSequences(q(address), most);
    EXPECT_TRUE(out.ok()) << (out.ok() ? "" : out.error().text.toStdString());
    return out.ok() ? *out : QStringList();
}

QString fault(const char* address, qsizetype most = Main::kMostFromOneAddress) {
    const Fw::Result<QStringList> out = Main::ExpandSequences(q(address), most);
    EXPECT_FALSE(out.ok()) << address;
    return out.ok() ? QString() : out.error().text;
}
}  // namespace

TEST(Sequences, NumbersKeepTheFirstBoundsWidthAndTakeASteps) {
    const QStringList photos = expand("http://x/photo[001-120].jpg");
    ASSERT_EQ(photos.size(), 120);
    EXPECT_EQ(photos.front(), q("http://x/photo001.jpg"));
    EXPECT_EQ(photos[9], q("http://x/photo010.jpg"));
    EXPECT_EQ(photos.back(), q("http://x/photo120.jpg"));
    EXPECT_EQ(expand("http://x/[8-11]"), (QStringList{q("http://x/8"), q("http://x/9"), q("http://x/10"), q("http://x/11")}));
    EXPECT_EQ(expand("http://x/[1-9:4]"), (QStringList{q("http://x/1"), q("http://x/5"), q("http://x/9")}));
    EXPECT_EQ(expand("http://x/?p=[1-8:3]"), (QStringList{q("http://x/?p=1"), q("http://x/?p=4"), q("http://x/?p=7")}));
    EXPECT_EQ(expand("http://x/[5-5]"), QStringList{q("http://x/5")});
    // The top of the unsigned range does not wrap around.
    EXPECT_EQ(expand("http://x/[999999999999999998-999999999999999999:5]").size(), 1);
}

TEST(Sequences, LettersListsAndSeveralRangesWithTheLastFastest) {
    EXPECT_EQ(expand("http://x/[a-c]"), (QStringList{q("http://x/a"), q("http://x/b"), q("http://x/c")}));
    EXPECT_EQ(expand("http://x/[A-E:2]"), (QStringList{q("http://x/A"), q("http://x/C"), q("http://x/E")}));
    EXPECT_EQ(expand("http://x/{cat,dog}/[1-2]{,_big}.jpg"),
              (QStringList{q("http://x/cat/1.jpg"), q("http://x/cat/1_big.jpg"), q("http://x/cat/2.jpg"),
                           q("http://x/cat/2_big.jpg"), q("http://x/dog/1.jpg"), q("http://x/dog/1_big.jpg"),
                           q("http://x/dog/2.jpg"), q("http://x/dog/2_big.jpg")}));
}

TEST(Sequences, HostBracketsEscapesAndPlainBracketsStayText) {
    EXPECT_EQ(expand("http://[::1]:8080/x[1-2]"), (QStringList{q("http://[::1]:8080/x1"), q("http://[::1]:8080/x2")}));
    EXPECT_EQ(expand("[::1]:8080/{a,b}"), (QStringList{q("[::1]:8080/a"), q("[::1]:8080/b")}));
    EXPECT_EQ(expand("http://x/a\\[1-2\\]\\{b,c\\}"), QStringList{q("http://x/a[1-2]{b,c}")});
    EXPECT_EQ(expand("http://x/{a\\,b,c\\}}"), (QStringList{q("http://x/a,b"), q("http://x/c}")}));
    // Brackets that hold no range, and braces without a comma, are part of the address.
    EXPECT_EQ(expand("http://x/list?filter[type]=jpg&a[]=1&{x}"), QStringList{q("http://x/list?filter[type]=jpg&a[]=1&{x}")});
    EXPECT_EQ(expand("http://x/plain"), QStringList{q("http://x/plain")});
}

TEST(Sequences, FaultsNameTheRangeAndItsPlace) {
    EXPECT_EQ(fault("http://x/[5-1].jpg"), q("Range [5-1] runs backwards (at character 10)"));
    EXPECT_EQ(fault("http://x/[z-a]"), q("Range [z-a] runs backwards (at character 10)"));
    EXPECT_EQ(fault("http://x/[a-5]"), q("Range [a-5] mixes letters and numbers (at character 10)"));
    EXPECT_EQ(fault("http://x/[a-Z]"), q("Range [a-Z] mixes lower and upper case (at character 10)"));
    EXPECT_EQ(fault("http://x/[1-9:0]"), q("Range [1-9:0] needs a step of 1 or more (at character 10)"));
    EXPECT_EQ(fault("http://x/[1-9:]"), q("Range [1-9:] needs a step of 1 or more (at character 10)"));
    EXPECT_EQ(fault("http://x/ab[1-9"), q("The range \"[\" is not closed; write \\[ for a bracket (at character 12)"));
    EXPECT_EQ(fault("http://x/{a,b"), q("The list \"{\" is not closed; write \\{ for a brace (at character 10)"));
    EXPECT_EQ(fault("http://x/[1-1234567890123456789]"), q("Range [1-1234567890123456789] has a number too long (at character 10)"));
}

TEST(Sequences, MoreThanTheCapIsRefusedWithTheCount) {
    EXPECT_EQ(expand("http://x/[1-100000]").size(), 100000);
    EXPECT_EQ(fault("http://x/[1-100001]"), q("This address gives 100,001 entries; at most 100,000 are taken from one address"));
    EXPECT_EQ(fault("http://x/[1-400]/[1-400]"), q("This address gives 160,000 entries; at most 100,000 are taken from one address"));
    EXPECT_EQ(fault("http://x/[1-999999999999999999]"),
              q("This address gives 999,999,999,999,999,999 entries; at most 100,000 are taken from one address"));
    EXPECT_EQ(fault("http://x/[1-9]{a,b}", 10), q("This address gives 18 entries; at most 10 are taken from one address"));
}

TEST(Sequences, OnlyThePathAndTheQueryExpandNeverTheFragmentHostPortOrUserName) {
    EXPECT_EQ(expand("http://x/x.bin#[1-3]"), QStringList{q("http://x/x.bin#[1-3]")});
    EXPECT_EQ(expand("http://x/[1-2].bin?p={a,b}#part{c,d}"),
              (QStringList{q("http://x/1.bin?p=a#part{c,d}"), q("http://x/1.bin?p=b#part{c,d}"),
                           q("http://x/2.bin?p=a#part{c,d}"), q("http://x/2.bin?p=b#part{c,d}")}));
    EXPECT_EQ(expand("http://u{a,b}@h{1,2}.example:80/f"), QStringList{q("http://u{a,b}@h{1,2}.example:80/f")});
    EXPECT_EQ(expand("http://x#[1-3]"), QStringList{q("http://x#[1-3]")});
}

namespace {
struct AddSequence : ::testing::Test {
    ScriptedDialogs dialogs;
    Settings::Store settings;
    Form1 form{dialogs, settings};
};
}  // namespace

TEST_F(AddSequence, AddOneUrlExpandsEachLineAndNamesAFaultyOne) {
    dialogs.inputAnswers = {q("example.com/img[1-3].png\nhttp://y/[9-1]\nftp://z/{a,b}\nHTTP://Q/{A,B}")};
    form.PushButton5_Click();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(contentsOf(form.urlList()),
              (QStringList{q("http://example.com/img1.png"), q("http://example.com/img2.png"),
                           q("http://example.com/img3.png"), q("http://q/A"), q("http://q/B")}));
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(dialogs.messages[0].text, q("Range [9-1] runs backwards (at character 10)\nhttp://y/[9-1]"));
    EXPECT_EQ(dialogs.messages[0].code, int(Dialogs::Exclamation));
    EXPECT_EQ(dialogs.messages[1].text, q("2 lines were not added: not web addresses\nftp://z/a\nftp://z/b"));
}

TEST(Sequences, EveryTextIsReadAsTheSameAddressAsWhenTypedAlone) {
    // After the first, the texts are resolved against it; the result must not differ.
    for (const char* typed : {"Example.COM:80/a/../{x y,b%41,c\\d,\xc3\xa9,/e}?q=[1-2]#{f,g}", "http://[::1]/{a,b}",
                              "x.org?{a,b}", "ftp://x/{a,b}", "http://h/{a,b c}", "HTTPS://h/[8-11]"}) {
        Main::NotAdded notAdded, alone;
        QStringList faults;
        const QStringList added = Main::AddressesFromTypedLines(q(typed), notAdded, faults);
        const Fw::Result<QStringList> texts = Main::ExpandSequences(q(typed));
        ASSERT_TRUE(texts.ok());
        QStringList each;
        for (const QString& text : *texts) {
            if (std::optional<QString> address = WebUrl::FromUserText(text)) each << *address;
            else alone.note(text);
        }
        EXPECT_EQ(added, each) << typed;
        EXPECT_EQ(notAdded.count, alone.count) << typed;
        EXPECT_TRUE(faults.isEmpty());
    }
}

TEST_F(AddSequence, TheCapHoldsForOneAddOneUrlAsAWhole) {
    QString lines;
    for (int k = 0; k < 10; ++k) lines += q("http://x/%1/[1-100000]\n").arg(k);
    dialogs.inputAnswers = {q("http://x/first/[1-40000]\n") + lines};
    form.PushButton5_Click();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(form.urlList().count(), 40000);
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.messages[0].text.startsWith(
        q("At most 100,000 entries are taken from one Add One URL; this line would give more\nhttp://x/0/[1-100000]")))
        << dialogs.messages[0].text.toStdString();
    EXPECT_EQ(dialogs.messages[0].text.count(q("At most 100,000")), 10);
}
