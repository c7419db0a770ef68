// What typed text gives: the entries, and the message about the lines that gave none.
#include <gtest/gtest.h>

#include "app/Form1.h"
#include "harness/ListContents.h"
#include "harness/ListWait.h"
#include "harness/ScriptedDialogs.h"
#include "listbuild/UserAddress.h"

namespace {
QString q(const char* s) { return QString::fromUtf8(s); }
}  // namespace

TEST(AddressesFromLines, WebSchemesKeptOtherSchemesRefusedHostsCompleted) {
    Main::NotAdded notAdded;
    const QStringList added = Main::AddressesFromLines(
        q("HTTP://x/y\nftp://x/y\r\nhttpbin.org/get\n\n   \n# a comment\nhello world\n  server/a.jpg  \rfile:///etc/passwd"),
        notAdded);
    EXPECT_EQ(added, (QStringList{q("http://x/y"), q("http://httpbin.org/get"), q("http://server/a.jpg")}));
    EXPECT_EQ(notAdded.count, 4);
    EXPECT_EQ(notAdded.message(),
              q("4 lines were not added: not web addresses\nftp://x/y\n# a comment\nhello world\n…"));
}

TEST(AddressesFromLines, OneMessageForOneLineAndNoneWhenAllWereAdded) {
    Main::NotAdded notAdded;
    EXPECT_TRUE(Main::AddressesFromLines(q("mailto:a@b"), notAdded).isEmpty());
    EXPECT_EQ(notAdded.message(), q("1 line was not added: not a web address\nmailto:a@b"));
    Main::NotAdded none;
    EXPECT_EQ(Main::AddressesFromLines(q("a.example/x\nhttps://b.example"), none).size(), 2);
    EXPECT_TRUE(none.message().isEmpty());
}

namespace {
struct AddOneUrl : ::testing::Test {
    ScriptedDialogs dialogs;
    Settings::Store settings;
    Form1 form{dialogs, settings};
};
}  // namespace

TEST_F(AddOneUrl, EachLineIsAnEntryAndWhatWasNotAddedIsSaidOnceAfterwards) {
    dialogs.inputAnswers = {QString(), q("HTTP://x/y\nftp://x/y\r\nhttpbin.org/get\nfile:///etc/passwd"), q("server/a.jpg")};
    form.PushButton5_Click();  // cancelled
    EXPECT_EQ(form.urlList().count(), 0);
    EXPECT_TRUE(dialogs.messages.empty());
    form.PushButton5_Click();
    ASSERT_TRUE(WaitForListWork(form));
    ASSERT_EQ(dialogs.prompts.size(), 2u);
    EXPECT_EQ(dialogs.prompts[1].prompt, q("Enter website address to add: "));
    EXPECT_EQ(contentsOf(form.urlList()), (QStringList{q("http://x/y"), q("http://httpbin.org/get")}));
    EXPECT_EQ(dialogs.messageTexts(), QStringList{q("2 lines were not added: not web addresses\nftp://x/y\nfile:///etc/passwd")});
    form.PushButton5_Click();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(form.urlList().textAt(3), q("http://server/a.jpg"));
    EXPECT_EQ(dialogs.messages.size(), 1u);
}
