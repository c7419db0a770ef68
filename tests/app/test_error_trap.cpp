#include <gtest/gtest.h>

#include "harness/ScriptedDialogs.h"
#include "app/ErrorTrap.h"

using ErrorReport::Failure;
using ErrorReport::Trap;

namespace {
const char* kSupport = "Please email screenshot of this message to support@quillmoor.example";

QString expectedReport(const char* description, const char* procedure, int line) {
    return QString::fromLatin1(description) + QStringLiteral("\r\nin Fetchwright2021/08/31.") +
           QString::fromLatin1(procedure) + QStringLiteral(" at line ") + QString::number(line) +
           QStringLiteral("\r\r") + QString::fromLatin1(kSupport);
}
}  // namespace

TEST(ErrorTrap, ReportTextCaptionAndIcon) {
    ScriptedDialogs dialogs;
    Trap trap(dialogs, QStringLiteral("Form1"), QStringLiteral("Form_Load"));
    trap.run(138, [] { throw Failure(QStringLiteral("Invalid procedure call or argument")); });
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text,
              expectedReport("Invalid procedure call or argument", "Form1.Form_Load", 138));
    EXPECT_EQ(dialogs.messages[0].caption, QStringLiteral("Application Error"));
    EXPECT_EQ(dialogs.messages[0].code, Dialogs::OkOnly + Dialogs::Exclamation);
}

TEST(ErrorTrap, FailureInFirstStatementResumesWithTheRest) {
    ScriptedDialogs dialogs;
    Trap trap(dialogs, QStringLiteral("Main"), QStringLiteral("GetNextFilenameIfItExists"));
    std::vector<int> ran;
    trap.run(100, [&] { throw std::runtime_error("first"); });
    trap.run(102, [&] { ran.push_back(102); });
    trap.run(104, [&] { ran.push_back(104); });
    EXPECT_EQ(ran, (std::vector<int>{102, 104}));
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.messages[0].text.contains(QStringLiteral("Main.GetNextFilenameIfItExists at line 100\r\r")));
}

TEST(ErrorTrap, TwoFailuresGiveTwoReportsInOrder) {
    ScriptedDialogs dialogs;
    Trap trap(dialogs, QStringLiteral("Form1"), QStringLiteral("PushButton2_Click"));
    trap.run(112, [] { throw std::runtime_error("a"); });
    trap.run(114, [] {});
    trap.run(116, [] { throw std::out_of_range("b"); });
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(dialogs.messages[0].text, expectedReport("a", "Form1.PushButton2_Click", 112));
    EXPECT_EQ(dialogs.messages[1].text, expectedReport("b", "Form1.PushButton2_Click", 116));
    EXPECT_EQ(trap.reportCount(), 2);
}

TEST(ErrorTrap, FailingBlockTestEntersTheBlockAndFailingEndTestPassesOver) {
    ScriptedDialogs dialogs;
    Trap trap(dialogs, QStringLiteral("Form1"), QStringLiteral("Form_Load"));
    bool enteredBlock = false;
    if (trap.blockTest(106, []() -> bool { throw std::runtime_error("test failed"); })) enteredBlock = true;
    EXPECT_TRUE(enteredBlock);

    bool ended = false;
    if (trap.endTest(102, []() -> bool { throw std::runtime_error("test failed"); })) ended = true;
    EXPECT_FALSE(ended);

    EXPECT_FALSE(trap.blockTest(108, [] { return false; }));
    EXPECT_TRUE(trap.endTest(110, [] { return true; }));
    EXPECT_EQ(dialogs.messages.size(), 2u);
}

TEST(ErrorTrap, FailureInsideCalledProcedureNamesCallerLine) {
    ScriptedDialogs dialogs;
    auto untrapped = [] { throw std::runtime_error("deep failure"); };
    Trap trap(dialogs, QStringLiteral("Form1"), QStringLiteral("PushButton13_Click"));
    trap.run(118, [&] { untrapped(); });
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, expectedReport("deep failure", "Form1.PushButton13_Click", 118));
}

TEST(ErrorTrap, ValueFallsBackAfterFailure) {
    ScriptedDialogs dialogs;
    Trap trap(dialogs, QStringLiteral("Form1"), QStringLiteral("PushButton7_Click"));
    EXPECT_EQ(trap.value<int>(100, [] { return 5; }, -1), 5);
    EXPECT_EQ(trap.value<int>(102, []() -> int { throw std::bad_alloc(); }, -1), -1);
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.messages[0].text.startsWith(QStringLiteral("Out of memory\r\n")));
}
