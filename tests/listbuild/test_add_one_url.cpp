#include <gtest/gtest.h>

#include "app/Form1.h"
#include "harness/ScriptedDialogs.h"
#include "listbuild/EnsureHttpPrefix.h"

using Main::EnsureHttpPrefix;

TEST(EnsureHttpPrefix, CompletesOnlyTextsWithoutAnExactMarker) {
    auto q = [](const char* s) { return QString::fromLatin1(s); };
    EXPECT_EQ(EnsureHttpPrefix(q("server/a.jpg")), q("http://server/a.jpg"));
    EXPECT_EQ(EnsureHttpPrefix(q("http://server/a.jpg")), q("http://server/a.jpg"));
    EXPECT_EQ(EnsureHttpPrefix(q("https://server/a.jpg")), q("https://server/a.jpg"));
    // Case-sensitive, anywhere in the text, other schemes unknown.
    EXPECT_EQ(EnsureHttpPrefix(q("HTTP://server/a.jpg")), q("http://HTTP://server/a.jpg"));
    EXPECT_EQ(EnsureHttpPrefix(q("server/get?u=http://otherserver/b.jpg")), q("server/get?u=http://otherserver/b.jpg"));
    EXPECT_EQ(EnsureHttpPrefix(q("ftp://server/a.zip")), q("http://ftp://server/a.zip"));
    EXPECT_EQ(EnsureHttpPrefix(q("http:/server")), q("http://http:/server"));
    // Nothing trimmed.
    EXPECT_EQ(EnsureHttpPrefix(q("   ")), q("http://   "));
    EXPECT_EQ(EnsureHttpPrefix(q("  server/a.jpg ")), q("http://  server/a.jpg "));
    EXPECT_EQ(EnsureHttpPrefix(QString()), q("http://"));
}

namespace {
struct AddOneUrl : ::testing::Test {
    ScriptedDialogs dialogs;
    Settings::Store settings;  // the test home's own
    Form1 form{dialogs, settings};
};
}  // namespace

TEST_F(AddOneUrl, PromptsAndAppendsTheCompletedAddress) {
    dialogs.setApplicationTitle(QStringLiteral("Fetchwright"));
    dialogs.inputAnswers = {QStringLiteral("server/a.jpg"), QStringLiteral("server/a.jpg")};
    form.PushButton5_Click();
    form.PushButton5_Click();
    ASSERT_EQ(dialogs.prompts.size(), 2u);
    EXPECT_EQ(dialogs.prompts[0].prompt, QStringLiteral("Enter website address to add: "));
    EXPECT_EQ(dialogs.prompts[0].caption, QStringLiteral("Fetchwright"));
    EXPECT_EQ(dialogs.prompts[0].defaultText, QString());
    ASSERT_EQ(form.urlList().count(), 2);
    EXPECT_EQ(form.urlList().textAt(1), QStringLiteral("http://server/a.jpg"));
    EXPECT_EQ(form.urlList().textAt(2), QStringLiteral("http://server/a.jpg"));
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(AddOneUrl, CancelAddsNothingAndBlanksAreKept) {
    form.urlList().append(u"http://existing/");
    dialogs.inputAnswers = {QString(), QStringLiteral("  "), QStringLiteral(" http://x/a.jpg ")};
    form.PushButton5_Click();
    EXPECT_EQ(form.urlList().count(), 1);
    form.PushButton5_Click();
    form.PushButton5_Click();
    ASSERT_EQ(form.urlList().count(), 3);
    EXPECT_EQ(form.urlList().textAt(1), QStringLiteral("http://existing/"));
    EXPECT_EQ(form.urlList().textAt(2), QStringLiteral("http://  "));
    EXPECT_EQ(form.urlList().textAt(3), QStringLiteral(" http://x/a.jpg "));
    EXPECT_TRUE(dialogs.messages.empty());
}
